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
      // A table the judge accepts has its entries apart and after the table.
      if (fwpkg::CheckPartTable(t, 64u << 20, 0x10000, &err)) {
        for (std::size_t i = 0; i < t.size(); ++i) {
          if (t[i].start < fwpkg::kTableBlockLen || t[i].start % 0x10000 || t[i].size % 0x10000) __builtin_trap();
          for (std::size_t j = 0; j < i; ++j)
            if (t[j].start < t[i].start + std::uint64_t(t[i].size) && t[i].start < t[j].start + std::uint64_t(t[j].size))
              __builtin_trap();
        }
      }
    }
  }
  return 0;
}
