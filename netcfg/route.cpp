// IPv4 routes: read from the kernel's table in /proc/net/route, changed
// with route entries through SIOCADDRT / SIOCDELRT on a kept socket.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "netcfg/internal.h"
#include "osa/sys.h"

namespace {

using namespace netcfg;

constexpr int kLookRoutes = 256;  // how far an existence check looks

osa::Mutex& TableMutex() {
  static osa::Mutex m;
  return m;
}
// Route entries point at one shared device-name buffer, so filling and
// applying an entry is one critical section.
osa::Mutex& EntryMutex() {
  static osa::Mutex m;
  return m;
}
char g_rt_dev[kNetNameLen];

int RouteSocket() {
  static osa::Mutex m;
  static osa::UniqueFd fd;
  osa::LockGuard g(m);
  if (!fd) fd.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return fd.get();
}

void SetSin(sockaddr* sa, uint32_t a) {
  auto* sin = reinterpret_cast<sockaddr_in*>(sa);
  sin->sin_family = AF_INET;
  sin->sin_addr.s_addr = a;
}

bool Route_FillRtentry(const char* dst, const char* gw, const char* mask, const char* dev, rtentry* e) {
  std::memset(e, 0, sizeof *e);
  e->rt_flags = RTF_UP;
  uint32_t a;
  if (!dst || !ParseIPv4(dst, &a)) {
    NET_ERROR("incorrect addr.[%s]\n", dst ? dst : "(null)");
    return false;
  }
  SetSin(&e->rt_dst, a);
  if (!gw || std::strcmp(gw, "0.0.0.0") != 0) {
    if (!gw || !ParseIPv4(gw, &a)) {
      NET_ERROR("incorrect gw.[%s]\n", gw ? gw : "(null)");
      return false;
    }
    SetSin(&e->rt_gateway, a);
    e->rt_flags |= RTF_GATEWAY;
  }
  if (!mask || std::strcmp(mask, "0.0.0.0") != 0) {
    if (!mask || !ParseIPv4(mask, &a)) {
      NET_ERROR("incorrect mask.[%s]\n", mask ? mask : "(null)");
      return false;
    }
    SetSin(&e->rt_genmask, a);
    if (a == 0xffffffffu) e->rt_flags |= RTF_HOST;
  }
  if (dev && *dev) {
    if (!ValidIfName(dev, true)) {
      NET_ERROR("incorrect dev.[%s]\n", dev);
      return false;
    }
    CopyOut(dev, g_rt_dev, sizeof g_rt_dev);
    e->rt_dev = g_rt_dev;
  }
  return true;
}

bool Route_SetIPv4Route(unsigned long req, rtentry* e) {
  if (req != SIOCADDRT && req != SIOCDELRT) return false;
  int s = RouteSocket();
  if (s < 0) {
    NET_ERROR("open socket error.[%s]\n", strerror(errno));
    return false;
  }
  if (osa::sys::ioctl(s, req, e) != 0) {
    NET_ERROR("iotcl failed.[%s]\n", strerror(errno));
    return false;
  }
  return true;
}

int ApplyRoute(unsigned long req, const char* dst, const char* gw, const char* mask, const char* dev) {
  osa::LockGuard g(EntryMutex());
  rtentry e;
  if (!Route_FillRtentry(dst, gw, mask, dev, &e)) {
    NET_ERROR("Route_FillRtentry error.dst:%s gw:%s mask:%s dev:%s\n", dst, gw, mask, dev);
    return 0;
  }
  if (!Route_SetIPv4Route(req, &e)) {
    NET_ERROR("Route_SetIPv4Route error.dst:%s gw:%s mask:%s dev:%s\n", dst, gw, mask, dev);
    return 0;
  }
  return 1;
}

const char* S(const char* s) { return s ? s : "(null)"; }

}  // namespace

int Route_AddIPv4Route(const char* dst, const char* gw, const char* mask, const char* dev) {
  NET_INFO("%s,%s,%s,%s##########Route_AddIPv4Route###########\n", S(dst), S(gw), S(mask), S(dev));
  return ApplyRoute(SIOCADDRT, S(dst), S(gw), S(mask), S(dev));
}

int Route_DelIPv4Route(const char* dst, const char* gw, const char* mask, const char* dev) {
  NET_INFO("%s,%s,%s,%s###########Route_DelIPv4Route##########\n", S(dst), S(gw), S(mask), S(dev));
  return ApplyRoute(SIOCDELRT, S(dst), S(gw), S(mask), S(dev));
}

int Route_GetIPv4Route(RouteItem* items, int* count) {
  if (!items || !count || *count <= 0) return 0;
  static osa::UniqueFd table;
  std::string text;
  {
    osa::LockGuard g(TableMutex());
    if (!table) table.reset(osa::sys::open("/proc/net/route", O_RDONLY | O_CLOEXEC));
    if (!table) {
      NET_ERROR("Can not open /proc/net/route\n");
      return 0;
    }
    osa::sys::lseek(table.get(), 0, SEEK_SET);
    text = osa::ReadFd(table.get(), 1024 * 1024).data;
  }
  RouteTable t = ParseRouteTable(text, static_cast<size_t>(*count));
  if (t.bad_lines) NET_WARN("%d lines of /proc/net/route do not parse, skipped\n", t.bad_lines);
  int n = 0;
  for (auto& it : t.items) items[n++] = it;
  *count = n;
  return 1;
}

int RouteAddIPv4(const char* dst, const char* gw, const char* mask, const char* dev) {
  uint32_t d, g, m;
  if (!dst || !gw || !mask || !dev || !ParseIPv4(dst, &d) || !ParseIPv4(gw, &g) || !ParseIPv4(mask, &m)) {
    NET_ERROR("addr error.[%s,%s,%s]\n", S(dst), S(gw), S(mask));
    return 0;
  }
  std::vector<RouteItem> items(kLookRoutes);
  int n = kLookRoutes;
  if (!Route_GetIPv4Route(items.data(), &n)) {
    NET_WARN("get route item error.\n");
    n = 0;
  }
  for (int i = 0; i < n; ++i)
    if (items[i].dst == d && items[i].gw == g && items[i].mask == m && std::strcmp(items[i].dev, dev) == 0) {
      NET_INFO("this route is exist.[%s,%s,%s,%s]\n", dst, gw, mask, dev);
      return 1;
    }
  return Route_AddIPv4Route(dst, gw, mask, dev);
}

int RouteDelDefIPv4(const char* dev) {
  std::vector<RouteItem> items(kLookRoutes);
  int n = kLookRoutes;
  if (!Route_GetIPv4Route(items.data(), &n)) {
    NET_ERROR("get route item error.\n");
    if (!dev) return 0;
    char gw[kNetAddrLen];
    if (!GetGatewayByConfig(dev, gw)) {
      NET_ERROR("Can not get %s default gw.\n", dev);
      return 0;
    }
    return Route_DelIPv4Route("0.0.0.0", gw, "0.0.0.0", dev);
  }
  for (int i = 0; i < n; ++i) {
    if (items[i].dst != 0 || (dev && std::strcmp(items[i].dev, dev) != 0)) continue;
    std::string gw = FormatIPv4(items[i].gw);
    if (!Route_DelIPv4Route("0.0.0.0", gw.c_str(), "0.0.0.0", items[i].dev)) {
      NET_ERROR("del def route %s %s error.\n", items[i].dev, gw.c_str());
      return 0;
    }
  }
  return 1;
}

int RouteAddDefIPv4(const char* dev) {
  if (!dev) return 0;
  RouteDelDefIPv4(nullptr);
  char gw[kNetAddrLen];
  if (!GetGatewayByConfig(dev, gw)) {
    NET_ERROR("Can not get %s default gw.\n", dev);
    return 0;
  }
  return Route_AddIPv4Route("0.0.0.0", gw, "0.0.0.0", dev);
}
