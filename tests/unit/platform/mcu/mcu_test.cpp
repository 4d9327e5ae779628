// The framed microcontroller upgrade against a boot loader on a serial
// line: whole images compared byte for byte, old and new boot loaders,
// frame numbers that wrap, and a device that repeats, skips, corrupts or
// talks through noise.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/mcu/mcu.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"
#include "sim/models/mcupeer.h"
#include "support/board_edit.h"
#include "support/pty.h"
#include "unit/platform/mcu/line_device.h"

using testsupport::CaptureOut;
using testsupport::Pty;
using testsupport::TempBoard;
using mcutest::Device;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

std::vector<uint8_t> package(uint32_t image_len, uint8_t addr, uint8_t mode = 0) {
  std::vector<uint8_t> p(64 + image_len);
  p[14] = 3;
  p[15] = addr;
  p[16] = mode;
  for (uint32_t i = 0; i < image_len; ++i) p[64 + i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return p;
}

class McuUpgrade : public testing::Test {
 protected:
  void SetUp() override {
    SystemSetClock(mcutest::no_pauses());
    entry_.DevType = 1;
    entry_.Uart.Index = 9;
    std::strcpy(entry_.Uart.DevName, "/dev/ttyS9");
    entry_.Uart.UseFor = 1;
    entry_.Uart.WorkMode = 1;
    entry_.Attr = {115200, 8, 0, 1, 0};
    port_.Res = &entry_;
    port_.Open = TransComUartOpen;
    port_.Close = TransComUartClose;
    port_.Write = TransComUartWrite;
    port_.SetAttribute = TransComUartSetAttribute;
    port_.SetWorkMode = TransComUartSetWorkMode;
  }
  void TearDown() override {
    UartDevReleaseAll();
    SystemSetClock(nullptr);
  }
  int Upgrade(const std::vector<uint8_t>& pkg, std::string* out) {
    CaptureOut([] {});
    int r = -9;
    *out = CaptureOut([&] {
      if (TransComUartCreate(&port_) != 0) return;
      r = McuUpgradeFramedOn(&port_, 1, pkg.data(), static_cast<uint32_t>(pkg.size()), &progress_);
    });
    return r;
  }
  int En773v(const std::vector<uint8_t>& img, std::string* out, En773vProgress_t* counters = nullptr) {
    CaptureOut([] {});
    int r = -9;
    *out = CaptureOut([&] {
      if (TransComUartCreate(&port_) != 0) return;
      r = En773vUpgradeOn(&port_, img.data(), static_cast<uint32_t>(img.size()), &progress_, counters);
    });
    return r;
  }
  TempBoard board_;
  TransComEntry_t entry_{};
  TransCom_t port_{};
  uint32_t progress_ = 0;
};

TEST_F(McuUpgrade, OldBootTakes32KiBWithWrappingFrameNumbers) {
  Pty line(board_, "dev/ttyS9");
  Device dev(line, sim::McuPeerOptions{});
  auto pkg = package(32 * 1024, 1);
  std::string out;
  ASSERT_EQ(Upgrade(pkg, &out), 0) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
  EXPECT_EQ(dev.peer().image(), std::vector<uint8_t>(pkg.begin() + 64, pkg.end()));
  EXPECT_TRUE(dev.peer().crc_ok());
  EXPECT_EQ(dev.ends(), 2);
  EXPECT_EQ(progress_, 32u * 1024);
  EXPECT_TRUE(has(out, "MCU_UPGREADE: exit loop_upgrade suecess........")) << out.substr(0, 2000);
}

TEST_F(McuUpgrade, NewBootUsesWholeUnitsOfTheDeviceMaximum) {
  Pty line(board_, "dev/ttyS9");
  sim::McuPeerOptions o;
  o.new_boot = true;
  o.max_frame = 200;
  Device dev(line, o);
  auto pkg = package(1000, 1);
  std::string out;
  ASSERT_EQ(Upgrade(pkg, &out), 0) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
  EXPECT_EQ(dev.peer().image(), std::vector<uint8_t>(pkg.begin() + 64, pkg.end()));
  EXPECT_TRUE(has(out, "add 24 bytes for  last frame align up")) << "1000 = 5 x 192 + 40, padded to 64";
}

TEST_F(McuUpgrade, MasterWithNoiseOnTheLine) {
  Pty line(board_, "dev/ttyS9");
  sim::McuPeerOptions o;
  o.garbage = true;
  Device dev(line, o);
  auto pkg = package(1000, 0);
  std::string out;
  ASSERT_EQ(Upgrade(pkg, &out), 0) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
  EXPECT_EQ(dev.peer().image(), std::vector<uint8_t>(pkg.begin() + 64, pkg.end()));
}

TEST_F(McuUpgrade, RepeatedRequestFailsAndStillEnds) {
  Pty line(board_, "dev/ttyS9");
  sim::McuPeerOptions o;
  o.repeat_from = 4;
  Device dev(line, o);
  std::string out;
  EXPECT_EQ(Upgrade(package(2000, 1), &out), -1);
  EXPECT_TRUE(has(out, "MCU_UPGREADE: exit loop_upgrade falied........")) << out.substr(0, 2000);
  EXPECT_EQ(dev.ends(), 2) << "0x86 goes out twice";
  EXPECT_LE(dev.peer().requests(), 4 + 12);
}

TEST_F(McuUpgrade, SkippedRequestIsNotServedWithOtherData) {
  Pty line(board_, "dev/ttyS9");
  sim::McuPeerOptions o;
  o.skip_at = 3;
  Device dev(line, o);
  std::string out;
  EXPECT_EQ(Upgrade(package(2000, 1), &out), -1);
  EXPECT_TRUE(has(out, "expected 3 or 4")) << out.substr(0, 3000);
  EXPECT_LT(dev.peer().image().size(), 2000u);
}

TEST_F(McuUpgrade, LostAndLateAnswersAreWaitedOutOnASlowLine) {
  Pty line(board_, "dev/ttyS9");
  sim::McuLineOptions o;
  o.baud = 9600;
  o.drop_at = 2;   // the start response: the host asks again
  o.delay_at = 6;  // a transfer request, later than one read's wait
  o.delay_ms = 1500;
  Device dev(line, o);
  auto pkg = package(300, 1);
  std::string out;
  ASSERT_EQ(Upgrade(pkg, &out), 0) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
  EXPECT_EQ(dev.peer().image(), std::vector<uint8_t>(pkg.begin() + 64, pkg.end()));
  EXPECT_TRUE(has(out, "MCU_UPGREADE this frame cmd is not 0x83 ,retry=2")) << "the request came, its start response did not";
  EXPECT_TRUE(has(out, "MCU_UPGREADE comm failed retry=0")) << "the late request took a second read";
  EXPECT_EQ(dev.ends(), 2);
}

TEST_F(McuUpgrade, BadPackageSendsNothing) {
  Pty line(board_, "dev/ttyS9");
  Device dev(line, sim::McuPeerOptions{});
  std::string out;
  EXPECT_EQ(Upgrade(package(0, 1), &out), -1);
  auto p = package(10, 1, 1);
  p[17] = 48;
  EXPECT_EQ(Upgrade(p, &out), -1);
  EXPECT_TRUE(has(out, "overFlow")) << out;
  usleep(50 * 1000);
  EXPECT_EQ(dev.written(), 0);
}

// ----------------------------------------------------------- EN773V

std::vector<uint8_t> en773v_image(uint32_t data_len) {
  std::vector<uint8_t> p(EN773V_HEADER_LEN + data_len);
  std::memcpy(p.data(), "ZQ-UPDAT", 8);
  std::memcpy(p.data() + 17, EN773V_TAG_B, 11);
  for (uint32_t i = 0; i < data_len; ++i) p[EN773V_HEADER_LEN + i] = static_cast<uint8_t>(i * 11 + (i >> 10));
  return p;
}

// What the module holds: the data, the last KiB zero-padded.
std::vector<uint8_t> flashed(const std::vector<uint8_t>& img) {
  std::vector<uint8_t> d(img.begin() + EN773V_HEADER_LEN, img.end());
  d.resize((d.size() + 1023) / 1024 * 1024, 0);
  return d;
}

TEST_F(McuUpgrade, En773vTakesTheImageThroughWaitsAndResends) {
  Pty line(board_, "dev/ttyS9");
  sim::En773vOptions o;
  o.bootmen = 2;  // still leaving its application
  o.data_err_at = 1;
  o.data_err_times = 2;
  o.wrflash = 2;  // still writing its flash
  Device dev(line, o);
  auto img = en773v_image(2500);
  std::string out;
  ASSERT_EQ(En773v(img, &out), 0) << out.substr(0, 3000);
  EXPECT_EQ(dev.device().image(), flashed(img));
  EXPECT_EQ(progress_, 2500u);
  EXPECT_TRUE(has(out, "error updata ~DATAERR")) << out.substr(0, 3000);
  EXPECT_TRUE(has(out, "wait 10s updata"));
  EXPECT_TRUE(has(out, "success updata"));
  EXPECT_TRUE(has(out, "en773v complete total 100"));
  EXPECT_TRUE(has(out, "1 en773v updata finished"));
  EXPECT_EQ(dev.ends(3), 3);
}

TEST_F(McuUpgrade, En773vFailedTransferFailsWhateverTheEndSays) {
  Pty line(board_, "dev/ttyS9");
  sim::En773vOptions o;
  o.data_err_at = 1;
  o.data_err_times = 100;
  Device dev(line, o);
  std::string out;
  EXPECT_EQ(En773v(en773v_image(3000), &out), -1);
  EXPECT_TRUE(has(out, "EN773v_upgradeMcuStep2 failed")) << out.substr(0, 3000);
  EXPECT_TRUE(has(out, "success updata")) << "the end still goes out, and the module leaves its boot loader";
  EXPECT_EQ(dev.ends(1), 1);
}

TEST_F(McuUpgrade, En773vEndlessFlashWritingAndRefusalsEnd) {
  {
    Pty line(board_, "dev/ttyS9");
    sim::En773vOptions o;
    o.wrflash = 1000;
    Device dev(line, o);
    std::string out;
    EXPECT_EQ(En773v(en773v_image(100), &out), -1);
    EXPECT_TRUE(has(out, "EN773v_upgradeMcuStep3 failed")) << out.substr(0, 3000);
    EXPECT_EQ(dev.ends(7), 7) << "a bounded number of waits";
    UartDevReleaseAll();
  }
  {
    Pty line(board_, "dev/ttyS9");
    sim::En773vOptions o;
    o.refuse_erase = true;
    Device dev(line, o);
    std::string out;
    EXPECT_EQ(En773v(en773v_image(100), &out), -1);
    EXPECT_TRUE(has(out, "EN773v_upgradeMcuEsase failed")) << out.substr(0, 3000);
    UartDevReleaseAll();
  }
  Pty line(board_, "dev/ttyS9");
  Device dev(line, sim::En773vOptions{});
  std::string out;
  EXPECT_EQ(En773v(en773v_image(0), &out), -1) << "a header without data";
  usleep(50 * 1000);
  EXPECT_EQ(dev.written(), 0);
}

TEST(En773vImage, FramesAndTags) {
  std::vector<uint8_t> d(10, 0xAB), f(EN773V_FRAME_LEN);
  En773vDataFrame(0x14400, d.data(), 10, f.data());
  EXPECT_EQ(f[0], 0x3A);
  EXPECT_EQ(f[1], 0x00);
  EXPECT_EQ(f[2], 0x44);
  EXPECT_EQ(f[3], 0x01);
  EXPECT_EQ(f[13], 0xAB);
  EXPECT_EQ(f[14], 0x00) << "zero-padded";
  unsigned sum = 0x3A + 0x44 + 0x01 + 10 * 0xAB;
  EXPECT_EQ(f[1028], sum & 0xFF);
  EXPECT_EQ(f[1029], sum >> 8);
  auto img = en773v_image(10);
  EXPECT_TRUE(En773vImageTag(img.data(), static_cast<uint32_t>(img.size())));
  img[20] = 'x';
  EXPECT_FALSE(En773vImageTag(img.data(), static_cast<uint32_t>(img.size()))) << "a wrong tag";
  EXPECT_FALSE(En773vImageTag(img.data(), 27)) << "too short for a tag";
}

// ------------------------------------------------------------- JTAG

TEST_F(McuUpgrade, JtagWritesTheBlocksWithoutAHole) {
  std::string first = "ZQ-UPMCU" + std::string(100, 'a'), second(50, 'b');
  McuBlock_t blocks[] = {{reinterpret_cast<const uint8_t*>(first.data()), static_cast<uint32_t>(first.size())},
                         {reinterpret_cast<const uint8_t*>(second.data()), static_cast<uint32_t>(second.size())}};
  SystemRes_t sys{};
  sys.McuUpgradeMethod = 2;
  uint32_t progress = 0;
  std::string out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(blocks, 2, &progress, &sys), 0); });
  EXPECT_EQ(testsupport::ReadFile(board_.file("dev/zq_mcu")), std::string(100, 'a') + second) << out;
  EXPECT_EQ(progress, 150u);
  auto ev = board_.events();
  EXPECT_NE(std::find(ev.begin(), ev.end(), "dev /dev/zq_mcu ioctl 0xC0044D06 0 100 50 62 62 62 62 62 62 62 62 62 62 62 "
                                            "62 62 62 62 62"),
            ev.end());

  first = "ZQ-UPMCX" + std::string(10, 'a');
  blocks[0] = {reinterpret_cast<const uint8_t*>(first.data()), static_cast<uint32_t>(first.size())};
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(blocks, 2, &progress, &sys), -1); });
  EXPECT_TRUE(has(out, "invalid upgrade data")) << out;
  EXPECT_EQ(board_.events().size(), ev.size()) << "nothing reaches the driver";
}

TEST_F(McuUpgrade, DriverBootLoadersTakeTheImage) {
  std::string image(3000, '\0');
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 31 + (i >> 7));
  std::string pkg = "ZQ-UPMCU" + image;
  McuBlock_t one = {reinterpret_cast<const uint8_t*>(pkg.data()), static_cast<uint32_t>(pkg.size())};
  SystemRes_t sys{};
  sys.McuUpgradeMethod = 1;
  sys.McuModule = 0;  // LPC11C22: the whole image in 128-byte chunks
  uint32_t progress = 0;
  std::string out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, &progress, &sys), 0); });
  EXPECT_EQ(testsupport::ReadFile(board_.file("dev/zq_mcu")), image) << out.substr(0, 2000);
  EXPECT_EQ(progress, 3000u);

  // STM32: the application after bin_offset + 12.
  image.assign(20480 + 12 + 700, 'x');
  image.replace(20492, 700, std::string(700, 'y'));
  pkg = "ZQ-UPMCU" + image;
  one = {reinterpret_cast<const uint8_t*>(pkg.data()), static_cast<uint32_t>(pkg.size())};
  sys.McuModule = 1;
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, &progress, &sys), 0); });
  EXPECT_EQ(testsupport::ReadFile(board_.file("dev/zq_mcu")), std::string(700, 'y')) << out.substr(0, 2000);

  // A bin_offset of 4096 asks for 30720 bytes: a shorter image is refused,
  // not read past.
  testsupport::EditBoard(board_, [](auto& j) { j["zq_mcu"]["bin_offset"] = 4096; });
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, &progress, &sys), -1); });
  EXPECT_TRUE(has(out, "holds no 30720 bytes")) << out;
  testsupport::EditBoard(board_, [](auto& j) { j["zq_mcu"]["bin_offset"] = 8192; });
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, &progress, &sys), -1); });
  EXPECT_TRUE(has(out, "bin_offset error.")) << out;
}

TEST_F(McuUpgrade, FailedEndFailsTheLpcUpgrade) {
  testsupport::EditBoard(board_, [](auto& j) { j["zq_mcu"]["fail_end"] = true; });
  std::string pkg = "ZQ-UPMCU" + std::string(300, 'q');
  McuBlock_t one = {reinterpret_cast<const uint8_t*>(pkg.data()), static_cast<uint32_t>(pkg.size())};
  SystemRes_t sys{};
  sys.McuUpgradeMethod = 1;
  std::string out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, nullptr, &sys), -1); });
  EXPECT_TRUE(has(out, "MCU_UPGRADE_END, failed")) << out;
  testsupport::EditBoard(board_, [](auto& j) { j["zq_mcu"] = {{"fail_info", true}}; });
  auto before = board_.events().size();
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU_V(&one, 1, nullptr, &sys), -1); });
  auto ev = board_.events();
  ASSERT_GT(ev.size(), before);
  EXPECT_NE(ev.back().find("ioctl 0xC0044D08"), std::string::npos) << "the controller is told the upgrade ended";
}

// ------------------------------------------------------------- FPGA

TEST_F(McuUpgrade, FpgaFlashIsWrittenAndReadBack) {
  std::string a(5000, 'a'), b(3000, 'b');
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(i * 3);
  McuBlock_t blocks[] = {{reinterpret_cast<const uint8_t*>(a.data()), static_cast<uint32_t>(a.size())},
                         {reinterpret_cast<const uint8_t*>(b.data()), static_cast<uint32_t>(b.size())}};
  SystemRes_t sys{};
  uint32_t progress = 0;
  std::string out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeFPGA(blocks, 2, &progress, &sys), 0); });
  EXPECT_EQ(testsupport::ReadFile(board_.file("dev/vs_spiflash")), a + b) << out;
  EXPECT_EQ(progress, 8000u);

  testsupport::EditBoard(board_, [](auto& j) { j["spiflash"]["flip_at"] = 6000; });
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeFPGA(blocks, 2, &progress, &sys), -1); });
  EXPECT_TRUE(has(out, "flash addr(0x1388) len(0xbb8) data write and write not equal")) << out;
}

TEST_F(McuUpgrade, TableWalkUpgradesTheMatchingEntries) {
  SystemRes_t sys{};
  std::string img = "ZQIP_BSM" + std::string(200, 'z');
  const auto* p = reinterpret_cast<const uint8_t*>(img.data());
  std::string out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU(&sys, p, 208, nullptr), -1); });
  EXPECT_TRUE(has(out, "UNknow MCU Module")) << "an empty table";
  sys.McuCount = 2;
  sys.Mcu[0] = {0, 1, 1, {}};  // a serial module; the image is not for it
  sys.Mcu[1] = {1, 0, 1, {}};  // the LPC11C22 takes the whole image, tag included
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU(&sys, p, 208, nullptr), 0); });
  EXPECT_EQ(testsupport::ReadFile(board_.file("dev/zq_mcu")), img) << out.substr(0, 2000);
  sys.Mcu[0].Enabled = 0;
  out = CaptureOut([&] { EXPECT_EQ(SysDevUpgradeMCU(&sys, p, 208, nullptr), -1); });
}

}  // namespace
