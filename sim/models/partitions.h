// Partition tables of a disk image (MBR primaries, GPT): each partition is
// a window (start and length in 512-byte sectors) on the image.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct PartWindow {
  int number = 0;        // 1.. as the kernel numbers them
  uint64_t start = 0;    // sectors
  uint64_t sectors = 0;  // length
  std::string name;      // GPT name (ASCII part), empty for MBR
};

// Reads the table from the image's first bytes (`head`, up to 1 MiB).  An
// image without a table gives none and true; a table that is damaged or
// points outside the disk gives false with *err saying why.
bool ParsePartitions(std::span<const uint8_t> head, uint64_t disk_sectors, std::vector<PartWindow>* out,
                     std::string* err);

// The table of the image at `image` (host path).
bool ReadPartitions(const std::string& image, std::vector<PartWindow>* out, std::string* err);

// "sdb1" -> ("sdb", 1); "mmcblk0p2" -> ("mmcblk0", 2); "nvme0n1p1" -> ("nvme0n1", 1).
// False for a whole-disk name.
bool SplitPartName(const std::string& name, std::string* disk, int* number);
// The kernel's name of partition `number` of `disk`.
std::string PartName(const std::string& disk, int number);

}  // namespace sim
