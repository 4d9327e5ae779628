// The data call of one modem slot: five states (down, starting, connecting,
// up, close) stepped once per worker pass.  PPP families dial and start the
// PPP daemon; others bring the link up themselves (NDIS, $QCRMCALL, QMI) and
// only plug their own routines into the same states.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cellular/internal.h"

namespace cellular {

enum CallState { kDown = 0, kStarting = 1, kConnecting = 2, kUp = 3, kClose = 4 };

inline constexpr const char* kPppDaemon = "/usr/sbin/3gpp";

// What the data call asks of the system; tests play it.
class CallOs {
 public:
  virtual ~CallOs() = default;
  // Starts the PPP daemon (argv[0] "3gpp"); -1 when no child was made.
  virtual pid_t Spawn(const std::vector<std::string>& argv) = 0;
  // True (and the child reaped) when our child `pid` has ended.
  virtual bool Ended(pid_t pid) = 0;
  // /proc/PID/cmdline with NULs as blanks; nullopt when it cannot be read.
  virtual std::optional<std::string> Cmdline(pid_t pid) = 0;
  virtual int Signal(pid_t pid, int sig) = 0;
  // false with errno when the file exists and cannot be removed.
  virtual bool Remove(const std::string& path) = 0;
  // nullopt when the file cannot be opened.
  virtual std::optional<std::string> Read(const std::string& path) = 0;
  // The interface is listed in /proc/net/dev.
  virtual bool HasNetcard(const std::string& name) = 0;
  // Its IPv4 address and mask in network order.
  virtual bool NetcardAddr(const std::string& name, uint32_t* addr, uint32_t* mask) = 0;
  // Runs a board command (ifconfig); its exit status.
  virtual int Shell(const std::string& cmd) = 0;
};
CallOs& SystemCallOs();

// The modem as the data call reaches it, all on the worker's thread.
struct CallModem {
  std::function<int(const AtCmd&)> cmd;   // on the AT port
  std::function<int(const AtCmd&)> dial;  // a data dial on the PPP port
  std::function<void()> release_ppp_port; // the daemon owns the port from now
};

// Pure pieces, tested on their own.
std::vector<std::string> PppdArgs(const NetAccess& n, int unit, const std::string& port, const Timing& t);
// The arguments joined by blanks, the password masked.
std::string ShowArgs(const std::vector<std::string>& argv);
// "*99#" -> "*99***CTX#", "*98*1#" -> "*98*CTX#", else unchanged.
std::string RewriteDial(const std::string& dial, int ctx);
// The pid in a pid file: a decimal number, optional blanks and newline.
std::optional<int> ParsePidFile(std::string_view text);
// The APN (third quoted field) of the "+CGDCONT: CTX," line; nullopt for
// other lines and bad ones.
std::optional<std::string> ParseCgdcontApn(std::string_view line, int ctx);

// A family's own routines for the five states.
class CallFamily;

struct CallContext;

class DataCall {
 public:
  DataCall(Control& control, const Timing& timing, const DeviceMatch& match, std::string netcard, Clock& clock,
           CallOs& os, CallModem modem);
  ~DataCall();
  DataCall(const DataCall&) = delete;
  DataCall& operator=(const DataCall&) = delete;

  // One step; `signal_valid` and `resetting` come from the status poll.
  void Step(bool signal_valid, bool resetting);
  // The worker leaves: the daemon gets SIGKILL.
  void KillNow();
  // Reports on the AT port that concern the call; true when taken.
  bool Report(std::string_view line);
  // While a daemon runs on a port shared with AT commands the worker must
  // neither read nor write it.
  bool PortBusy() const;
  int state() const;
  pid_t daemon_pid() const;

 private:
  std::unique_ptr<CallContext> ctx_;
  std::unique_ptr<CallFamily> family_;
};

}  // namespace cellular
