// Partition containers and the boot flash partition table as read from
// flash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/fwpkg/fwpkg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto c = fwpkg::CheckContainer({data, size});
  if (c.state == fwpkg::Container::Valid) {
    fwpkg::PartTable t;
    std::string err;
    if (fwpkg::PartTable::Decode({data, c.length}, 64u << 20, &t, &err)) {
      for (std::size_t i = 0; i < t.size(); ++i) {
        if (std::uint64_t(t[i].start) + t[i].size > (64u << 20)) __builtin_trap();
        t.SetValid(i, !t[i].valid);
      }
      if (t.Encode().size() != 16 + t.size() * 52) __builtin_trap();
    }
  }
  return 0;
}
