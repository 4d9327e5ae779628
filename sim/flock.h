// A whole-file lock on a model's backing file, held for one scope, so
// several processes sharing a board see each other's changes whole.
#pragma once

#include <sys/file.h>

namespace sim {

class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) { ::flock(fd_, LOCK_EX); }
  ~FileLock() { ::flock(fd_, LOCK_UN); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

}  // namespace sim
