// The time registers of the I2C clock chips: BCD, each chip's order and
// flag bits.

#include <cstring>

#include "platform/rtc/rtc.h"

namespace {

bool bcd_ok(uint8_t v) { return (v & 0x0F) <= 9 && (v >> 4) <= 9; }
int from_bcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }
uint8_t to_bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }
int days_in(int year, int mon) {
  static const int k[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return mon == 1 && leap(year) ? 29 : k[mon];
}

// Weekday of a date, 0 Sunday (Sakamoto).
int weekday(int year, int mon, int mday) {
  static const int t[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  int y = year - (mon < 2 ? 1 : 0);
  return (y + y / 4 - y / 100 + y / 400 + t[mon] + mday) % 7;
}

bool isl(uint32_t chip) { return chip == RTC_ISL12022; }
bool rx(uint32_t chip) { return chip == RTC_RX8010 || chip == RTC_RX8900; }

}  // namespace

int RtcDayOfYear(int year_since_1900, int mon, int mday) {
  static const int kCum[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  return kCum[mon] + mday - 1 + (mon > 1 && leap(year_since_1900 + 1900) ? 1 : 0);
}

const char* RtcDecodeRegs(uint32_t chip, const uint8_t regs[7], tm* out) {
  uint8_t sec = regs[0] & 0x7F, min = regs[1] & 0x7F, hour = regs[2];
  uint8_t mday = isl(chip) ? regs[3] : regs[4];
  uint8_t mon = (isl(chip) ? regs[4] : regs[5]) & 0x1F;  // DS keeps its century bit in bit 7
  uint8_t year = isl(chip) ? regs[5] : regs[6];
  mday &= 0x3F;
  if (!bcd_ok(sec) || !bcd_ok(min) || !bcd_ok(mday) || !bcd_ok(mon) || !bcd_ok(year)) return "invalid BCD";
  int h;
  if (isl(chip) && !(hour & 0x80)) {
    // Twelve-hour mode: bit 5 is PM, 12 is the first hour of its half.
    uint8_t v = hour & 0x1F;
    if (!bcd_ok(v) || from_bcd(v) < 1 || from_bcd(v) > 12) return "invalid hour";
    h = from_bcd(v) % 12 + ((hour & 0x20) ? 12 : 0);
  } else if (!isl(chip) && (hour & 0x40)) {
    return "chip in 12-hour mode";
  } else {
    uint8_t v = hour & 0x3F;
    if (!bcd_ok(v)) return "invalid BCD";
    h = from_bcd(v);
  }
  tm t{};
  t.tm_sec = from_bcd(sec);
  t.tm_min = from_bcd(min);
  t.tm_hour = h;
  t.tm_mday = from_bcd(mday);
  t.tm_mon = from_bcd(mon) - 1;
  t.tm_year = 100 + from_bcd(year);
  if (t.tm_sec > 59 || t.tm_min > 59 || t.tm_hour > 23) return "time field out of range";
  if (t.tm_mon < 0 || t.tm_mon > 11) return "month out of range";
  if (t.tm_mday < 1 || t.tm_mday > days_in(t.tm_year + 1900, t.tm_mon)) return "day out of range";
  t.tm_wday = weekday(t.tm_year + 1900, t.tm_mon, t.tm_mday);
  t.tm_yday = RtcDayOfYear(t.tm_year, t.tm_mon, t.tm_mday);
  t.tm_isdst = 0;
  *out = t;
  return nullptr;
}

bool RtcEncodeRegs(uint32_t chip, const tm& t, uint8_t regs[7]) {
  if (t.tm_year < 100 || t.tm_year > 199 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_sec < 0 || t.tm_sec > 59 ||
      t.tm_min < 0 || t.tm_min > 59 || t.tm_hour < 0 || t.tm_hour > 23 || t.tm_mday < 1 ||
      t.tm_mday > days_in(t.tm_year + 1900, t.tm_mon))
    return false;
  int wday = weekday(t.tm_year + 1900, t.tm_mon, t.tm_mday);
  uint8_t wreg = rx(chip) ? static_cast<uint8_t>(1u << wday) : static_cast<uint8_t>((wday + 1) & 7);
  uint8_t hour = to_bcd(t.tm_hour);
  if (isl(chip)) hour |= 0x80;  // 24-hour mode
  uint8_t mday = to_bcd(t.tm_mday), mon = to_bcd(t.tm_mon + 1), year = to_bcd(t.tm_year % 100);
  regs[0] = to_bcd(t.tm_sec);
  regs[1] = to_bcd(t.tm_min);
  regs[2] = hour;
  if (isl(chip)) {
    regs[3] = mday;
    regs[4] = mon;
    regs[5] = year;
    regs[6] = wreg;
  } else {
    regs[3] = wreg;
    regs[4] = mday;
    regs[5] = mon;
    regs[6] = year;
  }
  return true;
}
