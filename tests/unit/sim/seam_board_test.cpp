// Seam calls that read the board: memory figures, links and folders in
// board terms, processes by name, line control on model nodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>

#include "osa/osa.h"
#include "osa/sys.h"
#include "sim/boardsys.h"
#include "support/board.h"

namespace {

using testsupport::TempBoard;

bool has_event(const TempBoard& b, const std::string& line) {
  auto e = b.events();
  return std::find(e.begin(), e.end(), line) != e.end();
}

TEST(SeamBoard, MemoryFiguresAreTheBoards) {
  TempBoard b;
  testsupport::WriteFile(b.file("proc/meminfo"),
                         "MemTotal:         249036 kB\nMemFree:          101234 kB\nMemAvailable:     150000 kB\n"
                         "Buffers:            4096 kB\nCached:            30000 kB\nShmem:               12 kB\n");
  struct sysinfo si = {};
  ASSERT_EQ(osa::sys::sysinfo(&si), 0);
  EXPECT_EQ(uint64_t{si.totalram} * si.mem_unit, 249036u * 1024);
  EXPECT_EQ(uint64_t{si.freeram} * si.mem_unit, 101234u * 1024);
  EXPECT_EQ(uint64_t{si.bufferram} * si.mem_unit, 4096u * 1024);
  EXPECT_EQ(uint64_t{si.sharedram} * si.mem_unit, 12u * 1024);
  EXPECT_EQ(si.totalswap, 0u);
  EXPECT_GT(si.uptime, 0);  // the machine's own
  // A board whose figures cannot be read fails the call, never answers the host's.
  testing::internal::CaptureStderr();
  testsupport::WriteFile(b.file("proc/meminfo"), "MemFree: 1 kB\n");
  EXPECT_EQ(osa::sys::sysinfo(&si), -1);
  unlink(b.file("proc/meminfo").c_str());
  EXPECT_EQ(osa::sys::sysinfo(&si), -1);
  EXPECT_EQ(errno, ENOENT);
  testing::internal::GetCapturedStderr();
}

TEST(SeamBoard, MemInfoTextIsCheckedFigureByFigure) {
  std::string err;
  struct sysinfo si = {};
  EXPECT_TRUE(sim::ParseMemInfo("MemTotal: 10 kB\nMemFree: 3 kB\nnoise\n:\nSwapTotal: 7 kB", &si, &err)) << err;
  EXPECT_EQ(si.totalram, 10u);
  EXPECT_EQ(si.freeswap, 0u);
  EXPECT_EQ(si.totalswap, 7u);
  EXPECT_EQ(si.mem_unit, 1024u);
  for (const char* bad : {"", "MemTotal: 10 kB\n", "MemTotal: kB\nMemFree: 1 kB", "MemTotal: 10 MB\nMemFree: 1 kB",
                          "MemTotal: 99999999999999999999 kB\nMemFree: 1 kB", "MemTotal: 1 kB\nMemFree: 2 kB",
                          "MemTotal: -5 kB\nMemFree: 1 kB"}) {
    err.clear();
    EXPECT_FALSE(sim::ParseMemInfo(bad, &si, &err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
}

TEST(SeamBoard, LinksResolveInBoardTerms) {
  TempBoard b;
  // A sysfs-like tree under a folder the board owns.
  std::string top = b.file("mnt/sys");
  ASSERT_EQ(system(("mkdir -p " + top + "/devices/mmc/mmcblk0 " + top + "/block").c_str()), 0);
  ASSERT_EQ(symlink("../devices/mmc/mmcblk0", (top + "/block/mmcblk0").c_str()), 0);
  ASSERT_EQ(symlink("/mnt/sys/block/mmcblk0", (top + "/abs").c_str()), 0);  // absolute: the board's, not the host's
  ASSERT_EQ(symlink("/etc", (top + "/host").c_str()), 0);                   // leads out of the board
  ASSERT_EQ(symlink("loop2", (top + "/loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", (top + "/loop2").c_str()), 0);

  char buf[PATH_MAX];
  ssize_t n = osa::sys::readlink("/mnt/sys/block/mmcblk0", buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "../devices/mmc/mmcblk0");
  ASSERT_NE(osa::sys::realpath("/mnt/sys/block/mmcblk0", buf), nullptr);
  EXPECT_STREQ(buf, "/mnt/sys/devices/mmc/mmcblk0");
  // ".." after a link steps up from the link's target.
  char* m = osa::sys::realpath("/mnt/sys/abs/../../../block/./mmcblk0/", nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m, "/mnt/sys/devices/mmc/mmcblk0");
  free(m);
  char host[PATH_MAX];
  ASSERT_NE(::realpath("/etc", host), nullptr);
  ASSERT_NE(osa::sys::realpath("/mnt/sys/host", buf), nullptr);
  EXPECT_STREQ(buf, host);
  EXPECT_EQ(osa::sys::realpath("/mnt/sys/loop1", buf), nullptr);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(osa::sys::realpath("/mnt/sys/block/mmcblk1", buf), nullptr);
  EXPECT_EQ(errno, ENOENT);
  testsupport::WriteFile(top + "/file", "");
  EXPECT_EQ(osa::sys::realpath("/mnt/sys/file/x", buf), nullptr);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(osa::sys::readlink("/mnt/sys/file", buf, sizeof buf), -1);
  EXPECT_EQ(errno, EINVAL);

  // The folder lists the board's entries.
  std::set<std::string> names;
  DIR* d = osa::sys::opendir("/mnt/sys");
  ASSERT_NE(d, nullptr);
  while (dirent* e = osa::sys::readdir(d)) names.insert(e->d_name);
  EXPECT_EQ(osa::sys::closedir(d), 0);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "abs", "block", "devices", "file", "host", "loop1", "loop2"}));
}

pid_t spawn_sleep(bool on_board) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!on_board) unsetenv("DVR_BOARD");
    execl("/bin/sleep", "/bin/sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

bool contains(const std::vector<pid_t>& v, pid_t p) { return std::find(v.begin(), v.end(), p) != v.end(); }

TEST(SeamBoard, ProcessesByNameAreTheBoardsOwn) {
  TempBoard b;
  pid_t host = spawn_sleep(false), board = spawn_sleep(true);
  usleep(100000);  // both have exec'd
  auto all = osa::sys::processes();
  for (auto& p : all) EXPECT_NE(p.pid, getpid());
  auto it = std::find_if(all.begin(), all.end(), [&](auto& p) { return p.pid == board; });
  ASSERT_NE(it, all.end());
  EXPECT_EQ(it->cmdline, std::string("/bin/sleep\0" "30\0", 14));

  auto named = osa::sys::pids_named("sleep");  // by the program's last component
  EXPECT_TRUE(contains(named, board));
  EXPECT_FALSE(contains(named, host)) << "a host process was listed";
  EXPECT_TRUE(contains(osa::sys::pids_named("/bin/sleep"), board));
  EXPECT_FALSE(contains(osa::sys::pids_named("sle"), board));
  EXPECT_FALSE(contains(osa::sys::pids_named("30"), board));
  EXPECT_TRUE(osa::sys::pids_named("").empty());

  EXPECT_EQ(osa::sys::kill_named("sleep", SIGKILL), 1);
  int st = 0;
  EXPECT_EQ(waitpid(board, &st, 0), board);
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
  EXPECT_TRUE(has_event(b, "kill " + std::to_string(board) + " 9"));
  EXPECT_EQ(::kill(host, 0), 0) << "a host process was signalled";
  EXPECT_EQ(osa::sys::kill_named("sleep", SIGKILL), 0);
  ::kill(host, SIGKILL);
  waitpid(host, &st, 0);
}

TEST(SeamBoard, WithoutABoardProcessesAreTheHosts) {
  unsetenv("DVR_BOARD");
  pid_t host = spawn_sleep(false);
  usleep(100000);
  EXPECT_TRUE(contains(osa::sys::pids_named("sleep"), host));
  EXPECT_GE(osa::sys::kill_named("no-such-program-here", SIGKILL), 0);
  ::kill(host, SIGKILL);
  int st;
  waitpid(host, &st, 0);
}

TEST(SeamBoard, ModelNodesHaveNoLineControlAndNeedNoFlush) {
  TempBoard b;
  osa::UniqueFd fd(osa::sys::open("/dev/vs_uart", O_RDWR));
  ASSERT_TRUE(fd) << strerror(errno);
  termios t = {};
  EXPECT_EQ(osa::sys::tcgetattr(fd.get(), &t), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(osa::sys::tcsetattr(fd.get(), TCSANOW, &t), -1);
  EXPECT_EQ(osa::sys::tcflush(fd.get(), TCIOFLUSH), -1);
  EXPECT_EQ(osa::sys::tcflow(fd.get(), TCOON), -1);
  EXPECT_EQ(osa::sys::tcdrain(fd.get()), -1);
  EXPECT_EQ(osa::sys::fdatasync(fd.get()), 0);
  pollfd p = {fd.get(), POLLIN, 0};
  EXPECT_EQ(osa::sys::poll(&p, 1, 0), 1);
  // A terminal the board does not model is a terminal.
  osa::UniqueFd pty(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(pty);
  ASSERT_EQ(grantpt(pty.get()), 0);
  ASSERT_EQ(unlockpt(pty.get()), 0);
  osa::UniqueFd line(osa::sys::open(ptsname(pty.get()), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(line);
  ASSERT_EQ(osa::sys::tcgetattr(line.get(), &t), 0);
  osa::sys::cfmakeraw(&t);
  EXPECT_EQ(osa::sys::cfsetospeed(&t, B115200), 0);
  EXPECT_EQ(osa::sys::tcsetattr(line.get(), TCSANOW, &t), 0);
  termios back = {};
  ASSERT_EQ(osa::sys::tcgetattr(line.get(), &back), 0);
  EXPECT_EQ(cfgetospeed(&back), speed_t{B115200});
  EXPECT_EQ(osa::sys::tcflush(line.get(), TCIOFLUSH), 0);
}

}  // namespace
