// The port argument of sendboot.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "applets/sendboot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  auto p = applets::sendboot::ParsePort(s);
  if (p && (*p == 0 || s.empty() || s.size() > 5)) __builtin_trap();
  return 0;
}
