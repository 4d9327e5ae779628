// The simulator's text parsers over arbitrary bytes: the event text of
// `dvrsim uevent` and a board's /proc/meminfo.
#include <sys/sysinfo.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/boardsys.h"
#include "sim/uevent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out, err;
  if (sim::UeventDecode(text, &out, &err)) {
    if (out.size() > text.size()) __builtin_trap();  // an escape never grows the text
  } else if (err.empty()) {
    __builtin_trap();
  }
  struct sysinfo si = {};
  err.clear();
  if (sim::ParseMemInfo(text, &si, &err)) {
    if (si.mem_unit != 1024 || si.freeram > si.totalram) __builtin_trap();
  } else if (err.empty()) {
    __builtin_trap();
  }
  return 0;
}
