// The simulator's partition-table reader over arbitrary image heads: every
// window it gives lies on the disk.
#include <cstddef>
#include <cstdint>

#include "sim/models/partitions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t disk = 1u << 21;  // 1 GiB in sectors
  std::vector<sim::PartWindow> parts;
  std::string err;
  if (sim::ParsePartitions({data, size}, disk, &parts, &err))
    for (auto& p : parts)
      if (p.start == 0 || p.sectors == 0 || p.start + p.sectors > disk || p.number < 1) __builtin_trap();
  std::string d;
  int n = 0;
  std::string name(reinterpret_cast<const char*>(data), size < 16 ? size : 16);
  if (sim::SplitPartName(name, &d, &n) && (n < 1 || d.empty())) __builtin_trap();
  return 0;
}
