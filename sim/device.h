// Device models: what stands behind the board's driver nodes.  A model
// serves the board paths its pattern matches; the seam opens the backing
// file inside the board directory and hands the descriptor to the model,
// which then answers ioctls (and may shape reads and writes) on it.
#pragma once

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <span>
#include <string>

#include "sim/sim.h"

namespace sim {

class Device {
 public:
  explicit Device(int fd) : fd_(fd) {}
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  virtual int ioctl(unsigned long /*request*/, void* /*arg*/) {
    errno = ENOTTY;
    return -1;
  }
  virtual ssize_t read(void* buf, size_t len) { return ::read(fd_, buf, len); }
  virtual ssize_t write(const void* buf, size_t len) { return ::write(fd_, buf, len); }
  virtual ssize_t pread(void* buf, size_t len, off_t off) { return ::pread(fd_, buf, len, off); }
  virtual ssize_t pwrite(const void* buf, size_t len, off_t off) { return ::pwrite(fd_, buf, len, off); }
  // Power cuts are the model's to simulate: the backing file is not flushed.
  virtual int datasync() { return 0; }
  // Line control; a model that is no serial line has none.
  virtual int tcgetattr(struct termios*) { return notty(); }
  virtual int tcsetattr(int /*actions*/, const struct termios*) { return notty(); }
  virtual int tcflush(int /*queue*/) { return notty(); }
  virtual int tcflow(int /*action*/) { return notty(); }
  virtual int tcdrain() { return notty(); }

 protected:
  static int notty() {
    errno = ENOTTY;
    return -1;
  }
  int fd_;  // the backing file, owned by the seam
};

struct Model {
  const char* name;
  const char* pattern;  // fnmatch pattern over board paths
  // Returns the device, or nullptr with errno set to refuse the open.
  std::unique_ptr<Device> (*open)(const Board& board, const std::string& path, int fd, int flags);
  // Creates the model's state when a board is made; may be null.
  bool (*provision)(const Board& board, std::string* err);
};

// Models built into the simulator, plus any registered at run time.
std::span<const Model> BuiltinModels();
void RegisterModel(const Model& m);
const Model* FindModel(std::string_view board_path);

}  // namespace sim
