// A lock that every process changing a flash partition takes, so that two
// writers (the main application, scripts, bootenv, eracfg, the partition
// update) never interleave a read-change-erase-write of the same bytes.
//
// It is an advisory flock on the partition's device node, or on a lock
// file beside a plain file that is replaced by renaming.  The kernel drops
// it when the holder exits, however it exits.  Each lock opens its own
// descriptor, so two holders in one process exclude each other too: a
// thread that takes a lock it already holds fails after the wait.
#pragma once

#include <chrono>
#include <string>

#include "osa/osa.h"

namespace flash {

class PartLock {
 public:
  enum class Mode { Shared, Exclusive };

  static constexpr std::chrono::milliseconds kWait{60'000};

  PartLock() = default;
  PartLock(PartLock&&) = default;
  PartLock& operator=(PartLock&&) = default;

  // Waits until the lock on `path` is granted, at most `wait`.  `create`:
  // the path is a lock file, made when missing.  False after logging when
  // it cannot be taken.
  bool Take(const std::string& path, Mode mode, bool create = false, std::chrono::milliseconds wait = kWait);
  bool held() const { return fd_.valid(); }
  void Release() { fd_.reset(); }

 private:
  osa::UniqueFd fd_;
};

}  // namespace flash
