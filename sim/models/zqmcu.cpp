// The microcontroller driver /dev/zq_mcu: JTAG writes land in the node's
// backing file at their offset (the upgrade start empties it); every
// request is an event with its words and the first bytes it points to.

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/mcu/mcu.h"
#include "platform/watchdog/watchdog.h"
#include "sim/device.h"

namespace sim {

namespace {

class ZqMcu final : public Device {
 public:
  ZqMcu(int fd, const Board& b) : Device(fd), board_(b) {}
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
      case ZQ_MCU_UPGRADE_END: return 0;
      case ZQ_MCU_JTAG_WRITE:
        if (!p && d->Length) return fail(EFAULT);
        return ::pwrite(fd_, p, d->Length, d->Offset) == static_cast<ssize_t>(d->Length) ? 0 : fail(EIO);
      case ZQ_MCU_SPI_WRITE: return 0;
      default: return fail(ENOTTY);
    }
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  const Board& board_;
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
