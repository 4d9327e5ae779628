// Inside the data call: what every family's routines share.
#pragma once

#include <string>

#include "cellular/ps.h"

namespace cellular {

struct CallContext {
  Control& control;
  const Timing& timing;
  DeviceMatch match;
  std::string netcard;  // the modem's own interface ("" for PPP families)
  Clock& clock;
  CallOs& os;
  CallModem modem;
  int slot = 0;
  int type = 0;
  int unit = 5;
  int pdp = 1;
  pid_t pid = -1;        // our PPP daemon, -1 when none
  int64_t since_ms = 0;  // last transition
  NetAccess net;         // the configuration of the call being made

  int64_t Now() { return clock.NowMs(); }
  // Seconds since the last transition; a clock that went back counts as long ago.
  int64_t Elapsed();
  void Mark() { since_ms = Now(); }
  int State();
  void SetState(int s);
  bool Wanted();
  // The configuration OPEN_PPP left, copied for this call.
  void TakeNetAccess();
  int SysMode();
  void SetLink(uint32_t addr, uint32_t mask);
  void ClearLink() { SetLink(0, 0); }

  // The PPP daemon.
  bool StartPppd();
  bool PppdAlive();               // check_pppd
  void SignalPppd(int sig);       // only our own, still running child
  bool KillPppd();                // SIGTERM, 30 s, then SIGKILL; true when gone
  void Reap();                    // after SIGKILL: the child waited for
  std::string PidFile() const { return "/var/tmp/ppp" + std::to_string(unit) + ".pid"; }
  // get_netcard_ip: up to 5 looks for the interface, then 5 reads.
  bool NetcardIp(const std::string& name, uint32_t* addr, uint32_t* mask);

  int Cmd(const AtCmd& c) { return modem.cmd(c); }
  int Cmd(const std::string& text, int timeout_ms = 1000, int sends = 1, int reads = 2);
};

class CallFamily {
 public:
  virtual ~CallFamily() = default;
  virtual void Start(CallContext& c) = 0;       // from down, link wanted
  virtual void Starting(CallContext& c) = 0;
  virtual void Connecting(CallContext& c) = 0;
  virtual void Up(CallContext& c) = 0;
  virtual void Close(CallContext& c) = 0;
  virtual bool Report(CallContext&, std::string_view) { return false; }
  virtual bool PortBusy(const CallContext&) const { return false; }
  virtual void KillNow(CallContext&) {}
};

std::unique_ptr<CallFamily> MakePppFamily();
// Families with their own data call (nullptr when the type has none).
std::unique_ptr<CallFamily> MakeOwnCallFamily(int type, const std::string& netcard);
std::unique_ptr<CallFamily> MakeQmiFamily(int type);

// AT command texts with an argument.
AtCmd OkCmd(const std::string& text, int timeout_ms = 1000, int sends = 1, int reads = 2);

}  // namespace cellular
