// The partition lock between processes: a second process waits for an
// exclusive holder, shared holders coexist, and the lock goes with the
// holder however it ends.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/flash/lock.h"

namespace {

using flash::PartLock;
using namespace std::chrono_literals;

// Whether another process could take the lock on `path` right now.
bool free_for_another(const std::string& path, int op) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDONLY);
    _exit(fd >= 0 && ::flock(fd, op | LOCK_NB) == 0 ? 0 : 1);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

TEST(PartLock, ExcludesOtherProcessesUntilReleased) {
  std::string path = testing::TempDir() + "/part_lock_dev";
  std::ofstream(path) << "flash";
  PartLock ex;
  ASSERT_TRUE(ex.Take(path, PartLock::Mode::Exclusive));
  EXPECT_FALSE(free_for_another(path, LOCK_SH));
  EXPECT_FALSE(free_for_another(path, LOCK_EX));
  ex.Release();
  EXPECT_TRUE(free_for_another(path, LOCK_EX));

  PartLock a, b;
  ASSERT_TRUE(a.Take(path, PartLock::Mode::Shared));
  ASSERT_TRUE(b.Take(path, PartLock::Mode::Shared));
  EXPECT_TRUE(free_for_another(path, LOCK_SH));
  EXPECT_FALSE(free_for_another(path, LOCK_EX));
  // A writer in this process gives up after its wait instead of hanging.
  PartLock w;
  EXPECT_FALSE(w.Take(path, PartLock::Mode::Exclusive, false, 20ms));
  EXPECT_FALSE(w.held());
}

TEST(PartLock, WaitsForAHolderThatExits) {
  std::string path = testing::TempDir() + "/part_lock_wait";
  std::ofstream(path) << "flash";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    char c = 1;
    (void)!write(ready[1], &c, 1);
    usleep(100 * 1000);
    _exit(0);  // the kernel drops the lock with the process
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  PartLock l;
  EXPECT_TRUE(l.Take(path, PartLock::Mode::Exclusive));
  int st = 0;
  waitpid(pid, &st, 0);
  close(ready[0]);
  close(ready[1]);
}

TEST(PartLock, LockFileIsMadeOnlyWhenAsked) {
  std::string path = testing::TempDir() + "/part_lock_file.lock";
  ::unlink(path.c_str());
  PartLock l;
  EXPECT_FALSE(l.Take(path, PartLock::Mode::Exclusive));
  EXPECT_TRUE(l.Take(path, PartLock::Mode::Exclusive, true));
  EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

}  // namespace
