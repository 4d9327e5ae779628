// Reboot and shutdown by the record's types, the exit functions run before
// them, and the application's exit codes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemPower = SystemDev;

// ------------------------------------------------- reboot and shutdown

int g_wdg_calls[4];
int wdg_init() { return ++g_wdg_calls[0], 0; }
int wdg_reboot() { return ++g_wdg_calls[1], 0; }
int wdg_shutdown() { return ++g_wdg_calls[2], 0; }
int wdg_stop_fails() { return ++g_wdg_calls[3], -1; }
int wdg_stop() { return ++g_wdg_calls[3], 0; }

TEST_F(SystemPower, RebootByType) {
  static const SystemWdgOps wdg = {wdg_init, wdg_reboot, wdg_shutdown, wdg_stop};
  struct Case {
    const char* name;
    uint32_t type;
    const SystemWdgOps* ops;
    int result;
    const char* line;
    const char* event;  // nullptr: none beyond the flush
  };
  const Case cases[] = {
      {"watchdog", 0, &wdg, 0, "sys reboot", nullptr},
      {"watchdog without a watchdog set", 0, nullptr, -1, "SystemReboot Failed", nullptr},
      {"reboot command", 1, nullptr, 0, "System Going To Reboot, GoodBye...", "tool reboot"},
      {"gpio", 4, nullptr, 0, "GPIO reboot PORT 7, BIT 4!", "gpio "},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    std::memset(g_wdg_calls, 0, sizeof g_wdg_calls);
    Edit([&](auto& r) {
      r["RebootType"] = c.type;
      r["BeepType"] = 0;
    });
    ASSERT_EQ(SystemDevInit(), 0);
    SystemSetWatchdogOps(c.ops);
    int before = static_cast<int>(board_.events().size());
    int rc = 99;
    std::string out = CaptureOut([&] { rc = SystemReboot(); });
    EXPECT_EQ(rc, c.result);
    EXPECT_TRUE(has(out, "system reboot now..")) << out;
    EXPECT_TRUE(has(out, c.line)) << out;
    auto ev = board_.events();
    std::vector<std::string> fresh(ev.begin() + before, ev.end());
    if (c.event) {
      bool seen = std::any_of(fresh.begin(), fresh.end(), [&](auto& l) { return l.rfind(c.event, 0) == 0; });
      EXPECT_TRUE(seen) << c.event;
    }
    if (c.ops) {
      EXPECT_EQ(g_wdg_calls[1], 1);
    }
  }
  // The GPIO variant drives the reset line to its active level.
  std::string state = testsupport::ReadFile(board_.file("events.log"));
  EXPECT_TRUE(has(state, ":7.4#0 1")) << state;
}

TEST_F(SystemPower, ShutdownByType) {
  static const SystemWdgOps wdg = {wdg_init, wdg_reboot, wdg_shutdown, wdg_stop_fails};
  struct Case {
    const char* name;
    uint32_t type;
    const SystemWdgOps* ops;
    int result;
    std::vector<const char*> lines;
    const char* event;
  };
  const Case cases[] = {
      {"watchdog", 0, &wdg, 0, {"system Shutdown..", "sys shutdown"}, nullptr},
      {"watchdog missing", 0, nullptr, -1, {"SysWatchdogShutDown Failed", "SystemShutdown fail"}, nullptr},
      {"power-off call", 1, nullptr, 0, {"System Going To ShutDown, GoodBye..."}, "reboot 0x4321fedc"},
      {"halt command", 2, nullptr, 0, {"System Going To ShutDown, GoodBye..."}, "tool halt"},
      {"none, watchdog stop fails", 3, &wdg, -1, {"sys shutdown", "SysWatchdogShutDown Failed"}, nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    std::memset(g_wdg_calls, 0, sizeof g_wdg_calls);
    Edit([&](auto& r) {
      r["ShutdownType"] = c.type;
      r["BeepType"] = 0;
    });
    ASSERT_EQ(SystemDevInit(), 0);
    SystemSetWatchdogOps(c.ops);
    int rc = 99;
    std::string out = CaptureOut([&] { rc = SystemShutdown(); });
    EXPECT_EQ(rc, c.result);
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
    if (c.event) {
      EXPECT_GE(count_events(board_, c.event), 1) << c.event;
    }
  }
  EXPECT_EQ(g_wdg_calls[3], 1) << "the none variant stops the watchdog";
}

TEST_F(SystemPower, ShutdownWithoutSupportEndsTheProcessWithSeven) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static const SystemWdgOps wdg = {wdg_init, wdg_reboot, wdg_shutdown, wdg_stop};
  Edit([](auto& r) {
    r["ShutdownType"] = 3;
    r["BeepType"] = 0;
  });
  EXPECT_EXIT(
      {
        SystemDevInit();
        SystemSetWatchdogOps(&wdg);
        SystemShutdown();
      },
      testing::ExitedWithCode(7), "");
}

// -------------------------------------------------------- exit functions

std::vector<int> g_ran;
template <int N>
void exit_fn() {
  g_ran.push_back(N);
}

TEST_F(SystemPower, ExitFunctionsRunLastRegisteredFirstAndAtMostTen) {
  g_ran.clear();
  std::string none = CaptureOut([] { EXPECT_EQ(SystemDoSync(), 0); });
  EXPECT_TRUE(has(none, "no exit function registered.")) << none;
  void (*fns[])() = {exit_fn<0>, exit_fn<1>, exit_fn<2>, exit_fn<3>, exit_fn<4>,
                     exit_fn<5>, exit_fn<6>, exit_fn<7>, exit_fn<8>, exit_fn<9>};
  for (auto f : fns) ASSERT_EQ(SystemRegExitFunc(f), 0);
  std::string out = CaptureOut([] { EXPECT_EQ(SystemRegExitFunc(exit_fn<10>), -1); });
  EXPECT_TRUE(has(out, "register exit function failed")) << out;
  out = CaptureOut([] { EXPECT_EQ(SystemDoSync(), 0); });
  EXPECT_TRUE(has(out, "do callback function..")) << out;
  EXPECT_EQ(g_ran, (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
}

TEST_F(SystemPower, RebootRunsTheExitFunctionsBeforeRebooting) {
  g_ran.clear();
  Edit([](auto& r) {
    r["RebootType"] = 1;
    r["BeepType"] = 0;
  });
  ASSERT_EQ(SystemDevInit(), 0);
  ASSERT_EQ(SystemRegExitFunc(exit_fn<1>), 0);
  ASSERT_EQ(SystemRegExitFunc(exit_fn<2>), 0);
  CaptureOut([] { EXPECT_EQ(SystemReboot(), 0); });
  EXPECT_EQ(g_ran, (std::vector<int>{2, 1}));
  EXPECT_EQ(count_events(board_, "tool reboot"), 1);
}

TEST_F(SystemPower, ApplicationRestartAndExitEndTheProcessWithTheirCodes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ApplicationRestart(), testing::ExitedWithCode(6), "");
  EXPECT_EXIT(ApplicationExit(), testing::ExitedWithCode(5), "");
}

}  // namespace
