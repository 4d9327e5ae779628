// CPU and memory statistics from the board's /proc.
#include <gtest/gtest.h>

#include <string>

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemStats = SystemDev;

// ------------------------------------------------------------ statistics

std::string stat_text(unsigned long long user, unsigned long long idle, int cores) {
  std::string s = "cpu  " + std::to_string(user * cores) + " 0 0 " + std::to_string(idle * cores) + " 0 0 0\n";
  for (int c = 0; c < cores; ++c)
    s += "cpu" + std::to_string(c) + " " + std::to_string(user + c) + " 0 0 " + std::to_string(idle) + " 0 0 0\n";
  return s + "intr 0\n";
}

TEST_F(SystemStats, CpuUsageSinceBootAndRecent) {
  // The board's first core: 9000 user, 100 nice, 900 system, 90000 idle.
  std::string out = CaptureOut([] { EXPECT_EQ(SystemGetCPUUsage(), 10); });
  EXPECT_TRUE(has(out, "CPU states:  9.0% user, 0.9% system,  0.1% nice, 90.0% idle")) << out;
  EXPECT_EQ(SystemGetCPUCoreNum(), 2);
  EXPECT_EQ(SystemGetCPUUsageRt(), 10) << "the first sample measures since boot";
  struct Step {
    unsigned long long user, idle;
    int want;
  };
  // Counters of the first core; the usage changes only after 100 ticks.
  const Step steps[] = {
      {10030, 90020, 10},   // 50 ticks since the sample: kept
      {10100, 90100, 50},   // 200 ticks, half of them idle
      {10300, 90100, 100},  // 200 busy ticks
  };
  for (auto& s : steps) {
    testsupport::WriteFile(board_.file("proc/stat"), stat_text(s.user, s.idle, 2));
    EXPECT_EQ(SystemGetCPUUsageRt(), s.want) << s.user;
  }
  testsupport::WriteFile(board_.file("proc/stat"), "cpu  1 2 3 4\nintr 0\n");
  out = CaptureOut([] { EXPECT_EQ(SystemGetCPUCoreNum(), -1); });
  EXPECT_TRUE(has(out, "find no cpu in /proc/stat.")) << out;
}

TEST_F(SystemStats, CpuUsagePerCore) {
  std::string out = CaptureOut([] { EXPECT_EQ(SystemGetCPUUsageEx(0), -1); });
  EXPECT_TRUE(has(out, "SystemDev Not Inited.")) << out;
  ASSERT_EQ(SystemDevInit(), 0);
  testsupport::WriteFile(board_.file("proc/stat"), stat_text(1000, 1000, 3));
  out = CaptureOut([] { EXPECT_EQ(SystemGetCPUUsageEx(3), -1); });
  EXPECT_TRUE(has(out, "CPU Index error:(idx:3 corenum:3)")) << out;
  EXPECT_TRUE(has(out, "GetCpuUsageEx failed.(Index:3)")) << out;
  EXPECT_EQ(SystemGetCPUUsageEx(0), 50);
  EXPECT_EQ(SystemGetCPUUsageEx(1), 51);  // 1001 busy of 2001
  EXPECT_EQ(SystemGetCPUUsageEx(2), 51);
  // Only core 1 moves: all busy.
  std::string s = stat_text(1000, 1000, 3);
  std::string moved = "cpu1 1201 0 0 1000 0 0 0\n";
  s.replace(s.find("cpu1 "), s.find('\n', s.find("cpu1 ")) - s.find("cpu1 ") + 1, moved);
  testsupport::WriteFile(board_.file("proc/stat"), s);
  EXPECT_EQ(SystemGetCPUUsageEx(1), 100);
  EXPECT_EQ(SystemGetCPUUsageEx(0), 50) << "core 0 did not move: its last usage";
  testsupport::WriteFile(board_.file("proc/stat"), "cpu  1 2 3 4\ncpu0 1 2 3 4\ncpu2 1 2 3 4\n");
  out = CaptureOut([] { EXPECT_EQ(SystemGetCPUUsageEx(1), -1); });
  EXPECT_TRUE(has(out, "no such cpu core: core id:1")) << out;
}

TEST_F(SystemStats, CpuModelAndMemory) {
  char model[32];
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetCpuVersion(model, sizeof model), -1); });
  EXPECT_TRUE(has(out, "SysGetCpuVersion failed")) << out;
  testsupport::WriteFile(board_.file("proc/cpuinfo"),
                         "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i5-7500 CPU @ 3.40GHz\n");
  ASSERT_EQ(SystemGetCpuVersion(model, sizeof model), 0);
  EXPECT_STREQ(model, "i5-7500");
  ASSERT_EQ(SystemGetCpuVersion(model, 3), 0);
  EXPECT_STREQ(model, "i5");
  uint32_t mem[3];
  ASSERT_EQ(SystemGetMemInfo(mem), 0);
  EXPECT_EQ(mem[0], 262144u);
  EXPECT_EQ(mem[1], 131072u);
  EXPECT_EQ(mem[2], 2048u);
}

}  // namespace
