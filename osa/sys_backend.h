// Internal: the interface a simulated board implements behind osa/sys.h.
// Only osa/sys.cpp and sim/ include this.
#pragma once

#include "osa/sys.h"

namespace osa::sys {

class Backend {
 public:
  virtual ~Backend() = default;
  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual int close(int fd) = 0;
  virtual ssize_t read(int fd, void* buf, size_t len) = 0;
  virtual ssize_t write(int fd, const void* buf, size_t len) = 0;
  virtual ssize_t pread(int fd, void* buf, size_t len, off_t off) = 0;
  virtual ssize_t pwrite(int fd, const void* buf, size_t len, off_t off) = 0;
  virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual std::string path(const char* board_path) = 0;
  virtual int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
                    const void* data) = 0;
  virtual int umount2(const char* target, int flags) = 0;
  virtual int reboot(int cmd) = 0;
  virtual int set_time(const struct timeval* tv) = 0;
  virtual int set_timezone(int minutes_west) = 0;
  virtual int kill(pid_t pid, int sig) = 0;
  virtual ExecPlan plan_exec(const char* file, const char* const* argv) = 0;
  virtual ExecPlan plan_shell(const char* command) = 0;
};

#if DVR_SIM
// The simulator's backend for the board named by DVR_BOARD, or nullptr when
// DVR_BOARD is unset.  Defined in sim/.
Backend* SimBackend();
#endif

}  // namespace osa::sys
