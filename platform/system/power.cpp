// Reboot, shutdown, the exit functions run before either, and the
// application's exit codes towards the supervisor.

#include <linux/reboot.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "osa/sys.h"
#include "platform/system/sysdev.h"

namespace sysdev {

namespace {
bool watchdog_ready(const SystemWdgOps* w) { return w && (!w->Init || w->Init() == OSA_SOK); }
}  // namespace

int reboot_watchdog() {
  const SystemWdgOps* w = Dev().Wdg;
  DVR_INFO("sys reboot\n");
  if (!watchdog_ready(w) || !w->Reboot || w->Reboot() != OSA_SOK) {
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
  SysDev& d = Dev();
  GpioRes_t r{};
  r.Port = d.Res.RebootGpioPort;
  r.Bit = d.Res.RebootGpioBit;
  GpioDev_t* g = nullptr;
  if (GpioDevProbeOutput(r.Port, r.Bit, "GPIO reboot", &g) != OSA_SOK) return OSA_EFAIL;
  uint32_t level = d.Res.RebootGpioLevel ? 1 : 0;
  if (g->Write(&level, g) != OSA_SOK) {
    DVR_ERROR("set reboot GPIO, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int shutdown_watchdog() {
  const SystemWdgOps* w = Dev().Wdg;
  DVR_INFO("sys shutdown\n");
  if (!watchdog_ready(w) || !w->Shutdown || w->Shutdown() != OSA_SOK) {
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
  const SystemWdgOps* w = Dev().Wdg;
  DVR_INFO("sys shutdown\n");
  if (watchdog_ready(w) && w->Stop && w->Stop() == OSA_SOK) {
    fflush(stdout);
    _exit(APP_EXIT_SHUTDOWN);  // straight to the supervisor, no clean-up handlers
  }
  DVR_ERROR("SysWatchdogShutDown Failed\n");
  return OSA_EFAIL;
}

}  // namespace sysdev

using sysdev::Dev;
using sysdev::SysDev;

int SystemDoSync() {
  SysDev& d = Dev();
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
  SysDev& d = Dev();
  DVR_INFO("system reboot now..\n");
  if (!sysdev::Inited() || !d.Op.Reboot) {
    DVR_ERROR("SystemReboot failed, system device not ready\n");
    return OSA_EFAIL;
  }
  SystemDoSync();
  return d.Op.Reboot();
}

int SystemShutdown() {
  SysDev& d = Dev();
  DVR_INFO("system Shutdown..\n");
  if (!sysdev::Inited() || !d.Op.Shutdown) {
    DVR_ERROR("SystemShutdown fail\n");
    return OSA_EFAIL;
  }
  SystemDoSync();
  if (d.Op.Shutdown() != OSA_SOK) {
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

