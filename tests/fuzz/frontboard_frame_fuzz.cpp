// The front-panel frame splitter.  The first byte picks the size of the
// reads the bytes arrive in; however they are cut, the frames are the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/frontboard/frontboard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = data[0] % 7 + 1;
  const uint8_t* in = data + 1;
  const std::size_t len = size - 1;

  std::vector<FbdFrame> whole;
  std::size_t used = FbdSplitFrames(in, len, &whole);
  if (used > len || len - used >= 4 || (used < len && in[used] != 0xFF)) __builtin_trap();
  for (const FbdFrame& f : whole)
    if (f[0] != 0xFF) __builtin_trap();

  std::vector<FbdFrame> pieces;
  std::vector<uint8_t> pending;
  for (std::size_t at = 0; at < len; at += step) {
    pending.insert(pending.end(), in + at, in + std::min(len, at + step));
    std::size_t n = FbdSplitFrames(pending.data(), pending.size(), &pieces);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (pieces != whole) __builtin_trap();
  return 0;
}
