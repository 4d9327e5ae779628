// The boot environment image decoder and entry editing over arbitrary bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/env/bootenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stored(data, data + size);
  bootenv::Format f = bootenv::DetectFormat(stored);
  bootenv::Decoded d;
  std::string err;
  if (!bootenv::DecodeImage(stored, f, &d, &err)) return 0;
  size_t pos = 0;
  for (auto e : bootenv::Entries(d.plain, d.used)) {
    // What a terminal is shown holds no control byte.
    for (unsigned char c : bootenv::ForTerminal(e))
      if (c < 0x20 || c == 0x7F) __builtin_trap();
    auto eq = e.find('=');
    if (eq != std::string_view::npos && eq > 0) bootenv::MatchEntry(d.plain, d.used, e.substr(0, eq), &pos);
  }
  // Edit with a name and value taken from the input's tail.
  std::string name(reinterpret_cast<const char*>(data), size < 8 ? size : 8);
  std::string value(reinterpret_cast<const char*>(data) + size / 2, size - size / 2);
  size_t used = d.used;
  auto before = d.plain;
  if (bootenv::SetEntry(d.plain, &used, name, value) == bootenv::SetResult::Ok) {
    if (used > d.plain.size() || bootenv::MatchEntry(d.plain, used, name, &pos) != bootenv::Match::Found) __builtin_trap();
    auto again = bootenv::EncodeImage(d.plain, f);
    bootenv::Decoded d2;
    // The body survives encoding; the CRC in front is the new one.
    if (!bootenv::DecodeImage(again, f, &d2, &err) || !d2.crc_ok ||
        !std::equal(d2.plain.begin() + bootenv::kHeader, d2.plain.end(), d.plain.begin() + bootenv::kHeader))
      __builtin_trap();
  } else if (before != d.plain) {
    __builtin_trap();  // a refused change must leave the image alone
  }
  return 0;
}
