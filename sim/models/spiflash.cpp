// The SPI flash driver /dev/vs_spiflash in front of the FPGA's
// configuration flash: writes land in the node's backing file, reads come
// from it.  board.json: "spiflash": {"flip_at": ADDR} spoils the byte at
// ADDR on every write, so the read-back differs.

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/mcu/mcu.h"
#include "sim/device.h"

namespace sim {

namespace {

class SpiFlash final : public Device {
 public:
  SpiFlash(int fd, const Board& b) : Device(fd), board_(b) {
    std::string err;
    auto now = Board::Load(b.dir(), &err);
    flip_at_ = (now ? now->desc() : b.desc()).value("spiflash", nlohmann::json::object()).value("flip_at", -1L);
  }
  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return fail(EFAULT);
    char line[160];
    if (request == SPIFLASH_INIT || request == SPIFLASH_PREPARE) {
      std::snprintf(line, sizeof line, "dev /dev/vs_spiflash ioctl 0x%08lX", request);
      board_.event(line);
      return 0;
    }
    auto* x = static_cast<SpiFlashXfer_t*>(arg);
    std::snprintf(line, sizeof line, "dev /dev/vs_spiflash ioctl 0x%08lX %u 0x%x", request, x->Len, x->Addr);
    board_.event(line);
    if (!x->Data || x->Len > SPIFLASH_PIECE) return fail(EINVAL);
    if (request == SPIFLASH_WRITE) {
      if (::pwrite(fd_, x->Data, x->Len, x->Addr) != static_cast<ssize_t>(x->Len)) return fail(EIO);
      if (flip_at_ >= x->Addr && flip_at_ < static_cast<long>(x->Addr) + x->Len) {
        uint8_t v = 0;
        if (::pread(fd_, &v, 1, flip_at_) == 1) {
          v ^= 0xFF;
          if (::pwrite(fd_, &v, 1, flip_at_) != 1) return fail(EIO);
        }
      }
      return 0;
    }
    if (request == SPIFLASH_READ)
      return ::pread(fd_, const_cast<void*>(x->Data), x->Len, x->Addr) == static_cast<ssize_t>(x->Len) ? 0 : fail(EIO);
    return fail(ENOTTY);
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  const Board& board_;
  long flip_at_ = -1;
};

bool provision(const Board& b, std::string* err) {
  FILE* f = std::fopen(b.file("dev/vs_spiflash").c_str(), "w");
  if (!f) {
    *err = "cannot create dev/vs_spiflash";
    return false;
  }
  std::fclose(f);
  return true;
}

}  // namespace

extern const Model kSpiFlashModel;
const Model kSpiFlashModel = {"spiflash", "/dev/vs_spiflash",
                              [](const Board& b, const std::string&, int fd, int) -> std::unique_ptr<Device> {
                                return std::make_unique<SpiFlash>(fd, b);
                              },
                              provision};

}  // namespace sim
