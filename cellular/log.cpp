#include "cellular/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace cellular {

namespace {

std::atomic<int>& Threshold() {
  static std::atomic<int> t{4};
  return t;
}

const char* LevelName(int level) {
  static const char* const n[] = {"reserved", "fatal", "error", "warn", "info", "trace", "debug"};
  return level >= 0 && level <= 6 ? n[level] : "debug";
}

}  // namespace

int LogThreshold() { return Threshold().load(); }
void SetLogThreshold(int level) { Threshold().store(level); }

void LogLine(int level, const char* file, int line, const char* fmt, ...) {
  if (level > Threshold().load()) return;
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  flockfile(stdout);
  printf("[%02d:%02d:%02d %s %s %d", tm.tm_hour, tm.tm_min, tm.tm_sec, LevelName(level), "libnet3g:2548",
         static_cast<int>(syscall(SYS_gettid)));
  printf(" %s:%d]", file, line);
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  fflush(stdout);
  funlockfile(stdout);
}

}  // namespace cellular
