// The buzzer: one beep/stop pair per kind of buzzer, chosen by the record.

#include <fcntl.h>
#include <linux/kd.h>
#include <unistd.h>

#include "osa/sys.h"
#include "platform/system/sysdev.h"

namespace sysdev {

namespace {
int gpio_level(uint32_t level) {
  SysDev& d = Dev();
  return d.BeepGpio ? d.BeepGpio->Write(&level, d.BeepGpio) : OSA_EFAIL;
}

int tty_tone(unsigned long value) {
  const char* path = Dev().Res.BeepTty.DevPath;
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
int uart_send(const uint8_t* bytes, uint32_t n) {
  UartDev_t* u = Dev().BeepUart;
  return u->Write(bytes, n, u);
}
}  // namespace

int beep_default(uint32_t, uint32_t) {
  DVR_WARN("system beeping...\n");
  return OSA_SOK;
}
int stop_default() {
  DVR_WARN("system stop beep...\n");
  return OSA_SOK;
}

int beep_gpio(uint32_t, uint32_t ms) {
  SysDev& d = Dev();
  d.BeepState = 1;
  if (gpio_level(1) != OSA_SOK) return OSA_EFAIL;
  for (uint32_t i = 0; i < ms / 100 && d.BeepState; ++i) usleep(100 * 1000);
  d.BeepState = 0;
  return gpio_level(0);
}
int stop_gpio() {
  Dev().BeepState = 0;
  return gpio_level(0);
}

int beep_tty(uint32_t freq, uint32_t ms) {
  SysDev& d = Dev();
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

int beep_uart(uint32_t, uint32_t ms) {
  SysDev& d = Dev();
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
  SysDev& d = Dev();
  if (!d.BeepUart || !d.BeepUart->Write || !d.Res.BeepStopCnt) return OSA_EFAIL;
  return uart_send(d.Res.BeepStop, d.Res.BeepStopCnt);
}

}  // namespace sysdev

using sysdev::Dev;
using sysdev::SysDev;

int SystemBeep(uint32_t frequency, uint32_t duration_ms) {
  SysDev& d = Dev();
  if (!sysdev::Inited() || !d.Op.Beep) {
    DVR_ERROR("SystemBeep failed, system device not ready\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(d.BeepLock);
  return d.Op.Beep(frequency, duration_ms);
}

int StopSystemBeep() {
  SysDev& d = Dev();
  if (!sysdev::Inited() || !d.Op.StopBeep) {
    DVR_ERROR("StopSystemBeep failed, system device not ready\n");
    return OSA_EFAIL;
  }
  return d.Op.StopBeep();
}

