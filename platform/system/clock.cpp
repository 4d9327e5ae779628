// The system clock and the real-time clock behind it.

#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

#include <ctime>

#include "osa/sys.h"
#include "platform/system/sysdev.h"

using sysdev::Dev;

int SystemGetCurrentTime(SystemTime_t* t) {
  if (!t) {
    DVR_ERROR("Invaid param!\n");
    return OSA_EFAIL;
  }
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    DVR_ERROR("get system time fail!\n");
    return OSA_EFAIL;
  }
  tm lt;
  time_t secs = tv.tv_sec;
  if (!localtime_r(&secs, &lt)) {
    DVR_ERROR("localtime_r failed\n");
    return OSA_EFAIL;
  }
  *t = {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_wday, lt.tm_hour, lt.tm_min, lt.tm_sec, lt.tm_isdst};
  return OSA_SOK;
}

int SysRtcReadTime(SystemTime_t* t) {
  if (!t) {
    DVR_ERROR("Invaid param!\n");
    return OSA_EFAIL;
  }
  tm r{};
  const SystemRtcOps* rtc = Dev().Rtc;
  if (!rtc || !rtc->GetTime || rtc->GetTime(&r) != OSA_SOK) {
    DVR_ERROR("get rtc time failed.\n");
    return OSA_EFAIL;
  }
  t->year = r.tm_year + 1900;
  t->month = r.tm_mon + 1;
  t->day = r.tm_mday;
  t->wday = r.tm_wday;
  t->hour = r.tm_hour;
  t->minute = r.tm_min;
  t->second = r.tm_sec;
  return OSA_SOK;
}

int SystemSetCurrentTime(const SystemTime_t* t) {
  if (!t) {
    DVR_ERROR("Invaid param!\n");
    return OSA_EFAIL;
  }
  static const int kCumDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (t->month < 1 || t->month > 12) {
    DVR_ERROR("Invaid param!\n");
    return OSA_EFAIL;
  }
  tm local{};
  local.tm_year = t->year - 1900;
  local.tm_mon = t->month - 1;
  local.tm_mday = t->day;
  local.tm_hour = t->hour;
  local.tm_min = t->minute;
  local.tm_sec = t->second;
  local.tm_yday = kCumDays[local.tm_mon] + t->day - 1;
  local.tm_isdst = t->isdst;
  time_t secs = mktime(&local);
  tm utc{};
  if (secs == static_cast<time_t>(-1) || !gmtime_r(&secs, &utc)) {
    DVR_ERROR("Invaid param!\n");
    return OSA_EFAIL;
  }
  const SystemRtcOps* rtc = Dev().Rtc;
  if (!rtc || !rtc->SetTime || !rtc->GetTime) {
    DVR_ERROR("rtc device not present, time not set\n");
    return OSA_EFAIL;
  }
  bool ok = false;
  for (int attempt = 0; attempt < 6 && !ok; ++attempt) {
    tm back{};
    if (rtc->SetTime(&utc) != OSA_SOK || rtc->GetTime(&back) != OSA_SOK) {
      DVR_ERROR("set rtc time failed.\n");
      return OSA_EFAIL;
    }
    ok = back.tm_sec - utc.tm_sec >= 0 && back.tm_sec - utc.tm_sec < 2 && back.tm_min == utc.tm_min &&
         back.tm_hour == utc.tm_hour && back.tm_mon == utc.tm_mon && back.tm_year == utc.tm_year;
    if (!ok) {
      DVR_ERROR("%d-%d-%d, weekday:%d time:%d:%d:%d \n", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_wday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
      DVR_ERROR("%d-%d-%d, weekday:%d time:%d:%d:%d \n", back.tm_year + 1900, back.tm_mon + 1, back.tm_mday,
                back.tm_wday, back.tm_hour, back.tm_min, back.tm_sec);
    }
  }
  if (!ok) return OSA_EFAIL;
  return SystemGetClock().Set(secs) == 0 ? OSA_SOK : OSA_EFAIL;
}

uint32_t SystemGetMSCount() {
  tms t;
  clock_t c = times(&t);
  if (c == static_cast<clock_t>(-1)) {
    DVR_ERROR("times failed\n");
    return 0;
  }
  return static_cast<uint32_t>(c * 10);
}

uint32_t SystemGetUSCount() {
  timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    DVR_ERROR("gettimeofday failed\n");
    return 0;
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec));
}

int SystemSleep(uint32_t ms) { return usleep(static_cast<useconds_t>(ms) * 1000) == 0 ? OSA_SOK : OSA_EFAIL; }
