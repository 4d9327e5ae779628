// Disk access parsers: SMART data, thresholds and error log sectors,
// IDENTIFY data, SG_IO sense data and the block statistics file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hd::AtaRegs regs;
  int have = hd::ParseAtaSense(data, size, &regs);
  if (have < -1 || have > 1) __builtin_trap();
  HdIoStat st;
  hd::ParseDiskStat(std::string_view(reinterpret_cast<const char*>(data), size), &st);
  uint8_t a[512] = {}, b[512] = {};
  std::memcpy(a, data, size < 512 ? size : 512);
  if (size > 512) std::memcpy(b, data + 512, size - 512 < 512 ? size - 512 : 512);
  std::vector<HdSmartAttr> v;
  if (hd::ParseSmartAttrs(a, b, &v) && v.size() > 30) __builtin_trap();
  for (auto& x : v)
    if (strnlen(x.name, sizeof x.name) == sizeof x.name) __builtin_trap();
  HdSmartErrLog log;
  std::string msg;
  if (hd::ParseSmartErrlog(a, &log, &msg) && (log.index > 5 || log.entries > 5)) __builtin_trap();
  HdDiskDetail d;
  if (hd::ParseIdentify(a, &d) && (strnlen(d.serial, sizeof d.serial) == sizeof d.serial)) __builtin_trap();
  return 0;
}
