// The parted listing parser over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hd::PartedTable t;
  std::string err;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (hd::ParsePartedPrint(text, &t, &err))
    for (auto& e : t.parts)
      if (e.number < 1 || e.number > 999) __builtin_trap();
  return 0;
}
