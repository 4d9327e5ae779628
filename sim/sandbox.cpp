// The command sandbox: the board directory as the root file system view of
// whatever runs on the board.  In a private mount namespace the host's
// file systems become read-only, /dev holds only the harmless host nodes
// and the board's own nodes, the folders the board owns are bound from the
// board directory, and the board's tool stand-ins cover the host's tools.
// The board directory stays writable: every write lands inside it.
//
// As root this is required (a command that cannot be fenced in does not
// run).  Without root the same is tried in a user namespace; where the
// kernel refuses that, the command runs with the user's own rights, which
// cannot reach the machine, and the stand-ins come first on PATH.

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/mountd.h"
#include "sim/net.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

bool under(const std::string& p, const std::string& root) {
  return root == "/" || p == root || p.rfind(root + "/", 0) == 0;
}

// Mount points in /proc/self/mountinfo order (parents before children).
std::vector<std::string> mount_points() {
  std::vector<std::string> out;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string id, parent, dev, root, point;
    if (!(f >> id >> parent >> dev >> root >> point)) continue;
    std::string un;  // octal escapes: \040 for a blank ...
    for (size_t i = 0; i < point.size(); ++i) {
      auto octal = [&](size_t k) { return k < point.size() && point[k] >= '0' && point[k] <= '7'; };
      if (point[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        un += static_cast<char>((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
        i += 3;
      } else {
        un += point[i];
      }
    }
    out.push_back(un);
  }
  return out;
}

// The per-mount flags a read-only remount must keep (a user namespace
// may not drop them).
unsigned long kept_flags(const std::string& point) {
  struct statvfs v;
  if (statvfs(point.c_str(), &v) != 0) return 0;
  unsigned long f = 0;
  if (v.f_flag & ST_NOSUID) f |= MS_NOSUID;
  if (v.f_flag & ST_NODEV) f |= MS_NODEV;
  if (v.f_flag & ST_NOEXEC) f |= MS_NOEXEC;
  if (v.f_flag & ST_NOATIME) f |= MS_NOATIME;
  if (v.f_flag & ST_NODIRATIME) f |= MS_NODIRATIME;
  if (v.f_flag & ST_RELATIME) f |= MS_RELATIME;
  return f;
}

bool say(const std::string& what) {
  fprintf(stderr, "dvrsim: %s: %s\n", what.c_str(), strerror(errno));
  return false;
}

bool write_text(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// Without root: a user namespace in which this user keeps its own ids.
bool enter_user_namespace() {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  return write_text("/proc/self/setgroups", "deny") &&
         write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") &&
         write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
}

// `loud`: say what failed (without root an overlay may simply not be
// allowed, and the stand-ins are first on PATH anyway).
bool cover_host_tools(const std::string& dir, bool loud) {
  std::ifstream in(dir + "/tools/overlays");
  for (std::string host; std::getline(in, host);) {
    if (host.empty()) continue;
    std::string opts = "lowerdir=" + dir + "/tools/root" + host + ":" + host;
    if (mount("dvrsim", host.c_str(), "overlay", MS_RDONLY, opts.c_str()) != 0)
      return loud ? say("cannot cover " + host) : false;
  }
  return true;
}

// A /dev with the host's null, zero, random and terminal nodes and the
// board's own nodes, so no command can reach a host disk through /dev.
bool board_dev(const std::string& dir) {
  std::string stage = dir + "/tools/dev";
  std::error_code ec;
  fs::create_directories(stage, ec);
  if (mount("dvrdev", stage.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) return say("cannot mount " + stage);
  for (const char* n : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string at = stage + "/" + n, host = std::string("/dev/") + n;
    int fd = ::open(at.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    if (::access(host.c_str(), F_OK) == 0 && mount(host.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return say("cannot bind " + host);
  }
  // A private network namespace may make its own tunnels (the PPP stand-in).
  if (PrivateNetns() && ::access("/dev/net/tun", F_OK) == 0) {
    fs::create_directories(stage + "/net", ec);
    int fd = ::open((stage + "/net/tun").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    if (mount("/dev/net/tun", (stage + "/net/tun").c_str(), nullptr, MS_BIND, nullptr) != 0)
      return say("cannot bind /dev/net/tun");
  }
  fs::create_directories(stage + "/pts", ec);
  fs::create_directories(stage + "/shm", ec);
  if (mount("/dev/pts", (stage + "/pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    return say("cannot bind /dev/pts");
  if (mount("dvrshm", (stage + "/shm").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
    return say("cannot mount /dev/shm");
  fs::create_symlink("pts/ptmx", stage + "/ptmx", ec);
  fs::create_symlink("/proc/self/fd", stage + "/fd", ec);
  const char* std_names[] = {"stdin", "stdout", "stderr"};
  for (int i = 0; i < 3; ++i) fs::create_symlink("/proc/self/fd/" + std::to_string(i), stage + "/" + std_names[i], ec);
  for (auto& e : fs::directory_iterator(dir + "/dev", ec)) {
    fs::path at = fs::path(stage) / e.path().filename();
    if (!fs::exists(fs::symlink_status(at, ec))) fs::create_symlink(e.path(), at, ec);
  }
  if (mount(stage.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) return say("cannot move the board's /dev");
  return true;
}

// The folders the board owns by name ("/mnt", "/var") are the board's.
bool bind_owned(const Board& b, std::vector<std::string>* bound) {
  auto owns = b.desc().value("owns", nlohmann::json::array());
  for (auto& o : owns) {
    std::string p = o.get<std::string>();
    if (p.find_first_of("*?[") != std::string::npos || p == "/" || p.rfind("/dev", 0) == 0 ||
        p.rfind("/proc", 0) == 0 || p.rfind("/sys", 0) == 0)
      continue;
    std::error_code ec;
    std::string mine = b.dir() + p;
    bool dir = fs::is_directory(p, ec) && fs::is_directory(mine, ec);
    bool file = fs::is_regular_file(p, ec) && fs::is_regular_file(mine, ec);
    if (!dir && !file) continue;
    if (under(b.dir(), p)) {
      errno = EBUSY;
      return say("the board directory lies inside " + p + ", which the board owns");
    }
    if (mount(mine.c_str(), p.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return say("cannot bind " + p);
    bound->push_back(p);
  }
  return true;
}

// Every other mount read-only.
bool host_read_only(const std::string& dir, const std::vector<std::string>& keep, bool strict) {
  for (auto& point : mount_points()) {
    bool skip = under(point, dir) || under(point, "/dev");
    for (auto& k : keep) skip = skip || under(point, k);
    if (skip) continue;
    if (mount(nullptr, point.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | kept_flags(point), nullptr) != 0 &&
        strict && errno != ENOENT && errno != EINVAL)  // gone, or covered by a later mount
      return say("cannot make " + point + " read-only");
  }
  return true;
}

bool fence(const Board& b, bool root) {
  const std::string& dir = b.dir();
  if (root ? unshare(CLONE_NEWNS) != 0 : !enter_user_namespace()) return root ? say("unshare(CLONE_NEWNS)") : false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return say("cannot make / private");
  if (!cover_host_tools(dir, root) && root) return false;
  // The board directory is a mount of its own, so it stays writable.
  if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) return say("cannot bind " + dir);
  std::vector<std::string> bound;
  if (!bind_owned(b, &bound)) return false;
  // The board's kernel messages stand in for the host's, so a copy of
  // them ("cat /proc/kmsg") never drains the host's log. A board without
  // them reads nothing; the file is not made up, so a reader through the
  // seam still finds it missing.
  if (root && b.owns("/proc/kmsg")) {
    std::string mine = dir + "/proc/kmsg";
    std::error_code ec;
    const char* src = fs::exists(mine, ec) ? mine.c_str() : "/dev/null";
    if (mount(src, "/proc/kmsg", nullptr, MS_BIND, nullptr) != 0) return say("cannot bind /proc/kmsg");
  }
  // In a private network namespace its own network files stay writable.
  if (PrivateNetns())
    for (const char* net : {"/sys/devices/virtual/net", "/proc/sys/net"}) {
      if (mount(net, net, nullptr, MS_BIND | MS_REC, nullptr) != 0) return say(std::string("cannot bind ") + net);
      bound.push_back(net);
    }
  if (root && !board_dev(dir)) return false;
  return host_read_only(dir, bound, root);
}

// Root inside the fence must not take it down again or go round it:
// no mounts, no device nodes, no raw I/O or modules, no reboot or clock,
// no tracing of host processes, no host network (a private network
// namespace keeps its own).  Dropped from the bounding set, so nothing
// this process executes gets them back.
bool drop_capabilities() {
  int caps[] = {CAP_SYS_ADMIN, CAP_SYS_BOOT, CAP_SYS_TIME, CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_MKNOD,
                CAP_SYS_PTRACE, CAP_NET_ADMIN, CAP_NET_RAW, CAP_SYS_CHROOT, CAP_SETFCAP, CAP_LINUX_IMMUTABLE,
                CAP_SYSLOG};
  for (int c : caps) {
    if ((c == CAP_NET_ADMIN || c == CAP_NET_RAW) && PrivateNetns()) continue;
    if (prctl(PR_CAPBSET_DROP, c, 0, 0, 0) != 0) return say("cannot drop capability " + std::to_string(c));
  }
  return true;
}

// True when this process already runs in the fence of this board.
bool fenced(const std::string& dir) {
  const char* done = getenv("DVR_SANDBOXED");
  struct stat self, init;
  if (!done || dir != done || ::stat("/proc/self/ns/mnt", &self) != 0) return false;
  return ::stat("/proc/1/ns/mnt", &init) != 0 || self.st_ino != init.st_ino;
}

}  // namespace

int SandboxExec(const std::string& dir, char* const argv[], const std::string& path_front, const char* file) {
  std::string err;
  auto b = Board::Load(dir, &err);
  if (!b) {
    fprintf(stderr, "dvrsim: %s\n", err.c_str());
    return 126;
  }
  if (UsesRealNetTools(*b) && !PrivateNetns()) {
    fprintf(stderr, "dvrsim: %s runs the host's network tools; use dvrsim run --netns\n", dir.c_str());
    return 126;
  }
  std::error_code ec;
  std::string real = fs::canonical(b->dir(), ec).string();
  if (!ec && real != b->dir()) b = Board::Load(real, &err);
  if (!b) {
    fprintf(stderr, "dvrsim: %s\n", err.c_str());
    return 126;
  }
  if (!fenced(b->dir())) {
    bool root = geteuid() == 0;
    // The host's /dev and tool folders, for the mount broker, before the
    // fence covers them.
    BrokerSeed seed;
    if (root) seed = PrepareMountBroker(b->dir());
    // Fail closed as root: a command that cannot be fenced in does not run.
    bool ok = fence(*b, root) && (!root || StartMountBroker(*b, seed)) && (!root || drop_capabilities());
    seed = {};
    if (ok) setenv("DVR_SANDBOXED", b->dir().c_str(), 1);
    else if (root) return 126;
  }
  std::string path = path_front.empty() ? "" : path_front + ":";
  path += dir + "/tools/bin";
  if (const char* p = getenv("PATH")) path += std::string(":") + p;
  setenv("PATH", path.c_str(), 1);
  setenv("DVR_BOARD", dir.c_str(), 1);
  if (file) execv(file, argv);
  else execvp(argv[0], argv);
  fprintf(stderr, "dvrsim: cannot run %s: %s\n", file ? file : argv[0], strerror(errno));
  return 127;
}

}  // namespace sim
