// Replies the data call and the families read: pid files, +CGDCONT,
// +ZCONSTAT, $QCRMCALL, ^NDISSTATQRY, +CGPADDR, ^SYSINFO and friends.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cellular/family.h"
#include "cellular/ps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  if (auto p = cellular::ParsePidFile(s); p && *p <= 0) __builtin_trap();
  for (int ctx : {1, 2})
    if (auto apn = cellular::ParseCgdcontApn(s, ctx); apn && !cellular::AtArgSafe(*apn, 31)) __builtin_trap();
  cellular::ParseSysinfo(s);
  cellular::ParseSysinfoEx(s);
  cellular::ParseCnsmod(s);
  cellular::ParsePsrat(s);
  cellular::ParseLevel(s, "^RSSI:");
  cellular::ParseCereg(s);
  if (auto i = cellular::ParseIccid(s); i && (i->size() < 19 || i->size() > 20)) __builtin_trap();
  if (auto z = cellular::ParseZconstat(s); z && (*z < 0 || *z > 9)) __builtin_trap();
  cellular::ParseQcrmcall(s);
  if (auto n = cellular::ParseNdisstat(s); n && (*n < 0 || *n > 3)) __builtin_trap();
  cellular::ParseCgpaddr(s);
  return 0;
}
