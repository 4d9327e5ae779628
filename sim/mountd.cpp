// The mount broker (see mountd.h).

#include "sim/mountd.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/fs_tools.h"
#include "sim/mount_fat.h"
#include "sim/models/disk.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

std::string canonical_dir(const std::string& d) {
  std::error_code ec;
  auto c = fs::weakly_canonical(d, ec);
  return ec ? d : c.string();
}

// ------------------------------------------------------------ handlers

// ext2/3/4 and xfs: the kernel mounts the loop device itself.  Options
// that name a further device (xfs rtdev=, logdev=) get its loop node too.
int kernel_mount(MountBroker& mb, const MountRequest& r) {
  std::string node;
  int e = 0;
  bool ro = r.flags & MS_RDONLY;
  osa::UniqueFd loop = mb.AttachLoop(r.source, ro, &node, &e);
  if (!loop) return e;
  std::vector<osa::UniqueFd> more;
  std::string data;
  std::istringstream in(r.data);
  for (std::string opt; std::getline(in, opt, ',');) {
    for (const char* key : {"rtdev=", "logdev="}) {
      if (opt.rfind(key, 0) != 0) continue;
      std::string other;
      osa::UniqueFd fd = mb.AttachLoop(opt.substr(strlen(key)), ro, &other, &e);
      if (!fd) return e;
      more.push_back(std::move(fd));
      opt = key + other;
    }
    data += (data.empty() ? "" : ",") + opt;
  }
  if (::mount(node.c_str(), r.host_target.c_str(), r.type.c_str(), r.flags, data.empty() ? nullptr : data.c_str()) != 0)
    return errno;
  return 0;
}

// ntfs-3g is a FUSE daemon: it runs on the loop device as the broker's
// child and puts the board's device name in the mount table.
int ntfs3g_mount(MountBroker& mb, const MountRequest& r) {
  if (!mb.HostNode("fuse")) return ENODEV;
  std::string node;
  int e = 0;
  osa::UniqueFd loop = mb.AttachLoop(r.source, r.flags & MS_RDONLY, &node, &e);
  if (!loop) return e;
  // The daemon names the loop device in the mount table; the board's
  // /proc/mounts turns it back into the board's device.
  std::vector<const char*> argv = {"ntfs-3g"};
  if (!r.data.empty()) argv.insert(argv.end(), {"-o", r.data.c_str()});
  argv.insert(argv.end(), {node.c_str(), r.host_target.c_str(), nullptr});
  int st = mb.Spawn(argv.data(), 20000);
  return st == 0 ? 0 : st == 12 ? EINVAL : st == 16 ? EBUSY : EIO;
}

const FsHandler kFsHandlers[] = {
    {"ext2", kernel_mount}, {"ext3", kernel_mount}, {"ext4", kernel_mount}, {"xfs", kernel_mount},
    {"ntfs-3g", ntfs3g_mount}, {"vfat", FusefatMount}, {"exfat", ExfatFuseMount},
};

constexpr unsigned long kAllowedFlags = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_SYNCHRONOUS | MS_DIRSYNC |
                                        MS_NOATIME | MS_NODIRATIME | MS_RELATIME | MS_SILENT | MS_LAZYTIME;

// ------------------------------------------------------------ broker side

class Broker final : public MountBroker {
 public:
  Broker(const Board& b, int sock, BrokerSeed& seed) : b_(b), sock_(sock), seed_(seed), dev_(seed.dev.get()) {}

  void Serve() {
    struct stat self;
    if (::stat("/proc/self/ns/mnt", &self) != 0) return;
    ns_ = self.st_ino;
    for (;;) {
      reap();
      char buf[8192];
      alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * 4) + CMSG_SPACE(sizeof(struct ucred))];
      struct iovec iov = {buf, sizeof buf};
      struct msghdr m{};
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = ctl;
      m.msg_controllen = sizeof ctl;
      ssize_t n = ::recvmsg(sock_.get(), &m, MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // every program on the board has gone
      std::vector<osa::UniqueFd> fds;  // the reply socket, then a command's standard streams
      pid_t pid = 0;
      for (auto* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_RIGHTS) {
          int got[4];
          size_t k = std::min<size_t>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int), 4);
          std::memcpy(got, CMSG_DATA(c), k * sizeof(int));
          for (size_t i = 0; i < k; ++i) fds.emplace_back(got[i]);
        } else if (c->cmsg_type == SCM_CREDENTIALS) {
          struct ucred u;
          std::memcpy(&u, CMSG_DATA(c), sizeof u);
          pid = u.pid;
        }
      }
      if (fds.empty()) continue;
      osa::UniqueFd reply = std::move(fds[0]);
      std::vector<std::string> f;
      for (size_t at = 0; at < static_cast<size_t>(n);) {
        size_t end = std::string_view(buf + at, static_cast<size_t>(n) - at).find('\0');
        if (end == std::string_view::npos) end = static_cast<size_t>(n) - at;
        f.emplace_back(buf + at, end);
        at += end + 1;
      }
      osa::UniqueFd give;
      if (same_namespace(pid) && f.size() >= 3 && f[0] == "run" && fds.size() == 4 &&
          canonical_dir(f[1]) == canonical_dir(b_.dir())) {
        run_tool(f, std::move(reply), fds);  // answers when the tool ends
        continue;
      }
      int rc = same_namespace(pid) ? handle(f, &give) : EPERM;
      answer(reply.get(), rc, give.get());
    }
    // Take our mounts down so FUSE daemons end and loop devices clear.
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    for (pid_t p : daemons_) ::kill(p, SIGTERM);
    for (pid_t p : daemons_) ::waitpid(p, nullptr, 0);
  }

  osa::UniqueFd AttachLoop(const std::string& dev, bool ro, std::string* node, int* err) override {
    DiskWindow w;
    std::string why;
    if (!FindWindow(b_, dev, &w, &why)) {
      *err = ENXIO;
      return {};
    }
    osa::UniqueFd img(::open(w.image.c_str(), (ro ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    osa::UniqueFd ctl(::openat(dev_, "loop-control", O_RDWR | O_CLOEXEC));
    if (!img || !ctl) {
      *err = errno;
      return {};
    }
    for (int tries = 0; tries < 32; ++tries) {
      int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
      if (n < 0) break;
      std::string name = "loop" + std::to_string(n);
      osa::UniqueFd loop(::openat(dev_, name.c_str(), O_RDWR | O_CLOEXEC));
      if (!loop) continue;
      struct loop_config c{};
      c.fd = static_cast<uint32_t>(img.get());
      c.info.lo_offset = w.offset;
      c.info.lo_sizelimit = w.bytes;
      c.info.lo_flags = LO_FLAGS_AUTOCLEAR | (ro ? LO_FLAGS_READ_ONLY : 0);
      if (::ioctl(loop.get(), LOOP_CONFIGURE, &c) != 0) {
        if (errno == EBUSY) continue;  // another user took it first
        break;
      }
      struct stat st;
      std::string at = "/dev/" + name;
      ::unlink(at.c_str());
      if (::fstat(loop.get(), &st) != 0 || ::mknod(at.c_str(), S_IFBLK | 0600, st.st_rdev) != 0) break;
      *node = at;
      return loop;
    }
    *err = errno ? errno : EBUSY;
    return {};
  }

  bool HostNode(const char* name) override {
    struct stat st;
    std::string at = std::string("/dev/") + name;
    if (::stat(at.c_str(), &st) == 0) return true;
    if (::fstatat(dev_, name, &st, 0) != 0) return false;
    return ::mknod(at.c_str(), st.st_mode & (S_IFMT | 0777), st.st_rdev) == 0;
  }

  int Spawn(const char* const* argv, int wait_ms) override {
    pid_t pid = ::fork();
    if (pid < 0) return errno;
    if (pid == 0) {
      // The host's program, not the stand-in that covers its name.
      if (osa::UniqueFd real = lookup_tool(argv[0]))
        ::execveat(real.get(), "", const_cast<char* const*>(argv), environ, AT_EMPTY_PATH);
      execvp(argv[0], const_cast<char* const*>(argv));
      _exit(127);
    }
    for (int waited = 0; waited <= wait_ms; waited += 20) {
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
      ::usleep(20000);
    }
    daemons_.push_back(pid);
    return 0;
  }

  const Board& board() const override { return b_; }

 private:
  bool same_namespace(pid_t pid) const {
    struct stat st;
    return pid > 0 && ::stat(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), &st) == 0 && st.st_ino == ns_;
  }

  // The folder a board path names, when it lies inside the board
  // directory (and outside the simulator's own files).
  bool host_folder(const std::string& board_path, std::string* out) const {
    if (board_path.empty() || board_path[0] != '/') return false;
    std::string abs = AbsoluteBoardPath(board_path);
    std::string p = b_.owns(abs) ? b_.host_path(abs) : b_.layer_path(abs);
    if (p.empty()) return false;
    std::error_code ec;
    std::string real = fs::canonical(p, ec).string();
    std::string root = canonical_dir(b_.dir());
    if (ec || real.rfind(root + "/", 0) != 0 || !fs::is_directory(real, ec)) return false;
    for (const char* own : {"/tools", "/dev", "/board.json", "/events.log"})
      if (real == root + own || real.rfind(root + own + "/", 0) == 0) return false;
    *out = real;
    return true;
  }

  int handle(const std::vector<std::string>& f, osa::UniqueFd* give) {
    if (f.size() < 2 || canonical_dir(f[1]) != canonical_dir(b_.dir())) return EPERM;
    if (f[0] == "mount" && f.size() == 8) {
      MountRequest r{f[2], f[3], {}, f[4], std::strtoul(f[5].c_str(), nullptr, 0), f[6] == "1" ? f[7] : ""};
      if (!host_folder(r.target, &r.host_target)) return ENOENT;
      // The old magic in the top half means nothing more, as to the kernel.
      if ((r.flags & MS_MGC_MSK) == MS_MGC_VAL) r.flags &= ~MS_MGC_MSK;
      if (r.flags & ~kAllowedFlags) return EINVAL;
      r.flags |= MS_NODEV | MS_NOSUID;  // nodes on an image never reach host devices
      // A folder the sandbox bound from the board (DIR/mnt at /mnt) shows
      // the mount at its host name too, for the commands that use it.
      struct stat a, o;
      bool bound = r.target != r.host_target && ::stat(r.host_target.c_str(), &a) == 0 &&
                   ::stat(r.target.c_str(), &o) == 0 && a.st_dev == o.st_dev && a.st_ino == o.st_ino;
      for (auto& h : kFsHandlers)
        if (r.type == h.type) {
          int e = h.mount(*this, r);
          if (e) return e;
          mounted_.push_back(r.host_target);
          if (bound && ::mount(r.host_target.c_str(), r.target.c_str(), nullptr, MS_BIND, nullptr) == 0)
            mounted_.push_back(r.target);
          return 0;
        }
      return ENODEV;  // this kernel has no such file system
    }
    if (f[0] == "umount" && f.size() == 4) {
      std::string host;
      if (!host_folder(f[2], &host)) return ENOENT;
      int flags = static_cast<int>(std::strtol(f[3].c_str(), nullptr, 0)) & (MNT_FORCE | MNT_DETACH);
      std::string abs = AbsoluteBoardPath(f[2]);
      auto bind = std::find(mounted_.begin(), mounted_.end(), abs);
      if (abs != host && bind != mounted_.end()) {
        ::umount2(abs.c_str(), flags);
        mounted_.erase(bind);
      }
      if (::umount2(host.c_str(), flags) != 0) return errno;
      if (auto it = std::find(mounted_.begin(), mounted_.end(), host); it != mounted_.end()) mounted_.erase(it);
      return 0;
    }
    if (f[0] == "attach" && f.size() == 4) {
      std::string node;
      int e = 0;
      *give = AttachLoop(f[2], f[3] == "1", &node, &e);
      return *give ? 0 : e;
    }
    return EINVAL;
  }

  // A disk tool with the board's devices in its arguments, run with the
  // broker's rights (tools such as mkfs.xfs set the block size of the
  // device, which takes CAP_SYS_ADMIN).  A worker waits for it and answers;
  // when the stand-in that asked goes away (killed), the tool is stopped.
  void run_tool(const std::vector<std::string>& f, osa::UniqueFd reply, std::vector<osa::UniqueFd>& stdio) {
    pid_t worker = ::fork();
    if (worker != 0) {
      if (worker > 0) daemons_.push_back(worker);
      else answer(reply.get(), errno, -1);
      return;
    }
    std::vector<std::string> args(f.begin() + 2, f.end());
    std::vector<osa::UniqueFd> held;
    std::vector<std::string> disks;
    std::string why;
    auto attach = [&](const std::string& dev) -> std::string {
      std::string node;
      int e = 0;
      osa::UniqueFd fd = AttachLoop(dev, false, &node, &e);
      if (!fd) return {};
      held.push_back(std::move(fd));
      return node;
    };
    osa::UniqueFd real = FsToolKnown(args[0]) ? lookup_tool(args[0]) : osa::UniqueFd();
    bool ok = real && TranslateToolArgs(b_, &args, attach, &disks, &why);
    if (!ok && real && disks.size() == 1 && disks[0].empty()) {
      answer(reply.get(), 0, -1);  // another model's device: the stand-in only records
      _exit(0);
    }
    if (!ok) {
      std::string msg = args[0] + ": " + (real ? why : "not a disk tool of the board") + "\n";
      if (::write(stdio[2].get(), msg.data(), msg.size()) < 0) {
      }
      answer(reply.get(), 127 << 8, -1);
      _exit(0);
    }
    std::vector<char*> v;
    for (auto& a : args) v.push_back(a.data());
    v.push_back(nullptr);
    pid_t tool = ::fork();
    if (tool == 0) {
      for (int i = 0; i < 3; ++i) ::dup2(stdio[static_cast<size_t>(i) + 1].get(), i);
      ::execveat(real.get(), "", v.data(), environ, AT_EMPTY_PATH);
      _exit(127);
    }
    stdio.clear();
    int st = 127 << 8;
    for (;;) {
      if (tool < 0 || ::waitpid(tool, &st, WNOHANG) == tool) break;
      struct pollfd p = {reply.get(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0 && (p.revents & (POLLHUP | POLLERR))) ::kill(tool, SIGTERM);
    }
    answer(reply.get(), st, -1);
    _exit(0);
  }

  osa::UniqueFd lookup_tool(const std::string& name) const {
    for (auto& [dir, fd] : seed_.tool_dirs) {
      struct stat st;
      if (::fstatat(fd.get(), name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111))
        return osa::UniqueFd(::openat(fd.get(), name.c_str(), O_PATH | O_CLOEXEC));
    }
    return {};
  }

  static void answer(int fd, int rc, int give) {
    std::string text = std::to_string(rc);
    struct iovec iov = {text.data(), text.size()};
    alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    if (give >= 0) {
      m.msg_control = ctl;
      m.msg_controllen = sizeof ctl;
      auto* c = CMSG_FIRSTHDR(&m);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &give, sizeof give);
    }
    ::sendmsg(fd, &m, MSG_NOSIGNAL);
  }

  void reap() {
    for (auto it = daemons_.begin(); it != daemons_.end();)
      it = ::waitpid(*it, nullptr, WNOHANG) == *it ? daemons_.erase(it) : it + 1;
  }

  const Board& b_;
  osa::UniqueFd sock_;
  BrokerSeed& seed_;
  int dev_;
  ino_t ns_ = 0;
  std::vector<std::string> mounted_;
  std::vector<pid_t> daemons_;
};

// ------------------------------------------------------------ client side

// `stdio`: pass this process's standard streams along (a command run by
// the broker); the answer is then the command's wait status.
int call(const Board& b, std::vector<std::string> fields, osa::UniqueFd* got, bool stdio = false) {
  const char* env = getenv("DVR_MOUNTD");
  int fd = env && *env ? std::atoi(env) : -1;
  int type = 0;
  socklen_t len = sizeof type;
  if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) {
    errno = EPERM;  // not in the board's namespace: nothing is mounted
    return -1;
  }
  fields.insert(fields.begin() + 1, b.dir());
  std::string payload;
  for (auto& f : fields) payload += f + '\0';
  int p[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, p) != 0) return -1;
  osa::UniqueFd mine(p[0]), theirs(p[1]);
  struct iovec iov = {payload.data(), payload.size()};
  int pass[4] = {theirs.get(), 0, 1, 2};
  size_t npass = stdio ? 4 : 1;
  alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof pass)] = {};
  struct msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = ctl;
  m.msg_controllen = CMSG_SPACE(npass * sizeof(int));
  auto* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(npass * sizeof(int));
  std::memcpy(CMSG_DATA(c), pass, npass * sizeof(int));
  if (::sendmsg(fd, &m, MSG_NOSIGNAL) < 0) {
    errno = EPERM;  // the broker has gone
    return -1;
  }
  theirs.reset();
  char buf[32];
  alignas(struct cmsghdr) char rctl[CMSG_SPACE(sizeof(int))];
  struct iovec riov = {buf, sizeof buf - 1};
  struct msghdr r{};
  r.msg_iov = &riov;
  r.msg_iovlen = 1;
  r.msg_control = rctl;
  r.msg_controllen = sizeof rctl;
  ssize_t n;
  while ((n = ::recvmsg(mine.get(), &r, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
  }
  if (n <= 0) {
    errno = EPERM;
    return -1;
  }
  for (auto* rc = CMSG_FIRSTHDR(&r); rc; rc = CMSG_NXTHDR(&r, rc))
    if (rc->cmsg_level == SOL_SOCKET && rc->cmsg_type == SCM_RIGHTS) {
      int got_fd;
      std::memcpy(&got_fd, CMSG_DATA(rc), sizeof got_fd);
      if (got) got->reset(got_fd);
      else ::close(got_fd);
    }
  buf[n] = 0;
  int e = std::atoi(buf);
  if (stdio || e == 0) return e;
  errno = e;
  return -1;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() + 0 && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

BrokerSeed PrepareMountBroker(const std::string& dir) {
  BrokerSeed s;
  s.dev.reset(::open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::ifstream in(dir + "/tools/overlays");
  for (std::string host; std::getline(in, host);)
    if (!host.empty()) s.tool_dirs.emplace_back(host, osa::UniqueFd(::open(host.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  return s;
}

bool StartMountBroker(const Board& b, BrokerSeed& seed) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return false;
  // Before anyone can send: the broker learns each caller's pid.
  int on = 1;
  if (::setsockopt(sv[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return false;
  pid_t mid = ::fork();
  if (mid < 0) return false;
  if (mid == 0) {
    // Twice forked: the broker is nobody's child the program might wait for.
    if (::fork() != 0) _exit(0);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    for (int i = 0; i < 3; ++i) ::dup2(null, i);
    std::vector<int> keep = {sv[1], seed.dev.get()};
    for (auto& t : seed.tool_dirs) keep.push_back(t.second.get());
    for (int fd = 3; fd < 4096; ++fd)
      if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
    Broker(b, sv[1], seed).Serve();
    _exit(0);
  }
  ::waitpid(mid, nullptr, 0);
  ::close(sv[1]);
  ::fcntl(sv[0], F_SETFD, 0);  // inherited by the program and its commands
  ::setenv("DVR_MOUNTD", std::to_string(sv[0]).c_str(), 1);
  return true;
}

int BrokerMount(const Board& b, const char* source, const char* target, const char* type, unsigned long flags,
                const char* data) {
  if (!source || !target || !type) {
    errno = EFAULT;
    return -1;
  }
  return call(b, {"mount", source, target, type, std::to_string(flags), data ? "1" : "0", data ? data : ""}, nullptr);
}

int BrokerUmount(const Board& b, const char* target, int flags) {
  if (!target) {
    errno = EFAULT;
    return -1;
  }
  return call(b, {"umount", target, std::to_string(flags)}, nullptr);
}

osa::UniqueFd BrokerAttach(const Board& b, const std::string& dev, bool read_only) {
  osa::UniqueFd fd;
  if (call(b, {"attach", dev, read_only ? "1" : "0"}, &fd) != 0) return {};
  return fd;
}

int BrokerRunTool(const Board& b, const std::vector<std::string>& argv) {
  std::vector<std::string> f = {"run"};
  f.insert(f.end(), argv.begin(), argv.end());
  int st = call(b, f, nullptr, true);
  return st < 0 ? -1 : st;
}

std::string BoardProcMounts(const Board& b) {
  std::string text;
  {
    std::ifstream fixed(b.file("proc/mounts"));
    std::stringstream ss;
    ss << fixed.rdbuf();
    text = ss.str();
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  std::string root = canonical_dir(b.dir());
  std::ifstream in("/proc/self/mounts");
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string src, at, type, opts;
    if (!(f >> src >> at >> type >> opts)) continue;
    std::string tgt = unescape(at);
    if (tgt.rfind(root + "/", 0) != 0) continue;
    std::string board_tgt = tgt.substr(root.size());
    if (board_tgt.rfind("/tools/", 0) == 0 || board_tgt == "/tools") continue;
    if (src.rfind("/dev/loop", 0) == 0) {
      std::string sys = "/sys/block/" + src.substr(5) + "/loop/";
      std::string backing, offset;
      std::ifstream(sys + "backing_file") >> backing;
      std::ifstream(sys + "offset") >> offset;
      std::string dev = WindowDevice(b, backing, std::strtoull(offset.c_str(), nullptr, 10));
      if (!dev.empty()) src = dev;
    }
    text += src + " " + board_tgt + " " + type + " " + opts + " 0 0\n";
  }
  return text;
}

}  // namespace sim
