// The UART driver's control node and the heartbeat node.

#include "sim/models/serial.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
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

bool BindLine(const Board& b, const std::string& board_path, const std::string& pty, std::string* err) {
  namespace fs = std::filesystem;
  int fd = ::open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool tty = fd >= 0 && ::isatty(fd);
  if (fd >= 0) ::close(fd);
  if (!tty) {
    *err = "the line " + board_path + " leads to " + pty + ", which is no terminal";
    return false;
  }
  std::string link = b.host_path(board_path);
  std::error_code ec;
  fs::create_directories(fs::path(link).parent_path(), ec);
  fs::remove(link, ec);
  fs::create_symlink(pty, link, ec);
  if (ec) {
    *err = "cannot link " + link + ": " + ec.message();
    return false;
  }
  return true;
}

const Model kUartCtrlModel = {"uart-ctrl", "/dev/vs_uart", open_uart, provision_uart};
const Model kHeartModel = {"heartbeat", "/dev/beat_heart", open_heart, provision_heart};

}  // namespace sim
