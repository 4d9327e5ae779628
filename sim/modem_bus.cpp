// The board's USB bus as its modems make it: the sysfs folders' kernel list
// twin (/proc/bus/usb/devices), the kernel's events, live changes and power
// cycles, and the `dvrsim modem` command.

#include <fcntl.h>
#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/device.h"
#include "sim/modems.h"
#include "sim/uevent.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return s.substr(0, s.find('\n'));
}

std::string OverrideFile(const Board& b, int i) { return b.file("sim/modem-" + std::to_string(i) + ".json"); }

// Replaces a file whole, so a reader never sees half of it.
bool Replace(const std::string& path, const std::string& text) {
  std::string tmp = path + "." + std::to_string(getpid()) + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

std::string Hub() {
  return "T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480  MxCh= 4\n"
         "D:  Ver= 2.00 Cls=09(hub  ) Sub=00 Prot=00 MxPS=64 #Cfgs=  1\n"
         "P:  Vendor=1d6b ProdID=0002 Rev= 3.18\n"
         "S:  Manufacturer=Linux 3.18.20 ehci_hcd\n"
         "S:  Product=EHCI Host Controller\n"
         "C:* #Ifs= 1 Cfg#= 1 Atr=e0 MxPwr=  0mA\n"
         "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
         "E:  Ad=81(I) Atr=03(Int.) MxPS=   4 Ivl=256ms\n";
}

}  // namespace

const nlohmann::json& BoardModems(const Board& b) {
  static const nlohmann::json none = nlohmann::json::array();
  auto u = b.desc().find("usb");
  if (u == b.desc().end() || !u->is_object()) return none;
  auto m = u->find("modems");
  return m != u->end() && m->is_array() ? *m : none;
}

nlohmann::json ModemSpec(const Board& b, int i) {
  const auto& modems = BoardModems(b);
  if (i < 0 || i >= static_cast<int>(modems.size()) || !modems[i].is_object()) return nlohmann::json::object();
  nlohmann::json m = modems[i];
  std::ifstream in(OverrideFile(b, i));
  if (in) {
    auto o = nlohmann::json::parse(in, nullptr, false);
    if (o.is_object()) m.merge_patch(o);
  }
  return m;
}

int ModemOnPort(const Board& b, int port) {
  const auto& modems = BoardModems(b);
  for (int k = 0; k < static_cast<int>(modems.size()); ++k)
    if (modems[k].is_object() && modems[k].value("port", 0) == port) return k;
  return -1;
}

int ModemFirstTty(const Board& b, int i) {
  const auto& modems = BoardModems(b);
  int n = 0;
  for (int k = 0; k < i && k < static_cast<int>(modems.size()); ++k)
    n += modems[k].is_object() ? modems[k].value("ttys", 1) : 0;
  return n;
}

std::string ModemDevName(const nlohmann::json& m) { return "1-" + std::to_string(m.value("port", 0) + 1); }

bool SendModemEvents(const Board& b, int i, bool add, std::string* err) {
  nlohmann::json m = ModemSpec(b, i);
  std::string name = ModemDevName(m), base = "/devices/platform/hiusb/usb1/" + name + "/" + name + ":1.";
  std::string action = add ? "add" : "remove";
  // The kernel's burst: the device, its interfaces, then what binds to
  // them; a removal goes the other way.
  std::vector<std::string> paths = {"/devices/platform/hiusb/usb1/" + name};
  std::error_code ec;
  std::string itf0 = b.file("sys/bus/usb/devices/" + name + "/" + name + ":1.0");
  bool disc = add ? fs::exists(itf0 + "/sr0", ec) : false;
  if (disc) {
    paths.push_back(base + "0");
    paths.push_back(base + "0/host0/target0:0:0/0:0:0:0/scsi_device/0:0:0:0");
  } else {
    int first = ModemFirstTty(b, i), n = m.value("ttys", 1);
    for (int k = 0; k < n; ++k) paths.push_back(base + std::to_string(k));
    for (int k = 0; k < n; ++k) paths.push_back(base + std::to_string(k) + "/ttyUSB" + std::to_string(first + k));
  }
  if (!add) std::reverse(paths.begin(), paths.end());
  for (const auto& p : paths) {
    std::string msg = action + "@" + p + std::string("\0ACTION=", 8) + action + std::string("\0DEVPATH=", 9) + p;
    if (UeventSend(b.dir(), msg, err) < 0) return false;
  }
  return true;
}

void WriteProcUsb(const Board& b) {
  std::string text = Hub();
  const auto& modems = BoardModems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    if (!modems[i].is_object()) continue;
    std::string name = ModemDevName(modems[i]);
    std::string dir = b.file("sys/bus/usb/devices/" + name);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) continue;
    int port = modems[i].value("port", 0);
    std::vector<std::string> ifs;
    for (auto& e : fs::directory_iterator(dir, ec))
      if (e.path().filename().string().find(':') != std::string::npos) ifs.push_back(e.path().string());
    std::sort(ifs.begin(), ifs.end());
    char t[160];
    std::snprintf(t, sizeof t, "T:  Bus=01 Lev=01 Prnt=01 Port=%02d Cnt=%02d Dev#=%3d Spd=480  MxCh= 0\n", port,
                  i + 1, port + 2);
    text += t;
    text += "D:  Ver= 2.00 Cls=00(>ifc ) Sub=00 Prot=00 MxPS=64 #Cfgs=  1\n";
    text += "P:  Vendor=" + Slurp(dir + "/idVendor") + " ProdID=" + Slurp(dir + "/idProduct") + " Rev= 3.18\n";
    text += "S:  Manufacturer=" + Slurp(dir + "/manufacturer") + "\n";
    text += "S:  Product=" + Slurp(dir + "/product") + "\n";
    std::snprintf(t, sizeof t, "C:* #Ifs=%2zu Cfg#= 1 Atr=a0 MxPwr=500mA\n", ifs.size());
    text += t;
    for (size_t k = 0; k < ifs.size(); ++k) {
      bool storage = Slurp(ifs[k] + "/bInterfaceClass") == "08";
      std::snprintf(t, sizeof t, "I:* If#=%2zu Alt= 0 #EPs= %d Cls=%s Sub=%s Prot=%s Driver=%s\n", k,
                    storage ? 2 : 3, storage ? "08(stor.)" : "ff(vend.)", storage ? "06" : "ff",
                    storage ? "50" : "ff", storage ? "usb-storage" : "option");
      text += t;
    }
  }
  std::error_code ec;
  fs::create_directories(b.file("proc/bus/usb"), ec);
  Replace(b.file("proc/bus/usb/devices"), text);
}

bool PowerCycleModem(const Board& b, int i, std::string* err) {
  int fd = ::open(b.file("sim/modem.ctl").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {  // the peer serves the board: its timer brings the modem back
    std::string line = "cycle " + std::to_string(i) + "\n";
    bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (ok) return true;
  }
  if (!SetModemPlugged(b, i, false, err) || !SendModemEvents(b, i, false, err)) return false;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  return SetModemPlugged(b, i, true, err) && SendModemEvents(b, i, true, err);
}

namespace {

// "authorized": 0 then 1 is the program's reset of the device on that port.
class AuthorizedFile final : public Device {
 public:
  AuthorizedFile(const Board& b, std::string name, std::string file, int fd)
      : Device(fd), board_(b), name_(std::move(name)), file_(std::move(file)) {}
  ssize_t write(const void* buf, size_t len) override {
    char before = Slurp(file_).c_str()[0];  // the program may hold it write-only
    ssize_t n = ::write(fd_, buf, len);
    if (n <= 0 || before != '0' || static_cast<const char*>(buf)[0] != '1') return n;
    const auto& modems = BoardModems(board_);
    for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
      if (!modems[i].is_object() || ModemDevName(modems[i]) != name_) continue;
      board_.event("usb-reset " + std::to_string(modems[i].value("port", 0)));
      std::string err;
      if (!PowerCycleModem(board_, i, &err)) board_.event("usb-reset-failed " + err);
    }
    return n;
  }

 private:
  const Board& board_;
  std::string name_;
  std::string file_;
};

std::unique_ptr<Device> OpenAuthorized(const Board& b, const std::string& path, int fd, int) {
  std::string dev = fs::path(path).parent_path().filename().string();
  return std::make_unique<AuthorizedFile>(b, dev, b.host_path(path), fd);
}

bool UsbInitFails(const Board& b) {
  auto u = b.desc().find("usb");
  return u != b.desc().end() && u->is_object() && u->value("init", "ok") == "fail";
}

std::unique_ptr<Device> OpenProcUsb(const Board& b, const std::string&, int fd, int) {
  if (UsbInitFails(b)) {
    errno = EIO;
    return nullptr;
  }
  return std::make_unique<Device>(fd);
}

// A routing link message as the kernel sends it for a link change.
std::string LinkMessage(const std::string& name, bool up) {
  std::string msg(NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_ALIGN(RTA_LENGTH(name.size() + 1)), '\0');
  nlmsghdr h{};
  h.nlmsg_len = static_cast<uint32_t>(msg.size());
  h.nlmsg_type = RTM_NEWLINK;
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  ifi.ifi_type = 512;  // ARPHRD_PPP
  ifi.ifi_index = 100;
  ifi.ifi_flags = up ? (IFF_UP | IFF_RUNNING | IFF_LOWER_UP | IFF_POINTOPOINT) : IFF_POINTOPOINT;
  rtattr ra{};
  ra.rta_len = static_cast<unsigned short>(RTA_LENGTH(name.size() + 1));
  ra.rta_type = IFLA_IFNAME;
  std::memcpy(&msg[0], &h, sizeof h);
  std::memcpy(&msg[NLMSG_HDRLEN], &ifi, sizeof ifi);
  std::size_t a = NLMSG_LENGTH(sizeof(ifinfomsg));
  std::memcpy(&msg[a], &ra, sizeof ra);
  std::memcpy(&msg[a + RTA_LENGTH(0)], name.c_str(), name.size());
  return msg;
}

int Usage() {
  fprintf(stderr, "usage: dvrsim modem DIR plug P | unplug P | reset P | set P KEY=JSON... | link NAME up|down\n");
  return 2;
}

int SetCommand(const Board& b, int i, int argc, char** argv) {
  nlohmann::json o = nlohmann::json::object();
  {
    std::ifstream in(OverrideFile(b, i));
    if (in) o = nlohmann::json::parse(in, nullptr, false);
    if (!o.is_object()) o = nlohmann::json::object();
  }
  for (int k = 0; k < argc; ++k) {
    std::string kv = argv[k];
    size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) {
      fprintf(stderr, "dvrsim modem set: %s is not KEY=JSON\n", kv.c_str());
      return 2;
    }
    std::string key = kv.substr(0, eq);
    if (key == "port" || key == "ttys") {
      fprintf(stderr, "dvrsim modem set: %s is fixed while the board runs\n", key.c_str());
      return 2;
    }
    auto v = nlohmann::json::parse(kv.substr(eq + 1), nullptr, false);
    if (v.is_discarded()) {
      fprintf(stderr, "dvrsim modem set: the value of %s is no JSON: %s\n", key.c_str(), kv.c_str() + eq + 1);
      return 2;
    }
    o[key] = v;
  }
  std::error_code ec;
  fs::create_directories(b.file("sim"), ec);
  if (!Replace(OverrideFile(b, i), o.dump() + "\n")) {
    fprintf(stderr, "dvrsim modem set: cannot write %s\n", OverrideFile(b, i).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

extern const Model kUsbAuthorizedModel = {"usb-authorized", "/sys/bus/usb/devices/*/authorized", OpenAuthorized,
                                          nullptr};
extern const Model kProcUsbModel = {"proc-usb", "/proc/bus/usb/devices", OpenProcUsb, nullptr};

int BusyboxStandIn(const Board& b, int argc, char** argv) {
  if (argc < 2) return 1;
  if (std::strcmp(argv[1], "eject") == 0) return 0;  // recorded: the board has no tray to open
  // Any other applet: the host's program of that name, never this stand-in again.
  std::string bin = fs::path(b.file("tools/bin")).lexically_normal().string();
  std::error_code ec;
  auto self = fs::canonical("/proc/self/exe", ec);
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    if (d.empty() || fs::path(d).lexically_normal().string() == bin) continue;
    for (const char* prog : {static_cast<const char*>("busybox"), static_cast<const char*>(argv[1])}) {
      fs::path cand = fs::path(d) / prog;
      auto real = fs::canonical(cand, ec);
      if (ec || real == self || ::access(cand.c_str(), X_OK) != 0) continue;
      if (prog == argv[1]) {
        execv(cand.c_str(), argv + 1);
      } else {
        argv[0] = const_cast<char*>("busybox");
        execv(cand.c_str(), argv);
      }
    }
  }
  fprintf(stderr, "busybox: applet not found: %s\n", argv[1]);
  return 127;
}

int ModemCommand(int argc, char** argv) {
  // argv[0] is "modem"
  if (argc < 4) return Usage();
  std::string err;
  auto b = Board::Load(argv[1], &err);
  if (!b) {
    fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
    return 1;
  }
  std::string what = argv[2];
  if (what == "link") {
    std::string name = argv[3];
    if (argc != 5 || (std::strcmp(argv[4], "up") != 0 && std::strcmp(argv[4], "down") != 0)) return Usage();
    if (name.empty() || name.size() >= IFNAMSIZ) {
      fprintf(stderr, "dvrsim modem link: bad interface name %s\n", name.c_str());
      return 2;
    }
    if (UeventSend(b->dir(), LinkMessage(name, std::strcmp(argv[4], "up") == 0), &err, kLinkChannel) < 0) {
      fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
      return 1;
    }
    b->event("link " + name + " " + argv[4]);
    return 0;
  }
  if (what != "plug" && what != "unplug" && what != "reset" && what != "set") return Usage();
  char* end = nullptr;
  long port = std::strtol(argv[3], &end, 10);
  int i = *end == '\0' && port >= 0 && port < 256 ? ModemOnPort(*b, static_cast<int>(port)) : -1;
  if (i < 0) {
    fprintf(stderr, "dvrsim modem: no modem on port %s\n", argv[3]);
    return 1;
  }
  if (what == "set") return SetCommand(*b, i, argc - 4, argv + 4);
  if (argc != 4) return Usage();
  bool ok;
  if (what == "reset") {
    b->event("reset modem " + std::to_string(port));
    ok = PowerCycleModem(*b, i, &err);
  } else {
    bool plug = what == "plug";
    ok = SetModemPlugged(*b, i, plug, &err) && SendModemEvents(*b, i, plug, &err);
    if (ok) b->event(what + " modem " + std::to_string(port));
  }
  if (!ok) {
    fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

}  // namespace sim
