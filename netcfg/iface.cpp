// Interfaces: discovery from /proc/net/dev, the switch probe, and address,
// flags, MAC and MTU through socket ioctls on one kept datagram socket.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netcfg/internal.h"
#include "osa/sys.h"

namespace netcfg {

osa::Mutex& IfaceMutex() {
  static osa::Mutex m(osa::Mutex::Kind::Recursive);
  return m;
}

namespace {

osa::Mutex& CacheMutex() {
  static osa::Mutex m;
  return m;
}
std::string g_switch;           // the switch interface as listed ("eth0:poe" for eth0)
std::string g_switch_answered;  // the interface whose driver answered as a switch

int CommonSocket() {
  static osa::Mutex m;
  static osa::UniqueFd fd;
  osa::LockGuard g(m);
  if (!fd) {
    fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) NET_ERROR("open commonSocketfd error.[%s]\n", strerror(errno));
  }
  return fd.get();
}

void FillName(ifreq* r, const char* name) {
  std::memset(r, 0, sizeof *r);
  std::snprintf(r->ifr_name, IFNAMSIZ, "%.15s", name);
}

bool NetIOCtrl(unsigned long req, ifreq* r) {
  int s = CommonSocket();
  if (s < 0) return false;
  if (osa::sys::ioctl(s, req, r) != 0) {
    NET_ERROR("cmd %d error.[%s]\n", static_cast<int>(req), strerror(errno));
    return false;
  }
  return true;
}

bool SetAddr(unsigned long req, const char* name, uint32_t addr) {
  ifreq r;
  FillName(&r, name);
  auto* sin = reinterpret_cast<sockaddr_in*>(&r.ifr_addr);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = addr;
  return NetIOCtrl(req, &r);
}

bool GetAddr(unsigned long req, const char* name, char* out) {
  ifreq r;
  FillName(&r, name);
  if (!NetIOCtrl(req, &r)) return false;
  return CopyOut(FormatIPv4(reinterpret_cast<sockaddr_in*>(&r.ifr_addr)->sin_addr.s_addr), out, kNetAddrLen);
}

bool ChangeFlags(const char* name, bool up) {
  if (!name) return false;
  ifreq r;
  FillName(&r, name);
  if (!NetIOCtrl(SIOCGIFFLAGS, &r)) {
    if (up) NET_ERROR("up %s failed,getflags error.\n", name);
    else NET_ERROR("down %s failed,getflags error.\n", name);
    return false;
  }
  if (up) r.ifr_flags = static_cast<short>(r.ifr_flags | IFF_UP);
  else r.ifr_flags = static_cast<short>(r.ifr_flags & ~IFF_UP);
  if (!NetIOCtrl(SIOCSIFFLAGS, &r)) {
    if (up) NET_ERROR("up %s failed,setflags error.\n", name);
    else NET_ERROR("down %s failed,setflags error.\n", name);
    return false;
  }
  return true;
}

bool SetMtu(const char* name, int mtu) {
  ifreq r;
  FillName(&r, name);
  r.ifr_mtu = mtu;
  return NetIOCtrl(SIOCSIFMTU, &r);
}

}  // namespace

}  // namespace netcfg

using namespace netcfg;

int GetAllInterfaceInfo(NetName* names, int* count) {
  if (!names || !count || *count <= 0) return 0;
  auto file = osa::ReadFile("/proc/net/dev", 64 * 1024);
  if (!file.readable()) {
    NET_ERROR("Open file %s failed!\n\n", "/proc/net/dev");
    return 0;
  }
  const std::string& text = file.data;
  std::vector<std::string> rejected;
  auto found = ParseNetDev(text, static_cast<size_t>(*count), &rejected);
  for (auto& r : rejected) {
    if (r.size() >= static_cast<size_t>(kNetNameLen)) NET_ERROR("eth name too long. %s\n", r.c_str());
    else NET_ERROR("eth name %s is not a safe interface name, skipped\n", r.c_str());
  }
  int n = 0;
  for (auto& f : found) {
    if (n >= *count) break;
    CopyOut(f, names[n++], kNetNameLen);
    if (f == "eth0" && IsSwitch("eth0")) {
      if (n >= *count) {
        NET_ERROR("netdevice's count is more than gived buf\n");
        return 0;
      }
      CopyOut("eth0:poe", names[n++], kNetNameLen);
    }
  }
  *count = n;
  return 1;
}

int CheckEthExist(const NetName* names, int n) {
  if (!names || n <= 0) return 0;
  NetName present[kNetMaxIfaces];
  int cnt = kNetMaxIfaces;
  if (!GetAllInterfaceInfo(present, &cnt)) return 0;
  std::string list;
  for (int i = 0; i < cnt; ++i) list += std::string(present[i]) + ",";
  for (int i = 0; i < n; ++i) {
    std::string_view name(names[i], strnlen(names[i], kNetNameLen));
    size_t colon = name.find(':');
    if (colon != std::string_view::npos && colon > 15) {
      NET_ERROR("eth %s name error, strlen larger than %lu!\n", std::string(name).c_str(), 15ul);
      return 0;
    }
    std::string base(name.substr(0, colon));
    bool found = false;
    for (int k = 0; k < cnt && !found; ++k) found = base == present[k];
    if (!found) {
      NET_ERROR("can not find %s in %s.\n", base.c_str(), list.c_str());
      return 0;
    }
  }
  return 1;
}

int IsSwitch(const char* name) {
  if (!name) return 0;
  std::string_view n = name;
  if (Contains(n, "ppp") || Contains(n, "lte") || Contains(n, "bond") || Contains(n, "wlan")) return 0;
  if (n == "eth0:poe") return 1;
  {
    osa::LockGuard g(CacheMutex());
    if (!g_switch_answered.empty()) return n == g_switch_answered ? 1 : 0;
  }
  if (!ValidIfName(n)) return 0;
  osa::LockGuard g(IfaceMutex());
  if (!InterfaceUp(name)) NET_WARN("InterfaceUp %s failed.\n", name);
  ethtool_drvinfo info = {};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq r;
  FillName(&r, name);
  r.ifr_data = reinterpret_cast<char*>(&info);
  int s = CommonSocket();
  if (s < 0 || osa::sys::ioctl(s, SIOCETHTOOL, &r) != 0) return 0;
  info.driver[sizeof info.driver - 1] = 0;
  if (!std::strstr(info.driver, "Switch")) return 0;
  osa::LockGuard c(CacheMutex());
  g_switch_answered = name;
  return 1;
}

int GetSwitchInterface(char* out, int size) {
  if (!out || size <= 0) {
    NET_ERROR("params error!\n");
    return 0;
  }
  std::string sw;
  {
    osa::LockGuard g(CacheMutex());
    sw = g_switch;
  }
  if (sw.empty()) {
    auto file = osa::ReadFile("/proc/net/dev", 64 * 1024);
    if (!file.readable()) return 0;
    for (auto& n : ParseNetDev(file.data, kNetMaxIfaces))
      if (IsSwitch(n.c_str())) {
        sw = n == "eth0" ? "eth0:poe" : n;
        break;
      }
    if (sw.empty()) return 0;
    osa::LockGuard g(CacheMutex());
    g_switch = sw;
  }
  if (sw.size() >= static_cast<size_t>(size)) {
    NET_ERROR("name buffer length is too short, bufferLen:%d\n\n", size);
    return 0;
  }
  return CopyOut(sw, out, static_cast<size_t>(size)) ? 1 : 0;
}

int InterfaceUp(const char* name) { return ChangeFlags(name, true) ? 1 : 0; }
int InterfaceDown(const char* name) { return ChangeFlags(name, false) ? 1 : 0; }

int Net_SetIPbyName(const char* name, const char* ip, const char* mask) {
  uint32_t a, m;
  if (!name || !ip || !ParseIPv4(ip, &a)) {
    NET_ERROR("addr %s error\n", ip ? ip : "(null)");
    return 0;
  }
  if (!SetAddr(SIOCSIFADDR, name, a)) {
    NET_ERROR("set %s ip %s error\n", name, ip);
    return 0;
  }
  if (a == 0) return 1;  // a cleared address has no mask
  if (!mask || !ParseIPv4(mask, &m)) {
    NET_ERROR("mask %s error\n", mask ? mask : "(null)");
    return 0;
  }
  if (!SetAddr(SIOCSIFNETMASK, name, m)) {
    NET_ERROR("set %s mask %s error\n", name, mask);
    return 0;
  }
  return 1;
}

int Net_GetIPbyName(const char* name, char* ip, char* mask) {
  if (!name || !ip || !mask) return 0;
  if (!GetAddr(SIOCGIFADDR, name, ip)) {
    NET_WARN("get IP from system failed.[%s]\n", name);
    return 0;
  }
  if (!GetAddr(SIOCGIFNETMASK, name, mask)) {
    NET_WARN("get Mask from system failed.[%s]\n", name);
    return 0;
  }
  return 1;
}

int Net_SetMacbyName(const char* name, const char* mac) {
  if (!name || !mac) return 0;
  NET_WARN("mac addr will be modifyed![%s]\n", name);
  unsigned char b[6];
  int used = 0;
  if (std::sscanf(mac, "%02hhx:%02hhx:%02hhx:%02hhx:%02hhx:%02hhx%n", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
                  &used) != 6 ||
      mac[used] != 0) {
    NET_ERROR("mac %s error\n", mac);
    return 0;
  }
  osa::LockGuard g(IfaceMutex());
  InterfaceDown(name);
  ifreq r;
  FillName(&r, name);
  r.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(r.ifr_hwaddr.sa_data, b, 6);
  bool ok = NetIOCtrl(SIOCSIFHWADDR, &r);
  if (!ok) NET_ERROR("set mac failed.[%s:%s]\n", name, mac);
  InterfaceUp(name);
  return ok ? 1 : 0;
}

int Net_GetMtubyName(const char* name, int* mtu) {
  if (!name || !mtu) return 0;
  ifreq r;
  FillName(&r, name);
  if (!NetIOCtrl(SIOCGIFMTU, &r)) {
    NET_ERROR("get mtu from system failed.[%s]\n", name);
    return 0;
  }
  *mtu = r.ifr_mtu;
  return 1;
}

int Net_SetMtubyName(const char* name, int mtu) {
  if (!name || mtu <= 0) return 0;
  if (SetMtu(name, mtu)) return 1;
  int cur = 0;
  bool ok = false;
  if (Net_GetMtubyName(name, &cur) && cur == mtu) {
    ok = true;  // refused, but already what was asked
  } else if (cur != 0) {
    osa::LockGuard g(IfaceMutex());
    InterfaceDown(name);
    ok = SetMtu(name, mtu);
    InterfaceUp(name);
  }
  if (!ok) NET_ERROR("set MTU failed.[%s,%d]\n", name, mtu);
  return ok ? 1 : 0;
}
