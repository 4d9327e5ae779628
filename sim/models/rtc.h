// The board's I2C clock chips behind /dev/vs_i2c and the RTC record of the
// resource table.  board.json:
//   "rtc": {"chips": [{"bus": 0, "addr": 104, "kind": "DS13XX", "offset": 0,
//                      "battery": "lost", "vlf_stuck": true, "silent": true}]}
// kind: DS13XX, DS3232, ISL12022, RX8010, RX8900.  Each chip keeps 256
// registers; its BCD time runs from the moment it was set unless its stop
// flag (CH, OSF, RTCF, VLF) is set.
#pragma once

#include <cstdint>
#include <string>

#include "sim/device.h"
#include "sim/models/record.h"

namespace sim {

extern const Model kI2cModel;
// The kernel's RTC nodes and the SoC clock (rtc_kernel.cpp).
extern const Model kKernelRtcModel;
extern const Model kMiscRtcModel;
extern const Model kSocRtcModel;
// "hwclock -w": the board's system time into the kernel clock.
bool KernelRtcSystohc(const Board& b, std::string* err);
int HwclockStandIn(const Board& b, int argc, char** argv);
const Schema* RtcResSchema();
// dvrsim rtc DIR dump | poke REG BYTE...
int RtcCommand(int argc, char** argv);

// The model's own BCD codec (independent of the product's): the chip's
// seven time registers for a time since the epoch, and back.
enum class ChipKind { DS13XX, DS3232, ISL12022, RX8010, RX8900 };
bool ChipKindFromName(const std::string& name, ChipKind* out);
void ChipEncode(ChipKind k, int64_t secs, uint8_t regs[7]);
bool ChipDecode(ChipKind k, const uint8_t regs[7], int64_t* secs);

}  // namespace sim
