// Platform start and the system device: time and time zone, CPU and memory
// statistics, buzzer, reboot and shutdown, application exit codes, serial
// numbers and product information.  The System* functions call through the
// device's operation table, settled once from the System record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/time.h>
#include <string>
#include <string_view>

#include "platform/res/res.h"

// Year (four digits), month 1..12, day, weekday (0 Sunday), hour, minute,
// second, daylight flag.
struct SystemTime_t {
  int32_t year, month, day, wday, hour, minute, second, isdst;
};
static_assert(sizeof(SystemTime_t) == 32);

// The application's exit codes towards the supervisor.
inline constexpr int APP_EXIT_RESTART = 6;
inline constexpr int APP_EXIT_EXIT = 5;
inline constexpr int APP_EXIT_SHUTDOWN = 7;

inline constexpr const char* TZ_FILE = "/mnt/mtd/Config/Timezone";
inline constexpr const char* ZONEINFO_FILE = "/mnt/mtd/Config/localtime";

// ------------------------------------------------------ platform start

void InitDvrSystem(int argc = 0, char** argv = nullptr);
int SystemDevInit();
int SystemRegExitFunc(void (*fn)());
// The kept System record (nullptr before SystemDevInit succeeded).
const SystemRes_t* SystemGetRecord();

// Families built later plug their devices into the system device: the
// real-time clock (broken-down UTC time) and the watchdog set.
struct SystemRtcOps {
  int (*SetTime)(const struct tm* utc);
  int (*GetTime)(struct tm* utc);
};
void SystemSetRtcOps(const SystemRtcOps* ops);  // nullptr: no clock chip
struct SystemWdgOps {
  int (*Init)();
  int (*Reboot)();
  int (*Shutdown)();
  int (*Stop)();
};
void SystemSetWatchdogOps(const SystemWdgOps* ops);

// The system clock as the platform reads, sets and waits on it; tests put
// their own in its place so nothing sets the host's clock.
struct SystemClock {
  int (*Now)(struct timeval* tv);
  int (*Set)(time_t secs);
  void (*SleepMs)(uint32_t ms);
};
void SystemSetClock(const SystemClock* clock);  // nullptr: the real clock
const SystemClock& SystemGetClock();

// Forgets the system device so the next SystemDevInit builds it afresh
// (tests that switch boards).
void SystemDevReset();

// --------------------------------------------------------- public API

int SystemGetCurrentTime(SystemTime_t* t);
int SystemSetCurrentTime(const SystemTime_t* t);
int SysRtcReadTime(SystemTime_t* t);
uint32_t SystemGetMSCount();
uint32_t SystemGetUSCount();
int SystemSleep(uint32_t ms);
int SystemBeep(uint32_t frequency, uint32_t duration_ms);
int StopSystemBeep();
int SystemReboot();
int SystemShutdown();
int SystemDoSync();
int SystemGetModuleCaps(int index);
int SystemGetGpsModuleType();
int SystemGetSerialNumber(char* buf, int len);
int SystemSetSerialNumber(const char* serial);
int SystemGetBoardSerialNumber(char* buf, int len);
int SystemSetBoardSerialNumber(const char* serial);
int SystemGetBootParameter(const char* name, char* buf, int len);
int SystemSetBootParameter(const char* name, const char* value);
int GetResolutionResetFlag();
int SystemSetTimezone(int offset);   // seconds east of UTC
int SystemGetTimezone(int* offset);
int GetProductName(char* buf, int size);
int GetSubProductName(char* buf, int size);
int ApplicationRestart();
int ApplicationExit();
int DeviceGetID(char* buf, int size);
int SystemGetCPUUsage();
int SystemGetCPUUsageRt();
int SystemGetCPUCoreNum();
int SystemGetCPUUsageEx(int core);
int SystemGetCpuVersion(char* buf, int size);
int SystemGetMemInfo(uint32_t out[3]);
int SystemCollectInfo(const char* directory, int flag);
int SystemGetCapsEx(uint8_t out[44]);
int SysGetHWVersion();
int SystemGetHwidProductType(int* out);
int GetBiosVersion(char* buf);  // 95 bytes: version, then release date at 64
int SystemPrintProductInfo();
// Rewrites the zoneinfo file's rule for w seconds west (default file when
// missing or without a rule: -1 in the latter case).
int SystemSetTimezoneConfig(int west);
// Replaces a board file through a temporary file and rename, so a failed
// write never leaves it truncated.
bool SystemWriteFileAtomic(const char* path, const void* data, std::size_t len);

// ------------------------------------------ pure pieces (shared with tests)

// "GMT+hh:mm" / "GMT-hh:mm" for an offset in seconds east; false outside
// -43200..46800.
bool TzText(int offset, char* out, std::size_t size);
// Offset in seconds east from a TZ text; false when it does not parse or is
// out of range.
bool TzParse(const char* text, int* offset);
// The zoneinfo rule line for w seconds west ("CST-8:0\n").
std::string TzRule(int west);
// The zoneinfo file with its rule replaced; false (and the default file in
// *out) when it holds no "CST+"/"CST-".
bool TzReplaceRule(std::string_view file, int west, std::string* out);
// The 407-byte default zoneinfo file (Asia/Shanghai rules, footer CST+0:0).
std::string_view TzDefaultFile();

struct CpuSample {
  unsigned long long user, nice, system, idle, iowait, irq, softirq;
};
// Counters of the line for `core` ("cpuN"), or of the first per-core line
// when core < 0.  False when absent or malformed.
bool CpuParseStat(std::string_view stat, int core, CpuSample* out);
int CpuCountCores(std::string_view stat);  // -1 with fewer than two "cpu" lines
// The model word of /proc/cpuinfo after the known vendor prefixes.
bool CpuParseModel(std::string_view cpuinfo, char* out, std::size_t size);
// The category word of a product type code ("NVR" for 6).
const char* DeviceCategory(int type);
