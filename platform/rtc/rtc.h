// The real-time clock: the chip the resource table names behind GetTime
// and SetTime on broken-down UTC time, the start-up setting of the system
// clock and the thread that keeps system time and RTC time in step.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/res/res.h"

enum RtcType : uint32_t { RTC_TYPE_NONE = 0, RTC_TYPE_I2C = 1, RTC_TYPE_KERNEL = 2, RTC_TYPE_SOC = 3 };
enum RtcPolicy : uint32_t { RTC_SYS_ADJUSTS_RTC = 0, RTC_ADJUSTS_SYS = 1, RTC_NO_ADJUST = 2 };
enum RtcChip : uint32_t { RTC_DS13XX = 2, RTC_DS3232 = 3, RTC_ISL12022 = 4, RTC_RX8010 = 5, RTC_RX8900 = 6 };

// The RTC record (RtcGetRes).
struct RtcRes_t {
  uint32_t Type;       // RtcType
  uint32_t Policy;     // RtcPolicy
  uint32_t Chip;       // RtcChip, I2C chips only
  uint32_t I2cBus;
  uint32_t I2cAddr;
  uint32_t I2cProtocol;
  uint32_t RegOffset;  // register of the seconds
  uint8_t Reserved[56];
};
static_assert(sizeof(RtcRes_t) == RES_SIZE_RTC);
static_assert(offsetof(RtcRes_t, Policy) == 4 && offsetof(RtcRes_t, Chip) == 8 && offsetof(RtcRes_t, I2cBus) == 12);
static_assert(offsetof(RtcRes_t, I2cAddr) == 16 && offsetof(RtcRes_t, I2cProtocol) == 20);
static_assert(offsetof(RtcRes_t, RegOffset) == 24);

// The kernel RTC driver's read request (struct rtc_time, nine ints).
inline constexpr unsigned long RTC_RD_TIME_ = 0x80247009;
inline constexpr unsigned long RTC_SET_TIME_ = 0x4024700A;
// The board's SoC RTC: seven words seconds, minutes, hours, day of month,
// month 1-12, year (four digits), weekday.
inline constexpr const char* VS_RTC_NODE = "/dev/vs_rtc";
inline constexpr unsigned long VS_RTC_GET = 0x80045202;
inline constexpr unsigned long VS_RTC_SET = 0x80045203;

struct RtcDev_t;

// Builds the device once per process (platform start); 0 or -1.
int RtcDevInit();
// The same from a given record and, for I2C chips, a given chip device
// instead of a probe (tests with registers in memory).
struct I2cDev_t;
int RtcDevInitFrom(const RtcRes_t* res, I2cDev_t* chip);
// The device (nullptr before RtcDevInit succeeded).
RtcDev_t* RtcGet();
int RtcGetTime(struct tm* utc);
int RtcSetTime(const struct tm* utc);
// Stops the synchronisation thread and forgets the device (tests).
void RtcDevReset();

// The process-wide synchronisation switch (1 at start): not 1 skips the
// start-up setting of system time, 0 idles the periodic loop.
void RtcSetSyncSwitch(int value);
int RtcGetSyncSwitch();

// One pass of the synchronisation loop under a policy, on the system
// clock hook; the thread runs it every minute.  0 when the clocks agree or
// were brought into step, -1 otherwise.
int RtcSyncPass(uint32_t policy);
// The start-up step: stored time zone, then system time from the RTC
// (retrying with a growing pause, never skipped).  `stop` ends the retries.
int RtcStartupSync(const std::atomic<bool>* stop = nullptr);

// ------------------------------------------------ pure pieces (tests, fuzz)

// The seven time registers of a chip, in its own order, as BCD.  Decode
// rejects invalid BCD and fields out of range (the weekday is not
// checked: it is computed from the date) and years outside 2000-2099 are
// not representable.  nullptr when sound, else what is wrong.
const char* RtcDecodeRegs(uint32_t chip, const uint8_t regs[7], struct tm* out);
// False for a time outside 2000-2099 or with fields out of range.
bool RtcEncodeRegs(uint32_t chip, const struct tm& t, uint8_t regs[7]);
// Day of year for a date (month 0-11), with leap years.
int RtcDayOfYear(int year_since_1900, int mon, int mday);
