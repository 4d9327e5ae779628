#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "osa/osa.h"
#include "osa/sys.h"

namespace osa {

Mutex::Mutex(Kind kind) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, kind == Kind::Recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(&m_, &attr);
  pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() { pthread_mutex_destroy(&m_); }

const char* DeadLockPath(const char* file, char* buf, std::size_t len) {
  // Keep the last two components: the area folder and the file.
  const char* name = std::strrchr(file, '/');
  const char* area = file;
  if (name) {
    const char* p = name;
    while (p > file && p[-1] != '/') --p;
    area = p;
  }
  std::snprintf(buf, len, "libdvr/src/libsysbase/build/../src/%s", area);
  return buf;
}

void Mutex::lock(SrcLoc where) {
  int rc = pthread_mutex_lock(&m_);
  if (rc == EDEADLK) {
    char path[256];
    DVR_ERROR("Dead lock,file:%s,line:%u\n", DeadLockPath(where.file, path, sizeof path), where.line);
    std::exit(0);
  }
}

void Mutex::unlock() { pthread_mutex_unlock(&m_); }

bool Mutex::try_lock() { return pthread_mutex_trylock(&m_) == 0; }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) sys::close(fd_);
  fd_ = fd;
}

}  // namespace osa
