// The system device: built once per process from the System record.

#include "platform/system/sysdev.h"

#include "osa/singleton.h"


namespace sysdev {

SysDev& Dev() { return osa::Singleton<SysDev>(); }

void SysDev::ResetForTest() {
  osa::LockGuard g(InitLock);
  Inited = 0;
  SnValid = BoardSnValid = 0;
  ExitCount = 0;
  BeepGpio = nullptr;
  BeepUart = nullptr;
  Rtc = nullptr;
  Wdg = nullptr;
}

std::string FirstLine(const std::string& s, std::size_t max) {
  std::string l = s.substr(0, s.find('\n'));
  return l.substr(0, max);
}

}  // namespace sysdev

using sysdev::Dev;
using sysdev::SysDev;

void SystemSetRtcOps(const SystemRtcOps* ops) { Dev().Rtc = ops; }
void SystemSetWatchdogOps(const SystemWdgOps* ops) { Dev().Wdg = ops; }
const SystemRes_t* SystemGetRecord() { return sysdev::Inited() ? &Dev().Res : nullptr; }

void SystemDevReset() { Dev().ResetForTest(); }

int SystemDevInit() {
  SysDev& d = Dev();
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
  using namespace sysdev;
  switch (res.RebootType) {
    case REBOOT_WATCHDOG: DVR_INFO("system using watchdog to reboot.\n"); d.Op.Reboot = reboot_watchdog; break;
    case REBOOT_COMMAND: DVR_INFO("system using reboot() to reboot.\n"); d.Op.Reboot = reboot_command; break;
    case REBOOT_NONE: DVR_INFO("system does not support reboot.\n"); d.Op.Reboot = reboot_none; break;
    case REBOOT_GPIO: DVR_INFO("system does reboot by reset gpio.\n"); d.Op.Reboot = reboot_gpio; break;
    default: DVR_ERROR("system reboot type error.\n"); return OSA_EFAIL;
  }
  switch (res.ShutdownType) {
    case SHUTDOWN_WATCHDOG: DVR_INFO("system using watchdog to shutdown.\n"); d.Op.Shutdown = shutdown_watchdog; break;
    case SHUTDOWN_POWEROFF: DVR_INFO("system using reboot() to shutdown.\n"); d.Op.Shutdown = shutdown_poweroff; break;
    case SHUTDOWN_HALT:
      DVR_INFO("system using system cmd(/sbin/halt) to shutdown.\n");
      d.Op.Shutdown = shutdown_halt;
      break;
    case SHUTDOWN_NONE: DVR_INFO("system does not support shutdown.\n"); d.Op.Shutdown = shutdown_none; break;
    default: DVR_ERROR("system shutdown type error.\n"); return OSA_EFAIL;
  }
  d.Op.Beep = beep_default;
  d.Op.StopBeep = stop_default;
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
      d.Op.Beep = beep_gpio;
      d.Op.StopBeep = stop_gpio;
      break;
    }
    case BEEP_TTY:
      DVR_INFO("system beep type: TTY.\n");
      d.Op.Beep = beep_tty;
      d.Op.StopBeep = stop_tty;
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
      d.Op.Beep = beep_uart;
      d.Op.StopBeep = stop_uart;
      break;
    }
    default: break;
  }
  d.SnValid = 0;
  d.Inited = 1;
  return OSA_SOK;
}

int SystemRegExitFunc(void (*fn)()) {
  SysDev& d = Dev();
  osa::LockGuard g(d.ExitLock);
  if (!fn || d.ExitCount >= sysdev::kMaxExitFuncs) {
    DVR_ERROR("register exit function failed\n");
    return OSA_EFAIL;
  }
  d.ExitFuncs[d.ExitCount++] = fn;
  return OSA_SOK;
}
