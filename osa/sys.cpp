#include "osa/sys.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "osa/sys_backend.h"

namespace osa::sys {

namespace {

#if DVR_SIM
// Written once, before main, by the simulator's registration object.
constinit std::atomic<BackendSource> g_source{nullptr};
#endif

inline Backend* board() {
#if DVR_SIM
  if (auto source = g_source.load(std::memory_order_acquire)) return source();
  // A program built without the simulator must not take a board's paths
  // for the host's.
  if (const char* dir = getenv("DVR_BOARD"); dir && *dir) {
    fprintf(stderr, "DVR_BOARD is set but this program has no board simulator\n");
    abort();
  }
#endif
  return nullptr;
}

}  // namespace

bool HostProcesses(std::vector<Process>* out) {
  DIR* d = ::opendir("/proc");
  if (!d) return false;
  const pid_t self = getpid();
  while (const dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (!*e->d_name || *end || pid <= 0 || pid == self) continue;
    int fd = ::open(("/proc/" + std::string(e->d_name) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;  // gone meanwhile
    std::string cmd;
    char buf[512];
    for (ssize_t n; cmd.size() < 4096 && (n = ::read(fd, buf, sizeof buf)) > 0;) cmd.append(buf, static_cast<size_t>(n));
    ::close(fd);
    if (!cmd.empty()) out->push_back({static_cast<pid_t>(pid), std::move(cmd)});
  }
  ::closedir(d);
  return true;
}

namespace {

// The program a command line runs: its first argument, or that
// argument's last path component.
bool runs(const std::string& cmdline, const char* name) {
  std::string prog = cmdline.substr(0, cmdline.find('\0'));
  if (prog == name) return true;
  size_t slash = prog.rfind('/');
  return slash != std::string::npos && prog.compare(slash + 1, std::string::npos, name) == 0;
}

}  // namespace

#if DVR_SIM
void RegisterBackend(BackendSource source) { g_source.store(source, std::memory_order_release); }
#endif

ExecPlan::ExecPlan(std::string f, std::vector<std::string> a) : file(std::move(f)), args(std::move(a)) {
  argv.reserve(args.size() + 1);
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
}

int open(const char* path, int flags, mode_t mode) {
  if (auto* b = board()) return b->open(path, flags, mode);
  return ::open(path, flags, mode);
}

int close(int fd) {
  if (auto* b = board()) return b->close(fd);
  return ::close(fd);
}

ssize_t read(int fd, void* buf, size_t len) {
  if (auto* b = board()) return b->read(fd, buf, len);
  return ::read(fd, buf, len);
}

ssize_t write(int fd, const void* buf, size_t len) {
  if (auto* b = board()) return b->write(fd, buf, len);
  return ::write(fd, buf, len);
}

ssize_t pread(int fd, void* buf, size_t len, off_t off) {
  if (auto* b = board()) return b->pread(fd, buf, len, off);
  return ::pread(fd, buf, len, off);
}

ssize_t pwrite(int fd, const void* buf, size_t len, off_t off) {
  if (auto* b = board()) return b->pwrite(fd, buf, len, off);
  return ::pwrite(fd, buf, len, off);
}

off_t lseek(int fd, off_t off, int whence) { return ::lseek(fd, off, whence); }

int flock(int fd, int op) { return ::flock(fd, op); }

int ioctl(int fd, unsigned long request, void* arg) {
  if (auto* b = board()) return b->ioctl(fd, request, arg);
  return ::ioctl(fd, request, arg);
}

std::string path(const char* board_path) {
  if (auto* b = board()) return b->path(board_path);
  return board_path ? board_path : "";
}

int stat(const char* p, struct stat* st) {
  if (auto* b = board()) return ::stat(b->path(p).c_str(), st);
  return ::stat(p, st);
}

int access(const char* p, int mode) {
  if (auto* b = board()) return ::access(b->path(p).c_str(), mode);
  return ::access(p, mode);
}

int unlink(const char* p) {
  if (auto* b = board()) return ::unlink(b->path(p).c_str());
  return ::unlink(p);
}

int mkfifo(const char* p, mode_t mode) {
  if (auto* b = board()) return ::mkfifo(b->path(p).c_str(), mode);
  return ::mkfifo(p, mode);
}

FILE* fopen(const char* p, const char* mode) {
  if (auto* b = board()) {
    std::string at = b->path(p);
    if (!p || !mode || at != p || !std::strpbrk(mode, "wa+")) return ::fopen(at.c_str(), mode);
    // A host path opened for writing: the board decides where that lands.
    int flags = std::strchr(mode, '+') ? O_RDWR : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
    int fd = b->open(p, flags | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, mode);
    if (!f) ::close(fd);
    return f;
  }
  return ::fopen(p, mode);
}

int fdatasync(int fd) {
  if (auto* b = board()) return b->fdatasync(fd);
  return ::fdatasync(fd);
}

void sync() {
  if (auto* b = board()) return b->sync();
  ::sync();
}

DIR* opendir(const char* p) {
  if (auto* b = board()) return ::opendir(b->path(p).c_str());
  return ::opendir(p);
}

// A folder stream is the host's own once opened.
struct dirent* readdir(DIR* dir) { return ::readdir(dir); }
int closedir(DIR* dir) { return ::closedir(dir); }

ssize_t readlink(const char* p, char* buf, size_t len) {
  if (auto* b = board()) return b->readlink(p, buf, len);
  return ::readlink(p, buf, len);
}

char* realpath(const char* p, char* resolved) {
  auto* b = board();
  if (!b) return ::realpath(p, resolved);
  std::string r = b->realpath(p);
  if (r.empty()) return nullptr;
  if (r.size() >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  char* out = resolved ? resolved : static_cast<char*>(std::malloc(PATH_MAX));
  if (!out) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(out, r.c_str(), r.size() + 1);
  return out;
}

int tcgetattr(int fd, struct termios* t) {
  if (auto* b = board()) return b->tcgetattr(fd, t);
  return ::tcgetattr(fd, t);
}

int tcsetattr(int fd, int actions, const struct termios* t) {
  if (auto* b = board()) return b->tcsetattr(fd, actions, t);
  return ::tcsetattr(fd, actions, t);
}

int tcflush(int fd, int queue) {
  if (auto* b = board()) return b->tcflush(fd, queue);
  return ::tcflush(fd, queue);
}

int tcflow(int fd, int action) {
  if (auto* b = board()) return b->tcflow(fd, action);
  return ::tcflow(fd, action);
}

int tcdrain(int fd) {
  if (auto* b = board()) return b->tcdrain(fd);
  return ::tcdrain(fd);
}

void cfmakeraw(struct termios* t) { ::cfmakeraw(t); }
int cfsetispeed(struct termios* t, speed_t speed) { return ::cfsetispeed(t, speed); }
int cfsetospeed(struct termios* t, speed_t speed) { return ::cfsetospeed(t, speed); }

int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
  if (auto* b = board()) return b->poll(fds, nfds, timeout_ms);
  return ::poll(fds, nfds, timeout_ms);
}

int select(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, struct timeval* timeout) {
  if (auto* b = board()) {
    struct timespec ts = {};
    if (timeout) ts = {timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
    return b->pselect(nfds, rd, wr, ex, timeout ? &ts : nullptr, nullptr);
  }
  return ::select(nfds, rd, wr, ex, timeout);
}

int pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const struct timespec* timeout, const sigset_t* mask) {
  if (auto* b = board()) return b->pselect(nfds, rd, wr, ex, timeout, mask);
  return ::pselect(nfds, rd, wr, ex, timeout, mask);
}

int sysinfo(struct sysinfo* info) {
  if (auto* b = board()) return b->sysinfo(info);
  return ::sysinfo(info);
}

int socket(int domain, int type, int protocol) {
  if (auto* b = board()) return b->socket(domain, type, protocol);
  return ::socket(domain, type, protocol);
}

int bind(int fd, const struct sockaddr* addr, socklen_t len) {
  if (auto* b = board()) return b->bind(fd, addr, len);
  return ::bind(fd, addr, len);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
  if (auto* b = board()) return b->setsockopt(fd, level, name, value, len);
  return ::setsockopt(fd, level, name, value, len);
}

ssize_t recv(int fd, void* buf, size_t len, int flags) { return recvfrom(fd, buf, len, flags, nullptr, nullptr); }

ssize_t recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from, socklen_t* fromlen) {
  auto* b = board();
  if (!b) return ::recvfrom(fd, buf, len, flags, from, fromlen);
  struct iovec iov = {buf, len};
  struct msghdr msg = {};
  msg.msg_name = from;
  msg.msg_namelen = from && fromlen ? *fromlen : 0;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n = b->recvmsg(fd, &msg, flags);
  if (n >= 0 && from && fromlen) *fromlen = msg.msg_namelen;
  return n;
}

ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  if (auto* b = board()) return b->recvmsg(fd, msg, flags);
  return ::recvmsg(fd, msg, flags);
}

int connect(int fd, const struct sockaddr* addr, socklen_t len) { return ::connect(fd, addr, len); }
int listen(int fd, int backlog) { return ::listen(fd, backlog); }
int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) { return ::accept4(fd, addr, len, flags); }
ssize_t send(int fd, const void* buf, size_t len, int flags) { return ::send(fd, buf, len, flags); }

int mount(const char* source, const char* target, const char* fstype, unsigned long flags, const void* data) {
  if (auto* b = board()) return b->mount(source, target, fstype, flags, data);
  return ::mount(source, target, fstype, flags, data);
}

int umount2(const char* target, int flags) {
  if (auto* b = board()) return b->umount2(target, flags);
  return ::umount2(target, flags);
}

int reboot(int cmd) {
  if (auto* b = board()) return b->reboot(cmd);
  return ::reboot(cmd);
}

int settimeofday(const struct timeval* tv) {
  if (auto* b = board()) return b->set_time(tv);
  return ::settimeofday(tv, nullptr);
}

int stime(time_t t) {
  struct timeval tv = {t, 0};
  if (auto* b = board()) return b->set_time(&tv);
  struct timespec ts = {t, 0};
  return ::clock_settime(CLOCK_REALTIME, &ts);
}

int settimezone(int minutes_west) {
  if (auto* b = board()) return b->set_timezone(minutes_west);
  // glibc refuses a time and a zone in one call; the zone alone is allowed.
  struct timezone tz = {minutes_west, 0};
  return ::settimeofday(nullptr, &tz);
}

int kill(pid_t pid, int sig) {
  if (auto* b = board()) return b->kill(pid, sig);
  return ::kill(pid, sig);
}

pid_t waitpid(pid_t pid, int* status, int options) { return ::waitpid(pid, status, options); }

namespace {
bool list_processes(std::vector<Process>* v) {
  if (auto* b = board()) return b->processes(v);
  return HostProcesses(v);
}
}  // namespace

std::vector<Process> processes() {
  std::vector<Process> v;
  if (!list_processes(&v)) v.clear();
  return v;
}

std::vector<pid_t> pids_named(const char* name) {
  std::vector<pid_t> v;
  if (!name || !*name) return v;
  for (auto& p : processes())
    if (runs(p.cmdline, name)) v.push_back(p.pid);
  return v;
}

int kill_named(const char* name, int sig) {
  if (!name || !*name) {
    errno = EINVAL;
    return -1;
  }
  std::vector<Process> all;
  if (!list_processes(&all)) return -1;
  int n = 0;
  for (auto& p : all)
    if (runs(p.cmdline, name) && kill(p.pid, sig) == 0) ++n;
  return n;
}

ExecPlan plan_exec(const char* file, const char* const* argv) {
  if (auto* b = board()) return b->plan_exec(file, argv);
  std::vector<std::string> args;
  for (; argv && *argv; ++argv) args.emplace_back(*argv);
  return ExecPlan(file, std::move(args));
}

ExecPlan plan_shell(const char* command) {
  if (auto* b = board()) return b->plan_shell(command);
  return ExecPlan("sh", {"sh", "-c", command});
}

int exec_prepared(const ExecPlan& plan) {
  // A bare name is looked up on PATH, as execlp("sh", ...) does.
  if (plan.file.find('/') == std::string::npos) return ::execvp(plan.file.c_str(), plan.argv.data());
  return ::execv(plan.file.c_str(), plan.argv.data());
}

bool simulated() { return board() != nullptr; }

}  // namespace osa::sys
