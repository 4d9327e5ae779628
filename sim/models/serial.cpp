// The UART driver's control node, the heartbeat node and /proc statistics.
//
//   "proc": {"cpus": 2, "mem_kb": 262144, "free_kb": 131072, "buffers_kb": 2048,
//            "cpuinfo": "..."}     (defaults describe the board's dual-core ARM)

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

bool provision_proc(const Board& b, std::string* err) {
  auto p = b.desc().value("proc", nlohmann::json::object());
  int cpus = p.value("cpus", 2);
  std::ofstream stat(b.file("proc/stat"));
  // Ticks as a board up for a while: a tenth busy.
  unsigned long long user = 9000, nice = 100, sys = 900, idle = 90000;
  stat << "cpu  " << user * cpus << " " << nice * cpus << " " << sys * cpus << " " << idle * cpus
       << " 0 0 0 0 0 0\n";
  for (int c = 0; c < cpus; ++c)
    stat << "cpu" << c << " " << user << " " << nice << " " << sys << " " << idle << " 0 0 0 0 0 0\n";
  stat << "intr 0\nctxt 0\nbtime 1700000000\nprocesses 1\nprocs_running 1\nprocs_blocked 0\n";
  std::ofstream mem(b.file("proc/meminfo"));
  mem << "MemTotal:       " << p.value("mem_kb", 262144) << " kB\n"
      << "MemFree:        " << p.value("free_kb", 131072) << " kB\n"
      << "Buffers:        " << p.value("buffers_kb", 2048) << " kB\n"
      << "Cached:         16384 kB\n";
  std::ofstream info(b.file("proc/cpuinfo"));
  if (p.contains("cpuinfo") && p["cpuinfo"].is_string()) {
    info << p["cpuinfo"].get<std::string>();
  } else {
    for (int c = 0; c < cpus; ++c)
      info << "processor\t: " << c << "\nmodel name\t: ARMv7 Processor rev 5 (v7l)\nBogoMIPS\t: 1987.37\n"
           << "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt vfpd32 lpae\n"
           << "CPU implementer\t: 0x41\nCPU architecture: 7\nCPU part\t: 0xc07\n\n";
    info << "Hardware\t: hi3536c\n";
  }
  if (!stat || !mem || !info) {
    *err = "cannot write the board's /proc files";
    return false;
  }
  return true;
}

std::unique_ptr<Device> open_uart(const Board&, const std::string&, int fd, int) {
  return std::make_unique<UartCtrl>(fd);
}
std::unique_ptr<Device> open_heart(const Board& b, const std::string&, int fd, int) {
  return std::make_unique<Heart>(fd, b);
}
std::unique_ptr<Device> open_plain(const Board&, const std::string&, int fd, int) {
  return std::make_unique<Device>(fd);
}

}  // namespace

const Model kUartCtrlModel = {"uart-ctrl", "/dev/vs_uart", open_uart, provision_uart};
const Model kHeartModel = {"heartbeat", "/dev/beat_heart", open_heart, provision_heart};
const Model kProcStatModel = {"proc-stat", "/proc/stat", open_plain, provision_proc};

}  // namespace sim
