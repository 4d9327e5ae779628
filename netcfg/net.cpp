// The "Net" operations that keep kernel, configuration files and the eth0
// backup in step; DNS files; the switch's DHCP server file; commands.

#include <arpa/inet.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "netcfg/internal.h"
#include "osa/sys.h"

namespace netcfg {

bool RunNetCommand(const char* command, bool log) {
  if (log) NET_INFO("%s\n\n", command);
  int st = run_cmd(command);
  if (st != 0) NET_ERROR("command failed, status %d.[%s]\n", st, command);
  return st == 0;
}

}  // namespace netcfg

using namespace netcfg;

namespace {

bool Exists(const char* name) {
  NetName n;
  return name && CopyOut(name, n, sizeof n) && CheckEthExist(&n, 1);
}

bool IsSwitchPort(const char* name) { return std::strcmp(name, "eth0") != 0 && IsSwitch(name); }

const char* const kResolv = NET_CONFIG_DIR "/resolv.conf";
const char* const kResolv6 = NET_CONFIG_DIR "/resolvip6.conf";

osa::Mutex& DnsMutex() {  // recursive: a setter reads the other family under it
  static osa::Mutex m(osa::Mutex::Kind::Recursive);
  return m;
}

struct Servers {
  std::vector<std::string> v4, v6;
};

// Name server lines up to the first line that is not one.
void ParseResolv(std::string_view text, Servers* s) {
  for (auto& l : SplitConfigLines(text)) {
    std::string_view t = l.text;
    size_t at = t.find("nameserver");
    if (at == std::string_view::npos) break;
    std::string_view v = t.substr(at + std::strlen("nameserver"));
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\n' || v.back() == '\r'))
      v.remove_suffix(1);
    std::string val(v.substr(0, 63));
    bool six = t.find(':') != std::string_view::npos;
    unsigned char buf[16];
    if (inet_pton(six ? AF_INET6 : AF_INET, val.c_str(), buf) != 1) {
      if (six) NET_ERROR(" error ipv6 addr.[%s]\n", val.c_str());
      else NET_ERROR(" error ipv4 addr.[%s]\n", val.c_str());
      continue;
    }
    (six ? s->v6 : s->v4).push_back(val);
  }
}

bool WriteDnsFiles(const char* p4, const char* s4, const char* p6, const char* s6) {
  std::string all, six;
  struct Item {
    const char* v;
    bool is6;
    const char* label;
  } items[] = {{p4, false, "primary_4"}, {s4, false, "secondary_4"}, {p6, true, "primary_6"}, {s6, true, "secondary_6"}};
  for (auto& it : items) {
    if (!it.v || !*it.v) continue;
    unsigned char buf[16];
    if (std::strlen(it.v) > 45 || inet_pton(it.is6 ? AF_INET6 : AF_INET, it.v, buf) != 1) {
      NET_ERROR("%s addr.[%s]\n", it.label, it.v);
      continue;
    }
    std::string line = std::string("nameserver ") + it.v + "\n";
    all += line;
    if (it.is6) six += line;
  }
  std::string err;
  bool ok = true;
  if (!ReplaceBoardFile(kResolv, all, &err)) {
    NET_ERROR("Can not open %s\n", kResolv);
    ok = false;
  }
  if (!ReplaceBoardFile(kResolv6, six, &err)) {
    NET_ERROR("Can not open %s\n", kResolv6);
    ok = false;
  }
  return ok;
}

bool Fill(char* out, const std::vector<std::string>& v, size_t i, int len) {
  return out && i < v.size() && CopyOut(v[i], out, static_cast<size_t>(len));
}

}  // namespace

// ------------------------------------------- addresses, config and backup

int NetSetIPbyName(const char* name, const char* ip, const char* mask) {
  if (!Exists(name) || !Net_SetIPbyName(name, ip, mask)) return 0;
  int ok = SetIPByConfig(name, ip, mask);
  BackupIP(name, ip);
  BackupMask(name, mask);
  if (IsSwitchPort(name)) UpdateSwitchDhcpConf();
  return ok;
}

int NetSetGatewaybyName(const char* name, const char* gw) {
  if (!Exists(name)) return 0;
  if (!SetGatewayByConfig(name, gw)) {
    NET_ERROR("save %s,%s to config failed\n", name, gw ? gw : "(null)");
    return 0;
  }
  if (std::strcmp(name, "eth0") == 0) BackupGateway(name, gw);
  else if (IsSwitchPort(name)) UpdateSwitchDhcpConf();
  return 1;
}

int NetGetIPbyName(const char* name, char* ip, char* mask) {
  if (!name || !ip || !mask) return 0;
  if (GetIPByConfig(name, ip, mask)) return 1;
  NET_WARN("get %s's ip mask from config failed. try sys.\n", name);
  if (Net_GetIPbyName(name, ip, mask)) return 1;
  NET_WARN("get %s's ip mask from sys failed. try cmos or rtc.\n", name);
  if (RestoreIP(name, ip) && RestoreMask(name, mask)) {
    NET_WARN("restore ip mask from backup to configfile \n");
    SetIPByConfig(name, ip, mask);
    return 1;
  }
  NET_ERROR("get %s's ip mask from cmos or rtc failed.\n", name);
  return 0;
}

int NetGetGatewaybyName(const char* name, char* gw) {
  if (!name || !gw) return 0;
  if (GetGatewayByConfig(name, gw)) return 1;
  NET_WARN("get %s's gateway from config failed. try cmos or rtc.\n", name);
  if (RestoreGateway(name, gw)) {
    SetGatewayByConfig(name, gw);
    return 1;
  }
  NET_ERROR("get %s's gateway from cmos or rtc failed.\n", name);
  return 0;
}

int NetGetHostIPEx(const char* name, char* ip, int ipLen, char* mask, int maskLen) {
  if (!ip || !mask || ipLen < kNetAddrLen || maskLen < kNetAddrLen || !NetGetIPbyName(name, ip, mask)) {
    NET_ERROR("failed\n");
    return -1;
  }
  return 0;
}

int NetGetGatewayEx(const char* name, char* gw, int gwLen) {
  if (!gw || gwLen < kNetAddrLen || !NetGetGatewaybyName(name, gw)) {
    NET_ERROR("failed\n");
    return -1;
  }
  return 0;
}

int NetSetDefEth(const char* name) {
  if (!SetDefaultEthByConfig(name)) {
    NET_ERROR("save default eth %s to config failed.\n", name ? name : "(null)");
    return 0;
  }
  char gw[kNetAddrLen];
  if (!GetGatewayByConfig(name, gw)) {
    NET_ERROR("Get %s gateway by config error.\n", name);
    return 0;
  }
  return RouteAddDefIPv4(name);
}

int NetCardRecover(const char* name) {
  if (!name) return 1;
  InterfaceUp(name);
  char ip[kNetAddrLen], mask[kNetAddrLen], gw[kNetAddrLen];
  bool have = GetIPByConfig(name, ip, mask);
  if (!have) {
    NET_WARN("get ip mask by config failed.[%s]\n", name);
    have = RestoreIP(name, ip) && RestoreMask(name, mask);
    if (!have) NET_ERROR("get ip mask from cmos  or rtc failed.[%s]\n", name);
  }
  if (have && !NetSetIPbyName(name, ip, mask)) NET_ERROR("set ip[%s] mask[%s] to sys failed.[%s]\n", ip, mask, name);
  have = GetGatewayByConfig(name, gw);
  if (!have) {
    NET_WARN("get getway by config failed.[%s]\n", name);
    have = RestoreGateway(name, gw);
    if (!have) NET_ERROR("get gateway from cmos  or rtc failed.[%s]\n", name);
  }
  if (have && !NetSetGatewaybyName(name, gw)) NET_ERROR("set gateway[%s] to sys failed.[%s]\n", gw, name);
  int mtu = 0;
  if (!GetMtuByConfig(name, &mtu)) NET_ERROR("get mtu from config failed.[%s]\n", name);
  else if (IsBondName(name)) SetMtubyBondName(name, mtu);
  else Net_SetMtubyName(name, mtu);
  return 1;
}

int PciPhyToCard(void) {
  DVR_ERROR("not suppurt\n");
  return -1;
}

// --------------------------------------------------------------------- DNS

int Dns_GetDnsFileInfo(char* p4, char* s4, char* p6, char* s6, int len) {
  osa::LockGuard g(DnsMutex());
  auto file = osa::ReadFile(kResolv, 64 * 1024);
  if (!file.readable()) {
    NET_ERROR("open /mnt/mtd/Config/resolv.conf failed\n");
    return 0;
  }
  Servers s;
  ParseResolv(file.data, &s);
  if (p6 && s6 && s.v6.empty()) {
    if (auto file6 = osa::ReadFile(kResolv6, 64 * 1024); file6.readable()) {
      Servers six;
      ParseResolv(file6.data, &six);
      s.v6 = six.v6;
    } else {
      NET_ERROR("open /mnt/mtd/Config/resolvip6.conf failed\n");
    }
  }
  bool ok = true;
  if (p4) ok &= Fill(p4, s.v4, 0, kNetAddrLen);
  if (s4) ok &= Fill(s4, s.v4, 1, kNetAddrLen);
  if (p6) ok &= Fill(p6, s.v6, 0, len);
  if (s6) ok &= Fill(s6, s.v6, 1, len);
  return ok ? 1 : 0;
}

int Dns_GetDnsServerIPv4(char* p4, char* s4) {
  if (!p4 || !s4) return 0;
  p4[0] = s4[0] = 0;
  return Dns_GetDnsFileInfo(p4, s4, nullptr, nullptr, 0);
}

int Dns_GetDnsServerIPv6(char* p6, char* s6, int len) {
  if (!p6 || !s6 || len <= 0) return 0;
  p6[0] = s6[0] = 0;
  return Dns_GetDnsFileInfo(nullptr, nullptr, p6, s6, len);
}

int Dns_SetDnsAddress(const char* p4, const char* s4, const char* p6, const char* s6) {
  osa::LockGuard g(DnsMutex());
  return WriteDnsFiles(p4, s4, p6, s6) ? 1 : 0;
}

int Dns_SetDnsServerIPv4(const char* p4, const char* s4) {
  uint32_t a;
  if (!p4 || !s4 || !ParseIPv4(p4, &a) || !ParseIPv4(s4, &a)) {
    NET_ERROR("address error.[%s][%s]\n", p4 ? p4 : "(null)", s4 ? s4 : "(null)");
    return 0;
  }
  osa::LockGuard g(DnsMutex());
  char p6[64] = "", s6[64] = "";
  Dns_GetDnsServerIPv6(p6, s6, sizeof p6);
  return Dns_SetDnsAddress(p4, s4, p6, s6);
}

int Dns_SetDnsServerIPv6(const char* p6, const char* s6) {
  unsigned char buf[16];
  if (!p6 || !s6 || inet_pton(AF_INET6, p6, buf) != 1 || inet_pton(AF_INET6, s6, buf) != 1) {
    NET_ERROR("address error.[%s][%s]\n", p6 ? p6 : "(null)", s6 ? s6 : "(null)");
    return 0;
  }
  osa::LockGuard g(DnsMutex());
  char p4[kNetAddrLen] = "", s4[kNetAddrLen] = "";
  Dns_GetDnsServerIPv4(p4, s4);
  return Dns_SetDnsAddress(p4, s4, p6, s6);
}

// ------------------------------------------------------------ switch DHCP

int Switch_UpDateDhcpConf(const char* iface, const char* start, const char* end, const char* subnet,
                          const char* router) {
  if (!iface || !start || !end || !subnet || !router) return 0;
  char text[512];
  std::snprintf(text, sizeof text, "start %s\nend %s\ninterface %s\noption  subnet %s\nopt router %s\noption  lease 60\n",
                start, end, iface, subnet, router);
  std::string err;
  if (!ReplaceBoardFile(NET_CONFIG_DIR "/udhcpd.conf", text, &err)) {
    NET_ERROR("cannot fopen DHCP_CONF.[%s]\n", err.c_str());
    return 0;
  }
  return 1;
}

int UpdateSwitchDhcpConf(void) {
  char sw[kNetNameLen], ip[kNetAddrLen], mask[kNetAddrLen], gw[kNetAddrLen];
  if (!GetSwitchInterface(sw, sizeof sw)) {
    NET_ERROR("Get switch name failed.\n");
    return 0;
  }
  if (!GetIPByConfig(sw, ip, mask)) {
    NET_ERROR("Get ip mask failed.\n");
    return 0;
  }
  if (!GetGatewayByConfig(sw, gw)) {
    NET_ERROR("Get gateway failed.\n");
    return 0;
  }
  uint32_t a, start, end;
  ParseIPv4(ip, &a);
  SwitchDhcpPool(a, &start, &end);
  return Switch_UpDateDhcpConf(sw, FormatIPv4(start).c_str(), FormatIPv4(end).c_str(), mask, gw);
}

// ---------------------------------------------------------------- commands

int SysNetRunCmd(const char* command) {
  if (!command) {
    NET_ERROR("command buffer is NULL.\n\n");
    return 0;
  }
  // The shared runner does the signal handling; any reaped shell counts.
  return run_cmd(command) == -1 ? 0 : 1;
}
