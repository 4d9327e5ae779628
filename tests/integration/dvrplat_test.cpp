// The board tool dvrplat on a fresh board: feeding and stopping the
// watchdogs, a watchdog left unfed, shutdown's exit status, and the clock
// chip set and read back on every chip kind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "sim/models/mcupeer.h"
#include "sim/models/watchdog.h"
#include "support/board.h"
#include "support/board_edit.h"

using testsupport::TempBoard;

namespace {

int count(const std::vector<std::string>& ev, const std::string& what) {
  return static_cast<int>(
      std::count_if(ev.begin(), ev.end(), [&](const std::string& l) { return l.find(what) != std::string::npos; }));
}

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(Dvrplat, FeedThenSilenceResetsTheBoardOnce) {
  TempBoard b;
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "feed", "5", "500"}, &b);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto ev = b.events();
  EXPECT_EQ(count(ev, "dev /dev/watchdog write 43 00"), 5);
  EXPECT_EQ(count(ev, "dev /dev/watchdog ioctl 0xC0045706 30"), 2) << "the default timeout at create and open";
  EXPECT_EQ(count(ev, "watchdog reset"), 0);
  sim::JudgeWatchdogs(b.dir(), now_ms() + 31 * 1000);
  sim::JudgeWatchdogs(b.dir(), now_ms() + 90 * 1000);
  EXPECT_EQ(count(b.events(), "watchdog reset /dev/watchdog"), 1);
}

TEST(Dvrplat, StoppedWatchdogNeverResets) {
  TempBoard b;
  ASSERT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "feed", "1"}, &b).status, 0);
  ASSERT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "stop"}, &b).status, 0);
  sim::JudgeWatchdogs(b.dir(), now_ms() + 3600 * 1000);
  EXPECT_EQ(count(b.events(), "watchdog reset"), 0);
}

TEST(Dvrplat, ShutdownExitsWithSeven) {
  TempBoard b;
  testsupport::EditBoard(b, [](auto& j) {
    j["resource"]["records"]["WdgsGetRes"] = {{"Entry", {{{"Type", 2}, {"DefTimeout", 10}, {"DevPath", "/dev/softwdt"}}}}};
  });
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "shutdown"}, &b);
  EXPECT_EQ(r.status, 7) << r.out;
  EXPECT_EQ(count(b.events(), "poweroff /dev/softwdt"), 1);
  EXPECT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "feed", "x"}, &b).status, 2);
}

TEST(Dvrplat, ClockRoundTripsOnEveryChip) {
  const std::pair<const char*, int> kinds[] = {{"DS13XX", 2}, {"DS3232", 3}, {"ISL12022", 4}, {"RX8010", 5}, {"RX8900", 6}};
  for (auto [kind, code] : kinds) {
    SCOPED_TRACE(kind);
    TempBoard b;
    testsupport::EditBoard(b, [&](auto& j) {
      j["rtc"]["chips"] = {{{"bus", 1}, {"addr", 50}, {"kind", kind}}};
      j["resource"]["records"]["RtcGetRes"] = {{"Type", 1}, {"Policy", 2}, {"Chip", code}, {"I2cBus", 1},
                                               {"I2cAddr", 50}, {"RegOffset", code == 5 ? 16 : 0}};
    });
    ASSERT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "set", "2099-12-31 23:58:00"}, &b).status, 0);
    auto r = testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "get"}, &b);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2099-12-31 23:58:0"), std::string::npos) << r.out;
    EXPECT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "set", "2100-01-01 00:00:00"}, &b).status, 1);
    EXPECT_EQ(testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "set", "2024-02-30 00:00:00"}, &b).status, 1)
        << "well formed, but no such day";
  }
}

TEST(Dvrplat, KernelAndSocClocksRoundTrip) {
  for (int type : {2, 3}) {
    SCOPED_TRACE(type);
    TempBoard b;
    testsupport::EditBoard(b, [&](auto& j) { j["resource"]["records"]["RtcGetRes"] = {{"Type", type}, {"Policy", 2}}; });
    // The kernel clock is set through the system clock, which this
    // build's time_t bounds; the SoC clock takes the century.
    std::string when = type == 2 ? "2037-06-01 12:00:00" : "2099-12-31 23:58:00";
    auto s = testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "set", when}, &b);
    ASSERT_EQ(s.status, 0) << s.out;
    auto r = testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "get"}, &b);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(when.substr(0, 17)), std::string::npos) << r.out;
  }
}

TEST(Dvrplat, DumpAndPokeTheChip) {
  TempBoard b;
  ASSERT_EQ(testsupport::Run({DVRSIM_EXE, "rtc", b.dir(), "poke", "0", "0x80"}).status, 0);
  auto d = testsupport::Run({DVRSIM_EXE, "rtc", b.dir(), "dump"});
  ASSERT_EQ(d.status, 0);
  EXPECT_EQ(std::count(d.out.begin(), d.out.end(), '\n'), 16);
  EXPECT_EQ(d.out.substr(0, 3), "80 ");
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "rtc", "get"}, &b);
  EXPECT_EQ(r.status, 1) << "a halted DS13XX is not read";
  EXPECT_NE(r.out.find("rtc stopped (CH set)"), std::string::npos) << r.out;
}

// A board whose transport line 1 leads to a boot loader.
void mcu_board(const TempBoard& b, nlohmann::json peer) {
  testsupport::EditBoard(b, [&](auto& j) {
    j["serial"]["lines"]["/dev/ttyS5"] = "mcu";
    j["mcu"] = peer;
    auto& r = j["resource"]["records"];
    r["TransComsGetRes"]["Entry"] = {{{"DevType", 1},
                                      {"Uart", {{"Index", 5}, {"DevName", "/dev/ttyS5"}, {"UseFor", 1}, {"WorkMode", 1}}},
                                      {"Attr", {{"Rate", 115200}, {"DataBits", 8}, {"StopBits", 1}}}}};
    r["SystemGetRes"]["McuUpgradeMethod"] = 0;
    r["SystemGetRes"]["McuModule"] = 1;
    r["SystemGetRes"]["McuSerialMode"] = 0;
  });
}

std::string package(const TempBoard& b, uint32_t len, std::string* image) {
  std::string p(64, '\0');
  p[14] = 3;
  p[15] = 1;
  image->clear();
  for (uint32_t i = 0; i < len; ++i) image->push_back(static_cast<char>(i * 13 + (i >> 9)));
  testsupport::WriteFile(b.file("tmp/mcu.pkg"), p + *image);
  return b.file("tmp/mcu.pkg");
}

TEST(Dvrplat, McuPackageLandsInTheDeviceByteForByte) {
  TempBoard b;
  mcu_board(b, nlohmann::json::object());
  std::string image;
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu", package(b, 32 * 1024, &image)}, &b);
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
  EXPECT_NE(r.out.find("progress 32768"), std::string::npos);
  // The peer is another process: it keeps the image once it has answered
  // the end request, which may be just after the upgrade returns.
  std::string held;
  for (int i = 0; i < 200 && (held = testsupport::ReadFile(b.file("sim/mcu-image.bin"))) != image; ++i) usleep(50000);
  EXPECT_EQ(held, image);
}

TEST(Dvrplat, McuPeerRepeatingARequestFailsTheUpgrade) {
  TempBoard b;
  mcu_board(b, {{"repeat_from", 3}});
  std::string image;
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu", package(b, 4096, &image)}, &b);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("MCU_UPGREADE: exit loop_upgrade falied........"), std::string::npos);
  EXPECT_NE(r.out.find("MCU_UPGREADE  Assemble_frame  end"), std::string::npos);
  // The device reads in its own time.
  for (int i = 0; i < 100 && count(b.events(), "mcu end 2") == 0; ++i) usleep(20000);
  EXPECT_EQ(count(b.events(), "mcu end "), 2) << "0x86 still goes out twice";
}

TEST(Dvrplat, En773vTableWalkCountsProgressOverItsDevices) {
  TempBoard b;
  mcu_board(b, nlohmann::json::object());
  testsupport::EditBoard(b, [&](auto& j) {
    j["serial"]["lines"]["/dev/ttyS5"] = "en773v";
    j["en773v"] = {{"baud", 115200}, {"bootmen", 1}};
    // Two modules on the same line: the walk upgrades both.
    j["resource"]["records"]["SystemGetRes"]["Mcu"] = {{{"Kind", 0}, {"LineIdx", 1}, {"Enabled", 1}},
                                                       {{"Kind", 0}, {"LineIdx", 1}, {"Enabled", 1}}};
  });
  std::string img(80 + 3000, '\0');
  img.replace(0, 8, "ZQ-UPDAT");
  img.replace(17, 11, "EN773V-V1.0");
  for (size_t i = 80; i < img.size(); ++i) img[i] = static_cast<char>(i * 7);
  testsupport::WriteFile(b.file("tmp/en773v.bin"), img);
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu-table", b.file("tmp/en773v.bin")}, &b);
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
  EXPECT_NE(r.out.find("en773v complete total 50"), std::string::npos) << "the first of two done";
  EXPECT_NE(r.out.find("2 en773v updata finished"), std::string::npos);
  EXPECT_NE(r.out.find("progress 3000"), std::string::npos);
  std::string want = img.substr(80) + std::string(72, '\0');  // the last KiB padded
  std::string held;
  for (int i = 0; i < 100 && (held = testsupport::ReadFile(b.file("sim/en773v-image.bin"))) != want; ++i)
    usleep(20000);
  EXPECT_EQ(held, want);
  EXPECT_EQ(count(b.events(), "en773v end "), 2);

  img.replace(17, 11, "EN773V-V9.9");
  testsupport::WriteFile(b.file("tmp/other.bin"), img);
  r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu-table", b.file("tmp/other.bin")}, &b);
  EXPECT_EQ(r.status, 0) << "an image for no module here is skipped";
  EXPECT_EQ(count(b.events(), "en773v end "), 2);
}

TEST(Dvrplat, LineBoundToAPtyReachesWhoeverHoldsIt) {
  TempBoard b;
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  mcu_board(b, nlohmann::json::object());
  testsupport::EditBoard(b, [&](auto& j) { j["serial"]["lines"]["/dev/ttyS5"] = ptsname(master); });
  // This test plays the boot loader itself.
  sim::McuBootPeer peer({});
  std::atomic<bool> stop{false};
  std::thread dev([&] {
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[512];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) continue;
      auto out = peer.Input(buf, static_cast<size_t>(n));
      if (!out.empty() && ::write(master, out.data(), out.size()) < 0) break;
    }
  });
  std::string image;
  auto r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu", package(b, 1000, &image)}, &b);
  for (int i = 0; i < 100 && peer.end_frames() < 2; ++i) usleep(20000);
  stop = true;
  dev.join();
  ::close(master);
  ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 2000 ? r.out.size() - 2000 : 0);
  EXPECT_EQ(std::string(peer.image().begin(), peer.image().end()), image);
  EXPECT_EQ(count(b.events(), "mcu end"), 0) << "the board's own peer stays out of it";

  testsupport::EditBoard(b, [&](auto& j) { j["serial"]["lines"]["/dev/ttyS5"] = b.file("board.json"); });
  r = testsupport::Run({testsupport::Bin("dvrplat"), "mcu", package(b, 10, &image)}, &b);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("peers did not start"), std::string::npos) << r.err;
  EXPECT_NE(testsupport::ReadFile(b.file("sim/peers.log")).find("which is no terminal"), std::string::npos);
}

}  // namespace
