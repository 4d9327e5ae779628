// The UDF reader over a sparse disc: the input is records of a 16-bit
// little-endian block number and that block's 2048 bytes (a short last
// record is zero-filled); other blocks read as zeros up to the highest
// block given, and fail past it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "optical/cdrw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::map<uint32_t, std::vector<uint8_t>> blocks;
  uint32_t last = 0;
  for (size_t off = 0; off + 2 <= size;) {
    uint32_t n = data[off] | data[off + 1] << 8;
    size_t take = std::min<size_t>(2048, size - off - 2);
    std::vector<uint8_t> b(2048, 0);
    std::memcpy(b.data(), data + off + 2, take);
    blocks[n] = std::move(b);
    last = std::max(last, n);
    off += 2 + take;
  }
  auto read = [&](uint32_t lba, uint8_t* out) {
    if (lba > last) return -5;
    auto it = blocks.find(lba);
    if (it == blocks.end()) std::memset(out, 0, 2048);
    else std::memcpy(out, it->second.data(), 2048);
    return 0;
  };
  UdfScan scan;
  if (udf_scan_session(read, 0, last, &scan) == 0) {
    if (scan.anchor > last || scan.files.size() > 4096) __builtin_trap();
  }
  return 0;
}
