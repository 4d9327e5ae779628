// AT replies, the timing file, debug FIFO lines, uevent and link messages,
// the kernel's USB device list.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cellular/cellular.h"
#include "cellular/internal.h"
#include "cellular/scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  cellular::ParseCpin(s);
  cellular::ParseCgreg(s);
  if (auto imsi = cellular::ParseImsi(s); imsi && imsi->size() != 15) __builtin_trap();
  if (auto v = cellular::ParseCsq(s); v && (*v < 0 || *v > 999)) __builtin_trap();
  cellular::AtiInfo info;
  if (cellular::ParseAti(s, &info) && (info.imei.size() > 15 || info.model.size() > 63)) __builtin_trap();
  cellular::UeventWantsScan(s);
  bool error = false;
  for (const auto& l : cellular::ParseLinkMessages(data, size, &error))
    if (l.name.empty() || l.name.size() > 7) __builtin_trap();
  std::string err;
  if (auto c = cellular::ParseFifoLine(s, &err); c && c->args.size() > cellular::kFifoMaxArgs) __builtin_trap();
  std::vector<std::string> problems;
  for (const auto& d : cellular::ParseProcUsbDevices(s, &problems))
    if (d.interfaces.size() > 32 || d.manufacturer.size() > 255 || d.product_name.size() > 255) __builtin_trap();
  problems.clear();
  auto t = cellular::ParseTiming(s, &problems);
  if (cellular::PollsIn(t.no_service_srst_time1) < 1 || cellular::PassesIn(t.no_module_hrst_time) < 1) __builtin_trap();
  return 0;
}
