// Simulated flash: MTD NOR and NAND partitions and eMMC partitions backed
// by image files in the board directory, an I2C EEPROM, and the /proc and
// /sys files that describe them.
//
//   "mtd": {"chips": [{"type": "nor"|"nand", "erasesize": N, "writesize": N,
//                      "sector": N (NOR: smallest erase, default erasesize),
//                      "parts": [{"name": "env", "size": N, "bad": [blocks]}]}]}
//   "emmc": {"device": 0, "parts": [{"name": "env", "start": SECTOR, "sectors": N}]}
//   "eeprom": {"bus": 0, "addr": 80, "size": N, "text": "ID=...\n"}
//   "cmdline": "console=... env_size=65536 env_off=0"
//   "env": {"entries": ["name=value", ...], "plain": false}
//        the first image written into every region the resource table's
//        EnvGetRes record names (encoded unless "plain")
//
// Faults are shared by every process on the board (dev/flash.state and one
// flag byte per erase block in dev/mtdN.blocks):
//   - factory bad blocks; an erase or write that fails at a given block;
//   - a power cut: after N more writes or erases the next one is torn (half
//     done) and fails, as does every later one until the board restarts.
#pragma once

#include <cstdint>
#include <string>

#include "sim/device.h"
#include "sim/models/record.h"

namespace sim {

// Block flags in dev/mtdN.blocks.
enum BlockFlag : uint8_t { kBlockBad = 1, kBlockFailErase = 2, kBlockFailWrite = 4, kBlockFlipOnce = 8 };
// kBlockFlipOnce: the next write into the block lands with one bit of its
// first byte flipped, then the flag clears (a marginal cell).

struct FlashState {
  int64_t cut_after = -1;  // writes/erases left before the cut; -1 none
  uint32_t cut = 0;        // 1 while the power is off
  uint32_t reserved = 0;
  uint64_t reads = 0, writes = 0, erases = 0, bad_queries = 0;
};
static_assert(sizeof(FlashState) == 48);

bool ReadFlashState(const std::string& dir, FlashState* st);
bool WriteFlashState(const std::string& dir, const FlashState& st);
// Power cut after n more writes or erases.
bool FlashCutAfter(const std::string& dir, int64_t n);
// The board comes back: power on, no cut pending, counters kept.
bool FlashRestart(const std::string& dir);
bool SetBlockFlag(const std::string& dir, unsigned mtd, unsigned block, uint8_t flag, bool on);

// Field names of the EnvGetRes record for board descriptions.
const Schema* EnvResSchema();

extern const Model kMtdModel;
extern const Model kEmmcModel;
extern const Model kEepromModel;

// dvrsim flash DIR ...
int FlashCommand(int argc, char** argv);

}  // namespace sim
