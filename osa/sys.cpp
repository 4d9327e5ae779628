#include "osa/sys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>

#include "osa/sys_backend.h"

namespace osa::sys {

namespace {
inline Backend* board() {
#if DVR_SIM
  return SimBackend();
#else
  return nullptr;
#endif
}
}  // namespace

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

FILE* fopen(const char* p, const char* mode) {
  if (auto* b = board()) return ::fopen(b->path(p).c_str(), mode);
  return ::fopen(p, mode);
}

DIR* opendir(const char* p) {
  if (auto* b = board()) return ::opendir(b->path(p).c_str());
  return ::opendir(p);
}

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

int kill(pid_t pid, int sig) {
  if (auto* b = board()) return b->kill(pid, sig);
  return ::kill(pid, sig);
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
