// The system device and the System* services.

#include "platform/system/system.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <linux/reboot.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cinttypes>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"
#include "platform/gpio/gpio.h"
#include "platform/uart/uart.h"

namespace {

constexpr int kMaxExitFuncs = 10;
constexpr int kSnLen = 128;

struct SysOps {
  int (*Beep)(uint32_t freq, uint32_t ms);
  int (*StopBeep)();
  int (*Reboot)();
  int (*Shutdown)();
};

struct SysDev {
  std::atomic<int> Inited{0};
  SystemRes_t Res{};
  std::atomic<int> BeepState{0};
  int SnValid = 0;
  char Sn[kSnLen] = {};
  int BoardSnValid = 0;
  char BoardSn[kSnLen] = {};
  uint8_t ExitCount = 0;
  void (*ExitFuncs[kMaxExitFuncs])() = {};
  osa::Mutex ExitLock, BeepLock, InitLock, CpuLock;
  GpioDev_t* BeepGpio = nullptr;
  UartDev_t* BeepUart = nullptr;
  SysOps Ops{};
  CpuSample RtSample{};
  int RtUsage = 0;
};

SysDev& dev() {
  static SysDev* d = new SysDev;  // used by exit functions and threads until the very end
  return *d;
}

const SystemRtcOps* g_rtc = nullptr;
const SystemWdgOps* g_wdg = nullptr;

// Characters allowed in text handed to a shell.
bool shell_safe(const char* s, std::size_t max) {
  if (!s || !*s) return false;
  std::size_t n = 0;
  for (; s[n]; ++n) {
    unsigned char c = static_cast<unsigned char>(s[n]);
    if (n >= max || !(std::isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == ':')) return false;
  }
  return true;
}

// Runs `cmd` with its output in a scratch file and returns that output.
bool run_capture(const char* cmd, std::string* out) {
  char rel[64];
  std::snprintf(rel, sizeof rel, "/var/tmp/.dvr_cmd.%d", static_cast<int>(getpid()));
  std::string file = osa::sys::path(rel);
  if (!shell_safe(file.c_str(), 512)) {
    DVR_ERROR("scratch path %s is not fit for a shell\n", file.c_str());
    return false;
  }
  std::string line = std::string(cmd) + " > " + file + " 2>/dev/null";
  int st = run_cmd(line.c_str());
  FILE* f = ::fopen(file.c_str(), "r");
  out->clear();
  if (f) {
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    fclose(f);
  }
  ::unlink(file.c_str());
  return st == 0;
}

std::string first_line(const std::string& s, std::size_t max) {
  std::string l = s.substr(0, s.find('\n'));
  return l.substr(0, max);
}

// ---------------------------------------------------------------- buzzer

int beep_default(uint32_t, uint32_t) {
  DVR_WARN("system beeping...\n");
  return OSA_SOK;
}
int stop_default() {
  DVR_WARN("system stop beep...\n");
  return OSA_SOK;
}

int gpio_level(uint32_t level) {
  SysDev& d = dev();
  return d.BeepGpio ? d.BeepGpio->Write(&level, d.BeepGpio) : OSA_EFAIL;
}

int beep_gpio(uint32_t, uint32_t ms) {
  SysDev& d = dev();
  d.BeepState = 1;
  if (gpio_level(1) != OSA_SOK) return OSA_EFAIL;
  for (uint32_t i = 0; i < ms / 100 && d.BeepState; ++i) usleep(100 * 1000);
  d.BeepState = 0;
  return gpio_level(0);
}
int stop_gpio() {
  dev().BeepState = 0;
  return gpio_level(0);
}

int tty_tone(unsigned long value) {
  const char* path = dev().Res.BeepTty.DevPath;
  osa::UniqueFd fd(osa::sys::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    DVR_ERROR("open BEEP dev[%s] Failed\n", path);
    return OSA_EFAIL;
  }
  if (osa::sys::ioctl(fd.get(), KDMKTONE, reinterpret_cast<void*>(value)) != 0) {
    DVR_ERROR("BEEP: ioctl KDMKTONE Failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int beep_tty(uint32_t freq, uint32_t ms) {
  SysDev& d = dev();
  if (freq == 0 || ms >= 65536) {
    DVR_ERROR("param error(%p %u %u)\n", static_cast<void*>(&d), freq, ms);
    return OSA_EFAIL;
  }
  unsigned long value = (d.Res.BeepTty.ToneClock / freq) + (static_cast<unsigned long>(ms) << 16);
  if (tty_tone(value) != OSA_SOK) {
    DVR_ERROR("Beep Failed.(value:%lu dev:%s)\n", value, d.Res.BeepTty.DevPath);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int stop_tty() { return tty_tone(0); }

int uart_send(const uint8_t* bytes, uint32_t n) {
  UartDev_t* u = dev().BeepUart;
  return u->Write(bytes, n, u);
}
int beep_uart(uint32_t, uint32_t ms) {
  SysDev& d = dev();
  if (!d.Res.BeepStartCnt || !d.Res.BeepStopCnt) {
    DVR_ERROR("uart protocol is not configed.\n");
    return OSA_EFAIL;
  }
  if (!d.BeepUart || !d.BeepUart->Write) {
    DVR_ERROR("SysUartMcuBeep function is not regist\n");
    return OSA_EFAIL;
  }
  if (uart_send(d.Res.BeepStart, d.Res.BeepStartCnt) != OSA_SOK) {
    DVR_ERROR("beep start failed\n");
    return OSA_EFAIL;
  }
  for (uint32_t i = 0; i < ms; ++i) usleep(1000);
  if (uart_send(d.Res.BeepStop, d.Res.BeepStopCnt) != OSA_SOK) {
    DVR_ERROR("beep stop failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int stop_uart() {
  SysDev& d = dev();
  if (!d.BeepUart || !d.BeepUart->Write || !d.Res.BeepStopCnt) return OSA_EFAIL;
  return uart_send(d.Res.BeepStop, d.Res.BeepStopCnt);
}

// ------------------------------------------------------- reboot, shutdown

bool watchdog_ready() { return g_wdg && (!g_wdg->Init || g_wdg->Init() == OSA_SOK); }

int reboot_watchdog() {
  DVR_INFO("sys reboot\n");
  if (!watchdog_ready() || !g_wdg->Reboot || g_wdg->Reboot() != OSA_SOK) {
    DVR_ERROR("SystemReboot Failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int reboot_command() {
  DVR_WARN("System Going To Reboot, GoodBye...\n");
  if (run_cmd("reboot") != 0) {
    DVR_ERROR("reboot(RB_AUTOBOOT) failed, system will not reboot.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int reboot_none() {
  sync();
  return OSA_SOK;
}
int reboot_gpio() {
  sync();
  SysDev& d = dev();
  GpioRes_t r{};
  r.Port = d.Res.RebootGpioPort;
  r.Bit = d.Res.RebootGpioBit;
  GpioDev_t* g = nullptr;
  if (GpioDevProbe(&r, &g) != OSA_SOK) {
    DVR_ERROR("probe gpio res failed, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  DVR_INFO("GPIO reboot PORT %d, BIT %d!\n", r.Port, r.Bit);
  if (g->SetDirOut(g) != OSA_SOK) {
    DVR_ERROR(" set gpio dir-out failed, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  uint32_t level = d.Res.RebootGpioLevel ? 1 : 0;
  if (g->Write(&level, g) != OSA_SOK) {
    DVR_ERROR("set reboot GPIO, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int shutdown_watchdog() {
  DVR_INFO("sys shutdown\n");
  if (!watchdog_ready() || !g_wdg->Shutdown || g_wdg->Shutdown() != OSA_SOK) {
    DVR_ERROR("SysWatchdogShutDown Failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int shutdown_poweroff() {
  DVR_WARN("System Going To ShutDown, GoodBye...\n");
  if (osa::sys::reboot(LINUX_REBOOT_CMD_POWER_OFF) != 0) {
    DVR_ERROR("reboot(LINUX_REBOOT_CMD_POWER_OFF) failed, system will not shut.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int shutdown_halt() {
  DVR_WARN("System Going To ShutDown, GoodBye...\n");
  if (run_cmd("/sbin/halt") != 0) {
    DVR_ERROR("system halt failed, system will not shut.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
int shutdown_none() {
  DVR_INFO("sys shutdown\n");
  if (watchdog_ready() && g_wdg->Stop && g_wdg->Stop() == OSA_SOK) {
    fflush(stdout);
    _exit(APP_EXIT_SHUTDOWN);  // straight to the supervisor, no clean-up handlers
  }
  DVR_ERROR("SysWatchdogShutDown Failed\n");
  return OSA_EFAIL;
}

bool inited() { return dev().Inited.load() == 1; }

}  // namespace

// ------------------------------------------------------------ the device

void SystemSetRtcOps(const SystemRtcOps* ops) { g_rtc = ops; }
void SystemSetWatchdogOps(const SystemWdgOps* ops) { g_wdg = ops; }
const SystemRes_t* SystemGetRecord() { return inited() ? &dev().Res : nullptr; }

void SystemDevReset() {
  SysDev& d = dev();
  osa::LockGuard g(d.InitLock);
  d.Inited = 0;
  d.SnValid = d.BoardSnValid = 0;
  d.ExitCount = 0;
  d.BeepGpio = nullptr;
  d.BeepUart = nullptr;
}

int SystemDevInit() {
  SysDev& d = dev();
  osa::LockGuard g(d.InitLock);
  if (d.Inited) return OSA_SOK;
  SystemRes_t res{};
  if (SystemGetRes(&res) != OSA_SOK) {
    DVR_ERROR("System get res failed\n");
    return OSA_EFAIL;
  }
  if (const char* why = ResSystemCheck(res)) {
    DVR_ERROR("System get res failed: %s\n", why);
    return OSA_EFAIL;
  }
  d.Res = res;
  switch (res.RebootType) {
    case REBOOT_WATCHDOG: DVR_INFO("system using watchdog to reboot.\n"); d.Ops.Reboot = reboot_watchdog; break;
    case REBOOT_COMMAND: DVR_INFO("system using reboot() to reboot.\n"); d.Ops.Reboot = reboot_command; break;
    case REBOOT_NONE: DVR_INFO("system does not support reboot.\n"); d.Ops.Reboot = reboot_none; break;
    case REBOOT_GPIO: DVR_INFO("system does reboot by reset gpio.\n"); d.Ops.Reboot = reboot_gpio; break;
    default: DVR_ERROR("system reboot type error.\n"); return OSA_EFAIL;
  }
  switch (res.ShutdownType) {
    case SHUTDOWN_WATCHDOG: DVR_INFO("system using watchdog to shutdown.\n"); d.Ops.Shutdown = shutdown_watchdog; break;
    case SHUTDOWN_POWEROFF: DVR_INFO("system using reboot() to shutdown.\n"); d.Ops.Shutdown = shutdown_poweroff; break;
    case SHUTDOWN_HALT:
      DVR_INFO("system using system cmd(/sbin/halt) to shutdown.\n");
      d.Ops.Shutdown = shutdown_halt;
      break;
    case SHUTDOWN_NONE: DVR_INFO("system does not support shutdown.\n"); d.Ops.Shutdown = shutdown_none; break;
    default: DVR_ERROR("system shutdown type error.\n"); return OSA_EFAIL;
  }
  d.Ops.Beep = beep_default;
  d.Ops.StopBeep = stop_default;
  switch (res.BeepType) {
    case BEEP_GPIO: {
      if (GpioDevProbe(&res.BeepGpio.Gpio, &d.BeepGpio) != OSA_SOK) {
        DVR_ERROR("GpioDevProbe faield\n");
        return OSA_EFAIL;
      }
      uint32_t level = res.BeepGpio.InitLevel;
      if (d.BeepGpio->SetDirOut(d.BeepGpio) != OSA_SOK || d.BeepGpio->Write(&level, d.BeepGpio) != OSA_SOK) {
        DVR_ERROR("beep gpio set up failed\n");
        return OSA_EFAIL;
      }
      DVR_INFO("system beep type: GPIO.\n");
      d.Ops.Beep = beep_gpio;
      d.Ops.StopBeep = stop_gpio;
      break;
    }
    case BEEP_TTY:
      DVR_INFO("system beep type: TTY.\n");
      d.Ops.Beep = beep_tty;
      d.Ops.StopBeep = stop_tty;
      break;
    case BEEP_UART: {
      DVR_INFO("system beep type: Uart.\n");
      if (UartDevProbe(&res.BeepUart, &d.BeepUart) != OSA_SOK) {
        DVR_ERROR("UartDevProbe failed\n");
        return OSA_EFAIL;
      }
      UartAttr_t a = {0, res.BeepAttr.Rate, res.BeepAttr.DataBits, res.BeepAttr.Parity, res.BeepAttr.StopBits};
      if (!d.BeepUart->SetAttr || d.BeepUart->SetAttr(&a, d.BeepUart) != OSA_SOK) {
        DVR_ERROR("SetAttr OSA_EFAIL\n");
        return OSA_EFAIL;
      }
      d.Ops.Beep = beep_uart;
      d.Ops.StopBeep = stop_uart;
      break;
    }
    default: break;
  }
  d.SnValid = 0;
  d.Inited = 1;
  return OSA_SOK;
}

int SystemRegExitFunc(void (*fn)()) {
  SysDev& d = dev();
  osa::LockGuard g(d.ExitLock);
  if (!fn || d.ExitCount >= kMaxExitFuncs) {
    DVR_ERROR("register exit function failed\n");
    return OSA_EFAIL;
  }
  d.ExitFuncs[d.ExitCount++] = fn;
  return OSA_SOK;
}

// ------------------------------------------------------------------ time

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
  if (!g_rtc || !g_rtc->GetTime || g_rtc->GetTime(&r) != OSA_SOK) {
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
  if (!g_rtc || !g_rtc->SetTime || !g_rtc->GetTime) {
    DVR_ERROR("rtc device not present, time not set\n");
    return OSA_EFAIL;
  }
  bool ok = false;
  for (int attempt = 0; attempt < 6 && !ok; ++attempt) {
    tm back{};
    if (g_rtc->SetTime(&utc) != OSA_SOK || g_rtc->GetTime(&back) != OSA_SOK) {
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

// ------------------------------------------------------------- time zone

int SystemSetTimezone(int offset) {
  char text[32];
  if (!TzText(offset, text, sizeof text)) {
    DVR_ERROR("Set time zone para err.tz_offset %d is overflow!\n", offset);
    return OSA_EFAIL;
  }
  DVR_INFO("Set time zone para TzOffset:%d\n", offset);
  if (setenv("TZ", text, 1) != 0) {
    DVR_ERROR("set linux time zone failed!\n");
    return OSA_EFAIL;
  }
  tzset();
  timeval now;
  if (gettimeofday(&now, nullptr) != 0) DVR_ERROR("gettimeofday failed\n");
  else if (osa::sys::settimeofday(&now) != 0) DVR_ERROR("settimeofday failed\n");
  if (inited() && dev().Res.TzFileFlag == 1) {
    int rc = SystemSetTimezoneConfig(-offset);
    if (rc != OSA_SOK) DVR_ERROR("set linux systerm time zone failed! s32Ret %d\n", rc);
  }
  DVR_INFO("Set linux timezone: %s\n", text);
  if (!SystemWriteFileAtomic(TZ_FILE, text, std::strlen(text))) {
    DVR_ERROR("Set linux timezone to \"%s\" failed!\n", text);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int SystemGetTimezone(int* offset) {
  if (!offset) {
    OSA_CHECK_FAIL("pOffset");
    return OSA_EFAIL;
  }
  char text[32] = {};
  if (const char* e = getenv("TZ"); e && *e) {
    std::snprintf(text, sizeof text, "%s", e);
  } else {
    FILE* f = osa::sys::fopen(TZ_FILE, "r");
    if (!f) {
      DVR_WARN("Time zone not set.\n");
      return OSA_EFAIL;
    }
    if (!fgets(text, sizeof text, f)) text[0] = '\0';
    fclose(f);
    text[strcspn(text, "\n")] = '\0';
  }
  int v;
  if (!TzParse(text, &v)) {
    int h = 0, m = 0;
    std::sscanf(text, "GMT%d:%d", &h, &m);
    DVR_ERROR("Get time zone para err.TzOffset %02d:%02d is overflow!\n", h, m);
    return OSA_EFAIL;
  }
  DVR_INFO("Get Linux time zone: %s\n", text);
  *offset = v;
  return OSA_SOK;
}

// -------------------------------------------------------- wrappers

int SystemBeep(uint32_t frequency, uint32_t duration_ms) {
  SysDev& d = dev();
  if (!inited() || !d.Ops.Beep) {
    DVR_ERROR("SystemBeep failed, system device not ready\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(d.BeepLock);
  return d.Ops.Beep(frequency, duration_ms);
}

int StopSystemBeep() {
  SysDev& d = dev();
  if (!inited() || !d.Ops.StopBeep) {
    DVR_ERROR("StopSystemBeep failed, system device not ready\n");
    return OSA_EFAIL;
  }
  return d.Ops.StopBeep();
}

int SystemDoSync() {
  SysDev& d = dev();
  sync();
  if (d.ExitCount == 0) {
    DVR_WARN("no exit function registered.\n");
  } else {
    DVR_INFO("do callback function..\n");
    for (int i = d.ExitCount - 1; i >= 0; --i) d.ExitFuncs[i]();
  }
  if (SystemSleep(2000) != OSA_SOK) DVR_ERROR("sleep failed.\n");
  return OSA_SOK;
}

int SystemReboot() {
  SysDev& d = dev();
  DVR_INFO("system reboot now..\n");
  if (!inited() || !d.Ops.Reboot) {
    DVR_ERROR("SystemReboot failed, system device not ready\n");
    return OSA_EFAIL;
  }
  SystemDoSync();
  return d.Ops.Reboot();
}

int SystemShutdown() {
  SysDev& d = dev();
  DVR_INFO("system Shutdown..\n");
  if (!inited() || !d.Ops.Shutdown) {
    DVR_ERROR("SystemShutdown fail\n");
    return OSA_EFAIL;
  }
  SystemDoSync();
  if (d.Ops.Shutdown() != OSA_SOK) {
    DVR_ERROR("SystemShutdown fail\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int ApplicationRestart() {
  fflush(stdout);
  std::exit(APP_EXIT_RESTART);
}

int ApplicationExit() {
  fflush(stdout);
  std::exit(APP_EXIT_EXIT);
}

int SystemGetModuleCaps(int index) {
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource error\n");
    return OSA_EFAIL;
  }
  return index >= 0 && index <= 3 ? static_cast<int>((r.ModCapMask >> index) & 1u) : 0;
}

int SystemGetGpsModuleType() {
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource error\n");
    return OSA_EFAIL;
  }
  return static_cast<int>(r.GpsModType);
}

namespace {
int product_string(char* buf, int size, bool sub) {
  if (!buf || size <= 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  SystemRes_t r;
  if (SystemGetRes(&r) != OSA_SOK) {
    DVR_ERROR("get system resource failed\n");
    return OSA_EFAIL;
  }
  if (sub) ResCopyString(buf, static_cast<std::size_t>(size), r.SubProductName, sizeof r.SubProductName);
  else ResCopyString(buf, static_cast<std::size_t>(size), r.ProductName, sizeof r.ProductName);
  buf[size - 1] = '\0';
  return OSA_SOK;
}
}  // namespace

int GetProductName(char* buf, int size) { return product_string(buf, size, false); }
int GetSubProductName(char* buf, int size) { return product_string(buf, size, true); }

int DeviceGetID(char* buf, int size) {
  if (!buf || size <= 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  char id[64] = {};
  if (BootEnvGetValue("DEVID", id, sizeof id) < 0) {
    DVR_ERROR("Get DEVID failed\n");
    return OSA_EFAIL;
  }
  if (std::strncmp(id, "0000000000000000", 16) != 0) {
    std::snprintf(buf, static_cast<std::size_t>(size), "%s", id);
    return OSA_SOK;
  }
  int type = DvrGetHwidInformation(HWID_PRODUCT_TYPE);
  std::snprintf(buf, static_cast<std::size_t>(std::min(size, 21)), "%s", DeviceCategory(type));
  return OSA_SOK;
}

int GetResolutionResetFlag() {
  FILE* f = osa::sys::fopen("/proc/cmdline", "r");
  if (!f) {
    DVR_ERROR("fopen %s failed!\n", "/proc/cmdline");
    return 0;
  }
  char text[256] = {};
  std::size_t n = fread(text, 1, 255, f);
  fclose(f);
  text[n] = '\0';
  DVR_INFO("file context: %s\n", text);
  const char* p = std::strstr(text, "need_reset");
  if (!p) {
    DVR_WARN("Not find need_reset!\n");
    return 0;
  }
  int v = 0;
  return std::sscanf(p, "need_reset=%d", &v) == 1 && v > 0 ? 1 : 0;
}

int SystemGetBootParameter(const char* name, char* buf, int len) {
  if (!name || !buf || len < 0) {
    DVR_ERROR("Invalid parameter!\n");
    return OSA_EFAIL;
  }
  if (std::strcmp(name, "selfchecked") != 0 && std::strcmp(name, "PROD_DATE") != 0) {
    DVR_ERROR("Only support selfchecked parameter so far!\n");
    return OSA_EFAIL;
  }
  return BootEnvGetValue(name, buf, len) < 0 ? OSA_EFAIL : OSA_SOK;
}

int SystemSetBootParameter(const char* name, const char* value) {
  if (!name || !value) {
    DVR_ERROR("Invalid parameter!\n");
    return OSA_EFAIL;
  }
  if (std::strcmp(name, "selfchecked") != 0 && std::strcmp(name, "PROD_DATE") != 0) {
    DVR_ERROR("Only support selfchecked parameter so far!\n");
    return OSA_EFAIL;
  }
  return BootSetPara(name, value) < 0 ? OSA_EFAIL : OSA_SOK;
}

// ------------------------------------------------------- serial numbers

namespace {
bool exists(const char* p) { return osa::sys::access(p, F_OK) == 0; }

void wait_env(const char* msg) {
  while (EnvDevInit() != OSA_SOK) {
    DVR_INFO("%s\n", msg);
    sleep(1);
  }
}
}  // namespace

int SystemGetSerialNumber(char* buf, int len) {
  SysDev& d = dev();
  if (!buf || len < 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  if (!inited()) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (d.SnValid) {
    std::memcpy(buf, d.Sn, static_cast<std::size_t>(std::min(len, kSnLen)));
    return OSA_SOK;
  }
  if (len > kSnLen) {
    DVR_ERROR("The arg Length is too large !\n");
    return OSA_EFAIL;
  }
  wait_env("EnvDev not init,please wait...");
  DVR_INFO("SerialIDKey=(%s)\n", d.Res.SerialIDKey);
  char sn[kSnLen] = {};
  bool got = d.Res.SerialIDKey[0] && BootEnvGetValue(d.Res.SerialIDKey, sn, sizeof sn) >= 0 && sn[0];
  std::string out;
  if (!got && exists("/usr/local/bin/seq2dev")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "/usr/local/bin/seq2dev");
    if (run_capture("/usr/local/bin/seq2dev", &out) && !out.empty()) {
      std::snprintf(sn, sizeof sn, "%s", first_line(out, 63).c_str());
      got = true;
    } else if (!exists("/usr/local/bin/serialget")) {
      // Nothing cached to fall back on here: no serial number is a failure.
      DVR_ERROR("SysGetSerialNumber failed\n");
      return OSA_EFAIL;
    }
  }
  if (!got && exists("/usr/local/bin/serialget")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "/usr/local/bin/serialget");
    if (run_capture("/usr/local/bin/serialget", &out)) {
      std::size_t c = out.find(':');
      if (c != std::string::npos && c + 2 <= out.size()) {
        std::snprintf(sn, sizeof sn, "%s", first_line(out.substr(c + 2), kSnLen - 1).c_str());
        got = true;
      }
    }
  } else if (!got && exists("/sys/kernel/debug/misc_info/debug")) {
    DVR_INFO("Try to get SerialNumber from command:%s\n", "echo read_item SN > /sys/kernel/debug/misc_info/debug \n");
    if (run_cmd("echo read_item SN > /sys/kernel/debug/misc_info/debug \n") == 0) {
      FILE* f = osa::sys::fopen("/sys/kernel/debug/misc_info/debug", "r");
      if (f) {
        std::size_t n = fread(sn, 1, 64, f);
        sn[std::min<std::size_t>(n, 64)] = '\0';
        fclose(f);
        got = n > 0;
      }
    }
  }
  if (!got) {
    DVR_ERROR("SysGetSerialNumber failed\n");
    return OSA_EFAIL;
  }
  std::memcpy(d.Sn, sn, sizeof d.Sn);
  d.SnValid = 1;
  std::memcpy(buf, d.Sn, static_cast<std::size_t>(std::min(len, kSnLen)));
  return OSA_SOK;
}

int SystemSetSerialNumber(const char* serial) {
  if (!serial) {
    OSA_CHECK_FAIL("pSerial");
    return OSA_EFAIL;
  }
  wait_env("EnvDev not init, please wait...");
  return BootSetPara("ID", serial) < 0 ? OSA_EFAIL : OSA_SOK;
}

int SystemGetBoardSerialNumber(char* buf, int len) {
  SysDev& d = dev();
  if (!buf || len < 0) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  if (!d.BoardSnValid) {
    std::string out;
    std::size_t c;
    if (!exists("/usr/local/bin/serialget") || !run_capture("/usr/local/bin/serialget", &out) ||
        (c = out.find(": ")) == std::string::npos) {
      DVR_ERROR("can't get SerialNumber \n");
      return OSA_EFAIL;
    }
    std::snprintf(d.BoardSn, sizeof d.BoardSn, "%s", first_line(out.substr(c + 2), kSnLen - 1).c_str());
    d.BoardSnValid = 1;
  }
  std::memcpy(buf, d.BoardSn, static_cast<std::size_t>(std::min(len, kSnLen)));
  return OSA_SOK;
}

int SystemSetBoardSerialNumber(const char* serial) {
  char cmd[192];
  if (!shell_safe(serial, 64) || std::snprintf(cmd, sizeof cmd, "hwtool_tarn w s %s", serial) <= 0) {
    DVR_ERROR("sprintf fail\n");
    return OSA_EFAIL;
  }
  if (run_cmd(cmd) != 0) {
    DVR_ERROR("run_cmd [%s] fail\n", cmd);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ---------------------------------------------------------- statistics

namespace {
bool read_text(const char* path, std::string* out, std::size_t max) {
  FILE* f = osa::sys::fopen(path, "r");
  if (!f) return false;
  out->assign(max, '\0');
  std::size_t n = fread(out->data(), 1, max, f);
  fclose(f);
  out->resize(n);
  return true;
}

// Usage over the interval since `prev`, which becomes the new sample when
// at least 100 ticks have passed.
int usage_since(CpuSample* prev, int* last, const CpuSample& now) {
  auto total = [](const CpuSample& s) {
    return s.user + s.nice + s.system + s.idle + s.iowait + s.irq + s.softirq;
  };
  unsigned long long dt = total(now) - total(*prev);
  if (total(now) >= total(*prev) + 100) {
    unsigned long long di = now.idle - prev->idle;
    *last = static_cast<int>(100 - di * 100 / dt);
    *prev = now;
  }
  return *last;
}
}  // namespace

int SystemGetCPUUsage() {
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, -1, &s)) {
    DVR_ERROR("read /proc/stat failed\n");
    return OSA_EFAIL;
  }
  unsigned long long t = s.user + s.nice + s.system + s.idle;
  if (t == 0) return 0;
  auto pm = [&](unsigned long long v) { return v * 1000 / t; };
  DVR_INFO("CPU states: %2llu.%-llu%% user,%2llu.%-llu%% system, %2llu.%-llu%% nice, %2llu.%-llu%% idle\n",
           pm(s.user) / 10, pm(s.user) % 10, pm(s.system) / 10, pm(s.system) % 10, pm(s.nice) / 10, pm(s.nice) % 10,
           pm(s.idle) / 10, pm(s.idle) % 10);
  return static_cast<int>(100 - s.idle * 100 / t);
}

int SystemGetCPUUsageRt() {
  SysDev& d = dev();
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, -1, &s)) {
    DVR_ERROR("read /proc/stat failed\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(d.CpuLock);
  return usage_since(&d.RtSample, &d.RtUsage, s);
}

int SystemGetCPUCoreNum() {
  std::string stat;
  int n = read_text("/proc/stat", &stat, 8192) ? CpuCountCores(stat) : -1;
  if (n < 0) DVR_ERROR("find no cpu in /proc/stat.\n");
  return n;
}

int SystemGetCPUUsageEx(int core) {
  struct CoreSample {
    CpuSample s{};
    int usage = 0;
  };
  static osa::Mutex lock;
  static std::vector<CoreSample>* samples = nullptr;
  if (!inited()) {
    DVR_ERROR("SystemDev Not Inited.\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(lock);
  if (!samples) {
    int n = SystemGetCPUCoreNum();
    if (n < 0) return OSA_EFAIL;
    DVR_INFO("Total Cpu Core:%d\n", n);
    samples = new std::vector<CoreSample>(static_cast<std::size_t>(n));
  }
  if (core < 0 || static_cast<std::size_t>(core) >= samples->size()) {
    DVR_ERROR("CPU Index error:(idx:%d corenum:%d)\n", core, static_cast<int>(samples->size()));
    DVR_ERROR("GetCpuUsageEx failed.(Index:%d)\n", core);
    return OSA_EFAIL;
  }
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, core, &s)) {
    DVR_ERROR("no such cpu core: core id:%d\n", core);
    DVR_ERROR("GetCpuUsageEx failed.(Index:%d)\n", core);
    return OSA_EFAIL;
  }
  auto& cs = (*samples)[static_cast<std::size_t>(core)];
  return usage_since(&cs.s, &cs.usage, s);
}

int SystemGetCpuVersion(char* buf, int size) {
  std::string info;
  if (!buf || size <= 0 || !read_text("/proc/cpuinfo", &info, 1023) ||
      !CpuParseModel(info, buf, static_cast<std::size_t>(size))) {
    DVR_ERROR("SysGetCpuVersion failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int SystemGetMemInfo(uint32_t out[3]) {
  if (!out) {
    OSA_CHECK_FAIL("pMem");
    return OSA_EFAIL;
  }
  uint64_t total = 0, free_ = 0, buffers = 0;
  std::string text;
  if (osa::sys::simulated() && read_text("/proc/meminfo", &text, 4096)) {
    // The board's own figures.
    std::sscanf(text.c_str(), "MemTotal: %" SCNu64 " kB MemFree: %" SCNu64 " kB", &total, &free_);
    if (const char* b = std::strstr(text.c_str(), "Buffers:")) std::sscanf(b, "Buffers: %" SCNu64, &buffers);
  } else {
    struct sysinfo si;
    if (sysinfo(&si) != 0) {
      DVR_ERROR("sysinfo failed\n");
      return OSA_EFAIL;
    }
    total = static_cast<uint64_t>(si.totalram) * si.mem_unit / 1024;
    free_ = static_cast<uint64_t>(si.freeram) * si.mem_unit / 1024;
    buffers = static_cast<uint64_t>(si.bufferram) * si.mem_unit / 1024;
  }
  out[0] = static_cast<uint32_t>(total);
  out[1] = static_cast<uint32_t>(free_);
  out[2] = static_cast<uint32_t>(buffers);
  return OSA_SOK;
}

int SystemCollectInfo(const char* directory, int flag) {
  DVR_INFO("System Collectting information, flag=0x%x, path=(%s)...\n", flag, directory ? directory : "");
  char cmd[512];
  if (!shell_safe(directory, 256)) {
    DVR_ERROR("run (%s) failed\n", directory ? directory : "");
    return OSA_EFAIL;
  }
  std::snprintf(cmd, sizeof cmd, "%s -d %s -p %d -f %d", "collect", directory, static_cast<int>(getpid()), flag);
  if (run_cmd(cmd) != 0) {
    DVR_ERROR("run (%s) failed\n", cmd);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int SystemGetCapsEx(uint8_t out[44]) {
  if (!out || !inited()) {
    OSA_CHECK_FAIL(out ? "Thiz" : "pCaps");
    return OSA_EFAIL;
  }
  std::memcpy(out, reinterpret_cast<const uint8_t*>(&dev().Res) + 52, 44);
  return OSA_SOK;
}

int SysGetHWVersion() {
  if (!inited()) {
    DVR_ERROR("invalid param(thiz=%p), force set hwversion=0\n", static_cast<void*>(nullptr));
    return 0;
  }
  return static_cast<int>(dev().Res.HwVersion);
}

int SystemGetHwidProductType(int* out) {
  if (!out) {
    OSA_CHECK_FAIL("pType");
    return OSA_EFAIL;
  }
  return CFG_HWID_GetProductType(out);
}

int GetBiosVersion(char* buf) {
  if (!buf) {
    OSA_CHECK_FAIL("Buffer");
    return OSA_EFAIL;
  }
  std::memset(buf, 0, 95);
  std::string out;
  int rc = OSA_SOK;
  // The pipeline's status is awk's: no answer from dmidecode is no version.
  if (!run_capture("dmidecode -t bios |awk '/^[[:blank:]]*.*Version/{print $2}'", &out) || out.empty()) {
    DVR_ERROR("get Bios Version Failed!\n");
    rc = OSA_EFAIL;
  } else {
    std::snprintf(buf, 64, "%s", first_line(out, 63).c_str());
  }
  if (!run_capture("dmidecode -t bios |awk '/^[[:blank:]]*.*Release/{print $3}'", &out) || out.empty()) {
    DVR_ERROR("get Bios Release Date Failed!\n");
    rc = OSA_EFAIL;
  } else {
    std::snprintf(buf + 64, 31, "%s", first_line(out, 30).c_str());
  }
  return rc;
}
