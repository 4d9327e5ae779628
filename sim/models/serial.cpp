// The UART driver's control node and the heartbeat node.

#include "sim/models/serial.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/frontboard/frontboard.h"
#include "platform/uart/uart.h"

namespace sim {

namespace {

int refuse(int e) {
  errno = e;
  return -1;
}

class UartCtrl final : public Device {
 public:
  explicit UartCtrl(int fd) : Device(fd) {}
  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return refuse(EFAULT);
    if (request == ZQ_UART_INIT) {
      // The driver refuses a description it could not use.
      const auto* u = static_cast<const UartRes_t*>(arg);
      return std::memchr(u->DevName, '\0', sizeof u->DevName) ? 0 : refuse(EINVAL);
    }
    if (request == ZQ_UART_SET_RTS) return 0;
    return refuse(ENOTTY);
  }
};

class Heart final : public Device {
 public:
  Heart(int fd, const Board& b) : Device(fd), board_(b) {}
  ssize_t write(const void* buf, size_t len) override {
    static const char beat[8] = {'0', 'x', 'a', 'f', 0, 0, 0, 0};
    if (len == sizeof beat && std::memcmp(buf, beat, len) == 0) board_.event("heartbeat");
    else board_.event("heartbeat-bad " + std::to_string(len));
    return static_cast<ssize_t>(len);
  }

 private:
  const Board& board_;
};

bool touch(const Board& b, const char* rel, std::string* err) {
  int fd = ::open(b.file(rel).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *err = std::string("cannot create ") + rel;
    return false;
  }
  ::close(fd);
  return true;
}

bool provision_uart(const Board& b, std::string* err) { return touch(b, "dev/vs_uart", err); }
bool provision_heart(const Board& b, std::string* err) { return touch(b, "dev/beat_heart", err); }

std::unique_ptr<Device> open_uart(const Board&, const std::string&, int fd, int) {
  return std::make_unique<UartCtrl>(fd);
}
std::unique_ptr<Device> open_heart(const Board& b, const std::string&, int fd, int) {
  return std::make_unique<Heart>(fd, b);
}
}  // namespace

const Model kUartCtrlModel = {"uart-ctrl", "/dev/vs_uart", open_uart, provision_uart};
const Model kHeartModel = {"heartbeat", "/dev/beat_heart", open_heart, provision_heart};

}  // namespace sim
