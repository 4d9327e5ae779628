#include "osa/shell.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "unit/osa/process.h"

namespace {

TEST(ShellSafe, AllowsOnlyTheChosenPunctuation) {
  struct Case {
    const char* name;
    std::string_view text;
    std::string_view punct;
    std::size_t max;
    bool safe;
  } cases[] = {
      {"plain path", "/usr/local/bin/serialget", osa::kShellPathChars, 255, true},
      {"time word with colon", "12:30:00", osa::kShellWordChars, 64, true},
      {"colon outside the word set", "12:30", osa::kShellPathChars, 64, false},
      {"empty", "", osa::kShellWordChars, 64, false},
      {"exactly the limit", "abcd", osa::kShellPathChars, 4, true},
      {"one past the limit", "abcde", osa::kShellPathChars, 4, false},
      {"blank splits words", "a b", osa::kShellWordChars, 64, false},
      {"command separator", "a;reboot", osa::kShellWordChars, 64, false},
      {"substitution", "$(reboot)", osa::kShellWordChars, 64, false},
      {"redirection", "a>b", osa::kShellWordChars, 64, false},
      {"quote", "a'b", osa::kShellWordChars, 64, false},
      {"line break", "a\nb", osa::kShellWordChars, 64, false},
      {"high byte is not a letter", "caf\xc3\xa9", osa::kShellWordChars, 64, false},
  };
  for (auto& c : cases) EXPECT_EQ(osa::ShellSafe(c.text, c.punct, c.max), c.safe) << c.name;
}

TEST(ShellSafe, AbsolutePathsAreRootedAndCannotClimb) {
  EXPECT_TRUE(osa::ShellSafeAbsPath("/mnt/dom_bin/bios.bin", 255));
  EXPECT_FALSE(osa::ShellSafeAbsPath("mnt/bios.bin", 255));
  EXPECT_FALSE(osa::ShellSafeAbsPath("/mnt/../etc/shadow", 255));
  EXPECT_FALSE(osa::ShellSafeAbsPath("/mnt/a:b", 255));
  EXPECT_FALSE(osa::ShellSafeAbsPath("", 255));
  EXPECT_FALSE(osa::ShellSafeAbsPath("/" + std::string(255, 'a'), 255));
}

TEST(Capture, OutputComesThroughAPipeWhole) {
  // The command itself tells whether its output is a pipe: no scratch file.
  auto kind = osa::Capture("if [ -p /dev/stdout ]; then echo pipe; else echo file; fi");
  EXPECT_TRUE(kind.ok());
  EXPECT_EQ(kind.output, "pipe\n");

  // More than a pipe holds, with NULs and no final newline; stderr is dropped.
  auto big = osa::Capture("head -c 300000 /dev/zero; printf 'end'; echo noise >&2", {1 << 20, -1});
  EXPECT_TRUE(big.ok());
  ASSERT_EQ(big.output.size(), 300003u);
  EXPECT_EQ(big.output.substr(300000), "end");
  EXPECT_EQ(big.output.find_first_not_of('\0'), 300000u);
}

TEST(Capture, StatusIsTheRawWaitStatusAndOutputIsKeptOnFailure) {
  auto r = osa::Capture("echo partial; exit 3");
  EXPECT_EQ(r.status, 3 << 8);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.output, "partial\n");
  EXPECT_EQ(osa::Capture("kill -9 $$").status, SIGKILL);
  EXPECT_EQ(osa::Capture("/nonexistent/tool").status, 127 << 8);
  EXPECT_EQ(osa::Capture(nullptr).status, -1);
}

TEST(Capture, EndlessOutputIsCutAtTheLimitAndTheCommandStopped) {
  auto r = osa::Capture("yes", {1000, -1});
  EXPECT_TRUE(r.truncated);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.output.size(), 1000u);
  EXPECT_EQ(r.output.substr(0, 4), "y\ny\n");
}

using osatest::Dead;

TEST(Capture, TimeLimitStopsTheWholeGroupAndKeepsEarlierOutput) {
  bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  auto r = osa::Capture("sleep 100 & echo $!; sleep 100", {4096, 300});
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.status, -1);
  int bg = std::atoi(r.output.c_str());
  ASSERT_GT(bg, 0) << r.output;
  for (int i = 0; i < 200 && !Dead(bg); ++i) usleep(10000);
  EXPECT_TRUE(Dead(bg));
  if (reaper) {
    int st = 0;
    while (waitpid(-1, &st, WNOHANG) > 0) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  // Within the limit nothing changes.
  auto quick = osa::Capture("echo quick", {4096, 5000});
  EXPECT_TRUE(quick.ok());
  EXPECT_EQ(quick.output, "quick\n");
}

TEST(Capture, ConcurrentCallersEachGetTheirOwnOutput) {
  constexpr int kThreads = 8;
  std::vector<std::string> got(kThreads);
  std::vector<int> status(kThreads, -2);
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i)
    ts.emplace_back([&, i] {
      std::string cmd = "for k in 1 2 3; do echo caller" + std::to_string(i) + "; sleep 0.05; done";
      auto r = osa::Capture(cmd.c_str(), {4096, 30000});
      got[static_cast<size_t>(i)] = r.output;
      status[static_cast<size_t>(i)] = r.status;
    });
  for (auto& t : ts) t.join();
  for (int i = 0; i < kThreads; ++i) {
    std::string line = "caller" + std::to_string(i) + "\n";
    EXPECT_EQ(got[static_cast<size_t>(i)], line + line + line) << i;
    EXPECT_EQ(status[static_cast<size_t>(i)], 0) << i;
  }
}

}  // namespace
