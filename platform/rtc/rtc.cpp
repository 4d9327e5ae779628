// The RTC device: built once from the resource record, its operations by
// type and chip, and the kernel and SoC clocks.

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "osa/sys.h"
#include "platform/rtc/rtc_dev.h"
#include "platform/system/system.h"

namespace {

struct Rtc {
  osa::Mutex Lock{osa::Mutex::Kind::Recursive};
  RtcDev_t Dev;
  std::atomic<int> SyncSwitch{1};
};
Rtc& rtc() {
  static Rtc* r = new Rtc;
  return *r;
}

int stub_get(tm*, RtcDev_t*) { return OSA_SOK; }
int stub_set(const tm*, RtcDev_t*) { return OSA_SOK; }
int stub(RtcDev_t*) { return OSA_SOK; }

int hw_create(RtcDev_t*) {
  DVR_INFO("hwclock created.\n");
  return OSA_SOK;
}
int hw_close(RtcDev_t*) {
  DVR_INFO("hwclock closed.\n");
  return OSA_SOK;
}
int hw_destroy(RtcDev_t*) {
  DVR_INFO("hwclock destroyed.\n");
  return OSA_SOK;
}
int soc_destroy(RtcDev_t* d) {
  if (!d->SocFd) DVR_INFO("RTC reclosed.\n");
  d->SocFd.reset();
  return OSA_SOK;
}

// The kernel driver's time record.
struct KernelRtcTime {
  int tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year, tm_wday, tm_yday, tm_isdst;
};
static_assert(sizeof(KernelRtcTime) == 36);

int sys_get(tm* t) { return RtcGetTime(t); }
int sys_set(const tm* t) { return RtcSetTime(t); }
const SystemRtcOps kSystemOps = {sys_set, sys_get};

}  // namespace

// ------------------------------------------------------------ kernel RTC

int RtcHwClockGetTime(tm* t, RtcDev_t* d) {
  if (!d || !t) {
    OSA_CHECK_FAIL(d ? "pTime" : "Thiz");
    return OSA_EFAIL;
  }
  osa::UniqueFd fd;
  for (const char* p : {"/dev/rtc", "/dev/rtc0", "/dev/misc/rtc"}) {
    fd.reset(osa::sys::open(p, O_RDONLY));
    if (fd) break;
  }
  if (!fd) {
    DVR_ERROR("open RtcHwClock failed.\n");
    return OSA_EFAIL;
  }
  KernelRtcTime k{};
  if (osa::sys::ioctl(fd.get(), RTC_RD_TIME_, &k) != 0) {
    DVR_ERROR("ioctl RTC_RD_TIME failed.\n");
    return OSA_EFAIL;
  }
  tm r{};
  r.tm_sec = k.tm_sec;
  r.tm_min = k.tm_min;
  r.tm_hour = k.tm_hour;
  r.tm_mday = k.tm_mday;
  r.tm_mon = k.tm_mon;
  r.tm_year = k.tm_year;
  r.tm_wday = k.tm_wday;
  r.tm_yday = k.tm_yday;
  *t = r;
  return OSA_SOK;
}

int RtcHwClockSetTime(const tm* t, RtcDev_t* d) {
  if (!d || !t) {
    OSA_CHECK_FAIL(d ? "pTime" : "Thiz");
    return OSA_EFAIL;
  }
  time_t secs;
  if (!RtcToSeconds(*t, &secs) || SystemGetClock().Set(secs) != 0) {
    DVR_ERROR("setting system failed.\n");
    return OSA_EFAIL;
  }
  if (run_cmd("hwclock -w --utc") != 0) {
    DVR_ERROR("run_cmd failed, rtc-time not set.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// --------------------------------------------------------------- SoC RTC

int RtcSocOpen(RtcDev_t* d) {
  if (d->SocFd) {
    DVR_WARN("RTC reopened.\n");
    return OSA_SOK;
  }
  d->SocFd.reset(osa::sys::open(VS_RTC_NODE, O_RDWR));
  if (!d->SocFd) {
    DVR_ERROR("open defice failed.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int RtcSocGetTime(tm* t, RtcDev_t* d) {
  if (!d || !t) {
    OSA_CHECK_FAIL(d ? "pTime" : "Thiz");
    return OSA_EFAIL;
  }
  if (!d->SocFd) {
    DVR_ERROR("didn't open device first.\n");
    return OSA_EFAIL;
  }
  int32_t w[7] = {};
  if (osa::sys::ioctl(d->SocFd.get(), VS_RTC_GET, w) != 0) {
    DVR_ERROR("soc rtc read failed.\n");
    return OSA_EFAIL;
  }
  tm r{};
  r.tm_sec = w[0];
  r.tm_min = w[1];
  r.tm_hour = w[2];
  r.tm_mday = w[3];
  r.tm_mon = w[4] - 1;
  r.tm_year = w[5] - 1900;
  r.tm_wday = w[6];
  *t = r;
  return OSA_SOK;
}

int RtcSocSetTime(const tm* t, RtcDev_t* d) {
  if (!d || !t) {
    OSA_CHECK_FAIL(d ? "pTime" : "Thiz");
    return OSA_EFAIL;
  }
  if (!d->SocFd) {
    DVR_ERROR("didn't open device first.\n");
    return OSA_EFAIL;
  }
  int32_t w[7] = {t->tm_sec, t->tm_min, t->tm_hour, t->tm_mday, t->tm_mon + 1, t->tm_year + 1900, t->tm_wday};
  if (osa::sys::ioctl(d->SocFd.get(), VS_RTC_SET, w) != 0) {
    DVR_ERROR("soc rtc set failed.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ---------------------------------------------------------------- device

bool RtcToSeconds(const tm& t, time_t* out) {
  tm c = t;
  long long s = static_cast<long long>(timegm(&c));
  if (s == -1 || (sizeof(time_t) < 8 && (s > INT_MAX || s < INT_MIN))) {
    DVR_ERROR("time %d-%d-%d does not fit this system's clock\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return false;
  }
  *out = static_cast<time_t>(s);
  return true;
}

void RtcSleepMs(uint32_t ms) { SystemGetClock().SleepMs(ms); }

void RtcSetSyncSwitch(int value) { rtc().SyncSwitch = value; }
int RtcGetSyncSwitch() { return rtc().SyncSwitch.load(); }

RtcDev_t* RtcGet() {
  Rtc& r = rtc();
  osa::LockGuard g(r.Lock);
  return r.Dev.Inited ? &r.Dev : nullptr;
}

int RtcGetTime(tm* t) {
  Rtc& r = rtc();
  osa::LockGuard g(r.Lock);
  if (!r.Dev.Inited || !r.Dev.GetTime) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  return r.Dev.GetTime(t, &r.Dev);
}

int RtcSetTime(const tm* t) {
  Rtc& r = rtc();
  osa::LockGuard g(r.Lock);
  if (!r.Dev.Inited || !r.Dev.SetTime) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  return r.Dev.SetTime(t, &r.Dev);
}

int RtcDevInit() { return RtcDevInitFrom(nullptr, nullptr); }

int RtcDevInitFrom(const RtcRes_t* res, I2cDev_t* chip) {
  Rtc& r = rtc();
  osa::LockGuard g(r.Lock);
  RtcDev_t& d = r.Dev;
  if (d.Inited) return OSA_SOK;
  if (res) {
    d.Res = *res;
  } else if (RtcGetRes(&d.Res) != OSA_SOK) {
    DVR_ERROR("get rtc res failed\n");
    return OSA_EFAIL;
  }
  d.pI2c = chip;
  d.Create = stub;
  d.Open = stub;
  d.Close = stub;
  d.Destroy = stub;
  d.GetTime = stub_get;
  d.SetTime = stub_set;
  switch (d.Res.Type) {
    case RTC_TYPE_I2C: {
      static const char* const kNames[] = {"RTC_DS13XX", "RTC_DS3232", "RTC_ISL12022", "RTC_RX8010", "RTC_RX8900"};
      if (d.Res.Chip < RTC_DS13XX || d.Res.Chip > RTC_RX8900) {
        DVR_ERROR("unknown rtc chip %u\n", d.Res.Chip);
        return OSA_EFAIL;
      }
      DVR_INFO("%s rtc initing...\n", kNames[d.Res.Chip - RTC_DS13XX]);
      d.GetTime = RtcI2cGetTime;
      d.SetTime = RtcI2cSetTime;
      d.Create = RtcI2cCreate;
      d.Open = RtcI2cOpen;
      break;
    }
    case RTC_TYPE_KERNEL:
      DVR_INFO("kernel stand rtc initing(using hwclock)...\n");
      d.GetTime = RtcHwClockGetTime;
      d.SetTime = RtcHwClockSetTime;
      d.Create = hw_create;
      d.Close = hw_close;
      d.Destroy = hw_destroy;
      break;
    case RTC_TYPE_SOC:
      DVR_INFO("SOC RTC initing...\n");
      d.GetTime = RtcSocGetTime;
      d.SetTime = RtcSocSetTime;
      d.Create = RtcSocOpen;
      d.Destroy = soc_destroy;
      break;
    case RTC_TYPE_NONE:
      DVR_INFO("Rtc type unknow...\n");
      d.Res.Policy = RTC_NO_ADJUST;
      break;
    default:
      DVR_ERROR("Rtc type too large..\n");
      return OSA_EFAIL;
  }
  d.ThreadFn = nullptr;
  switch (d.Res.Policy) {
    case RTC_SYS_ADJUSTS_RTC:
      DVR_INFO("rtc adjust policy(system adjust RTC)\n");
      d.ThreadFn = RtcCommSystemToRtcAdjustThread;
      break;
    case RTC_ADJUSTS_SYS:
      DVR_INFO("rtc adjust policy(RTC adjust system)\n");
      d.ThreadFn = RtcCommRtcToSystemAdjustThread;
      break;
    case RTC_NO_ADJUST: DVR_INFO("rtc adjust policy(no need adjust)\n"); break;
    default: DVR_INFO("unknow RTC adjustment policy, force set RtcNoThread.\n"); break;
  }
  if (d.Create(&d) != OSA_SOK) return OSA_EFAIL;
  d.Inited = true;
  SystemSetRtcOps(&kSystemOps);
  if (d.ThreadFn) {
    d.StopThread = false;
    d.Thread = std::thread(d.ThreadFn, &d);
  }
  DVR_INFO("Rtc dev init success\n");
  return OSA_SOK;
}

void RtcDevReset() {
  Rtc& r = rtc();
  RtcDev_t& d = r.Dev;
  d.StopThread = true;
  if (d.Thread.joinable()) d.Thread.join();
  osa::LockGuard g(r.Lock);
  if (d.Inited && d.Destroy) d.Destroy(&d);
  d.SocFd.reset();
  d.pI2c = nullptr;
  d.Inited = false;
  SystemSetRtcOps(nullptr);
  r.SyncSwitch = 1;
}
