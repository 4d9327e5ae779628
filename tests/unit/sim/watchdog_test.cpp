// The watchdog set on a simulated board: mixed sets, the stop-or-go-on
// rules of the set operations, the record checks and the board's model of
// the kernel and soft watchdogs.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>

#include "osa/sys.h"
#include "platform/uart/uart.h"
#include "platform/watchdog/watchdog.h"
#include "sim/models/watchdog.h"
#include "support/board_edit.h"
#include "support/pty.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::Pty;
using testsupport::TempBoard;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

int count(const std::vector<std::string>& ev, const std::string& what) {
  return static_cast<int>(std::count_if(ev.begin(), ev.end(), [&](const std::string& l) { return has(l, what); }));
}

nlohmann::json uart_line(const char* path) {
  return {{"Index", 9}, {"DevName", path}, {"UseFor", 1}, {"WorkMode", 1}};
}
nlohmann::json slot(std::vector<int> frame) { return {{"Len", frame.size()}, {"Frame", frame}}; }
nlohmann::json no_slot() { return {{"Len", 0}}; }

nlohmann::json soft_entry() { return {{"Type", 2}, {"DefTimeout", 20}, {"DevPath", "/dev/softwdt"}}; }
nlohmann::json fbd_entry(nlohmann::json slots) {
  return {{"Type", 1}, {"Uart", uart_line("/dev/ttyS9")}, {"FbdSlots", std::move(slots)}};
}

class Watchdogs : public testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override { Forget(); }
  static void Forget() {
    if (WdgsGet()) WdgsDestory(WdgsGet());
    UartDevReleaseAll();
  }
  void Entries(nlohmann::json entries) {
    EditBoard(board_, [&](auto& j) { j["resource"]["records"]["WdgsGetRes"] = {{"Entry", entries}}; });
  }
  std::string Build(int expect = 0) {
    int r = -9;
    std::string out = CaptureOut([&] { r = WatchdogCreate(); });
    EXPECT_EQ(r, expect) << out;
    return out;
  }
  TempBoard board_;
};

// ---------------------------------------------------------- pure pieces

TEST(WatchdogRecord, ChecksCountsPathsAndSlotLengths) {
  WdgsRes_t r{};
  EXPECT_EQ(WdgsResCheck(r), nullptr);
  r.Count = 10;
  EXPECT_NE(WdgsResCheck(r), nullptr) << "a count above 9 would read past the record";
  r.Count = 1;
  r.Entry[0].Type = WDG_SOFT;
  std::memset(r.Entry[0].DevPath, 'a', sizeof r.Entry[0].DevPath);
  EXPECT_NE(WdgsResCheck(r), nullptr) << "an unterminated path";

  WdgEntry_t e{};
  e.Type = WDG_FBD_UART;
  e.FbdSlots[WDG_CMD_KEEPALIVE] = {12, {1}};
  e.FbdSlots[WDG_CMD_REBOOT] = {13, {1}};
  const uint8_t* f = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(WdgSlotFrame(e, WDG_CMD_KEEPALIVE, &f, &len), 0);
  EXPECT_EQ(len, 12u);
  EXPECT_EQ(WdgSlotFrame(e, WDG_CMD_REBOOT, &f, &len), -1) << "longer than the slot";
  EXPECT_EQ(WdgSlotFrame(e, 5, &f, &len), -1);
  e.Type = WDG_MB_UART;
  EXPECT_EQ(WdgSlotTable(e), e.Mb.Slots);
  e.Type = WDG_SOFT;
  EXPECT_EQ(WdgSlotTable(e), nullptr);
  EXPECT_STREQ(WdgTypeName(WDG_MB_UART), "MBMCU_UART");
  EXPECT_EQ(WdgTypeName(9), nullptr);
}

TEST(WatchdogModel, ExpiresOnceAfterItsTimeout) {
  sim::WdtState s;
  s.running = true;
  s.timeout = 5;
  s.fed_ms = 1000;
  int64_t at = 0;
  EXPECT_FALSE(sim::WdtExpired(s, 6000, &at)) << "exactly at the timeout is still in time";
  EXPECT_TRUE(sim::WdtExpired(s, 6001, &at));
  EXPECT_EQ(at, 6000);
  s.reset = true;
  EXPECT_FALSE(sim::WdtExpired(s, 9000, &at));
  sim::WdtState back;
  ASSERT_TRUE(sim::ParseWdtState(sim::FormatWdtState(s), &back));
  EXPECT_EQ(back.fed_ms, 1000);
  EXPECT_TRUE(back.reset && back.running);
  EXPECT_FALSE(sim::ParseWdtState("garbage", &back));
}

// ------------------------------------------------------------ the set

TEST_F(Watchdogs, MixedSetFeedsEveryDeviceInOrder) {
  Pty line(board_, "dev/ttyS9");
  Entries({soft_entry(), fbd_entry({slot({0xAA, 0x55, 0x01}), no_slot(), no_slot(), no_slot(), no_slot()})});
  std::string out = Build();
  EXPECT_TRUE(has(out, "Watchdog[0], Type[SOFT]") && has(out, "Watchdog[1], Type[UART]")) << out;
  EXPECT_TRUE(has(out, "open device[/dev/softwdt], default timeout[20]")) << out;
  line.drain();
  out = CaptureOut([] { EXPECT_EQ(WatchdogKeepAlive(), 0); });
  EXPECT_EQ(line.drain(), (std::vector<uint8_t>{0xAA, 0x55, 0x01}));
  EXPECT_TRUE(has(out, "FrontBoad Keeping Alive[aa 55 1 0], Size[3]")) << out;
  auto ev = board_.events();
  EXPECT_EQ(count(ev, "dev /dev/softwdt ioctl 0xC0045706 20"), 1);
  EXPECT_EQ(count(ev, "dev /dev/softwdt ioctl 0x80045705 0"), 1);
}

TEST_F(Watchdogs, EmptyKeepAliveSlotSendsNothing) {
  Pty line(board_, "dev/ttyS9");
  Entries({fbd_entry({no_slot(), no_slot(), no_slot(), no_slot(), no_slot()})});
  Build();
  line.drain();
  CaptureOut([] { EXPECT_EQ(WdgsKeepAlive(WdgsGet()), 0); });
  EXPECT_TRUE(line.drain().empty());
  std::string out = CaptureOut([] { EXPECT_EQ(WdgsStop(WdgsGet()), 0); });
  EXPECT_TRUE(has(out, "Not Support This Cmd")) << out;
}

TEST_F(Watchdogs, FailedCreateLeavesTheRestWorking) {
  Entries({{{"Type", 3}}, soft_entry(), {{"Type", 9}}});
  std::string out = Build();
  EXPECT_TRUE(has(out, "wdgdev init miscdev failed") && has(out, "create failed, Index[0]")) << out;
  EXPECT_TRUE(has(out, "Watchdog[2], Type[UNKNOW], Enum[9]")) << out;
  CaptureOut([] { EXPECT_EQ(WdgsKeepAlive(WdgsGet()), 0); });
  EXPECT_EQ(count(board_.events(), "dev /dev/softwdt ioctl 0x80045705 0"), 1);
}

TEST_F(Watchdogs, NoUsableWatchdogFailsTheBuild) {
  Entries({{{"Type", 3}}});
  Build(-1);
  EXPECT_EQ(WdgsGet(), nullptr);
}

TEST_F(Watchdogs, OneFailingKeepAliveStillFeedsTheOthers) {
  {
    Pty line(board_, "dev/ttyS9");
    Entries({fbd_entry({slot({0x11}), no_slot(), no_slot(), no_slot(), no_slot()}), soft_entry()});
    Build();
  }  // the far end is gone: writes to the line fail
  std::string out = CaptureOut([] { EXPECT_EQ(WdgsKeepAlive(WdgsGet()), -1); });
  EXPECT_TRUE(has(out, "pWdgDev[0]->KeepAlive err")) << out;
  EXPECT_EQ(count(board_.events(), "dev /dev/softwdt ioctl 0x80045705 0"), 1);
}

TEST_F(Watchdogs, RebootTriesTheNextAndIsNotCancelledByFeeding) {
  Pty line(board_, "dev/ttyS9");
  Entries({fbd_entry({slot({0x11}), no_slot(), no_slot(), no_slot(), no_slot()}), soft_entry()});
  Build();
  std::string out = CaptureOut([] { EXPECT_EQ(WdgsReboot(WdgsGet()), 0); });
  EXPECT_TRUE(has(out, "pWdgDev[0]->Reboot err")) << "an empty reboot slot is no reboot: " << out;
  EXPECT_TRUE(has(out, "Internal Watchdog Going To Reboot, GoodBye...")) << out;
  EXPECT_EQ(count(board_.events(), "dev /dev/softwdt ioctl 0xC0045706 1"), 1);
  line.drain();
  CaptureOut([] { WdgsKeepAlive(WdgsGet()); });
  EXPECT_EQ(count(board_.events(), "ioctl 0x80045705"), 0) << "feeding would undo the 1 s reboot";
  EXPECT_TRUE(line.drain().empty());
}

TEST_F(Watchdogs, RebootFailsWhenNoDeviceTakesIt) {
  Pty line(board_, "dev/ttyS9");
  Entries({fbd_entry({slot({0x11}), no_slot(), no_slot(), no_slot(), no_slot()})});
  Build();
  CaptureOut([] { EXPECT_EQ(WdgsReboot(WdgsGet()), -1); });
}

TEST_F(Watchdogs, OverlongSlotFailsItsCommandOnly) {
  Pty line(board_, "dev/ttyS9");
  Entries({fbd_entry({slot({0x11}), no_slot(), no_slot(), no_slot(),
                      {{"Len", 40}, {"Frame", {1, 2, 3}}}})});
  Build();
  std::string out = CaptureOut([] { EXPECT_EQ(WdgsReboot(WdgsGet()), -1); });
  EXPECT_TRUE(has(out, "longer than 12 bytes")) << out;
  line.drain();
  CaptureOut([] { EXPECT_EQ(WdgsKeepAlive(WdgsGet()), 0); });
  EXPECT_EQ(line.drain(), std::vector<uint8_t>{0x11});
}

TEST_F(Watchdogs, CountAboveNineIsRefused) {
  EditBoard(board_, [](auto& j) {
    j["resource"]["records"]["WdgsGetRes"] = {{"raw", {{{"at", 0}, {"u32", 10}}}}};
  });
  std::string out = Build(-1);
  EXPECT_TRUE(has(out, "more watchdogs than the record holds")) << out;
}

TEST_F(Watchdogs, ShutdownEndsTheProcessWithSeven) {
  Entries({soft_entry()});
  Build();
  EXPECT_EXIT(WdgsShutdown(WdgsGet()), testing::ExitedWithCode(7), "");
  EXPECT_EQ(count(board_.events(), "poweroff /dev/softwdt"), 1);
}

TEST_F(Watchdogs, StopStopsAtTheFirstFailure) {
  Entries({soft_entry(), {{"Type", 5}, {"DefTimeout", 30}}});
  Build();
  CaptureOut([] { EXPECT_EQ(WdgsStop(WdgsGet()), 0); });
  auto ev = board_.events();
  EXPECT_EQ(count(ev, "dev /dev/softwdt ioctl 0x80045704 1"), 1);
  EXPECT_EQ(count(ev, "dev /dev/watchdog ioctl 0x80045704 1"), 1);
  EXPECT_TRUE(has(testsupport::ReadFile(board_.file("dev/watchdog")), "running=0"));
}

// ------------------------------------------------------- board model

TEST_F(Watchdogs, KernelWatchdogStopsOnlyOnMagicClose) {
  {
    osa::UniqueFd fd(osa::sys::open("/dev/watchdog", O_RDWR));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(osa::sys::write(fd.get(), "x", 1), 1);
  }
  EXPECT_TRUE(has(testsupport::ReadFile(board_.file("dev/watchdog")), "running=1"));
  {
    osa::UniqueFd fd(osa::sys::open("/dev/watchdog", O_RDWR));
    ASSERT_EQ(osa::sys::write(fd.get(), "V", 1), 1);
  }
  EXPECT_TRUE(has(testsupport::ReadFile(board_.file("dev/watchdog")), "running=0"));
  osa::UniqueFd fd(osa::sys::open("/dev/watchdog", O_RDWR));
  int t = 7;
  ASSERT_EQ(osa::sys::ioctl(fd.get(), WDIOC_SETTIMEOUT_, &t), 0);
  t = 0;
  ASSERT_EQ(osa::sys::ioctl(fd.get(), WDIOC_GETTIMEOUT_, &t), 0);
  EXPECT_EQ(t, 7);
  EXPECT_EQ(osa::sys::ioctl(fd.get(), WDIOC_SETTIMEOUT_, nullptr), -1);
}

TEST_F(Watchdogs, UnfedWatchdogResetsTheBoardOnce) {
  { osa::UniqueFd fd(osa::sys::open("/dev/watchdog", O_RDWR)); }
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::system_clock::now().time_since_epoch()).count();
  sim::JudgeWatchdogs(board_.dir(), now + 10 * 1000);
  EXPECT_EQ(count(board_.events(), "watchdog reset /dev/watchdog"), 0) << "fed within its 60 s";
  sim::JudgeWatchdogs(board_.dir(), now + 61 * 1000);
  sim::JudgeWatchdogs(board_.dir(), now + 120 * 1000);
  EXPECT_EQ(count(board_.events(), "watchdog reset /dev/watchdog"), 1);
}

}  // namespace
