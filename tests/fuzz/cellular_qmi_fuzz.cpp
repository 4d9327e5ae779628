// QMI messages off the qcqmi device: parsed, re-packed, and read as the
// data call reads its replies.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cellular/qmi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  std::string err;
  auto m = cellular::QmiParse(s, &err);
  if (!m) {
    if (err.empty()) __builtin_trap();
    return 0;
  }
  // A message that parsed packs back to the same bytes.
  if (cellular::QmiPack(*m) != s) __builtin_trap();
  uint16_t r = 0, e = 0;
  cellular::QmiResult(*m, &r, &e);
  cellular::WdsStartHandle(*m);
  cellular::WdsConnected(*m);
  return 0;
}
