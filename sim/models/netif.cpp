// The board's network interfaces.  Interfaces, addresses, routes and
// bridges are the host kernel's own, in a network namespace made for the
// run (dvrsim run --netns).  This kernel has no bonding driver, so each
// bond is a veth whose bonding files (bonding/slaves, mode, miimon,
// primary) are simulated under sys/ in the board directory; the ifenslave
// stand-in enslaves into them.  board.json:
//   "network": {"ports": ["eth0", "eth1"], "bonds": ["bond0"], "real_tools": true}
// With "real_tools" the board has no ifconfig/brctl stand-ins and its
// commands reach the host's tools, so its sandbox only runs inside such a
// namespace.

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/net.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr const char* kModes[] = {"balance-rr", "active-backup", "balance-xor", "broadcast",
                                  "802.3ad",    "balance-tlb",   "balance-alb"};

bool SafeName(const std::string& n) {
  if (n.empty() || n.size() >= IFNAMSIZ) return false;
  for (char c : n)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
  return true;
}

std::vector<std::string> Names(const Board& b, const char* key) {
  std::vector<std::string> v;
  auto it = b.desc().find("network");
  if (it == b.desc().end() || !it->is_object() || !it->contains(key)) return v;
  for (auto& n : (*it)[key])
    if (n.is_string()) v.push_back(n.get<std::string>());
  return v;
}

std::string BondDir(const Board& b, const std::string& bond) { return b.file("sys/class/net/" + bond + "/bonding"); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Attribute files of the bonding driver.  "mode" takes only the driver's
// mode names, and not while the bond has slaves, as the driver says.
class BondAttr final : public Device {
 public:
  BondAttr(int fd, std::string path) : Device(fd), path_(std::move(path)) {}
  ssize_t write(const void* buf, size_t len) override {
    std::string v(static_cast<const char*>(buf), len);
    while (!v.empty() && (v.back() == '\0' || v.back() == '\n')) v.pop_back();
    if (path_.ends_with("/mode")) {
      bool known = false;
      for (const char* m : kModes) known = known || v == m;
      std::string slaves = Slurp(path_.substr(0, path_.size() - 4) + "slaves");
      if (!known) return Fail(EINVAL);
      if (slaves.find_first_not_of(" \n") != std::string::npos) return Fail(EPERM);
    }
    return ::write(fd_, buf, len);
  }

 private:
  static ssize_t Fail(int e) {
    errno = e;
    return -1;
  }
  std::string path_;
};

bool ProvisionBonds(const Board& b, std::string* err) {
  for (auto& bond : Names(b, "bonds")) {
    if (!SafeName(bond) || bond.find("bond") == std::string::npos) {
      *err = "network.bonds: not a bond name: " + bond;
      return false;
    }
    std::error_code ec;
    fs::create_directories(BondDir(b, bond), ec);
    for (const char* f : {"slaves", "mode", "miimon", "primary"}) {
      std::ofstream out(BondDir(b, bond) + "/" + f);
      out << (std::string(f) == "mode" ? "balance-rr 0\n" : std::string(f) == "miimon" ? "0\n" : "");
    }
  }
  for (auto& p : Names(b, "ports"))
    if (!SafeName(p)) {
      *err = "network.ports: not an interface name: " + p;
      return false;
    }
  return true;
}

int RunIp(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::vector<std::string> a = args;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execvp("ip", argv.data());
    _exit(127);
  }
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) < 0) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

const Model kBondingModel = {"bonding", "/sys/class/net/bond*/bonding/*",
                             [](const Board&, const std::string& path, int fd, int) -> std::unique_ptr<Device> {
                               return std::make_unique<BondAttr>(fd, path);
                             },
                             ProvisionBonds};

// The namespace dvrsim made is named in DVR_NETNS by its inode; a process
// that inherited the name but not the namespace does not match.  Init's
// namespace, where it can be read, is refused as well.
bool PrivateNetns() {
  const char* want = getenv("DVR_NETNS");
  struct stat self, init;
  if (!want || ::stat("/proc/self/ns/net", &self) != 0 || std::to_string(self.st_ino) != want) return false;
  return ::stat("/proc/1/ns/net", &init) != 0 || self.st_ino != init.st_ino || self.st_dev != init.st_dev;
}

bool NetChangingIoctl(unsigned long request, const void* arg) {
  if ((request & 0xff00) != 0x8900) return false;  // not a socket ioctl
  switch (request) {
    case SIOCGIFFLAGS: case SIOCGIFADDR: case SIOCGIFNETMASK: case SIOCGIFHWADDR: case SIOCGIFMTU:
    case SIOCGIFINDEX: case SIOCGIFNAME: case SIOCGIFCONF: case SIOCGIFBRDADDR: case SIOCGIFDSTADDR:
      return false;
    case SIOCETHTOOL: {
      auto* r = static_cast<const ifreq*>(arg);
      uint32_t cmd = 0;
      if (r && r->ifr_data) std::memcpy(&cmd, r->ifr_data, sizeof cmd);
      return cmd != ETHTOOL_GDRVINFO;
    }
    default:
      return true;
  }
}

bool UsesRealNetTools(const Board& b) {
  auto it = b.desc().find("network");
  return it != b.desc().end() && it->is_object() && it->value("real_tools", false);
}

int NetnsRun(const std::string& dir, char* const argv[], const std::string& path_front) {
  std::string err;
  auto b = Board::Load(dir, &err);
  if (!b) {
    fprintf(stderr, "dvrsim run --netns: %s\n", err.c_str());
    return 1;
  }
  if (geteuid() != 0) {
    fprintf(stderr, "dvrsim run --netns: network namespaces need root\n");
    return 126;
  }
  auto ports = Names(*b, "ports"), bonds = Names(*b, "bonds");
  for (auto& n : ports)
    if (!SafeName(n)) {
      fprintf(stderr, "dvrsim run --netns: bad interface name %s in %s/board.json\n", n.c_str(), dir.c_str());
      return 1;
    }
  struct stat host, own;
  if (::stat("/proc/self/ns/net", &host) != 0 || unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
      ::stat("/proc/self/ns/net", &own) != 0 || own.st_ino == host.st_ino) {
    fprintf(stderr, "dvrsim run --netns: cannot enter a network namespace: %s\n", strerror(errno));
    return 126;
  }
  setenv("DVR_NETNS", std::to_string(own.st_ino).c_str(), 1);
  // From here on nothing can reach the host's network; fail closed anyway.
  if (!PrivateNetns() || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    fprintf(stderr, "dvrsim run --netns: cannot set up the namespace: %s\n", strerror(errno));
    return 126;
  }
  int peer = 0;
  std::vector<std::string> all = ports;
  all.insert(all.end(), bonds.begin(), bonds.end());
  if (RunIp({"ip", "link", "set", "lo", "up"}) != 0) return 126;
  for (auto& n : all) {
    std::string p = "veth" + std::to_string(peer++);  // "veth" keeps the peers out of the board's list
    if (RunIp({"ip", "link", "add", n, "type", "veth", "peer", "name", p}) != 0 ||
        RunIp({"ip", "link", "set", p, "up"}) != 0) {
      fprintf(stderr, "dvrsim run --netns: cannot create %s\n", n.c_str());
      return 126;
    }
  }
  return SandboxExec(dir, argv, path_front);
}

int IfenslaveTool(const Board& b, int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: ifenslave MASTER SLAVE...\n");
    return 1;
  }
  std::string bond = argv[1], dir = BondDir(b, bond);
  if (!SafeName(bond) || !fs::is_directory(dir)) {
    fprintf(stderr, "ifenslave: %s: no such bonding master\n", bond.c_str());
    return 1;
  }
  std::string slaves = Slurp(dir + "/slaves");
  while (!slaves.empty() && (slaves.back() == '\n' || slaves.back() == ' ')) slaves.pop_back();
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    if (!SafeName(s) || !fs::exists("/sys/class/net/" + s)) {
      fprintf(stderr, "ifenslave: %s: no such interface\n", s.c_str());
      return 1;
    }
    if ((" " + slaves + " ").find(" " + s + " ") != std::string::npos) continue;
    slaves += (slaves.empty() ? "" : " ") + s;
  }
  std::ofstream out(dir + "/slaves", std::ios::trunc);
  out << slaves << "\n";
  return out ? 0 : 1;
}

}  // namespace sim
