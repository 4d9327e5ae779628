// Simulated software RAID.  The board kernel's md driver is played by the
// mdadm stand-in: it keeps the arrays in DIR/md/arrays.json and renders from
// it, after every change, what the kernel would show:
//
//   /sys/block/mdN -> /sys/devices/virtual/block/mdN  (size, slaves/, md/:
//     level raid_disks degraded sync_action array_state chunk_size md_uuid
//     code_disks and dev-sdX/{state,slot,block,recovery_start})
//   /proc/mdstat in the kernel's format
//   DIR/dev/mdN, a sparse file of the array's size (the array's block node)
//
// and writes a real v1.0 superblock near the end of every member image.
// The board may say how rebuilds behave: "md": {"rebuild": "running"} (the
// default: a recovery stays at a fixed point) or "instant" (an added disk is
// in sync at once).  Unplugging a member takes it out of its array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/device.h"

namespace sim {

// What a v1.0 superblock says about its array and this member.
struct MdSuperInfo {
  uint8_t uuid[16] = {};
  std::string name;
  int level = 0;
  uint32_t raidDisks = 0, chunkSectors = 0, devNumber = 0;
  uint64_t size = 0;
};

// The superblock sector offset of a v1.0 member of `sectors` sectors.
uint64_t MdSuperOffset(uint64_t sectors);
// Parses a 4 KiB superblock area; false with *err for a bad magic, version,
// checksum or out-of-range field.
bool ParseMdSuper(const uint8_t* buf, std::size_t len, MdSuperInfo* out, std::string* err);
// Builds one (4 KiB) with the checksum filled in.
void BuildMdSuper(const MdSuperInfo& info, uint64_t member_sectors, uint16_t role, uint8_t* buf4k);

int MdadmStandIn(const Board& b, int argc, char** argv);
int HotspareStandIn(const Board& b, int argc, char** argv);
// A disk was unplugged: it leaves its array.
void MdDiskUnplugged(const Board& b, const std::string& disk);

extern const Model kMdModel;

}  // namespace sim
