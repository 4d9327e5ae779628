// The firmware package header and its layout, over a package split into
// blocks at a point the input chooses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fwpkg/fwpkg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t cut = (std::size_t(data[0]) << 8 | data[1]) % (size - 1);
  const std::uint8_t* pkg = data + 2;
  std::size_t len = size - 2;
  cut = cut > len ? len : cut;
  fwpkg::Header h;
  if (fwpkg::DecodeHeader({pkg, len}, &h) != fwpkg::kUpgradeOk) return 0;
  std::string err;
  if (fwpkg::CheckLayout(h, len, &err) == fwpkg::kUpgradeOk) {
    // Whatever passes must be readable in place.
    for (auto& it : h.items)
      if (it.kind != fwpkg::ItemKind::Skip) fwpkg::ContainerCrc({pkg + it.start, it.number});
  }
  std::span<const std::uint8_t> blocks[2] = {{pkg, cut}, {pkg + cut, len - cut}};
  std::span<const std::uint8_t> whole[1] = {{pkg, len}};
  if (fwpkg::PackageChecksum(blocks) != fwpkg::PackageChecksum(whole)) __builtin_trap();
  return 0;
}
