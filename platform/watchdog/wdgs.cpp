// The watchdog set and the public entry points.

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "osa/sys.h"
#include "platform/flashset/flashset.h"
#include "platform/system/system.h"
#include "platform/watchdog/watchdog.h"

struct Wdgs_t {
  osa::Mutex InitLock;
  std::atomic<bool> Inited{false};
  WdgsRes_t Res{};
  uint32_t Count = 0;
  std::unique_ptr<WdgDev_t> Dev[WDG_MAX];
  // Set once a reboot was accepted: feeding then would cancel it.
  std::atomic<bool> Rebooting{false};
  bool BootCountCleared = false;
  osa::UniqueFd Heart;
};

namespace {

Wdgs_t& the_set() {
  static Wdgs_t* s = new Wdgs_t;
  return *s;
}

void pause_10ms() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

using Op = int (*)(WdgDev_t*);

// Applies one operation to every device; stops at the first failure.
// Devices whose creation failed were reported then and are left out.
int apply(Wdgs_t* s, Op WdgDev_t::*op, const char* name) {
  for (uint32_t i = 0; i < s->Count; ++i) {
    WdgDev_t* d = s->Dev[i].get();
    if (d && !d->Created) continue;
    if (!d || !(d->*op)) {
      DVR_ERROR("Invalied param, Index[%u]\n", i);
      return OSA_EFAIL;
    }
    if ((d->*op)(d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->%s err\n", i, name);
      return OSA_EFAIL;
    }
  }
  return OSA_SOK;
}

bool check_set(const Wdgs_t* s) {
  if (!s || !s->Inited) {
    OSA_CHECK_FAIL("Thiz");
    return false;
  }
  return true;
}

}  // namespace

const char* WdgsResCheck(const WdgsRes_t& r) {
  if (r.Count > WDG_MAX) return "more watchdogs than the record holds";
  for (uint32_t i = 0; i < r.Count; ++i) {
    const WdgEntry_t& e = r.Entry[i];
    if (e.Type == WDG_SOFT && !memchr(e.DevPath, 0, sizeof e.DevPath)) return "soft watchdog path not terminated";
    if ((e.Type == WDG_FBD_UART || e.Type == WDG_MB_UART) && ResUartCheck(e.Uart)) return ResUartCheck(e.Uart);
  }
  return nullptr;
}

Wdgs_t* WdgsGet() {
  Wdgs_t& s = the_set();
  return s.Inited ? &s : nullptr;
}

int WdgsDevInit() {
  Wdgs_t& s = the_set();
  osa::LockGuard g(s.InitLock);
  if (s.Inited) return OSA_SOK;
  if (WdgsGetRes(&s.Res) != OSA_SOK) {
    DVR_ERROR("get res failed\n");
    return OSA_EFAIL;
  }
  if (const char* why = WdgsResCheck(s.Res)) {
    DVR_ERROR("watchdog record refused: %s (count %u)\n", why, s.Res.Count);
    return OSA_EFAIL;
  }
  s.Count = s.Res.Count;
  DVR_INFO("Creating New Watchdog Devs, Total %d Devices\n", static_cast<int>(s.Count));
  for (uint32_t i = 0; i < s.Count; ++i) {
    auto d = std::make_unique<WdgDev_t>();
    d->Res = &s.Res.Entry[i];
    d->Index = i;
    if (const char* name = WdgTypeName(d->Res->Type)) {
      DVR_INFO("Watchdog[%u], Type[%s]\n", i, name);
    } else {
      DVR_WARN("Watchdog[%u], Type[UNKNOW], Enum[%u]\n", i, d->Res->Type);
    }
    WdgInstallOps(d.get());
    s.Dev[i] = std::move(d);
  }
  // One watchdog that cannot be made must not leave the others unfed:
  // the rest are built and the failing one is reported and left out.
  uint32_t built = 0;
  for (uint32_t i = 0; i < s.Count; ++i) {
    WdgDev_t* d = s.Dev[i].get();
    if (d->Create(d) != OSA_SOK) {
      DVR_ERROR("create failed, Index[%u]\n", i);
      continue;
    }
    d->Created = true;
    ++built;
  }
  if (s.Count && !built) return OSA_EFAIL;
  s.Rebooting = false;
  s.BootCountCleared = false;
  s.Inited = true;
  return OSA_SOK;
}

int WdgsOpen(Wdgs_t* Thiz) { return check_set(Thiz) ? apply(Thiz, &WdgDev_t::Open, "Open") : OSA_EFAIL; }
int WdgsClose(Wdgs_t* Thiz) { return check_set(Thiz) ? apply(Thiz, &WdgDev_t::Close, "Close") : OSA_EFAIL; }
int WdgsStop(Wdgs_t* Thiz) { return check_set(Thiz) ? apply(Thiz, &WdgDev_t::Stop, "Stop") : OSA_EFAIL; }
int WdgsStart(Wdgs_t* Thiz) { return check_set(Thiz) ? apply(Thiz, &WdgDev_t::Start, "Start") : OSA_EFAIL; }

int WdgsSetTimeout(uint32_t seconds, Wdgs_t* Thiz) {
  if (!check_set(Thiz)) return OSA_EFAIL;
  for (uint32_t i = 0; i < Thiz->Count; ++i) {
    WdgDev_t* d = Thiz->Dev[i].get();
    if (d && !d->Created) continue;
    if (!d || !d->SetTimeout) {
      DVR_ERROR("Invalied param, Index[%u]\n", i);
      return OSA_EFAIL;
    }
    if (d->SetTimeout(seconds, d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->SetTimeout err\n", i);
      return OSA_EFAIL;
    }
  }
  return OSA_SOK;
}

int WdgsKeepAlive(Wdgs_t* Thiz) {
  if (!check_set(Thiz)) return OSA_EFAIL;
  if (Thiz->Rebooting) {
    DVR_WARN("reboot under way, watchdogs not fed\n");
    return OSA_SOK;
  }
  if (!Thiz->BootCountCleared) {
    DulBackupClearBootFailCount();
    Thiz->BootCountCleared = true;
  }
  // Every watchdog is fed even when one fails, so one broken line does
  // not reset the board; the failure is still reported.
  int result = OSA_SOK;
  for (uint32_t i = 0; i < Thiz->Count; ++i) {
    WdgDev_t* d = Thiz->Dev[i].get();
    if (d && !d->Created) continue;
    if (!d || !d->KeepAlive) {
      DVR_ERROR("Invalied param, Index[%u]\n", i);
      result = OSA_EFAIL;
      continue;
    }
    if (d->KeepAlive(d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->KeepAlive err\n", i);
      result = OSA_EFAIL;
    }
    pause_10ms();
  }
  return result;
}

int WdgsShutdown(Wdgs_t* Thiz) {
  if (!check_set(Thiz)) return OSA_EFAIL;
  for (uint32_t i = 0; i < Thiz->Count; ++i) {
    WdgDev_t* d = Thiz->Dev[i].get();
    if (d && !d->Created) continue;
    if (!d || !d->Shutdown) {
      DVR_ERROR("Invalied param, Index[%u]\n", i);
      return OSA_EFAIL;
    }
    if (d->Shutdown(d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->Shutdown err\n", i);
      return OSA_EFAIL;
    }
    pause_10ms();
  }
  fflush(stdout);
  _exit(APP_EXIT_SHUTDOWN);
}

int WdgsReboot(Wdgs_t* Thiz) {
  if (!check_set(Thiz)) return OSA_EFAIL;
  bool accepted = false;
  for (uint32_t i = 0; i < Thiz->Count; ++i) {
    WdgDev_t* d = Thiz->Dev[i].get();
    if (d && !d->Created) continue;
    if (!d || !d->Reboot) {
      DVR_ERROR("Invalied param, WdgIndex[%u], Trying another\n", i);
      continue;
    }
    DVR_INFO("call wdgdev reboot\n");
    if (d->Reboot(d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->Reboot err\n, trying another\n", i);
      continue;
    }
    accepted = true;
    Thiz->Rebooting = true;
    pause_10ms();
  }
  return accepted ? OSA_SOK : OSA_EFAIL;
}

int WdgsDestory(Wdgs_t* Thiz) {
  if (!check_set(Thiz)) return OSA_EFAIL;
  int result = OSA_SOK;
  for (uint32_t i = 0; i < Thiz->Count; ++i) {
    WdgDev_t* d = Thiz->Dev[i].get();
    if (!d || !d->Destroy) {
      DVR_ERROR("Invalid param\n, Index[%u]\n", i);
      result = OSA_EFAIL;
      break;
    }
    if (d->Created && d->Destroy(d) != OSA_SOK) {
      DVR_ERROR("pWdgDev[%u]->Destory err\n", i);
      result = OSA_EFAIL;
      break;
    }
    Thiz->Dev[i].reset();
  }
  for (auto& d : Thiz->Dev) d.reset();
  Thiz->Heart.reset();
  Thiz->Count = 0;
  Thiz->Inited = false;
  return result;
}

// ------------------------------------------------------- entry points

int WatchdogCreate() {
  DVR_WARN("Creating watchdogs\n");
  Wdgs_t& s = the_set();
  if (!s.Heart && osa::sys::access(WDG_HEART_NODE, R_OK) == 0) s.Heart.reset(osa::sys::open(WDG_HEART_NODE, O_RDWR));
  if (WdgsDevInit() != OSA_SOK) {
    DVR_ERROR("WdgsDevInit failed\n");
    return OSA_EFAIL;
  }
  DVR_INFO("opening watchdog device\n");
  return WdgsOpen(&s);
}

int WatchdogKeepAlive() {
  Wdgs_t& s = the_set();
  if (s.Heart && osa::sys::access(WDG_HEART_NODE, R_OK) == 0) {
    static const char kBeat[8] = {'0', 'x', 'a', 'f', 0, 0, 0, 0};
    if (osa::sys::write(s.Heart.get(), kBeat, sizeof kBeat) != static_cast<ssize_t>(sizeof kBeat))
      DVR_ERROR("heartbeat write failed\n");
  }
  if (!s.Inited) {
    DVR_ERROR("watchdog set not created\n");
    return OSA_EFAIL;
  }
  return WdgsKeepAlive(&s);
}

int WatchdogClear() {
  DVR_WARN("Keeping watchdog alive\n");
  return WdgsKeepAlive(WdgsGet());
}

int WatchdogStart() {
  OSA_LOG_DEBUG("watchdogstart called\n");
  return WdgsStart(WdgsGet());
}

int WatchdogStop() {
  OSA_LOG_DEBUG("watchdogstop called\n");
  return WdgsStop(WdgsGet());
}

int WatchdogDestory() { return WdgsDestory(WdgsGet()); }

// ------------------------------------------------- the system device

namespace {
int sys_reboot() { return WdgsReboot(WdgsGet()); }
int sys_shutdown() { return WdgsShutdown(WdgsGet()); }
int sys_stop() { return WdgsStop(WdgsGet()); }
}  // namespace

void WdgsRegisterWithSystem() {
  static const SystemWdgOps ops = {WdgsDevInit, sys_reboot, sys_shutdown, sys_stop};
  SystemSetWatchdogOps(&ops);
}
