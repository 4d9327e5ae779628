// The configuration file reader: value lookup, the lines a rewrite keeps,
// member lists.
#include <cstddef>
#include <cstdint>
#include <string>

#include "netcfg/netcfg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"HOSTIP", "SSIF", "BONDMEMBERS", "BRIDGEMEMBERS", "MTU"}) {
    std::string v, line;
    if (netcfg::FindConfigValue(text, key, &v, &line) == netcfg::ValueStatus::Found) {
      if (v.empty()) __builtin_trap();
      for (auto& m : netcfg::SplitMembers(v, 32))
        if (!netcfg::ValidIfName(m)) __builtin_trap();
    }
  }
  auto kept = netcfg::KeptConfigLines(text);
  if (kept.size() > 16) __builtin_trap();
  for (auto& l : kept)
    if (!netcfg::IsKnownKeyLine(l)) __builtin_trap();
  uint32_t a;
  netcfg::ParseIPv4(text.substr(0, 20), &a);
  return 0;
}
