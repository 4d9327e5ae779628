// File system detectors over arbitrary first bytes of a device.
#include <cstddef>
#include <cstdint>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int f = hd::FatTypeOf(data, size);
  if (f != -1 && (f < 1 || f > 3)) __builtin_trap();
  int e = hd::ExtKindOf(data, size);
  if (e != -1 && (e < 2 || e > 4)) __builtin_trap();
  hd::IsNtfs(data, size);
  hd::IsXfs(data, size);
  hd::Fat32Layout l;
  if (size >= 8) {
    uint64_t total = 0;
    for (int i = 0; i < 8; ++i) total |= static_cast<uint64_t>(data[i]) << (8 * i);
    if (hd::Fat32Geometry(total, 512, &l) && uint64_t{l.fatSectors} * 128 < uint64_t{l.clusters} + 2) __builtin_trap();
  }
  return 0;
}
