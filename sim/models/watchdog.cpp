// The simulated watchdogs.

#include "sim/flock.h"
#include "sim/models/watchdog.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/watchdog/watchdog.h"

namespace sim {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string fmt_ms(int64_t ms) {
  char b[32];
  std::snprintf(b, sizeof b, "%" PRId64 ".%03d", ms / 1000, static_cast<int>(ms % 1000));
  return b;
}

WdtState load(int fd, uint32_t default_timeout) {
  char buf[256] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  WdtState s;
  s.timeout = default_timeout;
  if (n > 0) ParseWdtState(std::string_view(buf, static_cast<size_t>(n)), &s);
  return s;
}

void store(int fd, const WdtState& s) {
  std::string t = FormatWdtState(s);
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, t.data(), t.size(), 0) != static_cast<ssize_t>(t.size()))
    std::fprintf(stderr, "dvrsim: cannot store watchdog state\n");
}

// Logs a reset that happened while nobody looked; the board restarted, so
// the watchdog is stopped again.
void judge(const Board& b, const std::string& path, WdtState* s, int64_t now) {
  int64_t at;
  if (!WdtExpired(*s, now, &at)) return;
  b.event("watchdog reset " + path + " " + fmt_ms(at));
  s->running = false;
  s->reset = true;
}

uint32_t board_timeout(const Board& b) {
  auto w = b.desc().find("watchdog");
  if (w == b.desc().end() || !w->is_object()) return 60;
  return w->value("timeout", 60u);
}

class Watchdog final : public Device {
 public:
  Watchdog(int fd, const Board& b, std::string path, bool soft)
      : Device(fd), board_(b), path_(std::move(path)), soft_(soft) {
    b.event("dev " + path_ + " open");
    if (!soft_) change([](WdtState& s) { start(s); });
  }
  ~Watchdog() override {
    if (!soft_ && expect_close_) change([](WdtState& s) { s.running = false; });
    board_.event("dev " + path_ + " close");
  }

  int ioctl(unsigned long request, void* arg) override {
    // The kernel driver takes pointers; the soft driver takes values.
    long value = soft_ ? static_cast<long>(reinterpret_cast<uintptr_t>(arg))
                       : (arg ? *static_cast<int*>(arg) : 0);
    char line[160];
    std::snprintf(line, sizeof line, "dev %s ioctl 0x%08lX %ld", path_.c_str(), request, value);
    board_.event(line);
    if (!soft_ && !arg && request != WDIOC_KEEPALIVE_) return fail(EFAULT);
    switch (request) {
      case WDIOC_KEEPALIVE_:
        change([](WdtState& s) { feed(s); });
        log_feed();
        return 0;
      case WDIOC_SETTIMEOUT_:
        if (value < 1 || value > 65535) return fail(EINVAL);
        change([&](WdtState& s) {
          s.timeout = static_cast<uint32_t>(value);
          feed(s);
        });
        return 0;
      case WDIOC_GETTIMEOUT_: {
        if (soft_ || !arg) return fail(EFAULT);
        WdtState s = load(fd_, board_timeout(board_));
        *static_cast<int*>(arg) = static_cast<int>(s.timeout);
        return 0;
      }
      case WDIOC_SETOPTIONS_:
        if (value & WDIOS_DISABLECARD_) change([](WdtState& s) { s.running = false; });
        if (value & WDIOS_ENABLECARD_) change([](WdtState& s) { start(s); });
        return 0;
      case ZQ_WDIOC_SHUTDOWN:
        if (!soft_) return fail(ENOTTY);
        change([](WdtState& s) { s.running = false; });
        board_.event("poweroff " + path_);
        return 0;
      default:
        return fail(ENOTTY);
    }
  }

  ssize_t write(const void* buf, size_t len) override {
    std::string line = "dev " + path_ + " write";
    const auto* p = static_cast<const uint8_t*>(buf);
    char h[4];
    for (size_t i = 0; i < len; ++i) {
      std::snprintf(h, sizeof h, " %02x", p[i]);
      line += h;
    }
    board_.event(line);
    if (!soft_) expect_close_ = std::memchr(buf, 'V', len) != nullptr;
    change([](WdtState& s) { feed(s); });
    log_feed();
    return static_cast<ssize_t>(len);
  }
  ssize_t read(void*, size_t) override { return fail(EINVAL); }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  // With "watchdog": {"feed_log": true} every feed's wall-clock time (ms)
  // goes to DIR/sim/watchdog-feeds.log, for measuring feed jitter.
  void log_feed() {
    auto w = board_.desc().find("watchdog");
    if (w == board_.desc().end() || !w->is_object() || !w->value("feed_log", false)) return;
    if (FILE* f = std::fopen(board_.file("sim/watchdog-feeds.log").c_str(), "a")) {
      std::fprintf(f, "%s %" PRId64 "\n", path_.c_str(), now_ms());
      std::fclose(f);
    }
  }
  static void start(WdtState& s) {
    if (!s.running) s.reset = false;
    s.running = true;
    s.fed_ms = now_ms();
  }
  static void feed(WdtState& s) {
    if (s.running) s.fed_ms = now_ms();
  }
  template <typename F>
  void change(F f) {
    FileLock l(fd_);
    WdtState s = load(fd_, board_timeout(board_));
    judge(board_, path_, &s, now_ms());
    f(s);
    store(fd_, s);
  }

  const Board& board_;
  std::string path_;
  bool soft_;
  bool expect_close_ = false;
};

std::vector<std::string> soft_paths(const Board& b) {
  std::vector<std::string> out;
  auto w = b.desc().find("watchdog");
  if (w == b.desc().end() || !w->is_object()) return out;
  auto s = w->find("soft");
  if (s == w->end() || !s->is_array()) return out;
  for (auto& p : *s)
    if (p.is_string()) out.push_back(p.get<std::string>());
  return out;
}

bool provision(const Board& b, std::string* err) {
  std::vector<std::string> paths = soft_paths(b);
  paths.push_back(WDG_LINUX_NODE);
  WdtState s;
  s.timeout = board_timeout(b);
  for (auto& p : paths) {
    FILE* f = std::fopen(b.file(p.substr(1)).c_str(), "w");
    if (!f) {
      *err = "cannot create the watchdog node " + p;
      return false;
    }
    std::string t = FormatWdtState(s);
    std::fwrite(t.data(), 1, t.size(), f);
    std::fclose(f);
  }
  return true;
}

std::unique_ptr<Device> open_linux(const Board& b, const std::string& p, int fd, int) {
  return std::make_unique<Watchdog>(fd, b, p, false);
}
std::unique_ptr<Device> open_soft(const Board& b, const std::string& p, int fd, int) {
  return std::make_unique<Watchdog>(fd, b, p, true);
}

}  // namespace

bool ParseWdtState(std::string_view text, WdtState* s) {
  std::string t(text);
  unsigned running = 0, timeout = 0, reset = 0;
  long long fed = 0;
  if (std::sscanf(t.c_str(), "running=%u timeout=%u fed=%lld reset=%u", &running, &timeout, &fed, &reset) != 4)
    return false;
  s->running = running != 0;
  s->timeout = timeout;
  s->fed_ms = fed;
  s->reset = reset != 0;
  return true;
}

std::string FormatWdtState(const WdtState& s) {
  char b[128];
  std::snprintf(b, sizeof b, "running=%d timeout=%u fed=%lld reset=%d\n", s.running ? 1 : 0, s.timeout,
                static_cast<long long>(s.fed_ms), s.reset ? 1 : 0);
  return b;
}

bool WdtExpired(const WdtState& s, int64_t now, int64_t* at_ms) {
  if (!s.running || s.reset) return false;
  int64_t at = s.fed_ms + static_cast<int64_t>(s.timeout) * 1000;
  if (now <= at) return false;
  *at_ms = at;
  return true;
}

void JudgeWatchdogs(const std::string& dir, int64_t now) {
  std::string err;
  auto b = Board::Load(dir, &err);
  if (!b) return;
  if (now < 0) now = now_ms();
  std::vector<std::string> paths = soft_paths(*b);
  paths.push_back(WDG_LINUX_NODE);
  for (auto& p : paths) {
    int fd = ::open(b->file(p.substr(1)).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    {
      FileLock l(fd);
      WdtState s = load(fd, board_timeout(*b));
      bool was = s.reset;
      judge(*b, p, &s, now);
      if (s.reset != was) store(fd, s);
    }
    ::close(fd);
  }
}

const Model kWatchdogModel = {"watchdog", "/dev/watchdog", open_linux, provision};
const Model kSoftWatchdogModel = {"soft-watchdog", "", open_soft, nullptr};

const Model* FindBoardModel(const Board& board, std::string_view path) {
  for (auto& p : soft_paths(board))
    if (p == path) return &kSoftWatchdogModel;
  return nullptr;
}

const Schema* WdgsResSchema() {
  static const Schema slot{{SIM_FIELD(WdgSlot_t, Len, U32), SIM_FIELD(WdgSlot_t, Frame, Bytes, WDG_FRAME_MAX)}};
  static const Schema i2c{{
      SIM_FIELD(WdgI2cRes_t, Bus, U32), SIM_FIELD(WdgI2cRes_t, Addr, U32), SIM_FIELD(WdgI2cRes_t, Protocol, U32),
      SIM_FIELD(WdgI2cRes_t, WrReg, U32), SIM_FIELD(WdgI2cRes_t, WrRegLen, U8), SIM_FIELD(WdgI2cRes_t, WrFlags, U16),
      SIM_FIELD(WdgI2cRes_t, WrDelayUs, U32), SIM_FIELD(WdgI2cRes_t, WrRetry, U32),
      SIM_FIELD(WdgI2cRes_t, Slots, Array, sizeof(WdgSlot_t), &slot, WDG_SLOTS),
  }};
  using E = WdgEntry_t;
  static const Schema entry{{
      SIM_FIELD(E, Type, U32), SIM_FIELD(E, DefTimeout, U32), SIM_FIELD(E, DevPath, Str, 312),
      SIM_FIELD(E, Uart, Struct, sizeof(UartRes_t), &UartResSchema()),
      SIM_FIELD(E, I2c, Struct, sizeof(WdgI2cRes_t), &i2c),
      SIM_FIELD(E, SpiSlots, Array, sizeof(WdgSlot_t), &slot, WDG_SLOTS),
      SIM_FIELD(E, FbdSlots, Array, sizeof(WdgSlot_t), &slot, WDG_SLOTS),
      Field{"MbAttr", offsetof(E, Mb.Attr), FieldKind::Struct, sizeof(ResLineAttr_t), &LineAttrSchema()},
      Field{"MbSlots", offsetof(E, Mb.Slots), FieldKind::Array, sizeof(WdgSlot_t), &slot, WDG_SLOTS},
  }};
  static const Schema s{{Field{"Entry", offsetof(WdgsRes_t, Entry), FieldKind::Array, sizeof(WdgEntry_t), &entry,
                               WDG_MAX, offsetof(WdgsRes_t, Count)}}};
  return &s;
}

}  // namespace sim
