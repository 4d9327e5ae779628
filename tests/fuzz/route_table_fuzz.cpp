// The kernel route table reader ("/proc/net/route") and the interface list
// reader ("/proc/net/dev").
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "netcfg/netcfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto t = netcfg::ParseRouteTable(text, 32);
  if (t.items.size() > 32) __builtin_trap();
  for (auto& it : t.items)
    if (strnlen(it.dev, sizeof it.dev) >= sizeof it.dev) __builtin_trap();
  for (auto& n : netcfg::ParseNetDev(text, 32))
    if (!netcfg::ValidIfName(n)) __builtin_trap();
  return 0;
}
