// The simulated I2C clock chips.

#include "sim/models/rtc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/i2c/i2c.h"
#include "platform/rtc/rtc.h"

namespace sim {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

uint8_t bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }
bool unbcd(uint8_t v, int* out) {
  if ((v & 0x0F) > 9 || (v >> 4) > 9) return false;
  *out = (v >> 4) * 10 + (v & 0x0F);
  return true;
}

bool isl(ChipKind k) { return k == ChipKind::ISL12022; }
bool rx(ChipKind k) { return k == ChipKind::RX8010 || k == ChipKind::RX8900; }

struct Flag {
  uint32_t reg;  // absolute, or the seconds register (offset) for DS13XX
  uint8_t bit;
};
Flag stop_flag(ChipKind k, uint32_t offset) {
  switch (k) {
    case ChipKind::DS13XX: return {offset, 0x80};
    case ChipKind::DS3232: return {0x0F, 0x80};
    case ChipKind::ISL12022: return {0x07, 0x01};
    case ChipKind::RX8010: return {0x1E, 0x02};
    case ChipKind::RX8900: return {0x0E, 0x02};
  }
  return {0, 0};
}

// A chip's registers and the wall-clock moment its time registers hold.
struct ChipState {
  uint8_t regs[256] = {};
  int64_t anchor_ms = 0;
};
static_assert(sizeof(ChipState) == 264);

struct ChipDesc {
  ChipKind kind = ChipKind::DS13XX;
  uint32_t bus = 0, addr = 0x68, offset = 0;
  bool battery_lost = false, vlf_stuck = false, silent = false;
  std::string file;  // relative to the board
};

std::vector<ChipDesc> chips(const Board& b) {
  std::vector<ChipDesc> out;
  auto r = b.desc().find("rtc");
  if (r == b.desc().end() || !r->is_object() || !r->contains("chips") || !(*r)["chips"].is_array()) return out;
  for (auto& c : (*r)["chips"]) {
    if (!c.is_object()) continue;
    ChipDesc d;
    if (!ChipKindFromName(c.value("kind", std::string("DS13XX")), &d.kind)) continue;
    d.bus = c.value("bus", 0u);
    d.addr = c.value("addr", 0x68u);
    d.offset = c.value("offset", d.kind == ChipKind::RX8010 ? 0x10u : 0u);
    d.battery_lost = c.value("battery", std::string()) == "lost";
    d.vlf_stuck = c.value("vlf_stuck", false);
    d.silent = c.value("silent", false);
    d.file = "dev/vs_i2c.d/" + std::to_string(d.bus) + "-" + std::to_string(d.addr);
    out.push_back(d);
  }
  return out;
}

bool running(const ChipDesc& c, const ChipState& s) {
  Flag f = stop_flag(c.kind, c.offset);
  return !(s.regs[f.reg & 0xFF] & f.bit);
}

// Brings the time registers up to now when the clock runs.
void advance(const ChipDesc& c, ChipState& s, int64_t now) {
  if (!running(c, s)) return;
  int64_t t;
  if (!ChipDecode(c.kind, s.regs + c.offset, &t)) return;
  int64_t whole = (now - s.anchor_ms) / 1000;
  if (whole <= 0) return;
  uint8_t keep_hour = s.regs[c.offset + 2];
  ChipEncode(c.kind, t + whole, s.regs + c.offset);
  if (isl(c.kind) && !(keep_hour & 0x80)) s.regs[c.offset + 2] &= 0x7F;
  s.anchor_ms += whole * 1000;
}

bool load(int fd, ChipState* s) { return ::pread(fd, s, sizeof *s, 0) == static_cast<ssize_t>(sizeof *s); }
bool save(int fd, const ChipState& s) { return ::pwrite(fd, &s, sizeof s, 0) == static_cast<ssize_t>(sizeof s); }

ChipState fresh(const ChipDesc& c) {
  ChipState s;
  s.anchor_ms = now_ms();
  if (c.battery_lost) {
    Flag f = stop_flag(c.kind, c.offset);
    s.regs[f.reg] |= f.bit;
  } else {
    ChipEncode(c.kind, s.anchor_ms / 1000, s.regs + c.offset);
    s.anchor_ms = s.anchor_ms / 1000 * 1000;
  }
  return s;
}

class I2cBus final : public Device {
 public:
  I2cBus(int fd, const Board& b, std::vector<ChipDesc> cs) : Device(fd), board_(b), chips_(std::move(cs)) {}

  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return fail(EFAULT);
    auto* x = static_cast<VsI2cXfer_t*>(arg);
    char line[256];
    int n = std::snprintf(line, sizeof line, "dev /dev/vs_i2c ioctl 0x%08lX bus=%u addr=0x%x reg=0x%x len=%u", request,
                          x->Bus, x->Addr, x->Reg, x->Len);
    if (request == VS_I2C_WRITE)
      for (uint32_t i = 0; i < x->Len && i < VS_I2C_DATA_MAX && n < 240; ++i)
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", x->Data[i]);
    board_.event(line);
    if (request != VS_I2C_READ && request != VS_I2C_WRITE) return fail(ENOTTY);
    if (x->Len > VS_I2C_DATA_MAX || x->Reg + x->Len > 256) return fail(EINVAL);
    const ChipDesc* c = find(x->Bus, x->Addr);
    if (!c || c->silent) return fail(EIO);  // nobody acknowledges the address
    ::mkdir(board_.file("dev/vs_i2c.d").c_str(), 0755);
    int fd = ::open(board_.file(c->file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(EIO);
    flock(fd, LOCK_EX);
    ChipState s;
    int rc = 0;
    if (!load(fd, &s)) s = fresh(*c);
    advance(*c, s, now_ms());
    if (request == VS_I2C_READ) {
      std::memcpy(x->Data, s.regs + x->Reg, x->Len);
    } else {
      Flag f = stop_flag(c->kind, c->offset);
      for (uint32_t i = 0; i < x->Len; ++i) {
        uint32_t r = x->Reg + i;
        uint8_t v = x->Data[i];
        if (c->vlf_stuck && r == f.reg && c->kind != ChipKind::DS13XX) v |= f.bit;
        s.regs[r] = v;
        if (r == c->offset) s.anchor_ms = now_ms();  // writing the seconds restarts the divider
        // The ISL12022 takes any time write as the end of its power failure.
        if (isl(c->kind) && r >= c->offset && r < c->offset + 7) s.regs[0x07] &= static_cast<uint8_t>(~0x01);
      }
      if (!save(fd, s)) rc = -1;
    }
    if (request == VS_I2C_READ && !save(fd, s)) rc = -1;
    flock(fd, LOCK_UN);
    ::close(fd);
    return rc == 0 ? 0 : fail(EIO);
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  const ChipDesc* find(uint32_t bus, uint32_t addr) const {
    for (auto& c : chips_)
      if (c.bus == bus && c.addr == addr) return &c;
    return nullptr;
  }
  const Board& board_;
  std::vector<ChipDesc> chips_;
};

std::unique_ptr<Device> open_i2c(const Board& b, const std::string&, int fd, int) {
  std::string err;
  auto now = Board::Load(b.dir(), &err);  // tests change the chips between opens
  return std::make_unique<I2cBus>(fd, b, chips(now ? *now : b));
}

bool provision(const Board& b, std::string* err) {
  ::mkdir(b.file("dev/vs_i2c.d").c_str(), 0755);
  int node = ::open(b.file("dev/vs_i2c").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (node < 0) {
    *err = "cannot create dev/vs_i2c";
    return false;
  }
  ::close(node);
  for (auto& c : chips(b)) {
    ChipState s = fresh(c);
    int fd = ::open(b.file(c.file).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !save(fd, s)) {
      if (fd >= 0) ::close(fd);
      *err = "cannot create the clock chip " + c.file;
      return false;
    }
    ::close(fd);
  }
  return true;
}

}  // namespace

bool ChipKindFromName(const std::string& name, ChipKind* out) {
  static const std::pair<const char*, ChipKind> k[] = {{"DS13XX", ChipKind::DS13XX},
                                                       {"DS3232", ChipKind::DS3232},
                                                       {"ISL12022", ChipKind::ISL12022},
                                                       {"RX8010", ChipKind::RX8010},
                                                       {"RX8900", ChipKind::RX8900}};
  for (auto& [n, v] : k)
    if (name == n) {
      *out = v;
      return true;
    }
  return false;
}

void ChipEncode(ChipKind k, int64_t secs, uint8_t regs[7]) {
  time_t t = static_cast<time_t>(secs);
  tm b{};
  gmtime_r(&t, &b);
  uint8_t wd = rx(k) ? static_cast<uint8_t>(1u << b.tm_wday) : static_cast<uint8_t>(b.tm_wday + 1);
  uint8_t hour = bcd(b.tm_hour) | (isl(k) ? 0x80 : 0);
  uint8_t date[4] = {bcd(b.tm_mday), bcd(b.tm_mon + 1), bcd(b.tm_year % 100), wd};
  regs[0] = bcd(b.tm_sec);
  regs[1] = bcd(b.tm_min);
  regs[2] = hour;
  if (isl(k)) {
    std::memcpy(regs + 3, date, 4);
  } else {
    regs[3] = wd;
    std::memcpy(regs + 4, date, 3);
  }
}

bool ChipDecode(ChipKind k, const uint8_t regs[7], int64_t* secs) {
  int s, m, h, d, mo, y;
  uint8_t hr = regs[2];
  const uint8_t* date = isl(k) ? regs + 3 : regs + 4;
  if (!unbcd(regs[0] & 0x7F, &s) || !unbcd(regs[1] & 0x7F, &m) || !unbcd(date[0] & 0x3F, &d) ||
      !unbcd(date[1] & 0x1F, &mo) || !unbcd(date[2], &y))
    return false;
  if (isl(k) && !(hr & 0x80)) {
    if (!unbcd(hr & 0x1F, &h) || h < 1 || h > 12) return false;
    h = h % 12 + ((hr & 0x20) ? 12 : 0);
  } else if (!unbcd(hr & 0x3F, &h)) {
    return false;
  }
  if (s > 59 || m > 59 || h > 23 || d < 1 || d > 31 || mo < 1 || mo > 12) return false;
  tm b{};
  b.tm_sec = s;
  b.tm_min = m;
  b.tm_hour = h;
  b.tm_mday = d;
  b.tm_mon = mo - 1;
  b.tm_year = 100 + y;
  *secs = static_cast<int64_t>(timegm(&b));
  return true;
}

int RtcCommand(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: dvrsim rtc DIR dump | poke REG BYTE...\n");
    return 2;
  }
  std::string err;
  auto b = Board::Load(argv[1], &err);
  if (!b) {
    std::fprintf(stderr, "dvrsim: %s\n", err.c_str());
    return 1;
  }
  auto cs = chips(*b);
  if (cs.empty()) {
    std::fprintf(stderr, "dvrsim: the board has no clock chip\n");
    return 1;
  }
  const ChipDesc& c = cs.front();
  int fd = ::open(b->file(c.file).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "dvrsim: no state for the clock chip\n");
    return 1;
  }
  flock(fd, LOCK_EX);
  ChipState s;
  if (!load(fd, &s)) s = fresh(c);
  advance(c, s, now_ms());
  std::string op = argv[2];
  int rc = 0;
  if (op == "dump" && argc == 3) {
    for (int r = 0; r < 256; ++r) std::printf("%02x%c", s.regs[r], r % 16 == 15 ? '\n' : ' ');
  } else if (op == "poke" && argc >= 5) {
    char* end = nullptr;
    unsigned long reg = std::strtoul(argv[3], &end, 0);
    if (*end || reg > 255 || reg + static_cast<unsigned long>(argc - 4) > 256) {
      std::fprintf(stderr, "dvrsim: bad register %s\n", argv[3]);
      rc = 2;
    }
    for (int i = 4; i < argc && rc == 0; ++i) {
      unsigned long v = std::strtoul(argv[i], &end, 0);
      if (*end || v > 255) {
        std::fprintf(stderr, "dvrsim: bad byte %s\n", argv[i]);
        rc = 2;
        break;
      }
      s.regs[reg + static_cast<unsigned long>(i - 4)] = static_cast<uint8_t>(v);
    }
    if (rc == 0) s.anchor_ms = now_ms();
  } else {
    std::fprintf(stderr, "usage: dvrsim rtc DIR dump | poke REG BYTE...\n");
    rc = 2;
  }
  if (rc == 0 && !save(fd, s)) rc = 1;
  flock(fd, LOCK_UN);
  ::close(fd);
  return rc;
}

const Model kI2cModel = {"i2c", "/dev/vs_i2c", open_i2c, provision};

const Schema* RtcResSchema() {
  using R = RtcRes_t;
  static const Schema s{{SIM_FIELD(R, Type, U32), SIM_FIELD(R, Policy, U32), SIM_FIELD(R, Chip, U32),
                         SIM_FIELD(R, I2cBus, U32), SIM_FIELD(R, I2cAddr, U32), SIM_FIELD(R, I2cProtocol, U32),
                         SIM_FIELD(R, RegOffset, U32)}};
  return &s;
}

}  // namespace sim
