// Internal: the interface a simulated board implements behind osa/sys.h.
// Only osa/sys.cpp and sim/ include this.
#pragma once

#include <cerrno>

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

  // The calls below fail unless a backend serves them: a board never
  // falls through to the host by omission.
  virtual int fdatasync(int) { return fail(); }
  virtual void sync() {}
  virtual ssize_t readlink(const char*, char*, size_t) { return fail(); }
  // The board path `path` resolves to; "" with errno set when it does not.
  virtual std::string realpath(const char*) {
    fail();
    return {};
  }
  virtual int tcgetattr(int, struct termios*) { return fail(); }
  virtual int tcsetattr(int, int, const struct termios*) { return fail(); }
  virtual int tcflush(int, int) { return fail(); }
  virtual int tcflow(int, int) { return fail(); }
  virtual int tcdrain(int) { return fail(); }
  virtual int poll(struct pollfd*, nfds_t, int) { return fail(); }
  virtual int pselect(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*) { return fail(); }
  virtual int sysinfo(struct sysinfo*) { return fail(); }
  virtual int socket(int, int, int) { return fail(); }
  virtual int bind(int, const struct sockaddr*, socklen_t) { return fail(); }
  virtual int setsockopt(int, int, int, const void*, socklen_t) { return fail(); }
  virtual ssize_t recvmsg(int, struct msghdr*, int) { return fail(); }
  // Every process of the board but the caller; false with errno set when
  // the list cannot be read.
  virtual bool processes(std::vector<Process>*) { return fail() == 0; }

 protected:
  static int fail(int e = ENODEV) {
    errno = e;
    return -1;
  }
};

// The host's processes but the caller, from /proc; false when /proc
// cannot be read.  For backends that narrow the list.
bool HostProcesses(std::vector<Process>* out);

#if DVR_SIM
// Where the seam finds the backend for the board DVR_BOARD names (nullptr
// when it is unset).  A simulation executable registers the simulator's
// before main (sim/register.cpp); product libraries do not link it.
using BackendSource = Backend* (*)();
void RegisterBackend(BackendSource source);
#endif

}  // namespace osa::sys
