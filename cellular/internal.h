// Inside the manager: the AT engine, the worker and the process pieces.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cellular/cellular.h"

namespace cellular {

// One AT command as the engine runs it.
struct AtCmd {
  std::string text;
  std::string expect;  // empty: none
  int timeout_ms = 1000;
  int sends = 1;
  int reads = 2;
  // 1: the line is the answer; 0: not this command's; -1: the answer is bad.
  std::function<int(std::string_view)> parse;
};

// Time as the worker sees it; tests step it by hand.
struct Clock {
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;
  virtual void SleepMs(int ms) = 0;
};
Clock& SystemClock();

// Splits bytes read from a serial port into lines, keeping an unfinished
// line for the next read; a line that never ends is dropped at the limit.
class LineSplitter {
 public:
  template <typename F>
  void Feed(std::string_view bytes, F&& on_line) {
    for (char c : bytes) {
      if (c == '\n' || c == '\r') {
        if (pending_.size() > 1) on_line(std::string_view(pending_));
        pending_.clear();
      } else if (pending_.size() < kAtReplyMax) {
        pending_.push_back(c);
      } else {
        overflowed_ = true;
      }
    }
  }
  bool TakeOverflow() { return std::exchange(overflowed_, false); }

 private:
  std::string pending_;
  bool overflowed_ = false;
};

// The command engine on one AT port.  Lines that answer nothing go to the
// report handler.
class AtEngine {
 public:
  AtEngine(int fd, Clock& clock, std::function<void(std::string_view)> report)
      : fd_(fd), clock_(clock), report_(std::move(report)) {}
  // 0 matched, 1 no match (or nothing to wait for), -1 error reply, -2 port
  // unusable or the last read timed out.
  int Run(const AtCmd& cmd);
  // Hands unsolicited lines to the report handler for up to `ms`; false on
  // a read error.
  bool Drain(int ms);

 private:
  // >0 bytes, 0 timeout, -1 error.
  int ReadSome(char* buf, std::size_t len, int timeout_ms);
  int fd_;
  Clock& clock_;
  std::function<void(std::string_view)> report_;
  LineSplitter lines_;
};

// The AT commands of the generic path and the EC20 family.
AtCmd AtCheckCmd();
AtCmd CfunCmd(int on);
AtCmd SimpleCmd(const char* text, int timeout_ms, int sends, int reads);

// Opens a modem's serial port (raw, 115200, non-blocking, close-on-exec);
// -1 after two failed tries.
int OpenModemPort(const std::string& path);

// Unanswered AT checks: the fifth in a row gives the modem up.  An answer
// does not reset the count.
class AtFailCount {
 public:
  static constexpr int kMax = 5;
  // One unanswered check; true when that makes the modem given up.
  bool Failed() {
    if (++count_ < kMax) return false;
    count_ = 0;
    return true;
  }
  int count() const { return count_; }

 private:
  int count_ = 0;
};

// Polls without signal: soft resets on the timing file's schedule, then a
// hard reset.
class NoSignalSchedule {
 public:
  enum class Step { Wait, SoftReset, HardReset };
  explicit NoSignalSchedule(const Timing& t) : t_(t) {}
  Step Poll();
  void SignalBack() { polls_ = resets_ = 0; }
  bool resetting() const { return resets_ > 0; }

 private:
  const Timing& t_;
  int polls_ = 0;
  int resets_ = 0;
};

// New-link messages of a routing netlink datagram: interface name (at most
// 7 characters) and whether its lower layer is up.  Malformed messages end
// the walk; `error` is set when the datagram holds an error message.
struct LinkState {
  std::string name;
  bool up = false;
};
std::vector<LinkState> ParseLinkMessages(const void* buf, std::size_t len, bool* error);
// The slot a "pppN"/"lteN" interface belongs to (PPP unit N = slot + 5), or -1.
int LinkSlot(std::string_view name);

// A uevent that should trigger a USB rescan.
bool UeventWantsScan(std::string_view msg);

}  // namespace cellular
