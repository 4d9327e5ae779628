// The /proc/mtd parser over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flash/flash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<flash::MtdLine> lines;
  std::string err;
  if (flash::ParseProcMtd(std::string_view(reinterpret_cast<const char*>(data), size), &lines, &err)) {
    uint64_t start = 0;
    for (auto& l : lines) {
      if (l.erasesize == 0 || l.name.empty() || l.name.size() > 31 || l.start != start) __builtin_trap();
      start += l.size;
    }
  } else if (err.empty() || !lines.empty()) {
    __builtin_trap();
  }
  return 0;
}
