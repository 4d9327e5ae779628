// The clock chips' time registers: every chip over 2000-2099 with leap
// days, the flag bits each chip keeps beside the time, and what a register
// set that is not a time gives.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/rtc/rtc.h"
#include "unit/platform/rtc/date.h"

namespace {

const uint32_t kChips[] = {RTC_DS13XX, RTC_DS3232, RTC_ISL12022, RTC_RX8010, RTC_RX8900};

using rtctest::date;

TEST(RtcCodec, EveryChipKeepsEveryYearOfTheCentury) {
  for (uint32_t chip : kChips) {
    for (int y = 2000; y <= 2099; ++y) {
      bool leap = y % 4 == 0;  // 2000 is one, 2100 is out of range
      for (tm t : {date(y, 1, 1), date(y, 2, leap ? 29 : 28, 23, 59, 59), date(y, 12, 31, 12, 34, 56)}) {
        uint8_t regs[7];
        ASSERT_TRUE(RtcEncodeRegs(chip, t, regs)) << chip << " " << y;
        tm back{};
        ASSERT_EQ(RtcDecodeRegs(chip, regs, &back), nullptr) << chip << " " << y;
        EXPECT_EQ(back.tm_year, t.tm_year);
        EXPECT_EQ(back.tm_mon, t.tm_mon);
        EXPECT_EQ(back.tm_mday, t.tm_mday);
        EXPECT_EQ(back.tm_hour, t.tm_hour);
        EXPECT_EQ(back.tm_sec, t.tm_sec);
        // By counting days from Saturday 2000-01-01 (no time_t: the board
        // build's is 32 bits).
        static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int yday = t.tm_mday - 1;
        for (int m = 0; m < t.tm_mon; ++m) yday += kMonthDays[m] + (m == 1 && leap ? 1 : 0);
        int days = yday;
        for (int yy = 2000; yy < y; ++yy) days += yy % 4 == 0 ? 366 : 365;
        EXPECT_EQ(back.tm_wday, (6 + days) % 7) << chip << " " << y;
        EXPECT_EQ(back.tm_yday, yday) << "day of year counts the leap day, " << y;
      }
    }
  }
}

TEST(RtcCodec, ChipOrdersAndFlagBits) {
  uint8_t r[7];
  tm t = date(2024, 2, 29, 21, 5, 9);  // a Thursday
  ASSERT_TRUE(RtcEncodeRegs(RTC_DS13XX, t, r));
  EXPECT_EQ(std::vector<uint8_t>(r, r + 7), (std::vector<uint8_t>{0x09, 0x05, 0x21, 0x05, 0x29, 0x02, 0x24}));
  ASSERT_TRUE(RtcEncodeRegs(RTC_ISL12022, t, r));
  EXPECT_EQ(std::vector<uint8_t>(r, r + 7), (std::vector<uint8_t>{0x09, 0x05, 0xA1, 0x29, 0x02, 0x24, 0x05}))
      << "hours carry the 24-hour bit; day, month, year before the weekday";
  ASSERT_TRUE(RtcEncodeRegs(RTC_RX8900, t, r));
  EXPECT_EQ(r[3], 0x10) << "RX chips keep the weekday one-hot";
}

TEST(RtcCodec, RefusesWhatIsNotATime) {
  tm t{};
  const uint8_t bad_bcd[7] = {0x5A, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00};
  EXPECT_STREQ(RtcDecodeRegs(RTC_DS13XX, bad_bcd, &t), "invalid BCD");
  const uint8_t feb30[7] = {0x00, 0x00, 0x00, 0x01, 0x30, 0x02, 0x24};
  EXPECT_NE(RtcDecodeRegs(RTC_DS13XX, feb30, &t), nullptr);
  const uint8_t feb29_2023[7] = {0x00, 0x00, 0x00, 0x01, 0x29, 0x02, 0x23};
  EXPECT_NE(RtcDecodeRegs(RTC_DS13XX, feb29_2023, &t), nullptr);
  const uint8_t hour24[7] = {0x00, 0x00, 0x24, 0x01, 0x01, 0x01, 0x00};
  EXPECT_NE(RtcDecodeRegs(RTC_RX8010, hour24, &t), nullptr);
  const uint8_t month0[7] = {0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00};
  EXPECT_NE(RtcDecodeRegs(RTC_DS3232, month0, &t), nullptr);
  const uint8_t ds12h[7] = {0x00, 0x00, 0x52, 0x01, 0x01, 0x01, 0x00};
  EXPECT_STREQ(RtcDecodeRegs(RTC_DS13XX, ds12h, &t), "chip in 12-hour mode");
  const uint8_t rx_weekday[7] = {0x00, 0x00, 0x00, 0x40, 0x01, 0x01, 0x00};
  EXPECT_EQ(RtcDecodeRegs(RTC_RX8010, rx_weekday, &t), nullptr) << "the weekday register is not judged";
  // An ISL12022 left in 12-hour mode still reads right: 12 PM is noon.
  const uint8_t isl_pm[7] = {0x00, 0x00, 0x32, 0x01, 0x01, 0x00, 0x00};
  ASSERT_EQ(RtcDecodeRegs(RTC_ISL12022, isl_pm, &t), nullptr);
  EXPECT_EQ(t.tm_hour, 12);

  uint8_t r[7];
  EXPECT_FALSE(RtcEncodeRegs(RTC_DS13XX, date(1999, 12, 31), r));
  EXPECT_FALSE(RtcEncodeRegs(RTC_DS13XX, date(2100, 1, 1), r)) << "would wrap to 2000";
  EXPECT_FALSE(RtcEncodeRegs(RTC_DS13XX, date(2023, 2, 29), r));
}

}  // namespace
