// The RAID side's parsers: md sysfs text, mdadm output, /proc/mdstat and
// the v1.0 superblock area.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int level = -1;
  if (hd::ParseMdLevel(text, &level) && (level < 0 || level > 254)) __builtin_trap();
  uint32_t u[4];
  hd::ParseMdUuid(text, u);
  hd::ParseMdadmUuid(text, u);
  float p = -1;
  int finish = -1, speed = -1;
  if (size < 4096) {
    for (bool resync : {false, true})
      if (hd::ParseMdstatProgress(text, "md0", resync, &p, &finish, &speed) && !(p >= 0 && p <= 100)) __builtin_trap();
  }
  std::string alias;
  if (hd::MdSuperAlias(data, size, &alias) && alias.size() > 32) __builtin_trap();
  std::string msg;
  if (size >= 5) hd::RaidCountOk(data[0], data[1], data[2], data[3], data[4], &msg);
  return 0;
}
