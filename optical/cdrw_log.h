// The optical library's own log lines: coloured, prefixed, on standard
// output, apart from the platform's tagged log call.
#pragma once

namespace cdrw {

enum class LogKind { Info, Msg, Warn, Err };

void Log(LogKind kind, const char* module, const char* func, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void Trace(const char* module, int line, const char* func, const char* cond);

}  // namespace cdrw

#define CDRW_INFO(fmt, ...) cdrw::Log(cdrw::LogKind::Info, CDRW_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define CDRW_MSG(fmt, ...) cdrw::Log(cdrw::LogKind::Msg, CDRW_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define CDRW_WARN(fmt, ...) cdrw::Log(cdrw::LogKind::Warn, CDRW_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define CDRW_ERR(fmt, ...) cdrw::Log(cdrw::LogKind::Err, CDRW_MODULE, __func__, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

// Argument check: the trace line and -ESRCH.
#define CDRW_CHECK(cond)                                    \
  do {                                                      \
    if (!(cond)) {                                          \
      cdrw::Trace(CDRW_MODULE, __LINE__, __func__, #cond);  \
      return -ESRCH;                                        \
    }                                                       \
  } while (0)
// A step that must return RET_OK: its trace line, then its error.
#define CDRW_STEP(expr)                                     \
  do {                                                      \
    if (!((expr) == 0)) {                                   \
      cdrw::Trace(CDRW_MODULE, __LINE__, __func__, #expr " == RET_OK"); \
      return ret < 0 ? ret : -EIO;                          \
    }                                                       \
  } while (0)
