#include "sim/modems.h"

#include <fcntl.h>
#include <sys/stat.h>
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

const nlohmann::json& Modems(const Board& b) { return BoardModems(b); }
int FirstTty(const Board& b, int i) { return ModemFirstTty(b, i); }
std::string DevName(const nlohmann::json& m) { return ModemDevName(m); }

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

const nlohmann::json* ModemOfTty(const Board& b, int tty) {
  const auto& modems = Modems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    int first = FirstTty(b, i);
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
  const nlohmann::json m = ModemSpec(b, i);
  std::string dir = b.file("sys/bus/usb/devices/" + DevName(m));
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (!plugged) {
    fs::remove(SwitchFile(b, i), ec);  // plugged again, it starts as a disc
    WriteProcUsb(b);
    return true;
  }
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
  Put(dir + "/busnum", "1");
  Put(dir + "/devnum", std::to_string(m.value("port", 0) + 2));
  Put(dir + "/authorized", "1");
  if (storage) {
    std::string itf = dir + "/" + DevName(m) + ":1.0";
    fs::create_directories(itf + "/sr0", ec);
    Put(itf + "/bInterfaceClass", "08");
  } else {
    int first = FirstTty(b, i);
    for (int k = 0; k < m.value("ttys", 1); ++k) {
      std::string itf = dir + "/" + DevName(m) + ":1." + std::to_string(k);
      fs::create_directories(itf + "/ttyUSB" + std::to_string(first + k), ec);
      Put(itf + "/bInterfaceClass", "ff");
    }
  }
  // The modem's own network interface (NDIS, QMI), on an interface of its own.
  if (std::string nc = m.value("netcard", ""); !nc.empty())
    fs::create_directories(dir + "/" + DevName(m) + ":1." + std::to_string(m.value("ttys", 1)) + "/net/" + nc, ec);
  WriteProcUsb(b);
  return true;
}

namespace {

std::string CtlPath(const Board& b) { return b.file("sim/modem.ctl"); }

long long SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Plugged(const Board& b, const nlohmann::json& m) {
  std::error_code ec;
  return fs::exists(b.file("sys/bus/usb/devices/" + DevName(m)), ec);
}

}  // namespace

bool ModemPeers::Open(const Board& b, std::string* err) {
  const auto& modems = Modems(b);
  families_.resize(modems.size());
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    const auto& m = modems[i];
    if (!m.is_object()) continue;
    int first = FirstTty(b, i);
    for (int k = 0; k < m.value("ttys", 1); ++k) {
      Port p{i, k, first + k};
      if (!OpenRawPty(b.file("dev/ttyUSB" + std::to_string(p.tty)), &p.master, &p.slave, err)) return false;
      ports_.push_back(std::move(p));
    }
    if (!SetModemPlugged(b, i, m.value("plugged", true), err)) return false;
  }
  std::error_code ec;
  fs::create_directories(b.file("sim"), ec);
  std::string ctl = CtlPath(b);
  ::unlink(ctl.c_str());
  if (mkfifo(ctl.c_str(), 0600) == 0) ctl_ = ::open(ctl.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  return true;
}

void ModemPeers::AddFds(std::vector<pollfd>* p) const {
  for (const auto& port : ports_) p->push_back({port.master, POLLIN, 0});
  if (ctl_ >= 0) p->push_back({ctl_, POLLIN, 0});
}

void ModemPeers::Control(const Board& b, const std::string& line) {
  int i = -1;
  if (std::sscanf(line.c_str(), "cycle %d", &i) != 1 || i < 0 || i >= static_cast<int>(Modems(b).size())) return;
  std::string err;
  if (SetModemPlugged(b, i, false, &err)) SendModemEvents(b, i, false, &err);
  replug_ms_[i] = SteadyMs() + 2000;
}

void ModemPeers::Send(const Board& b, Port& port, const std::string& text, const nlohmann::json& spec) {
  std::string reply = text;
  if (spec.value("garbage", false)) reply = std::string("\x01\xfe\xff#$%\r\n", 8) + reply;
  Transcript(b, port.tty, '>', reply);
  // "split": the reply in two writes, as a slow modem delivers it.
  size_t half = spec.value("split", false) ? reply.size() / 2 : reply.size();
  ssize_t w = ::write(port.master, reply.data(), half);
  if (half < reply.size()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    w = ::write(port.master, reply.data() + half, reply.size() - half);
  }
  (void)w;
}

void ModemPeers::Input(const Board& b, int fd) {
  if (fd == ctl_ && ctl_ >= 0) {
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) ctl_pending_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = ctl_pending_.find('\n')) != std::string::npos; ctl_pending_.erase(0, nl + 1))
      Control(b, ctl_pending_.substr(0, nl));
    if (ctl_pending_.size() > 1024) ctl_pending_.clear();
    return;
  }
  for (auto& port : ports_) {
    if (port.master != fd) continue;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    port.pending.append(buf, static_cast<size_t>(n));
    const nlohmann::json m = ModemSpec(b, port.modem);
    bool present = Plugged(b, m);
    for (size_t cr; (cr = port.pending.find('\r')) != std::string::npos;) {
      std::string cmd = port.pending.substr(0, cr);
      port.pending.erase(0, cr + 1);
      Transcript(b, port.tty, '<', cmd + "\r");
      if (!present || m.value("silent", false)) continue;
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
      Send(b, port, reply, m);
    }
    if (port.pending.size() > 4096) port.pending.clear();
    return;
  }
}

int ModemPeers::NextDueMs(const Board& b, int cap) {
  long long now = SteadyMs(), due = now + cap;
  for (const auto& [i, at] : replug_ms_) due = std::min(due, at);
  const auto& modems = Modems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    nlohmann::json m = ModemSpec(b, i);
    auto u = m.find("urc");
    if (u == m.end() || !u->is_object()) {
      urcs_.erase(i);
      continue;
    }
    Urc& st = urcs_[i];
    if (st.key != u->dump()) st = {u->dump(), now + std::max(10, u->value("every_ms", 1000)), 0};
    int count = u->value("count", 0);
    if (count > 0 && st.sent >= count) continue;
    due = std::min(due, st.next_ms);
  }
  return static_cast<int>(std::max(0LL, due - now));
}

void ModemPeers::Tick(const Board& b) {
  long long now = SteadyMs();
  for (auto it = replug_ms_.begin(); it != replug_ms_.end();) {
    if (it->second > now) {
      ++it;
      continue;
    }
    std::string err;
    if (SetModemPlugged(b, it->first, true, &err)) SendModemEvents(b, it->first, true, &err);
    it = replug_ms_.erase(it);
  }
  for (auto& [i, st] : urcs_) {
    nlohmann::json m = ModemSpec(b, i);
    auto u = m.find("urc");
    if (u == m.end() || !u->is_object() || st.next_ms > now || !Plugged(b, m)) continue;
    int count = u->value("count", 0);
    if (count > 0 && st.sent >= count) continue;
    ++st.sent;
    st.next_ms = now + std::max(10, u->value("every_ms", 1000));
    int tty = u->value("tty", -1);
    for (auto& port : ports_)
      if (port.modem == i && (tty < 0 || port.index == tty)) Send(b, port, u->value("text", ""), m);
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
    const nlohmann::json m = ModemSpec(b, i);
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
    if (!SetModemPlugged(b, i, true, &err) || !SendModemEvents(b, i, true, &err)) return 1;
    return 0;
  }
  return 0;  // nothing of ours to switch: as the real tool, no error
}

}  // namespace sim
