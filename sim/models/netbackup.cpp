// The backup memories behind eth0's settings: the static RAM file driver
// ("/dev/pdcSramFile"), the RTC user memory ("/dev/pdcRtc") and the CMOS
// memory node.  Their contents live in the backing files under dev/, locked
// per request so several processes share them.  Which of them a board has
// comes from the "netbackup" section of board.json:
//   {"store": "sram" | "rtc" | "sram+rtc" | "cmos", "cmos": {"start": 64, "end": 75}}

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "netcfg/backup_dev.h"
#include "sim/flock.h"
#include "sim/net.h"

namespace sim {

namespace {

constexpr size_t kMemSize = 512;
constexpr uint32_t kHandle = 0x5a1;

int Fail(int e) {
  errno = e;
  return -1;
}

// Byte-addressed memory with bounds, shared by the SRAM and RTC models.
class Memory : public Device {
 public:
  using Device::Device;

 protected:
  int Transfer(bool write, unsigned char* buf, uint32_t off, uint32_t len) {
    if (!buf || len == 0 || off > kMemSize || len > kMemSize - off) return Fail(EINVAL);
    FileLock l(fd_);
    ssize_t n = write ? ::pwrite(fd_, buf, len, off) : ::pread(fd_, buf, len, off);
    if (n != static_cast<ssize_t>(len)) return Fail(EIO);
    if (write) fdatasync(fd_);
    return 0;
  }
};

class Sram final : public Memory {
 public:
  using Memory::Memory;
  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return Fail(EFAULT);
    if (request == netcfg::kSramCreate) {
      auto* r = static_cast<netcfg::SramCreateReq*>(arg);
      if (!r->name || r->size == 0) return Fail(EINVAL);
      r->handle = kHandle;
      created_ = true;
      return 0;
    }
    if (request != netcfg::kSramRead && request != netcfg::kSramWrite) return Fail(ENOTTY);
    auto* r = static_cast<netcfg::SramIoReq*>(arg);
    if (!created_ || r->handle != kHandle) return Fail(EBADF);
    return Transfer(request == netcfg::kSramWrite, r->buf, r->offset, r->len);
  }

 private:
  bool created_ = false;
};

class Rtc final : public Memory {
 public:
  using Memory::Memory;
  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return Fail(EFAULT);
    if (request != netcfg::kRtcRead && request != netcfg::kRtcWrite) return Fail(ENOTTY);
    auto* r = static_cast<netcfg::RtcIoReq*>(arg);
    return Transfer(request == netcfg::kRtcWrite, r->buf, r->offset, r->len);
  }
};

class Cmos final : public Device {
 public:
  Cmos(int fd, netcfg::CmosCaps caps) : Device(fd), caps_(caps) {}
  int ioctl(unsigned long request, void* arg) override {
    if (request != netcfg::kCmosGetCaps) return Fail(ENOTTY);
    if (!arg) return Fail(EFAULT);
    std::memcpy(arg, &caps_, sizeof caps_);
    return 0;
  }
  ssize_t pread(void* buf, size_t len, off_t off) override {
    FileLock l(fd_);
    return ::pread(fd_, buf, len, off);
  }
  ssize_t pwrite(const void* buf, size_t len, off_t off) override {
    if (off < 0 || static_cast<size_t>(off) + len > kMemSize) return Fail(EINVAL);
    FileLock l(fd_);
    ssize_t n = ::pwrite(fd_, buf, len, off);
    if (n > 0) fdatasync(fd_);
    return n;
  }

 private:
  netcfg::CmosCaps caps_;
};

std::string Store(const Board& b) {
  auto it = b.desc().find("netbackup");
  if (it == b.desc().end() || !it->is_object()) return "";
  return it->value("store", "");
}

netcfg::CmosCaps Caps(const Board& b) {
  netcfg::CmosCaps c = {64, 75};
  auto it = b.desc().find("netbackup");
  if (it != b.desc().end() && it->is_object() && it->contains("cmos") && (*it)["cmos"].is_object()) {
    c.start = (*it)["cmos"].value("start", 64u);
    c.end = (*it)["cmos"].value("end", 75u);
  }
  return c;
}

bool MakeMemory(const Board& b, const char* rel, std::string* err) {
  std::ofstream out(b.file(rel), std::ios::binary | std::ios::trunc);
  std::string zeros(kMemSize, '\0');
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  if (!out) *err = std::string("cannot create ") + b.file(rel);
  return static_cast<bool>(out);
}

bool Provision(const Board& b, std::string* err) {
  std::string s = Store(b);
  if (s.empty()) return true;
  if (s != "sram" && s != "rtc" && s != "sram+rtc" && s != "cmos") {
    *err = "netbackup.store must be sram, rtc, sram+rtc or cmos, not " + s;
    return false;
  }
  if (s == "cmos") {
    auto c = Caps(b);
    if (c.end < c.start || c.end >= kMemSize) {
      *err = "netbackup.cmos window out of range";
      return false;
    }
    return MakeMemory(b, "dev/vs_cmos", err);
  }
  if (s.find("sram") != std::string::npos && !MakeMemory(b, "dev/pdcSramFile", err)) return false;
  if (s.find("rtc") != std::string::npos && !MakeMemory(b, "dev/pdcRtc", err)) return false;
  return true;
}

bool NoProvision(const Board&, std::string*) { return true; }

}  // namespace

const Model kSramModel = {
    "pdc-sram", "/dev/pdcSramFile",
    [](const Board&, const std::string&, int fd, int) -> std::unique_ptr<Device> { return std::make_unique<Sram>(fd); },
    Provision};
const Model kRtcModel = {
    "pdc-rtc", "/dev/pdcRtc",
    [](const Board&, const std::string&, int fd, int) -> std::unique_ptr<Device> { return std::make_unique<Rtc>(fd); },
    NoProvision};
const Model kCmosModel = {"cmos", "/dev/vs_cmos",
                          [](const Board& b, const std::string&, int fd, int) -> std::unique_ptr<Device> {
                            return std::make_unique<Cmos>(fd, Caps(b));
                          },
                          NoProvision};

}  // namespace sim
