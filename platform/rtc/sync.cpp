// Keeping system time and RTC time in step: the start-up setting of the
// system clock and the minute loop of the two policies.  All clock access
// goes through the system clock hook.

#include <sys/time.h>

#include "platform/rtc/rtc_dev.h"
#include "platform/system/system.h"

namespace {

constexpr int kTolerance = 2;       // seconds either way that count as agreement
constexpr int kEdgeRereads = 3;     // readings at second 0 or 59 repeated at most this often
constexpr uint32_t kDumpEverySec = 300;

// Reads the RTC, repeating a reading taken at second 0 or 59 (the minute
// may be rolling over between the registers) a second later, a bounded
// number of times.
int read_rtc(tm* t) {
  if (RtcGetTime(t) != OSA_SOK) return OSA_EFAIL;
  for (int i = 0; i < kEdgeRereads && (t->tm_sec == 0 || t->tm_sec == 59); ++i) {
    RtcSleepMs(1000);
    if (RtcGetTime(t) != OSA_SOK) return OSA_EFAIL;
  }
  return OSA_SOK;
}

bool system_now(time_t* out) {
  timeval tv{};
  if (SystemGetClock().Now(&tv) != 0) return false;
  *out = tv.tv_sec;
  return true;
}

// Writes the RTC from system time.
int rtc_from_system(time_t sys) {
  tm b{};
  if (!gmtime_r(&sys, &b)) {
    DVR_ERROR("Translate Time failed.\n");
    return OSA_EFAIL;
  }
  if (RtcSetTime(&b) != OSA_SOK) {
    DVR_ERROR("Set Rtc Time failed.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// Seconds of the last register dump of the RX chips, per process.
time_t& last_dump() {
  static time_t t = 0;
  return t;
}

void loop(RtcDev_t* d, uint32_t policy) {
  while (!d->StopThread) {
    for (int i = 0; i < 60 && !d->StopThread; ++i) RtcSleepMs(1000);
    if (d->StopThread) break;
    if (RtcGetSyncSwitch() == 0) continue;
    RtcSyncPass(policy);
  }
}

}  // namespace

int RtcSyncPass(uint32_t policy) {
  tm r{};
  if (read_rtc(&r) != OSA_SOK) {
    DVR_ERROR("%s", policy == RTC_SYS_ADJUSTS_RTC ? "Rtc get time failed, retry next time.\n" : "Rtc get time failed.\n");
    return OSA_EFAIL;
  }
  time_t sys, rtc;
  if (!system_now(&sys) || !RtcToSeconds(r, &rtc)) return OSA_EFAIL;
  long long diff = static_cast<long long>(sys) - static_cast<long long>(rtc);
  bool agree = diff >= -kTolerance && diff <= kTolerance;
  if (policy == RTC_SYS_ADJUSTS_RTC) {
    if (!agree) {
      DVR_INFO("tolerance too large, adjusting system-time to RTC-time.\n");
      if (rtc_from_system(sys) != OSA_SOK) return OSA_EFAIL;
    }
    DVR_INFO("rtc sync system-time to rtc-time done.\n");
    return OSA_SOK;
  }
  if (agree) {
    if (SystemGetClock().Set(rtc) != 0) {
      DVR_ERROR("setting system time failed.\n");
      return OSA_EFAIL;
    }
  } else {
    DVR_INFO("RtcCommRtcToSystemAdjustThread: tolerance too large, adjusting system-time to RTC-time.\n");
    if (rtc_from_system(sys) != OSA_SOK) return OSA_EFAIL;
  }
  RtcDev_t* d = RtcGet();
  if (d && d->Res.Type == RTC_TYPE_I2C && (d->Res.Chip == RTC_RX8010 || d->Res.Chip == RTC_RX8900) &&
      sys - last_dump() > static_cast<time_t>(kDumpEverySec)) {
    RtcI2cRxPrintReg(d);
    last_dump() = sys;
  }
  DVR_INFO("rtc sync rtc-time to system-time done.\n");
  return OSA_SOK;
}

int RtcStartupSync(const std::atomic<bool>* stop) {
  int offset = 0;
  if (SystemGetTimezone(&offset) == OSA_SOK) SystemSetTimezone(offset);
  DVR_INFO("init: Setting system time from RTC time.\n");
  if (RtcGetSyncSwitch() != 1) return OSA_SOK;
  // Never skipped, but a clock that does not answer is asked less and
  // less often instead of five times a second forever.
  uint32_t pause = 200;
  tm r{};
  while (RtcGetTime(&r) != OSA_SOK) {
    DVR_ERROR("init Rtc get time failed.\n");
    if (stop && *stop) return OSA_EFAIL;
    RtcSleepMs(pause);
    if (pause < 60000) pause *= 2;
  }
  time_t secs;
  if (!RtcToSeconds(r, &secs)) return OSA_EFAIL;
  return SystemGetClock().Set(secs) == 0 ? OSA_SOK : OSA_EFAIL;
}

void RtcCommSystemToRtcAdjustThread(RtcDev_t* d) {
  while (RtcStartupSync(&d->StopThread) != OSA_SOK && !d->StopThread) RtcSleepMs(1000);
  loop(d, RTC_SYS_ADJUSTS_RTC);
}

void RtcCommRtcToSystemAdjustThread(RtcDev_t* d) {
  while (RtcStartupSync(&d->StopThread) != OSA_SOK && !d->StopThread) RtcSleepMs(1000);
  loop(d, RTC_ADJUSTS_SYS);
}
