// The clocks that are no I2C chip: the kernel's RTC (reached through
// "hwclock -w" for setting, its nodes tried in order for reading) and the
// board driver's SoC clock, both on a simulated board.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/rtc/rtc.h"
#include "platform/system/system.h"
#include "support/board_edit.h"
#include "unit/platform/rtc/date.h"

using rtctest::date;
using testsupport::CaptureOut;
using testsupport::TempBoard;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }
bool has_event(const TempBoard& b, const std::string& what) {
  for (auto& e : b.events())
    if (has(e, what)) return true;
  return false;
}

class RtcClocks : public testing::Test {
 protected:
  void SetUp() override { RtcDevReset(); }
  void TearDown() override { RtcDevReset(); }
  std::string Init(uint32_t type, int expect = 0) {
    RtcRes_t r{};
    r.Type = type;
    r.Policy = RTC_NO_ADJUST;
    int rc = -9;
    std::string out = CaptureOut([&] { rc = RtcDevInitFrom(&r, nullptr); });
    EXPECT_EQ(rc, expect) << out;
    return out;
  }
  static std::string Text(const tm& t) {
    char b[96];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min, t.tm_sec);
    return b;
  }
  TempBoard board_;
};

TEST_F(RtcClocks, KernelClockIsSetThroughHwclockAndReadBack) {
  EXPECT_TRUE(has(Init(RTC_TYPE_KERNEL), "hwclock created."));
  tm set = date(2037, 12, 31, 23, 59, 0);  // within every build's clock
  std::string out = CaptureOut([&] { EXPECT_EQ(RtcSetTime(&set), 0); });
  EXPECT_TRUE(has_event(board_, "tool hwclock -w --utc")) << out;
  tm got{};
  ASSERT_EQ(RtcGetTime(&got), 0);
  EXPECT_EQ(Text(got).substr(0, 17), "2037-12-31 23:59:") << Text(got);
  EXPECT_EQ(got.tm_wday, 4);
  EXPECT_TRUE(has_event(board_, "dev /dev/rtc ioctl 0x80247009 "));
}

TEST_F(RtcClocks, KernelNodesAreTriedInOrder) {
  Init(RTC_TYPE_KERNEL);
  std::remove(board_.file("dev/rtc").c_str());
  std::remove(board_.file("dev/rtc0").c_str());
  tm got{};
  ASSERT_EQ(RtcGetTime(&got), 0) << "the last node still reads";
  EXPECT_TRUE(has_event(board_, "dev /dev/misc/rtc ioctl 0x80247009"));
  std::remove(board_.file("dev/misc/rtc").c_str());
  std::string out = CaptureOut([&] { EXPECT_EQ(RtcGetTime(&got), -1); });
  EXPECT_TRUE(has(out, "open RtcHwClock failed.")) << out;
}

TEST_F(RtcClocks, KernelClockWithoutValidTimeFailsTheRead) {
  Init(RTC_TYPE_KERNEL);
  std::remove(board_.file("dev/rtc.state").c_str());  // as after the battery went
  tm got{};
  std::string out = CaptureOut([&] { EXPECT_EQ(RtcGetTime(&got), -1); });
  EXPECT_TRUE(has(out, "RTC_RD_TIME failed")) << out;
}

TEST_F(RtcClocks, SocClockKeepsTheCenturyAndRefusesNonDates) {
  EXPECT_TRUE(has(Init(RTC_TYPE_SOC), "SOC RTC initing..."));
  tm set = date(2099, 12, 31, 23, 59, 58);
  set.tm_wday = 4;
  ASSERT_EQ(RtcSetTime(&set), 0);
  EXPECT_TRUE(has_event(board_, "dev /dev/vs_rtc ioctl 0x80045203 58 59 23 31 12 2099 4"));
  tm got{};
  ASSERT_EQ(RtcGetTime(&got), 0);
  EXPECT_EQ(Text(got).substr(0, 16), "2099-12-31 23:59") << Text(got);
  tm bad = date(2023, 2, 29);
  std::string out = CaptureOut([&] { EXPECT_EQ(RtcSetTime(&bad), -1); });
  EXPECT_TRUE(has(out, "soc rtc set failed.")) << out;
}

TEST_F(RtcClocks, SocClockWithoutItsNodeFailsInit) {
  std::remove(board_.file("dev/vs_rtc").c_str());
  EXPECT_TRUE(has(Init(RTC_TYPE_SOC, -1), "open defice failed."));
  tm got{};
  EXPECT_EQ(RtcGetTime(&got), -1) << "no device after a failed init";
}

}  // namespace
