// The system time services through a DS13XX whose registers are plain
// memory: runs in every build, also the board's under qemu-arm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/i2c/i2c.h"
#include "platform/rtc/rtc.h"
#include "platform/system/system.h"

namespace {

uint8_t g_regs[256];  // the chip of this test file only

int mem_read(uint32_t reg, uint8_t* v, I2cDev_t*) {
  *v = g_regs[reg & 0xFF];
  return 0;
}
int mem_write(uint32_t reg, uint8_t v, I2cDev_t*) {
  g_regs[reg & 0xFF] = v;
  return 0;
}

std::vector<time_t>& sets() {
  static std::vector<time_t> v;
  return v;
}

const SystemClock kClock = {[](timeval* tv) {
                              tv->tv_sec = 0;
                              tv->tv_usec = 0;
                              return 0;
                            },
                            [](time_t s) {
                              sets().push_back(s);
                              return 0;
                            },
                            [](uint32_t) {}};

TEST(RtcInMemory, SystemTimeRoundTripsOverTheCentury) {
  std::memset(g_regs, 0, sizeof g_regs);
  static I2cDev_t chip;
  chip.ReadByte = mem_read;
  chip.WriteByte = mem_write;
  RtcRes_t res{};
  res.Type = RTC_TYPE_I2C;
  res.Policy = RTC_NO_ADJUST;
  res.Chip = RTC_DS13XX;
  RtcSetSyncSwitch(0);  // no start-up read of the empty chip
  ASSERT_EQ(RtcDevInitFrom(&res, &chip), 0);
  SystemSetClock(&kClock);
  const char* old_tz = getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  int skipped = 0;
  for (int y = 2000; y <= 2099; ++y) {
    // A 32-bit time_t ends in January 2038; those years wait for the
    // wider time_t of the board build.
    if (sizeof(time_t) < 8 && y >= 2038) {
      ++skipped;
      continue;
    }
    SystemTime_t in{y, y % 4 == 0 ? 2 : 12, y % 4 == 0 ? 29 : 31, 0, 23, 59, 30, 0};
    sets().clear();
    ASSERT_EQ(SystemSetCurrentTime(&in), 0) << y;
    ASSERT_EQ(sets().size(), 1u);
    SystemTime_t back{};
    ASSERT_EQ(SysRtcReadTime(&back), 0) << y;
    EXPECT_EQ(back.year, y);
    EXPECT_EQ(back.month, in.month);
    EXPECT_EQ(back.day, in.day);
    EXPECT_EQ(back.second, 30);
  }
  if (saved.empty()) unsetenv("TZ");
  else setenv("TZ", saved.c_str(), 1);
  tzset();
  SystemSetClock(nullptr);
  RtcDevReset();
  if (skipped) std::printf("%d years after 2037 skipped: this build's time_t is 32 bits\n", skipped);
}

}  // namespace
