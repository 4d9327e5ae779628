// Test support: the far end of a board's serial line, a pseudo-terminal
// whose slave the board path names.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/board.h"

namespace testsupport {

class Pty {
 public:
  // `rel`: the line's path inside the board directory ("dev/ttyS9").
  Pty(const TempBoard& b, const std::string& rel) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) std::abort();
    unlink(b.file(rel).c_str());
    if (symlink(ptsname(master_), b.file(rel).c_str()) != 0) std::abort();
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { close(master_); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  bool send(const std::vector<uint8_t>& bytes) const {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // What the product wrote, once it has had a moment.
  std::vector<uint8_t> drain() const {
    usleep(50 * 1000);
    std::vector<uint8_t> out;
    uint8_t buf[256];
    ssize_t n;
    while ((n = read(master_, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
  }
  std::string drain_text() const {
    auto b = drain();
    return std::string(b.begin(), b.end());
  }

 private:
  int master_ = -1;
};

}  // namespace testsupport
