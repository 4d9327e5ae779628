// Test support: a device at the far end of a serial line (a pty), behind
// the simulator's line model, served in a thread of its own; and a clock
// whose fixed pauses pass at once.
#pragma once

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/system/system.h"
#include "sim/models/mcupeer.h"
#include "support/pty.h"

namespace mcutest {

// Fixed pauses of the protocols pass at once; reads still wait for real.
inline const SystemClock* no_pauses() {
  static const SystemClock c = {[](timeval* tv) { return gettimeofday(tv, nullptr); }, [](time_t) { return -1; },
                                [](uint32_t) {}};
  return &c;
}

inline int64_t steady_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The boot loader behind the line's far end, in a thread of its own.
class Device {
 public:
  using Pty = testsupport::Pty;
  Device(const Pty& line, sim::McuPeerOptions o) : Device(line, sim::McuLineOptions{o}) {}
  Device(const Pty& line, sim::McuLineOptions o) : pty_(line), line_(o), thread_([this] { run(); }) {}
  Device(const Pty& line, sim::En773vOptions o)
      : pty_(line), line_({}, std::make_unique<sim::En773vPeer>(o)), thread_([this] { run(); }) {}
  ~Device() {
    stop_ = true;
    thread_.join();
  }
  const sim::McuBootPeer& peer() const { return line_.peer(); }
  const sim::McuDevice& device() const { return line_.device(); }
  // The device has had `want` end frames (it reads in its own time).
  int ends(int want = 2) const {
    for (int i = 0; i < 200 && device().end_frames() < want; ++i) usleep(10 * 1000);
    return device().end_frames();
  }
  int written() const { return written_; }
  int answered() const { return answered_; }

 private:
  void run() {
    while (!stop_) {
      int64_t next = line_.NextDue(steady_us());
      pollfd p{pty_.master(), POLLIN, 0};
      // Due bytes go out in batches of a millisecond or so, as a UART
      // hands over what its FIFO holds.
      if (::poll(&p, 1, next < 0 ? 20 : static_cast<int>(std::min<int64_t>(20, (next + 999) / 1000))) > 0) {
        uint8_t buf[512];
        ssize_t n = ::read(pty_.master(), buf, sizeof buf);
        if (n > 0) {
          written_ += static_cast<int>(n);
          line_.Input(buf, static_cast<size_t>(n), steady_us());
        }
      }
      auto out = line_.Due(steady_us());
      if (!out.empty() && ::write(pty_.master(), out.data(), out.size()) < 0) break;
      answered_ += static_cast<int>(out.size());
    }
  }
  const Pty& pty_;
  sim::McuLine line_;
  std::atomic<bool> stop_{false};
  std::atomic<int> written_{0}, answered_{0};
  std::thread thread_;
};

}  // namespace mcutest
