// The buzzer kinds: GPIO, TTY tone, UART commands, none.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/pty.h"

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemBuzzer = SystemDev;

// ---------------------------------------------------------------- buzzer

TEST_F(SystemBuzzer, GpioBeepStoppedEarlyEndsWithinAStep) {
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

TEST_F(SystemBuzzer, TtyBeepChecksItsArgumentsBeforeTheDevice) {
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
TEST_F(SystemBuzzer, UartBeepSendsStartThenStop) {
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

TEST_F(SystemBuzzer, UnconfiguredBuzzers) {
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

}  // namespace
