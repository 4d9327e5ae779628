#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "osa/osa.h"

namespace {

TEST(Mutex, DeadLockIsReportedWithTheCallSiteAndEndsWithStatusZero) {
  EXPECT_EXIT(
      {
        osa::Mutex m;
        m.lock();
        m.lock();  // the same thread again
      },
      testing::ExitedWithCode(0),
      "");
  // The report goes to stdout: check it in a child we can read.
  testing::internal::CaptureStdout();
  pid_t pid = fork();
  if (pid == 0) {
    osa::Mutex m;
    osa::LockGuard a(m);
    osa::LockGuard b(m);
    _exit(9);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_NE(out.find("Dead lock,file:libdvr/src/libsysbase/build/../src/osa/mutex_fd_test.cpp,line:"),
            std::string::npos)
      << out;
}

TEST(Mutex, RecursiveKindMayBeRetaken) {
  osa::Mutex m(osa::Mutex::Kind::Recursive);
  m.lock();
  m.lock();
  m.unlock();
  m.unlock();
  EXPECT_TRUE(m.try_lock());
  m.unlock();
}

TEST(Mutex, DeadLockPathKeepsAreaAndFile) {
  char buf[128];
  EXPECT_STREQ(osa::DeadLockPath("/a/b/platform/env/bootenv.cpp", buf, sizeof buf),
               "libdvr/src/libsysbase/build/../src/env/bootenv.cpp");
  EXPECT_STREQ(osa::DeadLockPath("x.cpp", buf, sizeof buf), "libdvr/src/libsysbase/build/../src/x.cpp");
}

TEST(UniqueFd, OwnsAndClosesExactlyOnce) {
  int raw = open("/dev/null", O_RDONLY);
  ASSERT_GE(raw, 0);
  {
    osa::UniqueFd a(raw);
    osa::UniqueFd b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), raw);
    osa::UniqueFd c;
    c = std::move(b);
    EXPECT_EQ(c.get(), raw);
    EXPECT_NE(fcntl(raw, F_GETFD), -1);
  }
  EXPECT_EQ(fcntl(raw, F_GETFD), -1);
  osa::UniqueFd d(open("/dev/null", O_RDONLY));
  int r = d.release();
  EXPECT_FALSE(d.valid());
  EXPECT_NE(fcntl(r, F_GETFD), -1);
  close(r);
}

}  // namespace
