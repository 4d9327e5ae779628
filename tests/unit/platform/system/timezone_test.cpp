// Time-zone changes on a board: the kernel is told the zone alone, the
// clock is never set again, and the zone's text and rule files follow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using namespace systest;

namespace {

class SystemTimezone : public SystemDev {
 protected:
  void SetUp() override {
    SystemDev::SetUp();
    if (const char* tz = getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_.empty()) unsetenv("TZ");
    else setenv("TZ", saved_.c_str(), 1);
    tzset();
    SystemDev::TearDown();
  }
  std::string saved_;
};

TEST_F(SystemTimezone, TheKernelGetsMinutesWestAndTheClockIsLeftAlone) {
  struct Case {
    int offset;
    const char* text;
    const char* event;
  };
  const Case cases[] = {
      {19800, "GMT-05:30", "time-zone -330"},
      {-18000, "GMT+05:00", "time-zone 300"},
      {46800, "GMT-13:00", "time-zone -780"},
      {0, "GMT+00:00", "time-zone 0"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(SystemSetTimezone(c.offset), 0);
    EXPECT_EQ(count_events(board_, c.event), 1);
    EXPECT_EQ(testsupport::ReadFile(board_.file("mnt/mtd/Config/Timezone")), c.text);
    int back = 1;
    EXPECT_EQ(SystemGetTimezone(&back), 0);
    EXPECT_EQ(back, c.offset);
  }
  EXPECT_EQ(count_events(board_, "time-set"), 0) << "a zone change set the clock";
}

TEST_F(SystemTimezone, AnOffsetOutOfRangeChangesNothing) {
  std::string out = CaptureOut([] { EXPECT_EQ(SystemSetTimezone(46801), -1); });
  EXPECT_TRUE(has(out, "Set time zone para err.tz_offset 46801 is overflow!")) << out;
  EXPECT_EQ(count_events(board_, "time-"), 0);
}

TEST_F(SystemTimezone, TheZoneinfoRuleFollowsWhenTheRecordAsks) {
  Edit([](auto& r) {
    r["TzFileFlag"] = 1;
    r["BeepType"] = 0;
  });
  ASSERT_EQ(SystemDevInit(), 0);
  ASSERT_EQ(SystemSetTimezone(28800), 0);
  std::string zone = testsupport::ReadFile(board_.file("mnt/mtd/Config/localtime"));
  ASSERT_GE(zone.size(), 8u);
  EXPECT_EQ(zone.substr(zone.size() - 8), "CST-8:0\n");
  EXPECT_EQ(zone.size(), TzDefaultFile().size()) << "CST+0:0 and CST-8:0 are of one length";
}

}  // namespace
