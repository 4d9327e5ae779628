// The hotplug listener thread on the kernel event socket, the check the
// application polls, and the re-scan that tells arrivals and removals.

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/time.h>

#include <cstring>
#include <ctime>

#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

osa::UniqueFd open_uevent_socket() {
  osa::UniqueFd fd(osa::sys::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  if (!fd) {
    HD_ERROR("create socket failed, %s.\n", strerror(errno));
    return {};
  }
  int size = 16 * 1024 * 1024;
  if (osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    // Without privilege the plain limit still works; the forced one is a nicety.
    if (osa::sys::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
      HD_ERROR("setsockopt failed, %s.\n", strerror(errno));
      return {};
    }
  }
  struct sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = 1;
  if (osa::sys::bind(fd.get(), reinterpret_cast<struct sockaddr*>(&sa), sizeof sa) != 0) {
    HD_ERROR("create socket failed, %s.\n", strerror(errno));
    return {};
  }
  return fd;
}

}  // namespace

void ListenerMain() {
  Library& L = Lib();
  osa::UniqueFd fd = open_uevent_socket();
  if (!fd) {
    HD_ERROR("socket failed.\n");
    return;
  }
  HotplugBurst burst;
  while (!L.stop.load()) {
    struct pollfd p = {fd.get(), POLLIN, 0};
    int n = osa::sys::poll(&p, 1, 500);
    if (n < 0) {
      if (errno != EINTR) HD_ERROR("poll error, %s.\n", strerror(errno));
      continue;
    }
    if (n > 0) {
      if (p.revents & (POLLERR | POLLHUP)) HD_ERROR("netlink error occur.\n");
      if (!(p.revents & POLLIN)) continue;
      char buf[257];
      struct sockaddr_nl from{};
      socklen_t flen = sizeof from;
      ssize_t got = osa::sys::recvfrom(fd.get(), buf, 256, 0, reinterpret_cast<struct sockaddr*>(&from), &flen);
      if (got <= 0) continue;
      if (from.nl_pid != 0) continue;  // only the kernel speaks here
      buf[got] = '\0';
      std::string_view msg(buf, std::strlen(buf));
      if (burst.Feed(msg) == 1) HD_INFO("socket %d,szBuf(filtered) =%s .. \n", fd.get(), buf);
      else HD_INFO("socket %d,szBuf =%s  \n", fd.get(), buf);
      continue;
    }
    std::string line;
    int bits = burst.Quiet(&line);
    if (!line.empty()) {
      size_t at = 0;
      while (at < line.size()) {
        size_t end = line.find('\n', at);
        HD_INFO("socket %d, %s\n", fd.get(), line.substr(at, end - at).c_str());
        at = end + 1;
      }
    }
    {
      osa::LockGuard g(L.eventLock);
      if (L.pendingEvents & 1) {
        L.pendingEvents &= ~1;
        bits |= 4;
        HD_INFO("socket %d, md device hotplug...\n", fd.get());
      }
    }
    bool active;
    {
      osa::LockGuard g(L.modeLock);
      if (L.workMode != L.listenerMode) {
        HD_INFO("Work Mode Change, %d->%d.\n", L.listenerMode, L.workMode);
        L.listenerMode = L.workMode;
        bits |= 8;
      }
      active = L.workMode == 0;
    }
    if (!active && !(bits & 8)) {
      burst.Reset();
      continue;
    }
    if (!bits) continue;
    std::vector<void (*)()> cbs;
    {
      osa::LockGuard g(L.cbLock);
      cbs = L.callbacks;
    }
    for (auto cb : cbs) cb();
  }
}

}  // namespace hd

using namespace hd;

int Hd_RegHotplugCallbackFun(void (*fn)()) {
  if (!fn) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  Library& L = Lib();
  osa::LockGuard g(L.cbLock);
  for (auto cb : L.callbacks)
    if (cb == fn) return 0;
  L.callbacks.insert(L.callbacks.begin(), fn);
  if (!L.listener.joinable()) {
    L.stop = false;
    L.listener = std::thread(ListenerMain);
  }
  return 0;
}

void Hd_StopHotplugThread() {
  Library& L = Lib();
  L.stop = true;
  if (L.listener.joinable() && L.listener.get_id() != std::this_thread::get_id()) L.listener.join();
  osa::LockGuard g(L.cbLock);
  L.callbacks.clear();
}

int SetHdDcWorkMode(int mode) {
  Library& L = Lib();
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  {
    osa::LockGuard g(L.modeLock);
    L.workMode = mode;
  }
  // Arrays are stopped or started only where the board has them.
  if (GetPlatformCfg()->iRaidType == 1) run_cmd(mode ? "/etc/init.d/raid stop" : "/etc/init.d/raid start");
  clock_gettime(CLOCK_MONOTONIC, &b);
  HD_INFO("%s system boot need( %d ms )\n", __func__,
          static_cast<int>((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000));
  return 0;
}

int Hd_DetectHotpluged() {
  Library& L = Lib();
  const PlatformCfg& cfg = *GetPlatformCfg();
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) {
    HD_ERROR("Get system time failed.\n");
    return -1;
  }
  uint32_t now = static_cast<uint32_t>(tv.tv_sec);
  std::vector<ScsiEntry> scsi;
  if (!GetScsiDeviceList(cfg, &scsi)) {
    HD_ERROR("Hd_GetScsiDeviceList failed.\n");
    return -1;
  }
  std::string dom = DomDisk();
  if (cfg.iRaidType == 1) RefreshDegradeHistory(DegradeClock());
  int changed = 0;
  for (const ScsiEntry& e : scsi) {
    if (NeedFiltered(cfg, e, dom) || e.name.find("sd") == std::string::npos || e.periph == 9) continue;
    Position pos;
    const char* bus = e.bus == HD_BUS_USB ? "USB" : e.bus == HD_BUS_ESATA ? "ESATA" : e.bus == HD_BUS_SAS ? "SAS" : e.bus == HD_BUS_ISCSI ? "SCSI" : "SATA";
    if (e.bus == HD_BUS_USB) pos = {0, e.addr.host, e.addr.lun};
    else if (e.bus == HD_BUS_ESATA) pos = {0, 0, e.addr.channel};
    else if (e.bus == HD_BUS_ISCSI) pos = {3, 0, 0};
    else if (!GetDevicePort(cfg, e, &pos)) {
      HD_ERROR("%s Hd_GetDevPhyPosition failed.\n", e.name.c_str());
      continue;
    }
    HdDevInfo probe{};
    probe.layer = static_cast<uint8_t>(pos.layer);
    probe.port = static_cast<uint8_t>(pos.port);
    probe.slot = static_cast<uint32_t>(pos.slot);
    probe.host = static_cast<uint32_t>(e.addr.host);
    HdDevInfo* found = nullptr;
    for (auto& r : L.list)
      if (std::strcmp(r->bus, bus) == 0 && PositionKey(*r) == PositionKey(probe)) found = r.get();
    std::string ident;
    if (e.bus != HD_BUS_ISCSI) {
      osa::UniqueFd fd(osa::sys::open(("/dev/" + e.name).c_str(), O_RDONLY | O_NONBLOCK));
      ident = DiskIdentity(fd.get(), e.bus, e.name.c_str());
    }
    if (found && found->state != HD_STATE_OFF && (e.bus == HD_BUS_ISCSI || ident == found->identity)) {
      found->lastSeen = now;
      continue;
    }
    HD_INFO("a device(/dev/%s) on.\n", e.name.c_str());
    ++changed;
    if (found) {
      found->state = HD_STATE_ON;
      found->lastSeen = now;
      snprintf(found->identity, sizeof found->identity, "%s", ident.c_str());
    }
    if (cfg.iRaidType == 1 && e.bus != HD_BUS_ISCSI) RebuildOnArrival(e.name);
    if (cfg.iHotspareType == 1) run_cmd("/usr/local/bin/hotspare --scan --sync");
    run_cmd("/usr/local/bin/zqstcmsbox vgmanage --scan");
  }
  for (auto& r : L.list) {
    if (!std::strstr(r->name, "sd") || r->layer == 2 || r->layer == 4 || r->lastSeen == now) continue;
    if (r->state == HD_STATE_OFF) continue;
    HD_INFO("a device(%s) off, logic %d.\n", r->name, r->logic);
    if (r->logic >= 0) ++changed;
    r->state = HD_STATE_OFF;
  }
  return changed ? 1 : 0;
}

int ide_check_hotplug(int* changed_out) {
  Library& L = Lib();
  int result = 0;
  bool active;
  {
    osa::LockGuard g(L.modeLock);
    if (L.workMode != L.lastCheckedMode) {
      HD_INFO("Work Mode Change, %d->%d.\n", L.lastCheckedMode, L.workMode);
      L.lastCheckedMode = L.workMode;
      result = 1;
    }
    active = L.workMode == 0;
  }
  if (active) {
    bool happened;
    {
      osa::LockGuard g(L.hotplugLock);
      happened = L.hotplugHappened;
      L.hotplugHappened = false;
    }
    if (happened && Hd_DetectHotpluged() > 0) {
      time_t t = time(nullptr);
      struct tm tmv;
      localtime_r(&t, &tmv);
      HD_INFO("%02d:%02d:%02d, hotplug result:%d\n", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, 1);
      result = 1;
    }
  }
  if (changed_out) *changed_out = result;
  return result;
}

int ide_diskstate(int logic, int* state) {
  if (!state) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  // Remember which disk was asked for; the re-scan may renumber.
  std::string name;
  for (auto& r : Lib().list)
    if (r->logic == logic) name = r->name;
  if (name.empty()) {
    HD_ERROR("No such device, logic number: %d!\n", logic);
    return -1;
  }
  ide_init();
  for (auto& r : Lib().list)
    if (name == r->name) {
      *state = static_cast<int>(r->state);
      return 0;
    }
  *state = HD_STATE_OFF;
  return 0;
}
