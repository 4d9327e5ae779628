#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

#include "osa/osa.h"
#include "unit/osa/process.h"

namespace {

int read_int(const std::string& path) {
  std::ifstream in(path);
  int v = -1;
  in >> v;
  return v;
}

std::string temp_file() {
  char t[] = "/tmp/runcmd.XXXXXX";
  int fd = mkstemp(t);
  close(fd);
  return t;
}

TEST(RunCmd, ResultIsTheRawWaitStatus) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_cmd("true"), 0);
  EXPECT_EQ(run_cmd("exit 3"), 768);
  EXPECT_EQ(run_cmd(nullptr), 1);
  EXPECT_EQ(__run_cmd("exit 1", -1), 256);
  EXPECT_EQ(run_cmd("kill -9 $$"), SIGKILL);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("(__run_cmd|"), std::string::npos);
  EXPECT_NE(out.find("command buffer is NULL.\n"), std::string::npos);
}

TEST(RunCmd, SignalDispositionsAndMaskAreRestored) {
  sigset_t before, after;
  sigprocmask(SIG_SETMASK, nullptr, &before);
  struct sigaction int_before, int_after, quit_before, quit_after;
  sigaction(SIGINT, nullptr, &int_before);
  sigaction(SIGQUIT, nullptr, &quit_before);
  testing::internal::CaptureStdout();
  run_cmd("true");
  __run_cmd("sleep 5", 1);
  testing::internal::GetCapturedStdout();
  sigprocmask(SIG_SETMASK, nullptr, &after);
  sigaction(SIGINT, nullptr, &int_after);
  sigaction(SIGQUIT, nullptr, &quit_after);
  EXPECT_EQ(sigismember(&after, SIGCHLD), sigismember(&before, SIGCHLD));
  EXPECT_EQ(int_after.sa_handler, int_before.sa_handler);
  EXPECT_EQ(quit_after.sa_handler, quit_before.sa_handler);
}

using osatest::Dead;

TEST(RunCmd, TimeoutKillsTheWholeGroupAndLeavesNoZombie) {
  // Orphans of the command come to this process where the kernel allows it,
  // so they can be reaped here.
  bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  std::string bg = temp_file(), sh = temp_file();
  std::string cmd = "echo $$ > " + sh + "; sleep 100 & echo $! > " + bg + "; sleep 100";
  testing::internal::CaptureStdout();
  auto t0 = std::chrono::steady_clock::now();
  int r = __run_cmd(cmd.c_str(), 2);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1);
  EXPECT_GE(secs, 1.5);
  EXPECT_NE(out.find(">>>>>>>>>>>>> bad news: cmd: \"" + cmd + "\", timeout: 2s\n"), std::string::npos) << out;
  size_t first = out.find(">>>>>>>>>>>>> stack <<<<<<<<<<<<<\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(out.find(">>>>>>>>>>>>> stack <<<<<<<<<<<<<\n", first + 1), std::string::npos);

  // The shell was reaped by the runner: it is no longer our child.
  int shpid = read_int(sh), bgpid = read_int(bg), st = 0;
  ASSERT_GT(shpid, 0);
  ASSERT_GT(bgpid, 0);
  EXPECT_EQ(waitpid(shpid, &st, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  // Everything the shell started died with its group.
  for (int i = 0; i < 200 && !Dead(bgpid); ++i) usleep(10000);
  EXPECT_TRUE(Dead(bgpid));
  if (reaper) {
    for (pid_t p; (p = waitpid(-1, &st, 0)) > 0;) EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << p;
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  unlink(bg.c_str());
  unlink(sh.c_str());
}

TEST(RunCmd, ZeroTimeoutReturnsAtOnceWithTheCommandInItsOwnGroup) {
  std::string f = temp_file();
  std::string cmd = "echo $$ > " + f + "; exec sleep 30";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(__run_cmd(cmd.c_str(), 0), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
  int pid = -1;
  for (int i = 0; i < 200 && pid <= 0; ++i) {
    usleep(10000);
    pid = read_int(f);
  }
  ASSERT_GT(pid, 0);
  EXPECT_EQ(getpgid(pid), pid);
  kill(pid, SIGKILL);
  int st;
  EXPECT_EQ(waitpid(pid, &st, 0), pid);
  unlink(f.c_str());
}

}  // namespace
