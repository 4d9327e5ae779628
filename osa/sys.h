// The kernel seam: the one place the product opens board paths, issues
// ioctls, sets up serial lines, waits on descriptors, mounts, reboots, sets
// the clock, finds and signals processes, listens to kernel events or
// executes board tools.  Each call has libc's signature and errno convention.
//
// Production builds forward straight to libc.  Simulation builds do the
// same unless DVR_BOARD names a board directory; then the board simulator
// answers for the paths the board owns and records every side effect.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <sys/types.h>
#include <termios.h>

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
// Board paths, mapped like open()'s.
int unlink(const char* path);
int mkfifo(const char* path, mode_t mode);
FILE* fopen(const char* path, const char* mode);
int fdatasync(int fd);
void sync();

// Folders: a folder the board owns is listed from the board directory.
DIR* opendir(const char* path);
struct dirent* readdir(DIR* dir);
int closedir(DIR* dir);

// Links are read and resolved in board terms: a link inside a board tree
// (a sysfs class entry) resolves to the board path it names.
ssize_t readlink(const char* path, char* buf, size_t len);
char* realpath(const char* path, char* resolved);  // resolved: PATH_MAX bytes, or null to malloc

// Serial lines.  cf* only edit the structure; they are here so line set-up
// reads in one vocabulary.
int tcgetattr(int fd, struct termios* t);
int tcsetattr(int fd, int actions, const struct termios* t);
int tcflush(int fd, int queue);
int tcflow(int fd, int action);
int tcdrain(int fd);
void cfmakeraw(struct termios* t);
int cfsetispeed(struct termios* t, speed_t speed);
int cfsetospeed(struct termios* t, speed_t speed);

// Waiting on descriptors opened through the seam.
int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);
int select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, struct timeval* timeout);
int pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const struct timespec* timeout, const sigset_t* mask);

// Memory and uptime figures of the machine (of the board when simulated).
int sysinfo(struct sysinfo* info);

// Sockets.  With a board, a kernel event socket (AF_NETLINK,
// NETLINK_KOBJECT_UEVENT) listens to the board's event channel instead of
// the kernel, and so does a routing socket (NETLINK_ROUTE) for link events
// unless the board runs in a network namespace of its own; other families
// are the host's.
int socket(int domain, int type, int protocol);
int bind(int fd, const struct sockaddr* addr, socklen_t len);
int setsockopt(int fd, int level, int name, const void* value, socklen_t len);
ssize_t recv(int fd, void* buf, size_t len, int flags);
ssize_t recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t* fromlen);
ssize_t recvmsg(int fd, struct msghdr* msg, int flags);
// Local sockets are the host's; their addresses are host paths (see path()).
int connect(int fd, const struct sockaddr* addr, socklen_t len);
int listen(int fd, int backlog);
int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags);
ssize_t send(int fd, const void* buf, size_t len, int flags);

// Where a board path really lives, for file calls the seam does not wrap
// (rename, mkdir, realpath ...).  Identity without a board.
std::string path(const char* board_path);

int mount(const char* source, const char* target, const char* fstype, unsigned long flags, const void* data);
int umount2(const char* target, int flags);
int reboot(int cmd);
int settimeofday(const struct timeval* tv);
int stime(time_t t);
// The kernel's time zone alone (minutes west of UTC); the clock is untouched.
int settimezone(int minutes_west);
int kill(pid_t pid, int sig);
// Waits for a child the caller started.
pid_t waitpid(pid_t pid, int* status, int options);

// Processes other than the caller, with their /proc/PID/cmdline (arguments
// separated by NULs); kernel threads are left out.  With a board, only the
// board's own processes.
struct Process {
  pid_t pid;
  std::string cmdline;
};
std::vector<Process> processes();
// Processes whose program is `name`: their first argument is `name` or
// ends in "/name" (a process that rewrote its arguments may not match).
std::vector<pid_t> pids_named(const char* name);
// Signals every process named `name`; the number signalled, or -1 when
// the process list cannot be read.
int kill_named(const char* name, int sig);

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

// True when calls go to a simulated board.  For tests and the simulator:
// product code behaves the same either way and does not ask.
bool simulated();

}  // namespace osa::sys
