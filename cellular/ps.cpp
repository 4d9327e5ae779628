// The data call's state machine and the PPP daemon's handling shared by
// every family: start with a checked argument vector, watch by pid file and
// /proc, stop by SIGTERM then SIGKILL, and read the link's address.
#include "cellular/ps.h"

#include <arpa/inet.h>

#include <csignal>
#include <cstring>

#include "cellular/log.h"
#include "cellular/ps_internal.h"

namespace cellular {

namespace {

constexpr int kMaxLine = 2047;

// An argument value: printable text (it is one argument, never shell input).
bool SafeWord(std::string_view s, std::size_t max) {
  if (s.empty() || s.size() > max) return false;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7e) return false;
  }
  return true;
}

// A serial port device path: "/dev/" and a plain name.
bool SafePort(std::string_view p) {
  if (p.substr(0, 5) != "/dev/" || p.size() > 32) return false;
  for (char c : p.substr(5))
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  return p.size() > 5;
}

}  // namespace

std::vector<std::string> PppdArgs(const NetAccess& n, int unit, const std::string& port, const Timing& t) {
  std::vector<std::string> a = {"3gpp", "noipdefault", "usepeerdns", "unit", std::to_string(unit), port,
                                "921600", "noauth", "nodetach"};
  if (n.auth != 2) {
    a.insert(a.end(), {"user", n.user, "password", n.password});
    if (n.auth == 0) a.insert(a.end(), {"+pap", "-chap", "refuse-eap", "noauth"});
  }
  a.insert(a.end(), {"nobsdcomp", "nodeflate", "novjccomp", "novj", "lcp-echo-interval",
                     std::to_string(t.cc_lcp_echo_interval), "lcp-echo-failure", std::to_string(t.cc_lcp_echo_fails),
                     "mtu", std::to_string(n.mtu), "debug"});
  return a;
}

std::string ShowArgs(const std::vector<std::string>& argv) {
  std::string s;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (!s.empty()) s += ' ';
    s += (i > 1 && argv[i - 1] == "password") ? "******" : argv[i];
  }
  if (s.size() > kMaxLine) s.resize(kMaxLine);
  return s;
}

std::string RewriteDial(const std::string& dial, int ctx) {
  if (dial == "*99#") return "*99***" + std::to_string(ctx) + "#";
  if (dial == "*98*1#") return "*98*" + std::to_string(ctx) + "#";
  return dial;
}

std::optional<int> ParsePidFile(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  long v = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    v = v * 10 + (text[i] - '0');
    if (v > 0x3fffffff) return std::nullopt;
  }
  if (digits == 0 || v <= 0) return std::nullopt;
  for (; i < text.size(); ++i)
    if (text[i] != '\n' && text[i] != ' ' && text[i] != '\r') return std::nullopt;
  return static_cast<int>(v);
}

std::optional<std::string> ParseCgdcontApn(std::string_view line, int ctx) {
  std::string head = "+CGDCONT: " + std::to_string(ctx) + ",";
  if (line.substr(0, head.size()) != head) return std::nullopt;
  // Fields: context, "PDP type", "APN", ...; the APN is the second quoted text.
  std::size_t q[4];
  std::size_t from = 0;
  for (auto& at : q) {
    at = line.find('"', from);
    if (at == std::string_view::npos) return std::nullopt;
    from = at + 1;
  }
  if (q[3] + 1 < line.size() && line[q[3] + 1] != ',') return std::nullopt;
  std::string_view apn = line.substr(q[2] + 1, q[3] - q[2] - 1);
  if (apn.size() > 31 || !AtArgSafe(apn, 31)) return std::nullopt;
  return std::string(apn);
}

AtCmd OkCmd(const std::string& text, int timeout_ms, int sends, int reads) {
  AtCmd c;
  c.text = text;
  c.expect = "OK";
  c.timeout_ms = timeout_ms;
  c.sends = sends;
  c.reads = reads;
  return c;
}

// ------------------------------------------------------------ context

int64_t CallContext::Elapsed() {
  int64_t now = Now();
  if (now < since_ms) return 30;
  return (now - since_ms) / 1000;
}

int CallContext::State() {
  osa::LockGuard g(control.mutex());
  return control.slot(slot).call_state;
}

void CallContext::SetState(int s) {
  osa::LockGuard g(control.mutex());
  control.slot(slot).call_state = s;
}

bool CallContext::Wanted() {
  osa::LockGuard g(control.mutex());
  return control.slot(slot).target == 4;
}

void CallContext::TakeNetAccess() {
  osa::LockGuard g(control.mutex());
  net = control.slot(slot).net;
}

int CallContext::SysMode() {
  osa::LockGuard g(control.mutex());
  return control.slot(slot).radio[0];
}

void CallContext::SetLink(uint32_t addr, uint32_t mask) {
  osa::LockGuard g(control.mutex());
  SlotState& s = control.slot(slot);
  s.addr = addr;
  s.mask = mask;
  s.gateway = 0;
}

int CallContext::Cmd(const std::string& text, int timeout_ms, int sends, int reads) {
  return modem.cmd(OkCmd(text, timeout_ms, sends, reads));
}

bool CallContext::StartPppd() {
  std::string port = std::string(match.info.tty_prefix) + std::to_string(match.ppp_port);
  if (unit < 5 || unit > 20 || !SafePort(port) || net.mtu < 128 || net.mtu > 16384 ||
      timing.cc_lcp_echo_interval < 1 || timing.cc_lcp_echo_fails < 1 ||
      (net.auth != 2 && (!SafeWord(net.user.empty() ? "-" : net.user, 31) ||
                         !SafeWord(net.password.empty() ? "-" : net.password, 31)))) {
    NET3G_LOG(2, "ppp daemon arguments refused (unit %d, port %s, mtu %d)\n", unit, port.c_str(), net.mtu);
    return false;
  }
  auto argv = PppdArgs(net, unit, port, timing);
  NET3G_LOG(4, "cc_lcp_echo_interval=%d\n", timing.cc_lcp_echo_interval);
  NET3G_LOG(4, "cc_lcp_echo_fails=%d\n", timing.cc_lcp_echo_fails);
  NET3G_LOG(4, "%s %s\n", kPppDaemon, ShowArgs(argv).c_str());
  SignalPppd(SIGKILL);
  Reap();
  if (!os.Remove(PidFile())) NET3G_LOG(2, "Fail to remove PPPD_PID_PATH\n");
  pid_t p = os.Spawn(argv);
  if (p < 0) {
    NET3G_LOG(2, "vfork/fork failed, %s\n", strerror(errno));
    return false;
  }
  pid = p;
  NET3G_LOG(4, "Child pid %d\n", static_cast<int>(p));
  return true;
}

bool CallContext::PppdAlive() {
  if (pid <= 0) return false;
  if (os.Ended(pid)) {
    pid = -1;
    return false;
  }
  auto cmd = os.Cmdline(pid);
  if (!cmd) {
    pid = -1;
    return false;
  }
  if (cmd->rfind("3gpp", 0) == 0) return true;
  NET3G_LOG(2, "%s:%d ERROR,  ppp_pid:%d  but cmdline is:%.64s, abnormal \n", __FILE_NAME__, __LINE__,
            static_cast<int>(pid), cmd->c_str());
  pid = -1;
  return false;
}

void CallContext::SignalPppd(int sig) {
  // A reaped child's pid may already be someone else's: never signal it.
  if (pid <= 0) return;
  if (os.Ended(pid)) {
    pid = -1;
    return;
  }
  os.Signal(pid, sig);
}

bool CallContext::KillPppd() {
  if (!PppdAlive()) return true;
  SignalPppd(SIGTERM);
  for (int i = 0; i < 30; ++i) {
    if (!PppdAlive()) return true;
    clock.SleepMs(1000);
  }
  if (!PppdAlive()) return true;
  NET3G_LOG(2, "%s:%d kill_pppd SIGTERM failed, using SIGKILL\n", __FILE_NAME__, __LINE__);
  SignalPppd(SIGKILL);
  clock.SleepMs(1000);
  return !PppdAlive();
}

bool CallContext::NetcardIp(const std::string& name, uint32_t* addr, uint32_t* mask) {
  int tries = 0;
  while (!os.HasNetcard(name)) {
    if (++tries >= 5) {
      NET3G_LOG(5, "check_netcard fail num has reached %d times\n", tries);
      return false;
    }
    clock.SleepMs(50);
  }
  for (int i = 1;; ++i) {
    if (os.NetcardAddr(name, addr, mask) && *addr != 0) return true;
    if (i >= 5) {
      NET3G_LOG(3, "get netcard ip fail num has reached %d times\n", i);
      return false;
    }
    clock.SleepMs(1000);
  }
}

// ------------------------------------------------------------ the machine

DataCall::DataCall(Control& control, const Timing& timing, const DeviceMatch& match, std::string netcard,
                   Clock& clock, CallOs& os, CallModem modem)
    : ctx_(new CallContext{control, timing, match, std::move(netcard), clock, os, std::move(modem)}) {
  ctx_->slot = match.slot;
  ctx_->type = match.info.type;
  ctx_->unit = match.slot + 5;
  family_ = MakeQmiFamily(ctx_->type);
  if (!family_) family_ = MakeOwnCallFamily(ctx_->type, ctx_->netcard);
  if (!family_) family_ = MakePppFamily();
}

DataCall::~DataCall() = default;

int DataCall::state() const { return ctx_->State(); }
pid_t DataCall::daemon_pid() const { return ctx_->pid; }
bool DataCall::Report(std::string_view line) { return family_->Report(*ctx_, line); }
bool DataCall::PortBusy() const { return family_->PortBusy(*ctx_); }

void CallContext::Reap() {
  // Wait for a killed daemon so no zombie stays behind.
  for (int i = 0; i < 40 && pid > 0; ++i) {
    if (os.Ended(pid)) pid = -1;
    else clock.SleepMs(50);
  }
  pid = -1;
}

void DataCall::KillNow() {
  family_->KillNow(*ctx_);
  ctx_->SignalPppd(SIGKILL);
  ctx_->Reap();
}

void DataCall::Step(bool signal_valid, bool resetting) {
  CallContext& c = *ctx_;
  const int st = c.State();
  const int i = c.slot;
  // Every state but down ends the call when it is no longer wanted.
  auto guard = [&] {
    if (c.Wanted() && !resetting) return true;
    c.SetState(kClose);
    return false;
  };
  switch (st) {
    case kDown: {
      bool wanted = c.Wanted();
      NET3G_LOG(5, "PS state index[%d]: down! dev_ctl->ps_enable=%d,dev_ctl->rssi.rssi_valid=%d\n", i, wanted ? 1 : 0,
                signal_valid ? 1 : 0);
      if (wanted && signal_valid && !resetting) family_->Start(c);
      return;
    }
    case kStarting:
      NET3G_LOG(5, "PS state index[%d]: starting!\n", i);
      if (guard()) family_->Starting(c);
      return;
    case kConnecting:
      NET3G_LOG(5, "PS state index[%d]: connecting!\n", i);
      if (guard()) family_->Connecting(c);
      return;
    case kUp:
      NET3G_LOG(5, "PS state index[%d]: up!\n", i);
      if (guard()) family_->Up(c);
      return;
    case kClose:
      NET3G_LOG(5, "PS state index[%d]: close!\n", i);
      family_->Close(c);
      return;
    default:
      NET3G_LOG(2, " %s:%d]PPP state is invalid!\n", __FILE_NAME__, __LINE__);
      c.SetState(kClose);
  }
}

}  // namespace cellular
