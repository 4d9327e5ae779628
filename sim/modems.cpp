#include "sim/modems.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/peers.h"
#include "sim/uevent.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

const nlohmann::json& Modems(const Board& b) {
  static const nlohmann::json none = nlohmann::json::array();
  auto u = b.desc().find("usb");
  if (u == b.desc().end() || !u->is_object()) return none;
  auto m = u->find("modems");
  return m != u->end() && m->is_array() ? *m : none;
}

// The first /dev/ttyUSBn of modem i: ports are numbered in board order.
int FirstTty(const nlohmann::json& modems, int i) {
  int n = 0;
  for (int k = 0; k < i; ++k) n += modems[k].value("ttys", 1);
  return n;
}

std::string DevName(const nlohmann::json& m) { return "1-" + std::to_string(m.value("port", 0) + 1); }

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path) << text << "\n";
}

// The reply of the healthy family the modem names.
std::string FamilyReply(const std::string& family, const std::string& cmd) {
  if (family != "quectel_lte_ec20") return "\r\nOK\r\n";
  if (cmd == "ATI")
    return "\r\nQuectel\r\nEC20F\r\nRevision: EC20CEFAR06A01M4G\r\nManufacturer: Quectel\r\nModel: EC20F\r\n"
           "IMEI: 861234567890123\r\n\r\nOK\r\n";
  if (cmd == "AT+CPIN?") return "\r\n+CPIN: READY\r\n\r\nOK\r\n";
  if (cmd == "AT+CGREG?") return "\r\n+CGREG: 0,1\r\n\r\nOK\r\n";
  if (cmd == "AT+CIMI") return "\r\n460001234567890\r\n\r\nOK\r\n";
  if (cmd == "AT+CSQ") return "\r\n+CSQ: 20,99\r\n\r\nOK\r\n";
  return "\r\nOK\r\n";
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Transcript(const Board& b, int tty, char dir, std::string_view text) {
  std::error_code ec;
  fs::create_directories(b.file("modem"), ec);
  std::ofstream out(b.file("modem/ttyUSB" + std::to_string(tty) + ".log"), std::ios::app);
  out << NowMs() << ' ' << dir << ' ' << ModemEscape(text) << '\n';
}

}  // namespace

std::string ModemEscape(std::string_view s) {
  std::string o;
  for (unsigned char c : s) {
    if (c == '\r') o += "\\r";
    else if (c == '\n') o += "\\n";
    else if (c == '\\') o += "\\\\";
    else if (c < 0x20 || c > 0x7e) {
      char x[5];
      std::snprintf(x, sizeof x, "\\x%02X", c);
      o += x;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o;
}

bool BoardHasModems(const Board& b) { return !Modems(b).empty(); }

const nlohmann::json& BoardModems(const Board& b) { return Modems(b); }

const nlohmann::json* ModemOfTty(const Board& b, int tty) {
  const auto& modems = Modems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    int first = FirstTty(modems, i);
    if (modems[i].is_object() && tty >= first && tty < first + modems[i].value("ttys", 1)) return &modems[i];
  }
  return nullptr;
}

namespace {

std::string SwitchFile(const Board& b, int i) { return b.file("sim/modem-" + std::to_string(i) + ".switch"); }

// "switched", or "failed N" after N failed switches.
struct SwitchState {
  bool switched = false;
  int failures = 0;
};

SwitchState ReadSwitch(const Board& b, int i) {
  SwitchState st;
  std::ifstream in(SwitchFile(b, i));
  std::string word;
  if (in >> word) {
    st.switched = word == "switched";
    if (word == "failed") in >> st.failures;
  }
  return st;
}

void WriteSwitch(const Board& b, int i, const SwitchState& st) {
  std::error_code ec;
  fs::create_directories(b.file("sim"), ec);
  std::ofstream out(SwitchFile(b, i));
  if (st.switched)
    out << "switched\n";
  else
    out << "failed " << st.failures << "\n";
}

}  // namespace

bool SetModemPlugged(const Board& b, int i, bool plugged, std::string* err) {
  const auto& modems = Modems(b);
  if (i < 0 || i >= static_cast<int>(modems.size()) || !modems[i].is_object()) {
    *err = "no modem " + std::to_string(i);
    return false;
  }
  const auto& m = modems[i];
  std::string dir = b.file("sys/bus/usb/devices/" + DevName(m));
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!plugged) return true;
  bool storage = m.contains("storage") && !ReadSwitch(b, i).switched;
  std::string id = storage ? m.value("storage", "0000:0000") : m.value("id", "0000:0000");
  if (id.size() != 9 || id[4] != ':') {
    *err = "modem " + std::to_string(i) + ": id must be VVVV:PPPP";
    return false;
  }
  fs::create_directories(dir, ec);
  if (ec) {
    *err = "cannot make " + dir + ": " + ec.message();
    return false;
  }
  Put(dir + "/idVendor", id.substr(0, 4));
  Put(dir + "/idProduct", id.substr(5));
  Put(dir + "/manufacturer", m.value("manufacturer", ""));
  Put(dir + "/product", m.value("product", ""));
  Put(dir + "/devpath", std::to_string(m.value("port", 0) + 1));
  Put(dir + "/authorized", "1");
  if (storage) {
    std::string itf = dir + "/" + DevName(m) + ":1.0";
    fs::create_directories(itf + "/sr0", ec);
    Put(itf + "/bInterfaceClass", "08");
    return true;
  }
  int first = FirstTty(modems, i);
  for (int k = 0; k < m.value("ttys", 1); ++k) {
    std::string itf = dir + "/" + DevName(m) + ":1." + std::to_string(k);
    fs::create_directories(itf + "/ttyUSB" + std::to_string(first + k), ec);
    Put(itf + "/bInterfaceClass", "ff");
  }
  // The modem's own network interface (NDIS, QMI), on an interface of its own.
  if (std::string nc = m.value("netcard", ""); !nc.empty())
    fs::create_directories(dir + "/" + DevName(m) + ":1." + std::to_string(m.value("ttys", 1)) + "/net/" + nc, ec);
  return true;
}

bool ModemPeers::Open(const Board& b, std::string* err) {
  const auto& modems = Modems(b);
  families_.resize(modems.size());
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    const auto& m = modems[i];
    if (!m.is_object()) continue;
    int first = FirstTty(modems, i);
    for (int k = 0; k < m.value("ttys", 1); ++k) {
      Port p{i, k, first + k};
      if (!OpenRawPty(b.file("dev/ttyUSB" + std::to_string(p.tty)), &p.master, &p.slave, err)) return false;
      ports_.push_back(std::move(p));
    }
    if (!SetModemPlugged(b, i, m.value("plugged", true), err)) return false;
  }
  return true;
}

void ModemPeers::AddFds(std::vector<pollfd>* p) const {
  for (const auto& port : ports_) p->push_back({port.master, POLLIN, 0});
}

void ModemPeers::Input(const Board& b, int fd) {
  for (auto& port : ports_) {
    if (port.master != fd) continue;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    port.pending.append(buf, static_cast<size_t>(n));
    const auto& m = Modems(b)[port.modem];
    for (size_t cr; (cr = port.pending.find('\r')) != std::string::npos;) {
      std::string cmd = port.pending.substr(0, cr);
      port.pending.erase(0, cr + 1);
      Transcript(b, port.tty, '<', cmd + "\r");
      if (m.value("silent", false)) continue;
      std::string reply;
      bool scripted = false;
      if (auto r = m.find("replies"); r != m.end() && r->is_array())
        for (const auto& rep : *r) {
          if (!rep.is_object() || rep.value("on", "") != cmd + "\r") continue;
          if (rep.contains("tty") && rep.value("tty", -1) != port.index) continue;
          reply = rep.value("send", "");
          scripted = true;
          break;
        }
      if (!scripted) {
        auto own = families_[port.modem].Answer(b, port.modem, m, cmd);
        reply = own ? *own : FamilyReply(m.value("family", ""), cmd);
      }
      if (int d = m.value("delay_ms", 0); d > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(d, 5000)));
      if (m.value("garbage", false)) reply = std::string("\x01\xfe\xff#$%\r\n", 8) + reply;
      Transcript(b, port.tty, '>', reply);
      // "split": the reply in two writes, as a slow modem delivers it.
      size_t half = m.value("split", false) ? reply.size() / 2 : reply.size();
      ssize_t w = ::write(fd, reply.data(), half);
      if (half < reply.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        w = ::write(fd, reply.data() + half, reply.size() - half);
      }
      (void)w;
    }
    if (port.pending.size() > 4096) port.pending.clear();
    return;
  }
}

int ModeSwitchStandIn(const Board& b, int argc, char** argv) {
  std::string v, p;
  for (int k = 1; k + 1 < argc; ++k) {
    if (std::strcmp(argv[k], "-v") == 0) v = argv[k + 1];
    if (std::strcmp(argv[k], "-p") == 0) p = argv[k + 1];
  }
  auto strip = [](std::string s) { return s.rfind("0x", 0) == 0 ? s.substr(2) : s; };
  std::string id = strip(v) + ":" + strip(p);
  const auto& modems = Modems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    const auto& m = modems[i];
    if (!m.is_object() || m.value("storage", "") != id) continue;
    SwitchState st = ReadSwitch(b, i);
    if (st.switched) continue;
    if (st.failures < m.value("switch_fails", 0)) {
      ++st.failures;
      WriteSwitch(b, i, st);
      return 1;
    }
    st.switched = true;
    WriteSwitch(b, i, st);
    std::string err;
    if (!SetModemPlugged(b, i, true, &err)) return 1;
    int first = FirstTty(modems, i);
    for (int k = 0; k < m.value("ttys", 1); ++k) {
      std::string msg = "add@/devices/platform/hiusb/usb1/" + DevName(m) + "/" + DevName(m) + ":1." +
                        std::to_string(k) + "/ttyUSB" + std::to_string(first + k);
      UeventSend(b.dir(), msg + std::string("\0ACTION=add", 11), &err);
    }
    return 0;
  }
  return 0;  // nothing of ours to switch: as the real tool, no error
}

int ModemCommand(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: dvrsim modem DIR plug P | unplug P\n");
    return 2;
  }
  std::string err;
  auto b = Board::Load(argv[1], &err);
  if (!b) {
    fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
    return 1;
  }
  std::string what = argv[2];
  if (what != "plug" && what != "unplug") {
    fprintf(stderr, "dvrsim modem: unknown action %s\n", what.c_str());
    return 2;
  }
  int port = std::atoi(argv[3]);
  const auto& modems = Modems(*b);
  int i = -1;
  for (int k = 0; k < static_cast<int>(modems.size()); ++k)
    if (modems[k].is_object() && modems[k].value("port", 0) == port) i = k;
  if (i < 0) {
    fprintf(stderr, "dvrsim modem: no modem on port %d\n", port);
    return 1;
  }
  bool plug = what == "plug";
  if (!SetModemPlugged(*b, i, plug, &err)) {
    fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
    return 1;
  }
  const auto& m = modems[i];
  int first = FirstTty(modems, i);
  for (int k = 0; k < m.value("ttys", 1); ++k) {
    std::string msg = std::string(plug ? "add" : "remove") + "@/devices/platform/hiusb/usb1/" + DevName(m) + "/" +
                      DevName(m) + ":1." + std::to_string(k) + "/ttyUSB" + std::to_string(first + k);
    msg += std::string("\0ACTION=", 8) + (plug ? "add" : "remove");
    if (UeventSend(b->dir(), msg, &err) < 0) {
      fprintf(stderr, "dvrsim modem: %s\n", err.c_str());
      return 1;
    }
  }
  b->event(what + " modem " + std::to_string(port));
  return 0;
}

}  // namespace sim
