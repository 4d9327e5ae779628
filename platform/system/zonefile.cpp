// The zoneinfo file's rule line and whole-file rewrites.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/system/system.h"

namespace {

constexpr std::size_t kZoneMax = 4096;

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = osa::sys::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

bool SystemWriteFileAtomic(const char* path, const void* data, std::size_t len) {
  if (!path) return false;
  std::string tmp = std::string(path) + ".tmp";
  osa::UniqueFd fd(osa::sys::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return false;
  bool ok = write_all(fd.get(), static_cast<const char*>(data), len) && fsync(fd.get()) == 0;
  fd.reset();
  std::string real_tmp = osa::sys::path(tmp.c_str()), real = osa::sys::path(path);
  if (!ok || ::rename(real_tmp.c_str(), real.c_str()) != 0) {
    ::unlink(real_tmp.c_str());
    return false;
  }
  return true;
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
  std::string text(kZoneMax, '\0');
  FILE* f = osa::sys::fopen(ZONEINFO_FILE, "rb");
  if (!f) {
    DVR_ERROR("open %s failed\n", ZONEINFO_FILE);
    return OSA_EFAIL;
  }
  text.resize(fread(text.data(), 1, kZoneMax, f));
  fclose(f);
  std::string out;
  bool found = TzReplaceRule(text, west, &out);
  if (!found) DVR_INFO("not find time zone,set default timezone 0\n");
  if (!SystemWriteFileAtomic(ZONEINFO_FILE, out.data(), out.size())) {
    DVR_ERROR("write %s failed\n", ZONEINFO_FILE);
    return OSA_EFAIL;
  }
  return found ? OSA_SOK : OSA_EFAIL;
}
