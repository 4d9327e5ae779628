// Serial lines on pseudo-terminals: settings, rings, half-duplex writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "osa/singleton.h"
#include "platform/uart/uart.h"
#include "support/board_edit.h"

using testsupport::CaptureOut;

namespace {

TEST(UartRing, HoldsAtMost511BytesUnderAFastWriter) {
  UartRing_t ring;
  std::vector<uint8_t> frame(5 + 200);
  frame[2] = 1;
  for (size_t i = 5; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
  std::atomic<bool> done{false};
  std::vector<uint8_t> got;
  std::thread reader([&] {
    while (!done || UartRingUsed(ring) > 0) {
      osa::LockGuard g(ring.Lock);
      EXPECT_LE(UartRingUsed(ring), 511u);
      while (UartRingUsed(ring) > 0) {
        got.push_back(ring.Buf[ring.Read]);
        ring.Read = (ring.Read + 1) % UART_RING_SIZE;
      }
    }
  });
  for (int i = 0; i < 20; ++i) ASSERT_EQ(Date_WriteBuf(&ring, frame.data(), 205, 5, 200), 0);
  done = true;
  reader.join();
  ASSERT_EQ(got.size(), 4000u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(5 + i % 200)) << i;
}

TEST(UartRing, FullRingAndBadChannel) {
  UartRing_t ring;
  EXPECT_EQ(UartRingFree(ring), 511u);
  std::vector<uint8_t> frame(5 + 255, 7);
  frame[2] = 14;
  std::string out = CaptureOut([&] { EXPECT_EQ(Date_WriteBuf(&ring, frame.data(), 260, 5, 255), -1); });
  EXPECT_NE(out.find("unknow uart protocol"), std::string::npos);
  frame[2] = 13;
  ASSERT_EQ(Date_WriteBuf(&ring, frame.data(), 260, 5, 255), 0);
  ASSERT_EQ(Date_WriteBuf(&ring, frame.data(), 260, 5, 255), 0);
  EXPECT_EQ(UartRingUsed(ring), 510u);
  std::atomic<bool> stop{true};
  EXPECT_EQ(Date_WriteBuf(&ring, frame.data(), 260, 5, 2, &stop), -1) << "room for one byte only, stopped";
  EXPECT_EQ(UartRingUsed(ring), 511u);
}

TEST(UartRates, OnlyTheTableIsAccepted) {
  unsigned s;
  EXPECT_TRUE(UartRateCode(115200, &s));
  EXPECT_EQ(s, static_cast<unsigned>(B115200));
  EXPECT_FALSE(UartRateCode(230400, &s));
  EXPECT_FALSE(UartRateCode(0, &s));
}

// A line of the board, opened on a real pty.
class UartLine : public testing::Test {
 protected:
  void SetUp() override {
    osa::ResetSingletonsForTest();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    unlink(board_.file("dev/ttyS5").c_str());
    ASSERT_EQ(symlink(ptsname(master_), board_.file("dev/ttyS5").c_str()), 0);
    std::memset(&res_, 0, sizeof res_);
    res_.Index = 9;
    std::strcpy(res_.DevName, "/dev/ttyS5");
    res_.UseFor = 1;
    res_.WorkMode = 1;
    ASSERT_EQ(UartDevProbe(&res_, &dev_), 0);
    UartAttr_t a = {0, 9600, 8, 0, 1};
    ASSERT_EQ(dev_->SetAttr(&a, dev_), 0);
  }
  void TearDown() override {
    osa::ResetSingletonsForTest();
    close(master_);
  }
  testsupport::TempBoard board_;
  int master_ = -1;
  UartRes_t res_;
  UartDev_t* dev_ = nullptr;
};

TEST_F(UartLine, BadSettingsAreRefusedAndLeaveTheLineAlone) {
  termios before;
  ASSERT_EQ(tcgetattr(dev_->Fd.get(), &before), 0);
  struct Case {
    UartAttr_t a;
    const char* msg;
  };
  const Case cases[] = {
      {{0, 230400, 8, 0, 1}, "set baudrate wrong"}, {{0, 9600, 9, 0, 1}, "databits set wrong"},
      {{0, 9600, 8, 5, 1}, "parity set wrong"},     {{0, 9600, 8, 0, 3}, "stopbit set wrong"},
  };
  for (auto& c : cases) {
    std::string out = CaptureOut([&] { EXPECT_EQ(dev_->SetAttr(&c.a, dev_), -1); });
    EXPECT_NE(out.find(c.msg), std::string::npos) << out;
  }
  termios after;
  ASSERT_EQ(tcgetattr(dev_->Fd.get(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  UartAttr_t zero_stop = {0, 19200, 7, 2, 0};
  ASSERT_EQ(dev_->SetAttr(&zero_stop, dev_), 0);
  ASSERT_EQ(tcgetattr(dev_->Fd.get(), &after), 0);
  EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B19200));
}

TEST_F(UartLine, ReadCommTimesOutAndReadsWhatArrives) {
  char buf[8];
  uint32_t got = 99;
  ASSERT_EQ(dev_->ReadComm(buf, sizeof buf, &got, 0, dev_), 0);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(write(master_, "abc", 3), 3);
  ASSERT_EQ(dev_->ReadComm(buf, sizeof buf, &got, 500, dev_), 0);
  EXPECT_EQ(got, 3u);
  ASSERT_EQ(write(master_, "0123456789", 10), 10);
  char all[10];
  ASSERT_EQ(dev_->Read(all, 10, dev_), 0);
  EXPECT_EQ(std::string(all, 10), "0123456789");
  ASSERT_EQ(dev_->Write("hello", 5, dev_), 0);
  char back[8] = {};
  usleep(50 * 1000);
  EXPECT_EQ(read(master_, back, sizeof back), 5);
  EXPECT_STREQ(back, "hello");
  EXPECT_EQ(dev_->SetWorkMode(3, dev_), -1);
}

TEST_F(UartLine, ProbeSharesTheDeviceByIndex) {
  UartDev_t* again = nullptr;
  ASSERT_EQ(UartDevProbe(&res_, &again), 0);
  EXPECT_EQ(again, dev_);
  UartRes_t other = res_;
  other.Index = 10;
  std::strcpy(other.DevName, "/dev/ttyS6");  // not there
  UartDev_t* none = nullptr;
  std::string out = CaptureOut([&] { EXPECT_EQ(UartDevProbe(&other, &none), -1); });
  EXPECT_NE(out.find("index = 10, name = /dev/ttyS6 open failed"), std::string::npos) << out;
}

// A multiplexed line on the same pty: the reader thread splits the stream
// into the channels' rings and drops what is not for a known channel.
TEST_F(UartLine, ReaderThreadFillsTheChannelRings) {
  osa::ResetSingletonsForTest();
  UartRes_t mux = res_;
  mux.Index = 11;
  mux.UseMode = UART_USEMODE_MUX;
  mux.SyncByte[0] = 0xAA;
  mux.SyncByte[1] = 0x55;
  mux.ChnMask = 1u << 3;
  UartDev_t* d = nullptr;
  ASSERT_EQ(UartDevProbe(&mux, &d), 0);
  UartAttr_t a = {0, 9600, 8, 0, 1};
  ASSERT_EQ(d->SetAttr(&a, d), 0);
  const uint8_t stream[] = {0x00, 0xAA, 0x55, 3, 1, 2, 'h', 'i',  // payload to ring 0
                            0xAA, 0x55, 9, 1, 1, 'x',             // channel without rings
                            0xAA, 0x55, 3, 2, 1, 'z'};            // whole frame to ring 1
  std::string out = CaptureOut([&] {
    ASSERT_EQ(write(master_, stream, sizeof stream), static_cast<ssize_t>(sizeof stream));
    // Waits for the thread, not for a time: the last frame ends the wait.
    uint8_t whole[16] = {};
    int n = 0;
    for (int i = 0; i < 500 && n == 0; ++i) {
      n = UartChnRead(d, 3, 1, whole, sizeof whole);
      if (n == 0) usleep(10 * 1000);
    }
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(whole), 6), std::string("\xAA\x55\x03\x02\x01z"));
  });
  char payload[8] = {};
  EXPECT_EQ(UartChnRead(d, 3, 0, payload, sizeof payload), 2);
  EXPECT_STREQ(payload, "hi");
  EXPECT_EQ(UartChnRead(d, 9, 0, payload, sizeof payload), -1);
}

}  // namespace
