// The disk library's parsers of sysfs text, link targets and serial data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint64_t v;
  if (hd::ParseSysU64(text, &v) && text.empty()) __builtin_trap();
  hd::ScsiAddr a;
  if (hd::ParseScsiAddr(text, &a) && (a.host < 0 || a.channel < 0 || a.target < 0 || a.lun < 0)) __builtin_trap();
  hd::FindScsiAddr(text, &a);
  int b, p, s;
  if (hd::ParseUsbPosition(text, &b, &p, &s) && (b < 0 || p < 0 || s < 0)) __builtin_trap();
  if (hd::ValidBlockName(text) && (text.find('/') != std::string_view::npos || text.find(' ') != std::string_view::npos))
    __builtin_trap();
  std::string serial;
  if (hd::AtaSerial(data, size, &serial) && (serial.size() > 20 || serial.find('\0') != std::string::npos))
    __builtin_trap();
  if (hd::InquirySerial(data, size, &serial) && serial.size() > 63) __builtin_trap();
  for (char c : serial)
    if (c < ' ' || c > '~') __builtin_trap();
  std::string id;
  if (hd::ParseNvmeWwid(text, &id) && (id.empty() || id.size() > 63 || id.find(' ') != std::string::npos))
    __builtin_trap();
  return 0;
}
