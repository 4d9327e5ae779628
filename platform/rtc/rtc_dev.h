// Internal: the RTC device record and the chip drivers behind it.
#pragma once

#include <atomic>
#include <thread>

#include "osa/osa.h"
#include "platform/rtc/rtc.h"

struct I2cDev_t;

struct RtcDev_t {
  RtcRes_t Res{};
  I2cDev_t* pI2c = nullptr;
  osa::UniqueFd SocFd;
  std::thread Thread;
  std::atomic<bool> StopThread{false};
  bool Inited = false;
  int (*SetTime)(const struct tm* t, RtcDev_t* Thiz) = nullptr;
  int (*GetTime)(struct tm* t, RtcDev_t* Thiz) = nullptr;
  int (*Create)(RtcDev_t* Thiz) = nullptr;
  int (*Open)(RtcDev_t* Thiz) = nullptr;
  int (*Close)(RtcDev_t* Thiz) = nullptr;
  int (*Destroy)(RtcDev_t* Thiz) = nullptr;
  void (*ThreadFn)(RtcDev_t* Thiz) = nullptr;
};

int RtcI2cGetTime(struct tm* t, RtcDev_t* d);
int RtcI2cSetTime(const struct tm* t, RtcDev_t* d);
int RtcI2cCreate(RtcDev_t* d);
int RtcI2cOpen(RtcDev_t* d);
int RtcI2cRxPrintReg(RtcDev_t* d);
int RtcHwClockGetTime(struct tm* t, RtcDev_t* d);
int RtcHwClockSetTime(const struct tm* t, RtcDev_t* d);
int RtcSocGetTime(struct tm* t, RtcDev_t* d);
int RtcSocSetTime(const struct tm* t, RtcDev_t* d);
int RtcSocOpen(RtcDev_t* d);
void RtcCommSystemToRtcAdjustThread(RtcDev_t* d);
void RtcCommRtcToSystemAdjustThread(RtcDev_t* d);

// Waits on the system clock hook (tests replace it).
void RtcSleepMs(uint32_t ms);
// Seconds since the epoch of a UTC broken-down time; false when this
// build's time_t cannot hold it.
bool RtcToSeconds(const struct tm& t, time_t* out);
