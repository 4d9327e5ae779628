// The kernel seam with and without a board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "osa/osa.h"
#include "osa/sys.h"
#include "sim/device.h"
#include "support/board.h"

namespace {

using testsupport::TempBoard;

std::string read_all(int fd) {
  std::string s;
  char buf[256];
  ssize_t n;
  while ((n = osa::sys::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

bool has_event(const TempBoard& b, const std::string& line) {
  for (auto& e : b.events())
    if (e == line) return true;
  return false;
}

TEST(Seam, WithoutABoardEveryCallIsTheHostsOwn) {
  unsetenv("DVR_BOARD");
  EXPECT_FALSE(osa::sys::simulated());
  EXPECT_EQ(osa::sys::path("/proc/mtd"), "/proc/mtd");
  osa::UniqueFd fd(osa::sys::open("/proc/self/stat", O_RDONLY));
  ASSERT_TRUE(fd);
  EXPECT_NE(read_all(fd.get()).find(std::to_string(getpid())), std::string::npos);
}

TEST(Seam, OwnedPathsMapIntoTheBoardAndOthersPassThrough) {
  TempBoard b;
  EXPECT_TRUE(osa::sys::simulated());
  testsupport::WriteFile(b.file("proc/cmdline"), "mem=128M env_size=0x10000\n");
  osa::UniqueFd fd(osa::sys::open("/proc/cmdline", O_RDONLY));
  ASSERT_TRUE(fd);
  EXPECT_EQ(read_all(fd.get()), "mem=128M env_size=0x10000\n");
  EXPECT_EQ(osa::sys::path("/mnt/mtd/Config/network"), b.dir() + "/mnt/mtd/Config/network");
  // A real process's own /proc entries are the host's.
  EXPECT_EQ(osa::sys::path("/proc/self/stack"), "/proc/self/stack");
  FILE* f = osa::sys::fopen("/mnt/mtd/Config/x", "w");
  ASSERT_NE(f, nullptr);
  fputs("kept", f);
  fclose(f);
  EXPECT_EQ(testsupport::ReadFile(b.file("mnt/mtd/Config/x")), "kept");
  struct stat st;
  EXPECT_EQ(osa::sys::stat("/dev/vs_nosuchnode", &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(Seam, MachineChangesAreRecordedNotDone) {
  TempBoard b;
  EXPECT_EQ(osa::sys::reboot(RB_AUTOBOOT), 0);
  struct timeval tv = {1700000000, 5};
  EXPECT_EQ(osa::sys::settimeofday(&tv), 0);
  EXPECT_EQ(osa::sys::stime(1800000000), 0);
  EXPECT_EQ(osa::sys::settimezone(-480), 0);
  // Outside the board's own mount namespace nothing is mounted.
  errno = 0;
  EXPECT_EQ(osa::sys::mount("/dev/sda1", "/mnt/usb", "vfat", 0, nullptr), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(osa::sys::umount2("/mnt/usb", 0), -1);
  EXPECT_TRUE(has_event(b, "reboot 0x1234567"));
  EXPECT_TRUE(has_event(b, "time-set 1700000000.000005"));
  EXPECT_TRUE(has_event(b, "time-set 1800000000.000000"));
  EXPECT_TRUE(has_event(b, "time-zone -480"));
  EXPECT_TRUE(has_event(b, "mount /dev/sda1 /mnt/usb vfat 0x0 -"));
  EXPECT_TRUE(has_event(b, "mount-result /mnt/usb EPERM"));
  EXPECT_TRUE(has_event(b, "umount /mnt/usb 0"));
  EXPECT_TRUE(has_event(b, "umount-result /mnt/usb EPERM"));
  // Signals that would reach beyond the program's own children are refused.
  for (pid_t p : {0, -1, 1, -getpgrp()}) {
    errno = 0;
    EXPECT_EQ(osa::sys::kill(p, 0), -1) << p;
    EXPECT_EQ(errno, EPERM) << p;
  }
}

pid_t spawn_sleep(bool on_board) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!on_board) unsetenv("DVR_BOARD");
    execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(Seam, SignalsReachOnlyProcessesOnTheBoard) {
  TempBoard b;
  pid_t host = spawn_sleep(false), board = spawn_sleep(true);
  usleep(100000);  // both have exec'd
  errno = 0;
  EXPECT_EQ(osa::sys::kill(host, SIGKILL), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(::kill(host, 0), 0) << "a host process was signalled";
  EXPECT_EQ(osa::sys::kill(board, SIGKILL), 0);
  int st = 0;
  EXPECT_EQ(waitpid(board, &st, 0), board);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
  EXPECT_TRUE(has_event(b, "kill-refused " + std::to_string(host) + " 9"));
  EXPECT_TRUE(has_event(b, "kill " + std::to_string(board) + " 9"));
  ::kill(host, SIGKILL);
  waitpid(host, &st, 0);
}

TEST(Seam, CommandsRunOnTheBoardsToolSet) {
  TempBoard b;
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_cmd("reboot -f"), 0);
  EXPECT_EQ(run_cmd("/usr/local/bin/BIOS/flashit_s.sh a b"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(has_event(b, "sh reboot -f"));
  EXPECT_TRUE(has_event(b, "tool reboot -f"));
  EXPECT_TRUE(has_event(b, "tool flashit_s.sh a b"));
  if (geteuid() != 0) GTEST_SKIP() << "absolute tool paths are covered only as root (mount namespace)";
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_cmd("/sbin/halt; /sbin/reboot now"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(has_event(b, "tool halt"));
  EXPECT_TRUE(has_event(b, "tool reboot now"));
}

TEST(Seam, ExecOfABoardToolGoesToItsStandIn) {
  TempBoard b;
  const char* argv[] = {"usb_modeswitch", "-v", "12d1", nullptr};
  osa::sys::ExecPlan plan = osa::sys::plan_exec("/usr/sbin/usb_modeswitch", argv);
  EXPECT_EQ(plan.file.rfind(b.dir() + "/tools/root/", 0), 0u) << plan.file;
  pid_t pid = fork();
  if (pid == 0) {
    osa::sys::exec_prepared(plan);
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_TRUE(has_event(b, "tool usb_modeswitch -v 12d1"));
}

// A model answering one ioctl, registered the way device families do.
class EchoDevice : public sim::Device {
 public:
  using Device::Device;
  int ioctl(unsigned long request, void* arg) override {
    if (request != 0x4801) return Device::ioctl(request, arg);
    *static_cast<int*>(arg) = 94976;
    return 0;
  }
};

TEST(Seam, DeviceModelsAnswerIoctlsOnTheirNodes) {
  sim::RegisterModel({"echo", "/dev/vs_echo",
                      [](const sim::Board&, const std::string&, int fd, int) -> std::unique_ptr<sim::Device> {
                        return std::make_unique<EchoDevice>(fd);
                      },
                      nullptr});
  TempBoard b;
  testsupport::WriteFile(b.file("dev/vs_echo"), "");
  osa::UniqueFd fd(osa::sys::open("/dev/vs_echo", O_RDWR));
  ASSERT_TRUE(fd);
  int v = 0;
  EXPECT_EQ(osa::sys::ioctl(fd.get(), 0x4801, &v), 0);
  EXPECT_EQ(v, 94976);
  EXPECT_EQ(osa::sys::ioctl(fd.get(), 0x4802, &v), -1);
  EXPECT_EQ(errno, ENOTTY);
  // A node the board lacks is a missing driver.
  unlink(b.file("dev/vs_echo").c_str());
  EXPECT_EQ(osa::sys::open("/dev/vs_echo", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(Seam, AnUnusableBoardFailsClosed) {
  setenv("DVR_BOARD", "/nonexistent/board", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(osa::sys::open("/etc/hostname", O_RDONLY), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(osa::sys::reboot(RB_AUTOBOOT), -1);
  testing::internal::CaptureStdout();
  EXPECT_NE(run_cmd("true"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot use board /nonexistent/board"), std::string::npos);
  unsetenv("DVR_BOARD");
}

}  // namespace
