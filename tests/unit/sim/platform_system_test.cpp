// The system device on a fresh board: how it is built from the System
// record, reboot and shutdown, exit functions, the buzzer, identifiers,
// serial numbers, /proc statistics and the product information dump.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/env/bootenv.h"
#include "platform/gpio/gpio.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"
#include "support/board_edit.h"
#include "support/pty.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::TempBoard;

namespace {
nlohmann::json& sysrec(nlohmann::json& j) { return j["resource"]["records"]["SystemGetRes"]; }

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

int count_events(const TempBoard& b, const std::string& prefix) {
  auto ev = b.events();
  return static_cast<int>(
      std::count_if(ev.begin(), ev.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Every test starts from a system device that has never been built.
class SystemDev : public testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override { Forget(); }
  static void Forget() {
    SystemDevReset();
    SystemSetWatchdogOps(nullptr);
    GpioManagerReset();
    UartDevReleaseAll();
  }
  void Edit(const std::function<void(nlohmann::json&)>& fn) { EditBoard(board_, [&](auto& j) { fn(sysrec(j)); }); }
  TempBoard board_;
};

// ------------------------------------------------------------ building

TEST_F(SystemDev, TypesOfTheRecordChooseTheVariants) {
  struct Case {
    const char* name;
    uint32_t reboot, shutdown, beep;
    int result;
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {"watchdog both", 0, 0, 0, 0, {"system using watchdog to reboot.", "system using watchdog to shutdown."}},
      {"reboot command, power-off", 1, 1, 0, 0, {"system using reboot() to reboot.", "system using reboot() to shutdown."}},
      {"no reboot, halt", 3, 2, 0, 0, {"system does not support reboot.", "system using system cmd(/sbin/halt) to shutdown."}},
      {"gpio reboot, no shutdown", 4, 3, 1, 0, {"system does reboot by reset gpio.", "system does not support shutdown.",
                                                "system beep type: GPIO."}},
      {"reboot type 2", 2, 0, 0, -1, {"system reboot type error."}},
      {"reboot type 5", 5, 0, 0, -1, {"system reboot type error."}},
      {"shutdown type 4", 0, 4, 0, -1, {"system shutdown type error."}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    Edit([&](auto& r) {
      r["RebootType"] = c.reboot;
      r["ShutdownType"] = c.shutdown;
      r["BeepType"] = c.beep;
    });
    int rc = 99;
    std::string out = CaptureOut([&] { rc = SystemDevInit(); });
    EXPECT_EQ(rc, c.result);
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
    EXPECT_EQ(SystemGetRecord() != nullptr, c.result == 0);
  }
}

TEST_F(SystemDev, SecondInitReturnsAtOnceAndABrokenDriverFails) {
  ASSERT_EQ(SystemDevInit(), 0);
  Edit([](auto& r) { r["RebootType"] = 9; });
  EXPECT_EQ(SystemDevInit(), 0) << "built once per process";
  Forget();
  EditBoard(board_, [](auto& j) { j["resource"]["fail"] = {"SystemGetRes"}; });
  std::string out = CaptureOut([] { EXPECT_EQ(SystemDevInit(), -1); });
  EXPECT_TRUE(has(out, "System get res failed")) << out;
}

// ------------------------------------------------- reboot and shutdown

int g_wdg_calls[4];
int wdg_init() { return ++g_wdg_calls[0], 0; }
int wdg_reboot() { return ++g_wdg_calls[1], 0; }
int wdg_shutdown() { return ++g_wdg_calls[2], 0; }
int wdg_stop_fails() { return ++g_wdg_calls[3], -1; }
int wdg_stop() { return ++g_wdg_calls[3], 0; }

TEST_F(SystemDev, RebootByType) {
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

TEST_F(SystemDev, ShutdownByType) {
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

TEST_F(SystemDev, ShutdownWithoutSupportEndsTheProcessWithSeven) {
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

TEST_F(SystemDev, ExitFunctionsRunLastRegisteredFirstAndAtMostTen) {
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

TEST_F(SystemDev, RebootRunsTheExitFunctionsBeforeRebooting) {
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

// ---------------------------------------------------------------- buzzer

TEST_F(SystemDev, GpioBeepStoppedEarlyEndsWithinAStep) {
  ASSERT_EQ(SystemDevInit(), 0);  // the default board's buzzer is GPIO 5.2
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(StopSystemBeep(), 0);
  });
  EXPECT_EQ(SystemBeep(2000, 1000), 0);
  auto took = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_LT(took, std::chrono::milliseconds(700)) << "the stop did not end the beep";
  auto ev = board_.events();
  std::vector<std::string> levels;
  for (auto& l : ev)
    if (l.rfind("gpio ", 0) == 0 && has(l, ":5.2#0 ")) levels.push_back(l.substr(l.size() - 1));
  // Initial level, on, the stop's off, the beep's own off.
  EXPECT_EQ(levels, (std::vector<std::string>{"0", "1", "0", "0"}));
}

TEST_F(SystemDev, TtyBeepChecksItsArgumentsBeforeTheDevice) {
  Edit([](auto& r) {
    r["BeepType"] = 2;
    r["BeepTtyToneClock"] = 1193180;
    r["BeepTtyDevPath"] = "/dev/vs_beep";
  });
  ASSERT_EQ(SystemDevInit(), 0);
  struct Case {
    uint32_t freq, ms;
    std::vector<const char*> lines;
    bool opened;
  };
  const Case cases[] = {
      {0, 100, {"param error("}, false},
      {1000, 65536, {"param error("}, false},
      // No such node on this board: the device is tried and the value told.
      {1000, 200, {"open BEEP dev[/dev/vs_beep] Failed", "Beep Failed.(value:13108393 dev:/dev/vs_beep)"}, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.freq);
    std::string out = CaptureOut([&] { EXPECT_EQ(SystemBeep(c.freq, c.ms), -1); });
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
    EXPECT_EQ(has(out, "open BEEP dev"), c.opened) << out;
  }
}

// A UART buzzer on a pty: start bytes, the duration, stop bytes.
TEST_F(SystemDev, UartBeepSendsStartThenStop) {
  testsupport::Pty line(board_, "dev/ttyS7");
  Edit([](auto& r) {
    r["BeepType"] = 3;
    r["BeepUart"] = {{"Index", 12}, {"DevName", "/dev/ttyS7"}, {"UseFor", 4}, {"UseMode", 1}, {"WorkMode", 1}};
    r["BeepAttr"] = {{"Rate", 9600}, {"DataBits", 8}, {"Parity", 0}, {"StopBits", 1}};
    r["BeepStartCnt"] = 3;
    r["BeepStart"] = {0xAA, 0x01, 0x55};
    r["BeepStopCnt"] = 2;
    r["BeepStop"] = {0xAA, 0x00};
  });
  std::string out = CaptureOut([] { EXPECT_EQ(SystemDevInit(), 0); });
  EXPECT_TRUE(has(out, "system beep type: Uart.")) << out;
  EXPECT_EQ(SystemBeep(1000, 20), 0);
  EXPECT_EQ(StopSystemBeep(), 0);
  EXPECT_EQ(line.drain(), (std::vector<uint8_t>{0xAA, 0x01, 0x55, 0xAA, 0x00, 0xAA, 0x00}));
  UartDevReleaseAll();
}

TEST_F(SystemDev, UnconfiguredBuzzers) {
  Edit([](auto& r) { r["BeepType"] = 0; });
  ASSERT_EQ(SystemDevInit(), 0);
  std::string out = CaptureOut([] {
    EXPECT_EQ(SystemBeep(1000, 100), 0);
    EXPECT_EQ(StopSystemBeep(), 0);
  });
  EXPECT_TRUE(has(out, "system beeping...")) << out;
  EXPECT_TRUE(has(out, "system stop beep...")) << out;
  Forget();
  // A UART buzzer whose line is not there fails the build of the device.
  Edit([](auto& r) {
    r["BeepType"] = 3;
    r["BeepUart"] = {{"Index", 12}, {"DevName", "/dev/ttyS8"}, {"UseFor", 4}, {"UseMode", 1}, {"WorkMode", 1}};
  });
  out = CaptureOut([] { EXPECT_EQ(SystemDevInit(), -1); });
  EXPECT_TRUE(has(out, "UartDevProbe failed")) << out;
}

// ------------------------------------------------------------ identifiers

TEST_F(SystemDev, DeviceIdFromTheEnvironmentElseTheProductCategory) {
  char id[32];
  std::string out = CaptureOut([&] { EXPECT_EQ(DeviceGetID(id, sizeof id), -1); });
  EXPECT_TRUE(has(out, "Get DEVID failed")) << out;
  struct Case {
    const char* devid;
    int size;
    const char* want;
  };
  const Case cases[] = {
      {"A1B2C3D4E5F60718", 32, "A1B2C3D4E5F60718"},
      {"0000000000000000", 32, "NVR"},  // HWID 27 answers 6 on this board
      {"00000000000000001", 32, "NVR"},  // compared over 16 characters
      {"A1B2C3D4E5F60718", 5, "A1B2"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.devid);
    ASSERT_EQ(BootSetPara("DEVID", c.devid), 0);
    std::memset(id, 'x', sizeof id);
    EXPECT_EQ(DeviceGetID(id, c.size), 0);
    EXPECT_STREQ(id, c.want);
  }
}

TEST_F(SystemDev, ProductNamesModuleCapsAndGpsAreReadAfresh) {
  char name[32];
  ASSERT_EQ(GetProductName(name, sizeof name), 0);
  EXPECT_STREQ(name, "NVR3536C-8");
  ASSERT_EQ(GetProductName(name, 4), 0);
  EXPECT_STREQ(name, "NVR");
  ASSERT_EQ(GetSubProductName(name, sizeof name), 0);
  EXPECT_STREQ(name, "NVR3536C-8-S");
  // ModCapMask 5: bits 0 and 2.
  const int want[] = {1, 0, 1, 0, 0, 0};
  const int idx[] = {0, 1, 2, 3, 4, -1};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(SystemGetModuleCaps(idx[i]), want[i]) << idx[i];
  Edit([](auto& r) {
    r["ModCapMask"] = 8;
    r["GpsModType"] = 3;
  });
  EXPECT_EQ(SystemGetModuleCaps(3), 1);
  EXPECT_EQ(SystemGetGpsModuleType(), 3);
  EditBoard(board_, [](auto& j) { j["resource"]["fail"] = {"SystemGetRes"}; });
  std::string out = CaptureOut([&] {
    EXPECT_EQ(SystemGetModuleCaps(0), -1);
    EXPECT_EQ(GetProductName(name, sizeof name), -1);
  });
  EXPECT_TRUE(has(out, "get system resource error")) << out;
  EXPECT_TRUE(has(out, "get system resource failed")) << out;
}

TEST_F(SystemDev, BootParametersOnlyTheTwoNames) {
  ASSERT_EQ(SystemSetBootParameter("selfchecked", "1"), 0);
  ASSERT_EQ(SystemSetBootParameter("PROD_DATE", "20260101"), 0);
  char v[32];
  ASSERT_EQ(SystemGetBootParameter("PROD_DATE", v, sizeof v), 0);
  EXPECT_STREQ(v, "20260101");
  std::string out = CaptureOut([&] {
    EXPECT_EQ(SystemSetBootParameter("ethaddr", "00:00:00:00:00:00"), -1);
    EXPECT_EQ(SystemGetBootParameter("ethaddr", v, sizeof v), -1);
    EXPECT_EQ(SystemGetBootParameter("selfchecked", v, -1), -1);
  });
  EXPECT_TRUE(has(out, "Only support selfchecked parameter so far!")) << out;
  EXPECT_TRUE(has(out, "Invalid parameter!")) << out;
  ASSERT_EQ(BootEnvGetValue("ethaddr", v, sizeof v), 0);
  EXPECT_STREQ(v, "00:12:34:56:78:9a");
}

TEST_F(SystemDev, ResolutionResetFlagFromTheCommandLine) {
  struct Case {
    const char* cmdline;
    int want;
  };
  const Case cases[] = {
      {"mem=256M need_reset=0 console=ttyAMA0", 0},
      {"mem=256M console=ttyAMA0", 0},
      {"mem=256M need_reset=2", 1},
      {"need_reset", 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.cmdline);
    testsupport::WriteFile(board_.file("proc/cmdline"), c.cmdline);
    EXPECT_EQ(GetResolutionResetFlag(), c.want);
  }
}

// --------------------------------------------------------- serial numbers

TEST_F(SystemDev, SerialNumberFromTheEnvironmentIsCached) {
  char sn[128];
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "Thiz check fails, return OSA_EFAIL")) << out;
  ASSERT_EQ(SystemDevInit(), 0);
  out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, 129), -1); });
  EXPECT_TRUE(has(out, "The arg Length is too large !")) << out;
  out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0); });
  EXPECT_TRUE(has(out, "SerialIDKey=(SN)")) << out;
  EXPECT_STREQ(sn, "NVR3536C0000001");
  ASSERT_EQ(BootSetPara("SN", "CHANGED"), 0);
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "NVR3536C0000001") << "the cache is kept";
  // The setter writes "ID", not the key the getter reads.
  ASSERT_EQ(SystemSetSerialNumber("NEWSERIAL"), 0);
  char v[32];
  ASSERT_EQ(BootEnvGetValue("ID", v, sizeof v), 0);
  EXPECT_STREQ(v, "NEWSERIAL");
}

// A board with the serial-number tools: each is both a file the product
// can see and a program its shell runs.
class SerialTools : public SystemDev {
 protected:
  void AddTool(const std::string& path, const std::string& script) {
    EditBoard(board_, [&](auto& j) { j["owns"].push_back(path); });
    for (auto rel : {path.substr(1), "tools/root" + path}) {
      std::string f = board_.file(rel);
      std::string dirs = "mkdir -p " + f.substr(0, f.rfind('/'));
      ASSERT_EQ(system(dirs.c_str()), 0);
      unlink(f.c_str());
      testsupport::WriteFile(f, "#!/bin/sh\n" + script + "\n");
      ASSERT_EQ(chmod(f.c_str(), 0755), 0);
    }
  }
  void SetUp() override {
    SystemDev::SetUp();
    Edit([](auto& r) {
      r["SerialIDKey"] = "NOSUCHKEY";
      r["BeepType"] = 0;
    });
  }
};

TEST_F(SerialTools, Seq2devAnswers) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/seq2dev", "echo SEQ0001");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0); });
  EXPECT_TRUE(has(out, "Try to get SerialNumber from command:/usr/local/bin/seq2dev")) << out;
  EXPECT_STREQ(sn, "SEQ0001");
}

TEST_F(SerialTools, SerialgetTextAfterTheColon) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/serialget", "echo 'SerialNumber: SG-42'");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "SG-42");
  char bsn[128] = {};
  ASSERT_EQ(SystemGetBoardSerialNumber(bsn, sizeof bsn), 0);
  EXPECT_STREQ(bsn, "SG-42");
}

TEST_F(SerialTools, NothingAnswersIsAFailureAndIsAskedAgain) {
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "SysGetSerialNumber failed")) << out;
  out = CaptureOut([&] { EXPECT_EQ(SystemGetBoardSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "can't get SerialNumber")) << out;
  Edit([](auto& r) { r["SerialIDKey"] = "SN"; });
  Forget();
  ASSERT_EQ(SystemDevInit(), 0);
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "NVR3536C0000001");
}

TEST_F(SerialTools, Seq2devFailingWithoutSerialgetIsNoSerialNumber) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/seq2dev", "exit 1");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128];
  std::memset(sn, 'x', sizeof sn);
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "SysGetSerialNumber failed")) << out;
}

TEST_F(SystemDev, BoardSerialNumberSetterChecksTheText) {
  // This board has no hwtool_tarn: the command runs and fails.
  std::string out = CaptureOut([] { EXPECT_EQ(SystemSetBoardSerialNumber("ABC-123"), -1); });
  EXPECT_TRUE(has(out, "run_cmd [hwtool_tarn w s ABC-123] fail")) << out;
  EXPECT_EQ(count_events(board_, "sh hwtool_tarn w s ABC-123"), 1);
  out = CaptureOut([] {
    EXPECT_EQ(SystemSetBoardSerialNumber("x; reboot"), -1);
    EXPECT_EQ(SystemSetBoardSerialNumber(""), -1);
  });
  EXPECT_TRUE(has(out, "sprintf fail")) << out;
  EXPECT_EQ(count_events(board_, "sh hwtool_tarn"), 1);
}

TEST_F(SystemDev, BiosVersionWithoutAnAnswerIsAFailure) {
  // This board's dmidecode knows no BIOS section.
  char bios[95];
  std::string out = CaptureOut([&] { EXPECT_EQ(GetBiosVersion(bios), -1); });
  EXPECT_TRUE(has(out, "get Bios Version Failed!")) << out;
  EXPECT_TRUE(has(out, "get Bios Release Date Failed!")) << out;
  EXPECT_EQ(bios[0], '\0');
  EXPECT_EQ(bios[64], '\0');
  EXPECT_EQ(count_events(board_, "tool dmidecode -t bios"), 2);
}

TEST_F(SystemDev, CollectInformationRunsTheCollector) {
  std::string out = CaptureOut([] { SystemCollectInfo("/var/log/collect", 3); });
  EXPECT_TRUE(has(out, "System Collectting information, flag=0x3, path=(/var/log/collect)...")) << out;
  std::string want = "sh collect -d /var/log/collect -p " + std::to_string(getpid()) + " -f 3";
  EXPECT_EQ(count_events(board_, want), 1) << want;
  out = CaptureOut([] { EXPECT_EQ(SystemCollectInfo("/tmp/x; reboot", 1), -1); });
  EXPECT_TRUE(has(out, "run (/tmp/x; reboot) failed")) << out;
  EXPECT_EQ(count_events(board_, "sh collect"), 1) << "nothing unchecked reaches the shell";
}

TEST_F(SystemDev, ApplicationRestartAndExitEndTheProcessWithTheirCodes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ApplicationRestart(), testing::ExitedWithCode(6), "");
  EXPECT_EXIT(ApplicationExit(), testing::ExitedWithCode(5), "");
}

// ------------------------------------------------------------ statistics

std::string stat_text(unsigned long long user, unsigned long long idle, int cores) {
  std::string s = "cpu  " + std::to_string(user * cores) + " 0 0 " + std::to_string(idle * cores) + " 0 0 0\n";
  for (int c = 0; c < cores; ++c)
    s += "cpu" + std::to_string(c) + " " + std::to_string(user + c) + " 0 0 " + std::to_string(idle) + " 0 0 0\n";
  return s + "intr 0\n";
}

TEST_F(SystemDev, CpuUsageSinceBootAndRecent) {
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

TEST_F(SystemDev, CpuUsagePerCore) {
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

TEST_F(SystemDev, CpuModelAndMemory) {
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

// ------------------------------------------------ product information

TEST_F(SystemDev, ProductInformationDump) {
  std::string out = CaptureOut([] { EXPECT_EQ(SystemPrintProductInfo(), -1); });
  EXPECT_TRUE(has(out, "SystemDev Not Inited.")) << out;
  ASSERT_EQ(SystemDevInit(), 0);
  out = CaptureOut([] { EXPECT_EQ(SystemPrintProductInfo(), 0); });
  const std::string stars(57, '*');
  size_t lines = 0;
  for (size_t p = out.find(stars + "\n"); p != std::string::npos; p = out.find(stars + "\n", p + 1)) ++lines;
  EXPECT_EQ(lines, 2u) << out;
  EXPECT_FALSE(has(out, stars + "*")) << out;
  const char* in_order[] = {
      "|                 PRODUCT INFORMATION\n",
      "|       libsysbase version:  4517 - ",
      "|                 1.system information\n",
      "|         ProductName:    NVR3536C-8\n",
      "|       HasAudioBoard:    YES\n",
      "|      SystemRestType:    TEMP DON'T KNOW\n",
      "|          RebootType:    REBOOT\n",
      "|        ShutdownType:    HALT\n",
      "|            BeepType:    GPIO\n",
      "|           HwVersion:    259\n",
      "|                 2.Env information\n",
      "|                 4.Frontboard information\n",
      "|       FrontboardNum:    1\n",
      "|                 7.others information\n",
      "|        VideoChannel:    8\n",
      "|          DiskNumber:    2\n",
      "|      DigitalRealChn:    8\n",
      "|        SupportRs232:    1\n",
      "|   ProductSeriesType:    1\n",
      "|IpChannelExterntType:    0\n",
  };
  size_t at = 0;
  for (auto l : in_order) {
    size_t p = out.find(l, at);
    EXPECT_NE(p, std::string::npos) << "missing or out of order: " << l << "\n" << out;
    if (p != std::string::npos) at = p;
  }
}

}  // namespace
