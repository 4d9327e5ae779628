#include "optical/cdrw_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace cdrw {

void Log(LogKind kind, const char* module, const char* func, int line, const char* format, ...) {
  switch (kind) {
    case LogKind::Info: std::fputs("\033[0;32m[Libcdrw | Info]: ", stdout); break;
    case LogKind::Msg: std::printf("\033[0;33m[Libcdrw | MSG] (%s|%s|%d): ", module, func, line); break;
    case LogKind::Warn: std::printf("\033[1;33m[Libcdrw | WARN] (%s|%s|%d): ", module, func, line); break;
    case LogKind::Err: std::printf("\033[0;31m[Libcdrw | ERR] (%s|%s|%d): ", module, func, line); break;
  }
  char text[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  // One line each, the colour reset before its newline.
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
  std::printf("%s\033[m\n", text);
  std::fflush(stdout);
}

void Trace(const char* module, int line, const char* func, const char* cond) {
  std::printf("[Libcdrw | trace] < %s | Line %d | %s > : %s failed!\n", module, line, func, cond);
  std::fflush(stdout);
}

}  // namespace cdrw
