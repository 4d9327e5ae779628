// The hotplug listener's burst decision over arbitrary kernel messages:
// each input is split into messages of at most 256 bytes at 0xFF bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  hd::HotplugBurst burst;
  std::string line;
  while (!all.empty()) {
    size_t cut = all.find('\xff');
    std::string_view m = all.substr(0, std::min<size_t>(cut, 256));
    int k = burst.Feed(m);
    if (k != 0 && k != 1) __builtin_trap();
    if (m.starts_with("q")) {
      int bits = burst.Quiet(&line);
      if (bits & ~3) __builtin_trap();
      if (bits && burst.scsi() != 0) __builtin_trap();
    }
    if (cut == std::string_view::npos) break;
    all.remove_prefix(cut + 1);
  }
  return 0;
}
