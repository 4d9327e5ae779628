// The kernel seam: the one place the product opens board paths, issues
// ioctls, mounts, reboots, sets the clock, signals processes or executes
// board tools.  Each call has libc's signature and errno convention.
//
// Production builds forward straight to libc.  Simulation builds do the
// same unless DVR_BOARD names a board directory; then the board simulator
// answers for the paths the board owns and records every side effect.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace osa::sys {

int open(const char* path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void* buf, size_t len);
ssize_t write(int fd, const void* buf, size_t len);
ssize_t pread(int fd, void* buf, size_t len, off_t off);
ssize_t pwrite(int fd, const void* buf, size_t len, off_t off);
off_t lseek(int fd, off_t off, int whence);
int ioctl(int fd, unsigned long request, void* arg);
// Advisory whole-file lock (LOCK_SH, LOCK_EX, LOCK_UN, LOCK_NB); a board's
// descriptors are host descriptors, so processes on one board see each other.
int flock(int fd, int op);
int stat(const char* path, struct stat* st);
int access(const char* path, int mode);
FILE* fopen(const char* path, const char* mode);
DIR* opendir(const char* path);

// Where a board path really lives, for file calls the seam does not wrap
// (rename, unlink, mkdir, realpath ...).  Identity without a board.
std::string path(const char* board_path);

int mount(const char* source, const char* target, const char* fstype, unsigned long flags, const void* data);
int umount2(const char* target, int flags);
int reboot(int cmd);
int settimeofday(const struct timeval* tv);
int stime(time_t t);
int kill(pid_t pid, int sig);

// A prepared exec: everything is computed before a (v)fork, so the child
// only has to call exec_prepared(), which touches no heap and never returns
// unless the exec failed.
struct ExecPlan {
  ExecPlan() = default;
  ExecPlan(std::string file, std::vector<std::string> args);
  ExecPlan(ExecPlan&&) = default;  // moving keeps the strings argv points into
  ExecPlan& operator=(ExecPlan&&) = default;
  ExecPlan(const ExecPlan&) = delete;
  ExecPlan& operator=(const ExecPlan&) = delete;

  std::string file;
  std::vector<std::string> args;
  std::vector<char*> argv;  // args as a null-terminated vector
};
ExecPlan plan_exec(const char* file, const char* const* argv);
ExecPlan plan_shell(const char* command);  // "sh -c command" on the board's tool set
int exec_prepared(const ExecPlan& plan);

// True when calls go to a simulated board.
bool simulated();

}  // namespace osa::sys
