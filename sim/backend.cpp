// The simulator's side of the kernel seam: board paths map into the board
// directory, driver nodes are served by device models, and calls that
// would change the machine are recorded in the events log instead.

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "osa/sys_backend.h"
#include "sim/boardsys.h"
#include "sim/device.h"
#include "sim/modem_families.h"
#include "sim/models/watchdog.h"
#include "sim/mountd.h"
#include "sim/net.h"
#include "sim/uevent.h"

namespace sim {

namespace {

std::string join_args(const char* const* argv) {
  std::string s;
  for (; argv && *argv; ++argv) {
    if (!s.empty()) s += ' ';
    s += *argv;
  }
  return s;
}

class SimBackend final : public osa::sys::Backend {
 public:
  explicit SimBackend(std::shared_ptr<Board> b) : board_(std::move(b)) {}
  const Board& board() const { return *board_; }

  int open(const char* path, int flags, mode_t mode) override {
    if (!path) return fail(EFAULT);
    std::string p = path;
    if ((p == "/proc/mounts" || p == "/proc/self/mounts") && board_->owns("/proc/mounts") &&
        (flags & O_ACCMODE) == O_RDONLY)
      return mounts_file(*board_);
    if (!board_->owns(p)) {
      std::string at;
      if (!outside_board(p, flags, &at)) return -1;
      return ::open(at.c_str(), flags, mode);
    }
    const Model* m = FindModel(p);
    if (!m) m = FindBoardModel(*board_, p);
    // A model's backing file needs no synchronous writes: power cuts are
    // the model's to simulate, and O_SYNC on the host only makes it slow;
    // nor direct transfers, which a board folder on tmpfs refuses.
    int fd = ::open(board_->host_path(p).c_str(), (m ? flags & ~(O_SYNC | O_DIRECT) : flags) | O_CLOEXEC, mode);
    if (fd < 0 || !m) return fd;
    auto dev = m->open(*board_, p, fd, flags);
    if (!dev) {
      int e = errno;
      ::close(fd);
      return fail(e);
    }
    std::lock_guard g(lock_);
    devices_[fd] = std::move(dev);
    return fd;
  }

  int close(int fd) override {
    std::shared_ptr<Device> dev;  // dropped after the lock: a model may close descriptors of its own
    std::shared_ptr<UeventListener> ev;
    {
      std::lock_guard g(lock_);
      if (auto it = devices_.find(fd); it != devices_.end()) dev = std::move(it->second), devices_.erase(it);
      if (auto it = uevents_.find(fd); it != uevents_.end()) ev = std::move(it->second), uevents_.erase(it);
    }
    dev.reset();
    ev.reset();
    return ::close(fd);
  }

  ssize_t read(int fd, void* buf, size_t len) override {
    if (auto d = device(fd)) return d->read(buf, len);
    return ::read(fd, buf, len);
  }
  ssize_t write(int fd, const void* buf, size_t len) override {
    if (auto d = device(fd)) return d->write(buf, len);
    return ::write(fd, buf, len);
  }
  ssize_t pread(int fd, void* buf, size_t len, off_t off) override {
    if (auto d = device(fd)) return d->pread(buf, len, off);
    return ::pread(fd, buf, len, off);
  }
  ssize_t pwrite(int fd, const void* buf, size_t len, off_t off) override {
    if (auto d = device(fd)) return d->pwrite(buf, len, off);
    return ::pwrite(fd, buf, len, off);
  }
  int ioctl(int fd, unsigned long request, void* arg) override {
    if (auto d = device(fd)) return d->ioctl(request, arg);
    // A modem's own interface is the board's.
    if (int r = 0; ModemNetcardIoctl(*board_, request, arg, &r)) return r;
    // The board's network is the host's unless the program runs in a
    // namespace of its own: then nothing may change it.
    if (NetChangingIoctl(request, arg) && !PrivateNetns()) {
      char what[48];
      std::snprintf(what, sizeof what, "ioctl 0x%lx", request);
      return refuse_net(what);
    }
    return ::ioctl(fd, request, arg);
  }

  std::string path(const char* board_path) override {
    std::string p = board_path ? board_path : "";
    if (p.empty() || board_->owns(p)) return board_->host_path(p);
    return unowned_path(p);
  }

  // Mounts are real only inside the board's own mount namespace (the
  // sandbox's broker); anywhere else they fail with EPERM.  Each attempt
  // and its result are recorded.
  int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
            const void* data) override {
    char line[1024];
    std::snprintf(line, sizeof line, "mount %s %s %s 0x%lx %s", source ? source : "-", target ? target : "-",
                  fstype ? fstype : "-", flags, data ? static_cast<const char*>(data) : "-");
    board_->event(line);
    int rc = BrokerMount(*board_, source, target, fstype, flags, static_cast<const char*>(data));
    return result("mount", target, rc);
  }
  int umount2(const char* target, int flags) override {
    board_->event("umount " + std::string(target ? target : "-") + " " + std::to_string(flags));
    return result("umount", target, BrokerUmount(*board_, target, flags));
  }
  int reboot(int cmd) override {
    char line[64];
    std::snprintf(line, sizeof line, "reboot 0x%x", static_cast<unsigned>(cmd));
    board_->event(line);
    return 0;
  }
  int set_time(const struct timeval* tv) override {
    if (!tv) return fail(EFAULT);
    char line[64];
    std::snprintf(line, sizeof line, "time-set %lld.%06ld", static_cast<long long>(tv->tv_sec),
                  static_cast<long>(tv->tv_usec));
    board_->event(line);
    return 0;
  }
  int set_timezone(int minutes_west) override {
    board_->event("time-zone " + std::to_string(minutes_west));
    return 0;
  }
  int kill(pid_t pid, int sig) override {
    // Processes on the board are real children of the program.  Signals
    // that would reach beyond them (everyone, init, our own group) are
    // refused.
    if (pid == 0 || pid == -1 || pid == 1 || pid == -1 * static_cast<pid_t>(getpgrp())) return fail(EPERM);
    // Host processes the program finds in /proc (a telnetd, an sshd) are not
    // on the board: for the program they do not exist.
    if (!on_board(pid < 0 ? -pid : pid)) {
      board_->event("kill-refused " + std::to_string(pid) + " " + std::to_string(sig));
      return fail(ESRCH);
    }
    board_->event("kill " + std::to_string(pid) + " " + std::to_string(sig));
    return ::kill(pid, sig);
  }

  // Files, folders and links.
  int fdatasync(int fd) override {
    if (auto d = device(fd)) return d->datasync();
    return ::fdatasync(fd);
  }
  void sync() override {}  // the board's files need no flush of every host disk
  ssize_t readlink(const char* p, char* buf, size_t len) override {
    if (!p) return fail(EFAULT);
    return ::readlink(path(p).c_str(), buf, len);
  }
  std::string realpath(const char* p) override {
    if (!p) {
      fail(EINVAL);
      return {};
    }
    return ResolveBoardPath(*board_, p);
  }

  // Serial lines: a model's node answers for itself, a line backed by a
  // pseudo-terminal is the terminal's.
  int tcgetattr(int fd, struct termios* t) override {
    if (auto d = device(fd)) return d->tcgetattr(t);
    return ::tcgetattr(fd, t);
  }
  int tcsetattr(int fd, int actions, const struct termios* t) override {
    if (auto d = device(fd)) return d->tcsetattr(actions, t);
    return ::tcsetattr(fd, actions, t);
  }
  int tcflush(int fd, int queue) override {
    if (auto d = device(fd)) return d->tcflush(queue);
    return ::tcflush(fd, queue);
  }
  int tcflow(int fd, int action) override {
    if (auto d = device(fd)) return d->tcflow(action);
    return ::tcflow(fd, action);
  }
  int tcdrain(int fd) override {
    if (auto d = device(fd)) return d->tcdrain();
    return ::tcdrain(fd);
  }
  int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) override { return ::poll(fds, nfds, timeout_ms); }
  int pselect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const struct timespec* timeout,
              const sigset_t* mask) override {
    return ::pselect(nfds, rd, wr, ex, timeout, mask);
  }

  // The machine's figures are the host's, its memory the board's.
  int sysinfo(struct sysinfo* info) override {
    if (!info) return fail(EFAULT);
    if (::sysinfo(info) != 0) return -1;
    if (!board_->owns("/proc/meminfo")) return 0;
    return BoardMemInfo(board_->host_path("/proc/meminfo"), info) ? 0 : -1;
  }

  // Kernel event sockets listen to the board's channel.
  // Routing link events come from the board too, unless the program runs
  // in a network namespace of its own, whose kernel then has them.
  int socket(int domain, int type, int protocol) override {
    bool uevents = domain == AF_NETLINK && protocol == NETLINK_KOBJECT_UEVENT;
    bool links = domain == AF_NETLINK && protocol == NETLINK_ROUTE && !PrivateNetns();
    if (!uevents && !links) return ::socket(domain, type, protocol);
    int fd = -1;
    auto l = uevents ? UeventListener::Open(board_->dir(), type, &fd)
                     : UeventListener::Open(board_->dir(), type, &fd, kLinkChannel, RTMGRP_LINK);
    if (!l) return -1;
    std::lock_guard g(lock_);
    uevents_[fd] = std::move(l);
    return fd;
  }
  int bind(int fd, const struct sockaddr* addr, socklen_t len) override {
    if (auto l = uevent(fd)) return l->bind(addr, len);
    return ::bind(fd, addr, len);
  }
  int setsockopt(int fd, int level, int name, const void* value, socklen_t len) override {
    if (auto l = uevent(fd)) return l->setsockopt(level, name, value, len);
    return ::setsockopt(fd, level, name, value, len);
  }
  ssize_t recvmsg(int fd, struct msghdr* msg, int flags) override {
    if (auto l = uevent(fd)) return l->recvmsg(msg, flags);
    return ::recvmsg(fd, msg, flags);
  }

  bool processes(std::vector<osa::sys::Process>* out) override {
    std::vector<osa::sys::Process> all;
    if (!osa::sys::HostProcesses(&all)) return false;
    for (auto& p : all)
      if (on_board(p.pid)) out->push_back(std::move(p));
    return true;
  }

  osa::sys::ExecPlan plan_exec(const char* file, const char* const* argv) override {
    std::vector<std::string> args;
    for (const char* const* a = argv; a && *a; ++a) args.emplace_back(*a);
    std::string f = file ? file : "";
    board_->event("exec " + f + (args.size() > 1 ? " " + join_args(argv + 1) : ""));
    std::string to = stand_in(f);
    // Any other program runs in the board's sandbox, as commands do.
    // (This executable itself is left as it is, so the caller can see it.)
    struct stat a, self;
    bool is_self = ::stat(to.c_str(), &a) == 0 && ::stat("/proc/self/exe", &self) == 0 && a.st_dev == self.st_dev &&
                   a.st_ino == self.st_ino;
    if (to.rfind(board_->file("tools/"), 0) != 0 && to.find('/') != std::string::npos && !is_self &&
        ::access(to.c_str(), X_OK) == 0) {
      args.insert(args.begin(), {"dvrsim-sandbox", "--exec", to});
      to = board_->file("tools/sandbox");
    }
    return osa::sys::ExecPlan(to, std::move(args));
  }

  osa::sys::ExecPlan plan_shell(const char* command) override {
    board_->event(std::string("sh ") + command);
    return osa::sys::ExecPlan(board_->file("tools/sandbox"), {"dvrsim-sandbox", "-c", command});
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  int result(const char* what, const char* target, int rc) const {
    int e = errno;
    const char* name = rc == 0 ? "0" : strerrorname_np(e);
    board_->event(std::string(what) + "-result " + (target ? target : "-") + " " + (name ? name : "?"));
    errno = e;
    return rc;
  }
  // The board's /proc/mounts, made for the calling process.
  static int mounts_file(const Board& b) {
    std::string text = BoardProcMounts(b);
    int fd = ::memfd_create("mounts", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
      ::close(fd);
      return fail(EIO);
    }
    return fd;
  }
  int refuse_net(const std::string& what) const {
    board_->event("net-refused " + what);
    return fail(EPERM);
  }
  static bool HostNetPath(const std::string& p) {
    return p.rfind("/sys/class/net/", 0) == 0 || p.rfind("/sys/devices/virtual/net/", 0) == 0 ||
           p.rfind("/proc/sys/net/", 0) == 0;
  }

  // Where an unowned path lives for a caller whose intent is unknown (a
  // rename, unlink, stat ...): the board's layer when it has the file,
  // else the host's when the board may read it, else the layer.
  std::string unowned_path(const std::string& p) const {
    std::string abs = AbsoluteBoardPath(p), layer = board_->layer_path(abs);
    struct stat st;
    if (layer.empty()) return "/nonexistent-board-path";
    if (!board_->host_readable(abs)) return layer;
    // A folder both have is listed from the host (the board's /proc holds
    // only the files it owns); a file the board wrote is the board's.
    if (::lstat(layer.c_str(), &st) != 0 || (S_ISDIR(st.st_mode) && ::stat(abs.c_str(), &st) == 0)) return p;
    return layer;
  }

  // An open of a path the board does not own: writes land in the board's
  // layer (the host's folders mirrored as needed, an existing host file
  // copied up unless truncated), reads come from the layer or from the
  // host where allowed.  *at gets the path to open.
  bool outside_board(const std::string& p, int flags, std::string* at) const {
    std::string abs = AbsoluteBoardPath(p);
    bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
    if (writes && HostNetPath(abs)) {
      if (!PrivateNetns()) return refuse_net("open " + abs) == 0;
      *at = p;
      return true;
    }
    if (Board::host_writable(abs)) {
      *at = p;
      return true;
    }
    std::string layer = board_->layer_path(abs);
    if (layer.empty()) {
      board_->event("write-refused " + abs);
      return fail(EACCES) == 0;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    bool in_layer = fs::exists(fs::symlink_status(layer, ec));
    if (!writes) {
      // Say so when the host has what the board cannot see.
      if (!in_layer && !board_->host_readable(abs) && ::access(abs.c_str(), F_OK) == 0)
        board_->event("read-hidden " + abs);
      *at = unowned_path(p);
      return true;
    }
    if (!in_layer) {
      // The board's folders are the host's until the board writes in one.
      fs::path parent = fs::path(abs).parent_path();
      if (fs::is_directory(parent, ec)) fs::create_directories(fs::path(layer).parent_path(), ec);
      if (!(flags & O_TRUNC) && fs::is_regular_file(abs, ec) && board_->host_readable(abs))
        fs::copy_file(abs, layer, ec);
    }
    *at = layer;
    return true;
  }

  // A process runs on this board when it was started with DVR_BOARD naming it.
  bool on_board(pid_t pid) const {
    std::string env;
    int fd = ::open(("/proc/" + std::to_string(pid) + "/environ").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) env.append(buf, static_cast<size_t>(n));
    ::close(fd);
    const std::string want = "DVR_BOARD=" + board_->dir();
    for (size_t at = 0; at < env.size();) {
      size_t end = env.find('\0', at);
      if (end == std::string::npos) end = env.size();
      if (env.compare(at, end - at, want) == 0) return true;
      at = end + 1;
    }
    return false;
  }

  std::shared_ptr<Device> device(int fd) {
    std::lock_guard g(lock_);
    auto it = devices_.find(fd);
    return it == devices_.end() ? nullptr : it->second;
  }
  std::shared_ptr<UeventListener> uevent(int fd) {
    std::lock_guard g(lock_);
    auto it = uevents_.find(fd);
    return it == uevents_.end() ? nullptr : it->second;
  }

  // The board's stand-in for an absolute tool path, else the board's own
  // copy of an owned path, else the path itself.
  std::string stand_in(const std::string& file) const {
    if (file.empty() || file[0] != '/') return file;
    std::string overlay;
    std::string s = board_->file("tools/root/" + StandInRelPath(file, &overlay));
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(s, ec))) return s;
    return board_->host_path(file);
  }

  std::shared_ptr<Board> board_;
  std::mutex lock_;
  std::map<int, std::shared_ptr<Device>> devices_;
  std::map<int, std::shared_ptr<UeventListener>> uevents_;
};

// A board that could not be loaded: every call fails rather than fall
// through to the host.
class BrokenBoard final : public osa::sys::Backend {
 public:
  int open(const char*, int, mode_t) override { return fail(); }
  int close(int fd) override { return ::close(fd); }
  ssize_t read(int, void*, size_t) override { return fail(); }
  ssize_t write(int, const void*, size_t) override { return fail(); }
  ssize_t pread(int, void*, size_t, off_t) override { return fail(); }
  ssize_t pwrite(int, const void*, size_t, off_t) override { return fail(); }
  int ioctl(int, unsigned long, void*) override { return fail(); }
  std::string path(const char*) override { return "/nonexistent-board"; }
  int mount(const char*, const char*, const char*, unsigned long, const void*) override { return fail(); }
  int umount2(const char*, int) override { return fail(); }
  int reboot(int) override { return fail(); }
  int set_time(const struct timeval*) override { return fail(); }
  int set_timezone(int) override { return fail(); }
  int kill(pid_t, int) override { return fail(); }
  osa::sys::ExecPlan plan_exec(const char*, const char* const*) override { return {"/nonexistent-board", {"-"}}; }
  osa::sys::ExecPlan plan_shell(const char*) override { return {"/nonexistent-board", {"-"}}; }

 private:
  static int fail() {
    errno = ENODEV;
    return -1;
  }
};

}  // namespace

}  // namespace sim

namespace sim {

namespace {

// The backend follows DVR_BOARD, so a test may switch boards between cases.
osa::sys::Backend* SeamBackend() {
  const char* dir = getenv("DVR_BOARD");
  if (!dir || !*dir) return nullptr;
  static std::mutex lock;
  static std::string loaded;
  static std::unique_ptr<osa::sys::Backend> current;
  // Backends of earlier boards stay alive: another thread may still be
  // inside one of their calls.
  static std::vector<std::unique_ptr<osa::sys::Backend>> retired;
  std::lock_guard g(lock);
  if (current && loaded == dir) return current.get();
  ReportBoardTypeErrors();
  if (current) retired.push_back(std::move(current));
  std::string err;
  auto b = Board::Load(dir, &err);
  if (b) {
    current = std::make_unique<SimBackend>(std::move(b));
  } else if (::access((std::string(dir) + "/board.json").c_str(), F_OK) == 0) {
    // A description that is there but wrong: say which field and stop.
    fprintf(stderr, "dvrsim: cannot use board %s: %s\n", dir, err.c_str());
    fflush(stdout);
    _exit(1);
  } else {
    fprintf(stderr, "dvrsim: cannot use board %s: %s\n", dir, err.c_str());
    current = std::make_unique<BrokenBoard>();
  }
  loaded = dir;
  return current.get();
}

// Linking this object into a program is what puts it on the simulated
// board (see sim/CMakeLists.txt).
[[maybe_unused]] const bool registered = (osa::sys::RegisterBackend(&SeamBackend), true);

}  // namespace

}  // namespace sim
