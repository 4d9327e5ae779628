// Product identification, boot parameters, the kernel command line flag,
// the diagnostic tools and the product information dump.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "platform/env/bootenv.h"

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemProduct = SystemDev;

// ------------------------------------------------------------ identifiers

TEST_F(SystemProduct, DeviceIdFromTheEnvironmentElseTheProductCategory) {
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

TEST_F(SystemProduct, ProductNamesModuleCapsAndGpsAreReadAfresh) {
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

TEST_F(SystemProduct, BootParametersOnlyTheTwoNames) {
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

TEST_F(SystemProduct, ResolutionResetFlagFromTheCommandLine) {
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

TEST_F(SystemProduct, BiosVersionWithoutAnAnswerIsAFailure) {
  // This board's dmidecode knows no BIOS section.
  char bios[95];
  std::string out = CaptureOut([&] { EXPECT_EQ(GetBiosVersion(bios), -1); });
  EXPECT_TRUE(has(out, "get Bios Version Failed!")) << out;
  EXPECT_TRUE(has(out, "get Bios Release Date Failed!")) << out;
  EXPECT_EQ(bios[0], '\0');
  EXPECT_EQ(bios[64], '\0');
  EXPECT_EQ(count_events(board_, "tool dmidecode -t bios"), 2);
}

TEST_F(SystemProduct, CollectInformationRunsTheCollector) {
  std::string out = CaptureOut([] { SystemCollectInfo("/var/log/collect", 3); });
  EXPECT_TRUE(has(out, "System Collectting information, flag=0x3, path=(/var/log/collect)...")) << out;
  std::string want = "sh collect -d /var/log/collect -p " + std::to_string(getpid()) + " -f 3";
  EXPECT_EQ(count_events(board_, want), 1) << want;
  out = CaptureOut([] { EXPECT_EQ(SystemCollectInfo("/tmp/x; reboot", 1), -1); });
  EXPECT_TRUE(has(out, "run (/tmp/x; reboot) failed")) << out;
  EXPECT_EQ(count_events(board_, "sh collect"), 1) << "nothing unchecked reaches the shell";
}

// ------------------------------------------------ product information

TEST_F(SystemProduct, ProductInformationDump) {
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
