// Serial lines on a fresh board: half-duplex direction switching as the
// board's GPIO sees it, and the serial ports' roles by "enprint".
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "osa/singleton.h"
#include "platform/env/bootenv.h"
#include "platform/gpio/gpio.h"
#include "platform/uart/uart.h"
#include "support/board_edit.h"
#include "support/pty.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::Pty;
using testsupport::TempBoard;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

// Levels written to the direction GPIO 6.3, in order.
std::string dir_levels(const TempBoard& b) {
  std::string s;
  for (auto& l : b.events())
    if (l.rfind("gpio ", 0) == 0 && has(l, ":6.3#0 ")) s += l.back();
  return s;
}

class UartOnBoard : public testing::Test {
 protected:
  void SetUp() override {
    osa::ResetSingletonsForTest();
  }
  void TearDown() override {
    osa::ResetSingletonsForTest();
  }
  TempBoard board_;
};

// Each "1" is a direction set before one write(); the "0" the switch back.
TEST_F(UartOnBoard, HalfDuplexWritesHoldBackTheLastByteForOrdinaryLines) {
  struct Case {
    const char* name;
    uint32_t work_mode, use_for;
    const char* levels;
  };
  const Case cases[] = {
      {"half duplex, ordinary line: 9 bytes then 1", 2, 1, "110"},
      {"half duplex, use kind 3: one write", 2, 3, "10"},
      {"half duplex, use kind 13: one write after a pause", 2, 13, "10"},
      {"full duplex: one write, transceiver left enabled", 1, 1, "1"},
  };
  int index = 20;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pty line(board_, "dev/ttyS9");
    osa::ResetSingletonsForTest();
    UartRes_t r{};
    r.Index = static_cast<uint32_t>(index++);
    std::strcpy(r.DevName, "/dev/ttyS9");
    r.UseFor = c.use_for;
    r.UseMode = 1;
    r.WorkMode = c.work_mode;
    r.RtsUseMode = UART_RTS_GPIO;
    r.RtsGpio.Port = 6;
    r.RtsGpio.Bit = 3;
    UartDev_t* d = nullptr;
    ASSERT_EQ(UartDevProbe(&r, &d), 0);
    UartAttr_t a = {0, 115200, 8, 0, 1};
    ASSERT_EQ(d->SetAttr(&a, d), 0);
    std::string before = dir_levels(board_);
    ASSERT_EQ(d->Write("0123456789", 10, d), 0);
    EXPECT_EQ(dir_levels(board_).substr(before.size()), c.levels);
    EXPECT_EQ(line.drain_text(), "0123456789");
  }
}

TEST_F(UartOnBoard, HalfDuplexReadSwitchesToReceiveFirst) {
  Pty line(board_, "dev/ttyS9");
  UartRes_t r{};
  r.Index = 30;
  std::strcpy(r.DevName, "/dev/ttyS9");
  r.UseFor = 1;
  r.UseMode = 1;
  r.WorkMode = 2;
  r.RtsUseMode = UART_RTS_GPIO;
  r.RtsGpio.Port = 6;
  r.RtsGpio.Bit = 3;
  UartDev_t* d = nullptr;
  ASSERT_EQ(UartDevProbe(&r, &d), 0);
  std::string before = dir_levels(board_);
  char buf[4];
  uint32_t got = 7;
  ASSERT_EQ(d->ReadComm(buf, sizeof buf, &got, 0, d), 0);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(dir_levels(board_).substr(before.size()), "0");
}

// ---------------------------------------------------------- serial ports

TEST_F(UartOnBoard, EnprintZeroMakesEveryPortAConsole) {
  std::string out = CaptureOut([] { EXPECT_EQ(SerialDevInit(), 0); });
  EXPECT_TRUE(has(out, "ZqKeyboard = 0, Always as Console")) << out;
  SerialPort_t* p = SerialGet(0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Role, 1u);
  char buf[4];
  UartAttr_t a = {0, 9600, 8, 0, 1};
  out = CaptureOut([&] {
    EXPECT_EQ(SerialUartRead(buf, sizeof buf, p), -ENOENT);
    EXPECT_EQ(SerialUartOpen(p), -1);
    EXPECT_EQ(SerialUartSetAttribute(&a, p), -1);
  });
  EXPECT_TRUE(has(out, "uart 2 will not open, enprint = 0?")) << out;
  EXPECT_EQ(SerialGet(1), nullptr);
}

TEST_F(UartOnBoard, OtherwiseTheRoleOfTheRecordDecides) {
  Pty line(board_, "dev/ttyAMA2");
  ASSERT_EQ(BootSetPara("enprint", "1"), 0);
  std::string out = CaptureOut([] { EXPECT_EQ(SerialDevInit(), 0); });
  EXPECT_TRUE(has(out, "use for common func")) << out;
  SerialPort_t* p = SerialGet(0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Role, 0u);
  ASSERT_EQ(SerialUartWrite("ping", 4, p), 0);
  EXPECT_EQ(line.drain_text(), "ping");
  ASSERT_EQ(write(line.master(), "pong", 4), 4);
  char buf[4];
  ASSERT_EQ(SerialUartRead(buf, 4, p), 0);
  EXPECT_EQ(std::string(buf, 4), "pong");
}

TEST_F(UartOnBoard, AnUnknownRoleIsRefused) {
  ASSERT_EQ(BootSetPara("enprint", "1"), 0);
  EditBoard(board_, [](auto& j) { j["resource"]["records"]["SerialGetRes"]["Entry"][0]["Role"] = 2; });
  std::string out = CaptureOut([] { EXPECT_EQ(SerialDevInit(), -1); });
  EXPECT_TRUE(has(out, "unkow type[2]")) << out;
}

}  // namespace
