// The mount table parser over arbitrary text: every entry it returns has
// four non-empty fields free of NULs and field separators after decoding
// only where the text escaped them, and it never counts more lines than
// the text has.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/backup/backup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int bad = -1;
  auto entries = hd::ParseMounts(text, &bad);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  if (bad < 0 || entries.size() + static_cast<size_t>(bad) > lines) __builtin_trap();
  for (auto& e : entries) {
    for (auto* f : {&e.source, &e.dir, &e.type, &e.options})
      if (f->empty() || f->size() > size || f->find('\0') != std::string::npos) __builtin_trap();
    std::string n = hd::NormalPath(e.dir[0] == '/' ? e.dir : "/" + e.dir);
    if (n.empty() || n[0] != '/' || n.find("/../") != std::string::npos || n.find("//") != std::string::npos)
      __builtin_trap();
  }
  return 0;
}
