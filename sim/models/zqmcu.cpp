// The microcontroller driver /dev/zq_mcu: JTAG writes and the data
// commands of the boot loaders land in the node's backing file at their
// offset (the upgrade start empties it); every request is an event with
// its words and the first bytes it points to.  board.json:
//   "zq_mcu": {"bin_offset": 20480, "fail_info": false, "fail_end": false}

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/mcu/mcu.h"
#include "platform/watchdog/watchdog.h"
#include "sim/device.h"

namespace sim {

namespace {

class ZqMcu final : public Device {
 public:
  ZqMcu(int fd, const Board& b) : Device(fd), board_(b) {
    std::string err;
    auto now = Board::Load(b.dir(), &err);  // tests change it between opens
    conf_ = (now ? now->desc() : b.desc()).value("zq_mcu", nlohmann::json::object());
  }
  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return fail(EFAULT);
    const auto* d = static_cast<const McuDriverDesc_t*>(arg);
    char line[200];
    int n = std::snprintf(line, sizeof line, "dev /dev/zq_mcu ioctl 0x%08lX %u %u %u", request, d->Unused, d->Offset,
                          d->Length);
    const auto* p = static_cast<const uint8_t*>(d->Data);
    for (uint32_t i = 0; p && i < d->Length && i < 16 && n < 180; ++i)
      n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x", p[i]);
    board_.event(line);
    switch (request) {
      case ZQ_MCU_UPGRADE_START: return ::ftruncate(fd_, 0) == 0 ? 0 : fail(EIO);
      case ZQ_MCU_UPGRADE_END: return conf_.value("fail_end", false) ? fail(EIO) : 0;
      case ZQ_MCU_JTAG_WRITE:
        if (!p && d->Length) return fail(EFAULT);
        return ::pwrite(fd_, p, d->Length, d->Offset) == static_cast<ssize_t>(d->Length) ? 0 : fail(EIO);
      case ZQ_MCU_SPI_WRITE: return 0;
      case ZQ_MCU_UPGRADE_INFO: {
        if (conf_.value("fail_info", false) || !p || d->Length < 12) return fail(EIO);
        uint32_t bin = conf_.value("bin_offset", 20480u);
        auto* out = static_cast<uint8_t*>(const_cast<void*>(d->Data));
        std::memset(out, 0, 12);
        out[4] = static_cast<uint8_t>(bin >> 24);
        out[5] = static_cast<uint8_t>(bin >> 16);
        out[6] = static_cast<uint8_t>(bin >> 8);
        out[7] = static_cast<uint8_t>(bin);
        return 0;
      }
      case ZQ_MCU_COMMAND: {
        if (!p) return fail(EFAULT);
        if (p[0] == MCU_DRV_DATA) {
          if (d->Length < 4) return fail(EINVAL);
          uint32_t idx;
          std::memcpy(&idx, p + 1, 4);
          off_t at = static_cast<off_t>(idx) * 128;
          return ::pwrite(fd_, p + 5, d->Length - 4, at) == static_cast<ssize_t>(d->Length - 4) ? 0 : fail(EIO);
        }
        return 0;
      }
      default: return fail(ENOTTY);
    }
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  const Board& board_;
  nlohmann::json conf_;
};

bool provision(const Board& b, std::string* err) {
  FILE* f = std::fopen(b.file("dev/zq_mcu").c_str(), "w");
  if (!f) {
    *err = "cannot create dev/zq_mcu";
    return false;
  }
  std::fclose(f);
  return true;
}

}  // namespace

extern const Model kZqMcuModel;
const Model kZqMcuModel = {"zq-mcu", "/dev/zq_mcu",
                           [](const Board& b, const std::string&, int fd, int) -> std::unique_ptr<Device> {
                             return std::make_unique<ZqMcu>(fd, b);
                           },
                           provision};

}  // namespace sim
