// The kernel's RTC nodes (/dev/rtc, /dev/rtc0, /dev/misc/rtc: one clock)
// and the board driver's SoC clock /dev/vs_rtc.  board.json:
//   "rtc": {"kernel": {"nodes": ["/dev/rtc0"], "lost": true}, "soc": {"lost": true}}
// "nodes" lists the kernel nodes that exist (all three by default);
// "lost" starts the clock without a valid time, so reads fail until it is
// set.  Both clocks run from the moment they were set.  The hwclock
// stand-in's "-w" copies the board's system time (the last "time-set"
// event, else the host's) into the kernel clock.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/rtc/rtc.h"
#include "sim/device.h"
#include "sim/flock.h"
#include "sim/models/rtc.h"

namespace sim {

namespace {

constexpr const char* kKernelState = "dev/rtc.state";  // shared by the kernel nodes
const char* const kKernelNodes[] = {"/dev/rtc", "/dev/rtc0", "/dev/misc/rtc"};

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Clock {
  long long secs = 0;    // the time it held at anchor
  long long anchor = 0;  // host milliseconds
  bool lost = false;
  long long at(int64_t now) const { return secs + (now - anchor) / 1000; }
};

bool parse(int fd, Clock* c) {
  char buf[128] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  int lost = 0;
  if (n <= 0 || std::sscanf(buf, "secs=%lld anchor=%lld lost=%d", &c->secs, &c->anchor, &lost) != 3) return false;
  c->lost = lost != 0;
  return true;
}

bool store(int fd, const Clock& c) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, "secs=%lld anchor=%lld lost=%d\n", c.secs, c.anchor, c.lost ? 1 : 0);
  return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, buf, static_cast<size_t>(n), 0) == n;
}

Clock fresh(bool lost) {
  Clock c;
  c.anchor = now_ms();
  c.secs = c.anchor / 1000;
  c.lost = lost;
  return c;
}

nlohmann::json section(const Board& b, const char* name) {
  auto r = b.desc().find("rtc");
  if (r == b.desc().end() || !r->is_object()) return nlohmann::json::object();
  auto s = r->find(name);
  return s != r->end() && s->is_object() ? *s : nlohmann::json::object();
}

// Broken-down UTC fields, checked the way a driver refuses a bad time.
bool to_secs(int sec, int min, int hour, int mday, int mon0, int year1900, long long* out) {
  if (sec < 0 || sec > 59 || min < 0 || min > 59 || hour < 0 || hour > 23 || mon0 < 0 || mon0 > 11 || mday < 1 ||
      year1900 < 70 || year1900 > 1100)
    return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int y = year1900 + 1900;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mday > days[mon0] + (mon0 == 1 && leap ? 1 : 0)) return false;
  tm t{};
  t.tm_sec = sec;
  t.tm_min = min;
  t.tm_hour = hour;
  t.tm_mday = mday;
  t.tm_mon = mon0;
  t.tm_year = year1900;
  *out = static_cast<long long>(timegm(&t));
  return true;
}

tm from_secs(long long s) {
  time_t t = static_cast<time_t>(s);
  tm b{};
  gmtime_r(&t, &b);
  return b;
}

// One clock behind a node; `state` is the file that keeps it.
class RtcNode final : public Device {
 public:
  RtcNode(int fd, const Board& b, std::string path, bool soc, int state)
      : Device(fd), board_(b), path_(std::move(path)), soc_(soc), state_(state) {}
  ~RtcNode() override {
    if (state_ != fd_ && state_ >= 0) ::close(state_);
  }

  int ioctl(unsigned long request, void* arg) override {
    int32_t* w = static_cast<int32_t*>(arg);
    const int words = soc_ ? 7 : 9;
    int rc = handle(request, w);
    int e = errno;
    char line[256];
    int n = std::snprintf(line, sizeof line, "dev %s ioctl 0x%08lX", path_.c_str(), request);
    for (int i = 0; w && i < words && n < 230; ++i)
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %d", w[i]);
    board_.event(line);
    errno = e;
    return rc;
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  int handle(unsigned long request, int32_t* w) {
    if (!w) return fail(EFAULT);
    const bool get = request == (soc_ ? VS_RTC_GET : RTC_RD_TIME_);
    const bool set = request == (soc_ ? VS_RTC_SET : RTC_SET_TIME_);
    if (!get && !set) return fail(ENOTTY);
    FileLock l(state_);
    Clock c;
    if (!parse(state_, &c)) c = fresh(true);
    int64_t now = now_ms();
    if (get) {
      if (c.lost) return fail(EINVAL);  // no valid time since the battery went
      tm t = from_secs(c.at(now));
      if (soc_) {
        const int32_t v[7] = {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon + 1,
                              t.tm_year + 1900, t.tm_wday};
        std::memcpy(w, v, sizeof v);
      } else {
        const int32_t v[9] = {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, 0};
        std::memcpy(w, v, sizeof v);
      }
      return 0;
    }
    long long s;
    bool ok = soc_ ? to_secs(w[0], w[1], w[2], w[3], w[4] - 1, w[5] - 1900, &s)
                   : to_secs(w[0], w[1], w[2], w[3], w[4], w[5], &s);
    if (!ok) return fail(EINVAL);
    c.secs = s;
    c.anchor = now;
    c.lost = false;
    return store(state_, c) ? 0 : fail(EIO);
  }

  const Board& board_;
  std::string path_;
  bool soc_;
  int state_;
};

bool write_clock(const std::string& file, bool lost, std::string* err) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && store(fd, fresh(lost));
  if (fd >= 0) ::close(fd);
  if (!ok) *err = "cannot create " + file;
  return ok;
}

bool provision_kernel(const Board& b, std::string* err) {
  auto k = section(b, "kernel");
  std::vector<std::string> nodes(std::begin(kKernelNodes), std::end(kKernelNodes));
  if (auto n = k.find("nodes"); n != k.end() && n->is_array()) {
    nodes.clear();
    for (auto& p : *n)
      if (p.is_string()) nodes.push_back(p.get<std::string>());
  }
  for (auto& p : nodes) {
    bool known = false;
    for (auto* kn : kKernelNodes) known = known || p == kn;
    if (!known) {
      *err = "rtc.kernel.nodes: " + p + " is not a kernel RTC node";
      return false;
    }
    ::mkdir(b.file("dev/misc").c_str(), 0755);
    int fd = ::open(b.file(p.substr(1)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      *err = "cannot create " + p;
      return false;
    }
    ::close(fd);
  }
  return write_clock(b.file(kKernelState), k.value("lost", false), err);
}

bool provision_soc(const Board& b, std::string* err) {
  return write_clock(b.file("dev/vs_rtc"), section(b, "soc").value("lost", false), err);
}

std::unique_ptr<Device> open_kernel(const Board& b, const std::string& path, int fd, int) {
  int state = ::open(b.file(kKernelState).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (state < 0) {
    errno = ENODEV;
    return nullptr;
  }
  return std::make_unique<RtcNode>(fd, b, path, false, state);
}

std::unique_ptr<Device> open_soc(const Board& b, const std::string& path, int fd, int) {
  return std::make_unique<RtcNode>(fd, b, path, true, fd);
}

}  // namespace

bool KernelRtcSystohc(const Board& b, std::string* err) {
  long long secs = now_ms() / 1000;
  for (auto& e : ReadEvents(b.dir())) {
    long long s;
    if (std::sscanf(e.c_str(), "time-set %lld.", &s) == 1) secs = s;
  }
  int fd = ::open(b.file(kKernelState).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *err = "hwclock: cannot access the RTC";
    return false;
  }
  bool ok;
  {
    FileLock l(fd);
    Clock c;
    c.secs = secs;
    c.anchor = now_ms();
    ok = store(fd, c);
  }
  ::close(fd);
  if (!ok) *err = "hwclock: cannot set the RTC";
  return ok;
}

int HwclockStandIn(const Board& b, int argc, char** argv) {
  bool systohc = false;
  for (int i = 1; i < argc; ++i) systohc = systohc || std::strcmp(argv[i], "-w") == 0 || std::strcmp(argv[i], "--systohc") == 0;
  if (!systohc) return 0;
  std::string err;
  if (!KernelRtcSystohc(b, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  return 0;
}

const Model kKernelRtcModel = {"kernel-rtc", "/dev/rtc*", open_kernel, provision_kernel};
const Model kMiscRtcModel = {"kernel-rtc-misc", "/dev/misc/rtc", open_kernel, nullptr};
const Model kSocRtcModel = {"soc-rtc", "/dev/vs_rtc", open_soc, provision_soc};

}  // namespace sim
