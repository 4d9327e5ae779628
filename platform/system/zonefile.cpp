// The zoneinfo file's rule line and whole-file rewrites.

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "osa/file.h"
#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/system/system.h"

namespace {

constexpr std::size_t kZoneMax = 4096;

}  // namespace

bool SystemWriteFileAtomic(const char* path, const void* data, std::size_t len) {
  if (!path) return false;
  return osa::ReplaceFile(path, std::string_view(static_cast<const char*>(data), len)).ok();
}

int SystemSetTimezoneConfig(int west) {
  struct stat st{};
  bool missing = osa::sys::stat(ZONEINFO_FILE, &st) != 0;
  if (missing || st.st_size == 0) {
    if (missing) DVR_WARN(" %s file not exit, set default timezone 0\n", ZONEINFO_FILE);
    else DVR_WARN(" timezone file exist,but filesize is %d  ,set default timezone 0\n", static_cast<int>(st.st_size));
    auto def = TzDefaultFile();
    if (!SystemWriteFileAtomic(ZONEINFO_FILE, def.data(), def.size())) {
      DVR_ERROR("CreateTimezoneFile %s fail\n", ZONEINFO_FILE);
      return OSA_EFAIL;
    }
  }
  // Only the start matters: the rule line is cut off and rewritten.
  auto zone = osa::ReadFile(ZONEINFO_FILE, kZoneMax);
  if (!zone.readable()) {
    DVR_ERROR("open %s failed\n", ZONEINFO_FILE);
    return OSA_EFAIL;
  }
  std::string out;
  bool found = TzReplaceRule(zone.data, west, &out);
  if (!found) DVR_INFO("not find time zone,set default timezone 0\n");
  if (!SystemWriteFileAtomic(ZONEINFO_FILE, out.data(), out.size())) {
    DVR_ERROR("write %s failed\n", ZONEINFO_FILE);
    return OSA_EFAIL;
  }
  return found ? OSA_SOK : OSA_EFAIL;
}
