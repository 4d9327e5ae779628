// The front-board set on a fresh board: boards by type, serial-line boards
// on pseudo-terminals, 4-byte frames, the heartbeat.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "osa/singleton.h"
#include "platform/frontboard/frontboard.h"
#include "platform/uart/uart.h"
#include "support/board_edit.h"
#include "support/pty.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::Pty;
using testsupport::TempBoard;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

nlohmann::json uart_entry(int index, const std::string& dev, uint32_t rate = 9600) {
  return {{"Type", 1},
          {"Uart", {{"Index", index}, {"DevName", dev}, {"UseFor", 2}, {"UseMode", 1}, {"WorkMode", 1}}},
          {"Attr", {{"Rate", rate}, {"DataBits", 8}, {"Parity", 0}, {"StopBits", 1}}}};
}

int heartbeats(const TempBoard& b) {
  auto ev = b.events();
  return static_cast<int>(std::count(ev.begin(), ev.end(), "heartbeat"));
}

class Frontboard : public testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override { Forget(); }
  static void Forget() {
    osa::ResetSingletonsForTest();
  }
  void Entries(const nlohmann::json& entries) {
    EditBoard(board_, [&](auto& j) { j["resource"]["records"]["FbdGetRes"]["Entry"] = entries; });
  }
  TempBoard board_;
};

const std::vector<uint8_t> kRelease(FBD_RELEASE_FRAME, FBD_RELEASE_FRAME + 4);
const std::vector<uint8_t> kKeepAlive(FBD_KEEPALIVE_FRAME, FBD_KEEPALIVE_FRAME + 4);

// ------------------------------------------------------ boards by type

TEST_F(Frontboard, BoardsWithoutASerialLineByType) {
  struct Case {
    uint32_t type;
    int write_result;     // FrontboardWrite of 4 bytes
    int read2_result;     // FrontboardRead2 of board 0
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {2, 4, 0, {}}, {3, 4, 0, {}}, {5, 4, 0, {}}, {6, 4, 0, {}}, {7, 4, 0, {}},
      {4, -1, -1, {"Thiz->pFbdDev[0] is NULL", "param vailed"}},
      {8, 4, 0, {"fbd unkonw type"}},
      {0, 4, 0, {"fbd unkonw type"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.type);
    Forget();
    Entries(nlohmann::json::array({{{"Type", c.type}}}));
    std::string out = CaptureOut([&] {
      EXPECT_EQ(FbdDevInit(), 0);
      uint8_t buf[4];
      EXPECT_EQ(FrontboardWrite(kRelease.data(), 4), c.write_result);
      EXPECT_EQ(FrontboardRead2(buf, 4, 0), c.read2_result);
    });
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
  }
}

TEST_F(Frontboard, ABoardWithoutReadFailsTheRead) {
  Entries(nlohmann::json::array({{{"Type", 4}}}));
  uint8_t buf[4];
  std::string out = CaptureOut([&] { EXPECT_EQ(FrontboardRead(buf, 4), -1); });
  EXPECT_TRUE(has(out, "Thiz->pFbdDev[0]->Read is NULL")) << out;
  EXPECT_TRUE(has(out, "read failed")) << out;
}

TEST_F(Frontboard, TheSetCannotBeBuilt) {
  struct Case {
    const char* name;
    std::function<void(const TempBoard&)> spoil;
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {"the line is not there", [](const TempBoard& b) { unlink(b.file("dev/ttyAMA1").c_str()); },
       {"UartDevProbe falied", "create failed"}},
      {"driver refuses the record",
       [](const TempBoard& b) { EditBoard(b, [](auto& j) { j["resource"]["fail"] = {"FbdGetRes"}; }); },
       {"get res failed"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    c.spoil(board_);
    uint8_t buf[4] = {};
    std::string out = CaptureOut([&] {
      EXPECT_EQ(FbdDevInit(), -1);
      EXPECT_EQ(FrontboardCreate(), -1);
      EXPECT_EQ(FrontboardRead(buf, 4), -1);
      EXPECT_EQ(FrontboardWrite(buf, 4), -1);
    });
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
    EXPECT_TRUE(has(out, "FbdDevInit failed")) << out;
    EXPECT_TRUE(has(out, "FrontboardRead failed, FbdDevInit failed.")) << out;
  }
}

TEST_F(Frontboard, BadLineSettingsFailTheCreate) {
  Pty line(board_, "dev/ttyAMA1");
  Entries(nlohmann::json::array({uart_entry(1, "/dev/ttyAMA1", 230400)}));
  std::string out = CaptureOut([] { EXPECT_EQ(FbdDevInit(), -1); });
  EXPECT_TRUE(has(out, "set baudrate wrong")) << out;
  EXPECT_TRUE(has(out, "SetAttr falied")) << out;
  Forget();
  Entries(nlohmann::json::array({uart_entry(1, "/dev/ttyAMA1", 19200)}));
  ASSERT_EQ(FbdDevInit(), 0);
  termios t;
  ASSERT_EQ(tcgetattr(line.master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

// -------------------------------------------------- serial-line boards

TEST_F(Frontboard, AFrameSplitOverTwoReadsIsGatheredWhole) {
  Pty line(board_, "dev/ttyAMA1");
  ASSERT_EQ(FrontboardCreate(), 0);
  std::thread panel([&] {
    ASSERT_TRUE(line.send({0xFF, 0x09}));
    usleep(100 * 1000);
    ASSERT_TRUE(line.send({0x00, 0x00}));
  });
  uint8_t buf[4] = {};
  EXPECT_EQ(FrontboardRead(buf, 4), 4);
  panel.join();
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), kRelease);
  // One board: what is pending, without waiting.
  ASSERT_TRUE(line.send({0xFF, 0x01, 0x03}));
  usleep(50 * 1000);
  uint8_t some[8];
  EXPECT_EQ(FrontboardRead2(some, sizeof some, 0), 3);
  EXPECT_EQ(FrontboardRead2(some, sizeof some, 0), 0);
  std::string out = CaptureOut([&] {
    EXPECT_EQ(FrontboardRead2(some, 4, 1), -1);
    EXPECT_EQ(FrontboardWrite2(some, 4, -1), -1);
  });
  EXPECT_TRUE(has(out, "param vailed")) << out;
}

TEST_F(Frontboard, KeepAliveFeedsTheHeartbeatFirst) {
  Pty line(board_, "dev/ttyAMA1");
  ASSERT_EQ(FrontboardCreate(), 0);
  EXPECT_GE(HeartDeviceFd(), 0) << "the heartbeat node is readable, so it is opened";
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    int beats;
  };
  const Case cases[] = {
      {"keep-alive", kKeepAlive, 1},
      {"release", kRelease, 0},
      {"keep-alive prefix of a longer buffer", {0xFF, 0x0A, 0x00, 0x00, 0x01}, 1},
      {"three bytes", {0xFF, 0x0A, 0x00}, 0},
      {"FF 0A 00 01", {0xFF, 0x0A, 0x00, 0x01}, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    int before = heartbeats(board_);
    EXPECT_EQ(FrontboardWrite(c.frame.data(), static_cast<int>(c.frame.size())), static_cast<int>(c.frame.size()));
    EXPECT_EQ(heartbeats(board_) - before, c.beats);
    EXPECT_EQ(line.drain(), c.frame);
  }
  auto ev = board_.events();
  EXPECT_EQ(std::count_if(ev.begin(), ev.end(), [](auto& l) { return l.rfind("heartbeat-bad", 0) == 0; }), 0);
}

TEST_F(Frontboard, WithoutAHeartbeatNodeTheFrameStillGoesOut) {
  Pty line(board_, "dev/ttyAMA1");
  unlink(board_.file("dev/beat_heart").c_str());
  ASSERT_EQ(FrontboardCreate(), 0);
  EXPECT_EQ(HeartDeviceFd(), -1);
  EXPECT_EQ(FrontboardWrite(kKeepAlive.data(), 4), 4);
  EXPECT_EQ(heartbeats(board_), 0);
  EXPECT_EQ(line.drain(), kKeepAlive);
  EXPECT_EQ(FrontboardThreadStart(), 0);
  EXPECT_EQ(FrontboardThreadStop(), 0);
  EXPECT_EQ(FrontboardDestroy(), 0);
}

// Two serial-line boards: a board whose line fails does not stop the other.
TEST_F(Frontboard, TwoBoardsOneFailing) {
  Pty a(board_, "dev/ttyAMA1");
  Pty b(board_, "dev/ttyS3");
  Entries(nlohmann::json::array({uart_entry(1, "/dev/ttyAMA1"), uart_entry(5, "/dev/ttyS3")}));
  ASSERT_EQ(FrontboardCreate(), 0);
  EXPECT_EQ(FrontboardWrite(kKeepAlive.data(), 4), 4);
  EXPECT_EQ(a.drain(), kKeepAlive);
  EXPECT_EQ(b.drain(), kKeepAlive);
  EXPECT_EQ(FrontboardWrite2(kRelease.data(), 4, 1), 4);
  EXPECT_EQ(a.drain(), std::vector<uint8_t>{});
  EXPECT_EQ(b.drain(), kRelease);
  // Each board gives part of the frame.
  ASSERT_TRUE(a.send({0xFF, 0x09}));
  ASSERT_TRUE(b.send({0x00, 0x00}));
  usleep(50 * 1000);
  uint8_t buf[4] = {};
  EXPECT_EQ(FrontboardRead(buf, 4), 4);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), kRelease);
  // The first board's line goes away: reads are served by the second.
  UartRes_t res{};
  res.Index = 1;
  std::strcpy(res.DevName, "/dev/ttyAMA1");
  res.UseFor = 2;
  res.UseMode = 1;
  res.WorkMode = 1;
  UartDev_t* first = nullptr;
  ASSERT_EQ(UartDevProbe(&res, &first), 0);
  ASSERT_EQ(first->Close(first), 0);
  std::thread panel([&] {
    usleep(100 * 1000);
    EXPECT_TRUE(b.send(kRelease));
  });
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(FrontboardRead(buf, 4), 4);
  panel.join();
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), kRelease);
  // Both gone: the read ends.
  res.Index = 5;
  std::strcpy(res.DevName, "/dev/ttyS3");
  UartDev_t* second = nullptr;
  ASSERT_EQ(UartDevProbe(&res, &second), 0);
  ASSERT_EQ(second->Close(second), 0);
  std::string out = CaptureOut([&] { EXPECT_EQ(FrontboardRead(buf, 4), -1); });
  EXPECT_TRUE(has(out, "read failed")) << out;
}

}  // namespace
