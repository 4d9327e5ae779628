// Advisory partition locks.

#include "platform/flash/lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "osa/sys.h"

namespace flash {

bool PartLock::Take(const std::string& path, Mode mode, bool create, std::chrono::milliseconds wait) {
  fd_.reset();
  int flags = create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
  osa::UniqueFd fd(osa::sys::open(path.c_str(), flags, 0644));
  if (!fd) {
    DVR_ERROR("cannot open %s to lock it: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  // Polled rather than blocking, so a holder that hangs (or a caller that
  // already holds it) ends in a reported failure instead of a hang.
  int op = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  while (osa::sys::flock(fd.get(), op) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      DVR_ERROR("cannot lock %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      DVR_ERROR("%s is still locked by another writer after %lld ms, giving up\n", path.c_str(),
                static_cast<long long>(wait.count()));
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  fd_ = std::move(fd);
  return true;
}

}  // namespace flash
