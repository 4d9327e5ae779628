// The AT command engine on a modem's serial port.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "cellular/internal.h"
#include "cellular/log.h"
#include "osa/sys.h"

namespace cellular {

namespace {

class RealClock final : public Clock {
 public:
  int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// Commands whose text or answer must stay out of the log.
bool Sensitive(std::string_view s) {
  for (const char* k : {"CLCC", "DSCI", "CLIP", "CMGR", "ATI", "QCIMI", "ICCID", "QCCID", "CIMI"})
    if (s.find(k) != std::string_view::npos) return true;
  return false;
}

}  // namespace

Clock& SystemClock() {
  static RealClock c;
  return c;
}

AtCmd SimpleCmd(const char* text, int timeout_ms, int sends, int reads) {
  AtCmd c;
  c.text = text;
  c.expect = "OK";
  c.timeout_ms = timeout_ms;
  c.sends = sends;
  c.reads = reads;
  return c;
}

AtCmd AtCheckCmd() { return SimpleCmd("AT\r", 1000, 1, 3); }

AtCmd CfunCmd(int on) {
  char t[32];
  std::snprintf(t, sizeof t, "AT+CFUN=%d\r", on);
  return SimpleCmd(t, 10000, 2, 2);
}

int OpenModemPort(const std::string& path) {
  for (int tries = 1;; ++tries) {
    int fd = osa::sys::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (fd >= 0) {
      struct termios t {};
      if (osa::sys::tcgetattr(fd, &t) == 0) {
        osa::sys::cfmakeraw(&t);
        osa::sys::cfsetispeed(&t, B115200);
        osa::sys::cfsetospeed(&t, B115200);
        osa::sys::tcsetattr(fd, TCSANOW, &t);
      }
      return fd;
    }
    if (tries >= 2) {
      NET3G_LOG(4, "open [%s] fail nums has reach %d\n", path.c_str(), tries);
      return -1;
    }
    SystemClock().SleepMs(100);
  }
}

int AtEngine::ReadSome(char* buf, std::size_t len, int timeout_ms) {
  struct pollfd p {};
  p.fd = fd_;
  p.events = POLLIN;
  int r = osa::sys::poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  if (p.revents & (POLLERR | POLLNVAL)) return -1;
  ssize_t n = osa::sys::read(fd_, buf, len);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  if (n == 0) return -1;  // hang-up: the modem is gone
  return static_cast<int>(n);
}

bool AtEngine::Drain(int ms) {
  char buf[kAtReplyMax];
  int64_t end = clock_.NowMs() + ms;
  for (;;) {
    int64_t left = end - clock_.NowMs();
    int n = ReadSome(buf, sizeof buf, left > 0 ? static_cast<int>(left) : 0);
    if (n < 0) return false;
    if (n > 0) lines_.Feed(std::string_view(buf, static_cast<std::size_t>(n)), [&](std::string_view l) { report_(l); });
    if (lines_.TakeOverflow()) NET3G_LOG(3, "reply line longer than %zu bytes dropped\n", kAtReplyMax);
    if (left <= 0 || n == 0) return true;
  }
}

int AtEngine::Run(const AtCmd& cmd) {
  if (fd_ < 0) return -2;
  if (!Drain(1)) {
    NET3G_LOG(4, "ttyUSB read error!\n");
    return -2;
  }
  bool dial = cmd.text.find("ATD") != std::string::npos || cmd.text.find("CMGS") != std::string::npos;
  bool last_timeout = false;
  char buf[kAtReplyMax];
  for (int attempt = 0; attempt < cmd.sends; ++attempt) {
    if (dial)
      NET3G_LOG(4, "send ATD or hcmgs or CMGS cmd\n ");
    else
      NET3G_LOG(4, "send: %s\n ", cmd.text.c_str());
    if (!cmd.expect.empty()) NET3G_LOG(4, "expect: %s\n", cmd.expect.c_str());
    std::size_t off = 0;
    while (off < cmd.text.size()) {
      ssize_t w = osa::sys::write(fd_, cmd.text.data() + off, cmd.text.size() - off);
      if (w < 0 && errno == EAGAIN) {
        clock_.SleepMs(10);
        continue;
      }
      if (w <= 0) {
        NET3G_LOG(4, "write_usb_com error!\n");
        NET3G_LOG(4, "write_cmd error tty_fd:%d , send:%s !\n", fd_, dial ? "(hidden)" : cmd.text.c_str());
        return -2;
      }
      off += static_cast<std::size_t>(w);
    }
    if (cmd.expect.empty() && !cmd.parse) {
      clock_.SleepMs(cmd.timeout_ms);
      return 1;
    }
    for (int r = 0; r < cmd.reads; ++r) {
      int n = ReadSome(buf, sizeof buf, cmd.timeout_ms);
      if (n < 0) {
        NET3G_LOG(4, "read_usb_com failed\n");
        return -2;
      }
      last_timeout = n == 0;
      if (n == 0) continue;
      std::string_view got(buf, static_cast<std::size_t>(n));
      // A short read is logged but still fed on: it may be half of a reply
      // whose rest comes with the next read.
      if (n < 4)
        NET3G_LOG(4, "respones len:%d too short respones: %.*s\n", n, n, buf);
      else if (Sensitive(cmd.text) || Sensitive(got))
        NET3G_LOG(4, "recv sensitive info!\n");
      else
        NET3G_LOG(4, "respones: %.*s\n ", n, buf);
      int outcome = 0;  // 1 matched, -1 failed
      lines_.Feed(got, [&](std::string_view line) {
        if (outcome != 0) {
          report_(line);
          return;
        }
        if (IsErrorReply(line)) {
          outcome = -1;
          return;
        }
        int p = 0;
        if (!cmd.expect.empty() && line.substr(0, cmd.expect.size()) == cmd.expect) p = 1;
        else if (cmd.parse) p = cmd.parse(line);
        if (p != 0) outcome = p > 0 ? 1 : -1;
        else report_(line);
      });
      if (lines_.TakeOverflow()) NET3G_LOG(3, "reply line longer than %zu bytes dropped\n", kAtReplyMax);
      if (outcome < 0) {
        NET3G_LOG(4, "parse_response failed \n");
        return -1;
      }
      if (outcome > 0) return 0;
    }
  }
  NET3G_LOG(4, "command_process error\n");
  return last_timeout ? -2 : 1;
}

NoSignalSchedule::Step NoSignalSchedule::Poll() {
  ++polls_;
  if (polls_ < PollsIn(resets_ == 0 ? t_.no_service_srst_time1 : t_.no_service_srst_time2)) return Step::Wait;
  polls_ = 0;
  // The first soft reset always comes; each later one counts against the limit.
  if (resets_++ == 0) return Step::SoftReset;
  return resets_ > t_.no_service_srst_count ? Step::HardReset : Step::SoftReset;
}

bool UeventWantsScan(std::string_view msg) {
  std::string_view head = msg.substr(0, msg.find('\0'));
  if (head.substr(0, 5) != "add@/" && head.substr(0, 8) != "remove@/") return false;
  for (const char* k : {"ttyUSB", "ttyACM", "thp", "scsi_device"})
    if (head.find(k) != std::string_view::npos) return true;
  return false;
}

}  // namespace cellular
