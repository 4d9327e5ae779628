// Operating-system abstraction shared by every library: the tagged log call,
// the shell command runner, the error-checking mutex and descriptor ownership.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

#define OSA_SOK 0
#define OSA_EFAIL (-1)

// ---------------------------------------------------------------- log call

// Log tags: the library name, "@", a fixed four-digit number, padded so all
// tags have the same width.
#define OSA_TAG_LIBDVR "[LIBDVR@4517] "
#define OSA_TAG_LIBHD "[LIBHD@4457 ] "
#define OSA_TAG_SYSNET "[Sysnet@3735] "
#define OSA_TAG_OSAAPP "[OSA-APP@3621] "

enum OsaLogLevel : int { OSA_LOG_ERR = 0, OSA_LOG_WARN = 1, OSA_LOG_INFO = 2, OSA_LOG_DBG = 3 };

enum OsaLogColour : int {
  OSA_COLOUR_PLAIN = 0, OSA_COLOUR_RED = 1, OSA_COLOUR_GREEN = 2, OSA_COLOUR_BLUE = 3,
  OSA_COLOUR_DARKGREY = 4, OSA_COLOUR_CYAN = 5, OSA_COLOUR_MAGENTA = 6, OSA_COLOUR_BROWN = 7,
  OSA_COLOUR_YELLOW = 8, OSA_COLOUR_WHITE = 9,
};

inline constexpr int kOsaLogNameLen = 48;

struct OSA_LogEntry {
  char name[kOsaLogNameLen];
  uint8_t printLevel;   // messages above this level are dropped
  uint8_t enable;       // 0 drops every message of the tag
  uint8_t statEnable;   // 1 counts printed bytes
  uint8_t state;        // 0 unregistered, 1 registered, 2 created by the log call
  uint64_t osa_PrintBytes;
  pthread_mutex_t lock;
};

int OSA_logWrite(int level, int colour, const char* format, ...) __attribute__((format(printf, 3, 4)));
int OSA_logManagerRegister(OSA_LogEntry* entry);

// Error and warning lines carry the caller's function name and line.
#define OSA_LOG_ERROR(tag, fmt, ...) \
  OSA_logWrite(OSA_LOG_ERR, OSA_COLOUR_RED, tag "ERROR  (%s|%d): " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OSA_LOG_WARN(tag, fmt, ...) \
  OSA_logWrite(OSA_LOG_WARN, OSA_COLOUR_YELLOW, tag "WARN  (%s|%d): " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define OSA_LOG_INFO(tag, fmt, ...) OSA_logWrite(OSA_LOG_INFO, OSA_COLOUR_GREEN, tag fmt __VA_OPT__(, ) __VA_ARGS__)
// Debug lines go out untagged, so the registry never filters them.
#define OSA_LOG_DEBUG(fmt, ...) OSA_logWrite(OSA_LOG_DBG, OSA_COLOUR_PLAIN, fmt __VA_OPT__(, ) __VA_ARGS__)

#define DVR_ERROR(fmt, ...) OSA_LOG_ERROR(OSA_TAG_LIBDVR, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DVR_WARN(fmt, ...) OSA_LOG_WARN(OSA_TAG_LIBDVR, fmt __VA_OPT__(, ) __VA_ARGS__)
#define DVR_INFO(fmt, ...) OSA_LOG_INFO(OSA_TAG_LIBDVR, fmt __VA_OPT__(, ) __VA_ARGS__)
#define HD_ERROR(fmt, ...) OSA_LOG_ERROR(OSA_TAG_LIBHD, fmt __VA_OPT__(, ) __VA_ARGS__)
#define HD_WARN(fmt, ...) OSA_LOG_WARN(OSA_TAG_LIBHD, fmt __VA_OPT__(, ) __VA_ARGS__)
#define HD_INFO(fmt, ...) OSA_LOG_INFO(OSA_TAG_LIBHD, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NET_ERROR(fmt, ...) OSA_LOG_ERROR(OSA_TAG_SYSNET, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NET_WARN(fmt, ...) OSA_LOG_WARN(OSA_TAG_SYSNET, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NET_INFO(fmt, ...) OSA_LOG_INFO(OSA_TAG_SYSNET, fmt __VA_OPT__(, ) __VA_ARGS__)

// Argument check failure, in the one wording every public function uses.
#define OSA_CHECK_FAIL(what) DVR_ERROR("%s check fails, return OSA_EFAIL\n", what)

// ---------------------------------------------------------- command runner

// Runs `command` with "sh -c" and waits without limit.
int run_cmd(const char* command);
// timeout -1: wait without limit; >= 1: wait at most that many seconds,
// then kill the command's process group; anything else: do not wait.
// Returns the raw wait status, -1 on failure or time-out, 1 for null.
int __run_cmd(const char* command, int timeout);

namespace osa {

// ------------------------------------------------------------------ mutex

// The call site of a lock, captured by default arguments (the compilers'
// builtins, since clang 14 has no std::source_location with libstdc++ 12).
struct SrcLoc {
  const char* file;
  unsigned line;
  static constexpr SrcLoc current(const char* f = __builtin_FILE(), unsigned l = __builtin_LINE()) { return {f, l}; }
};

// Error-checking (optionally recursive) mutex.  A lock attempt that reports
// EDEADLK logs the call site and ends the process.
class Mutex {
 public:
  enum class Kind { Checked, Recursive };
  explicit Mutex(Kind kind = Kind::Checked);
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock(SrcLoc where = SrcLoc::current());
  void unlock();
  bool try_lock();

 private:
  pthread_mutex_t m_;
};

// Scoped lock that reports its own call site on a dead lock.
class LockGuard {
 public:
  explicit LockGuard(Mutex& m, SrcLoc where = SrcLoc::current()) : m_(m) {
    m_.lock(where);
  }
  ~LockGuard() { m_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Mutex& m_;
};

// The source path printed in dead-lock lines:
// "libdvr/src/libsysbase/build/../src/<area>/<file>".
const char* DeadLockPath(const char* file, char* buf, std::size_t len);

// ------------------------------------------------------------ descriptor

// Sole owner of a file descriptor; nothing else closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace osa
