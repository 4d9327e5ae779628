// The data call's system side: the daemon as our child, /proc, the pid
// file, and the interface's address by socket ioctl, all through the seam.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cellular/log.h"
#include "cellular/ps.h"
#include "osa/sys.h"

namespace cellular {

namespace {

std::optional<std::string> ReadSmall(const std::string& path, std::size_t max) {
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string out;
  char buf[512];
  while (out.size() < max) {
    ssize_t n = osa::sys::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  if (out.size() > max) out.resize(max);
  return out;
}

// The child only execs: everything was prepared before the vfork.
__attribute__((noinline)) pid_t SpawnPlan(const osa::sys::ExecPlan& plan) {
  pid_t pid = vfork();
  if (pid == 0) {
    osa::sys::exec_prepared(plan);
    _exit(255);
  }
  return pid;
}

class SysCallOs final : public CallOs {
 public:
  pid_t Spawn(const std::vector<std::string>& args) override {
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    osa::sys::ExecPlan plan = osa::sys::plan_exec(kPppDaemon, argv.data());
    return SpawnPlan(plan);
  }
  bool Ended(pid_t pid) override {
    int st = 0;
    pid_t r = osa::sys::waitpid(pid, &st, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  }
  std::optional<std::string> Cmdline(pid_t pid) override {
    auto t = ReadSmall("/proc/" + std::to_string(pid) + "/cmdline", 256);
    if (t)
      for (char& ch : *t)
        if (ch == '\0') ch = ' ';
    return t;
  }
  int Signal(pid_t pid, int sig) override { return osa::sys::kill(pid, sig); }
  bool Remove(const std::string& path) override {
    return osa::sys::unlink(path.c_str()) == 0 || errno == ENOENT;
  }
  std::optional<std::string> Read(const std::string& path) override { return ReadSmall(path, 64); }
  bool HasNetcard(const std::string& name) override {
    auto t = ReadSmall("/proc/net/dev", 64 * 1024);
    if (!t) return false;
    // Lines "  NAME: counters ..."
    std::size_t at = 0;
    while (at < t->size()) {
      std::size_t end = t->find('\n', at);
      if (end == std::string::npos) end = t->size();
      std::string_view line(t->data() + at, end - at);
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view n = line.substr(0, colon);
        while (!n.empty() && n.front() == ' ') n.remove_prefix(1);
        if (n == name) return true;
      }
      at = end + 1;
    }
    return false;
  }
  bool NetcardAddr(const std::string& name, uint32_t* addr, uint32_t* mask) override {
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    osa::UniqueFd s(osa::sys::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s) return false;
    ifreq r{};
    std::memcpy(r.ifr_name, name.c_str(), name.size());
    if (osa::sys::ioctl(s.get(), SIOCGIFADDR, &r) != 0) return false;
    sockaddr_in a;
    std::memcpy(&a, &r.ifr_addr, sizeof a);
    *addr = a.sin_addr.s_addr;
    if (osa::sys::ioctl(s.get(), SIOCGIFNETMASK, &r) != 0) {
      NET3G_LOG(3, "ioctl SIOCGIFNETMASK error[%s]\n", strerror(errno));
      return false;
    }
    std::memcpy(&a, &r.ifr_netmask, sizeof a);
    *mask = a.sin_addr.s_addr;
    return true;
  }
  int Shell(const std::string& cmd) override { return run_cmd(cmd.c_str()); }
};

}  // namespace

CallOs& SystemCallOs() {
  static SysCallOs os;
  return os;
}

}  // namespace cellular
