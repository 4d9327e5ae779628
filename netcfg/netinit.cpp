// The boot sequence behind `netinit`: check and repair the configuration
// files, then apply them to the kernel.  No step stops the ones after it.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netcfg/internal.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"

namespace netcfg {

namespace {

using Group = std::vector<std::string>;
using Groups = std::array<Group, kNetMaxIfaces>;

bool Exists(const char* board_path) {
  struct stat st;
  return osa::sys::stat(board_path, &st) == 0;
}

// Every rewrite of the file keeps the old name linked (ReplaceBoardFile).
void LegacyRename(const char* from, const char* to) {
  std::string a = std::string(NET_CONFIG_DIR "/") + from, b = std::string(NET_CONFIG_DIR "/") + to;
  if (!Exists(a.c_str()) || Exists(b.c_str())) return;
  if (rename(osa::sys::path(a.c_str()).c_str(), osa::sys::path(b.c_str()).c_str()) != 0) {
    NET_WARN("rename config file failed, (%s --> %s), [%s]\n", from, to, strerror(errno));
    return;
  }
  // Old readers still find the file under its old name.
  if (link(osa::sys::path(b.c_str()).c_str(), osa::sys::path(a.c_str()).c_str()) != 0)
    NET_WARN("link %s to %s failed, [%s]\n", to, from, strerror(errno));
}

void PrintUsage() {
  static const char kDashes[] = "-----------------------------------------------------------------";
  static_assert(sizeof kDashes == 66);
  OSA_LOG_DEBUG("%s\n", kDashes);
  OSA_LOG_DEBUG("Usage:netinit <ethname> <Ipaddress> <Netmask> <Gateway>\n");
  OSA_LOG_DEBUG("      netinit setdef <ethname> -- change default card\n");
  OSA_LOG_DEBUG("Example:\n");
  OSA_LOG_DEBUG("eg.   netinit eth0 192.168.1.100 255.255.0.0 192.168.1.1\n");
  OSA_LOG_DEBUG("eg.   netinit setdef eth1 \n");
  OSA_LOG_DEBUG("%s\n", kDashes);
}

bool Exist1(const char* name) {
  NetName n;
  return CopyOut(name, n, sizeof n) && CheckEthExist(&n, 1);
}

// A triple of dotted texts: parses, address set, gateway in its subnet.
enum class Triple { Valid, Invalid, Garbled };
Triple CheckTriple(const char* a, const char* m, const char* g, uint32_t* out = nullptr) {
  uint32_t ia, im, ig;
  if (!ParseIPv4(a, &ia) || !ParseIPv4(m, &im) || !ParseIPv4(g, &ig)) return Triple::Garbled;
  if (out) out[0] = ia, out[1] = im, out[2] = ig;
  return ia != 0 && ((ia ^ ig) & im) == 0 ? Triple::Valid : Triple::Invalid;
}

void ClearBond(const std::string& p) {
  SetBondedByConfig(p.c_str(), 0);
  SetBondNameByConfig(p.c_str(), "");
}

void ClearBridge(const std::string& p) {
  SetBridgedByConfig(p.c_str(), 0);
  SetBridgeNameByConfig(p.c_str(), "");
}

std::vector<NetName> ToNames(const Group& g) {
  std::vector<NetName> v(g.size());
  for (size_t i = 0; i < g.size(); ++i) CopyOut(g[i], v[i], kNetNameLen);
  return v;
}

// The stored list equals the group (same count, every stored name in it).
bool SameMembers(const NetName* stored, int n, const Group& g) {
  if (static_cast<size_t>(n) != g.size()) return false;
  for (int i = 0; i < n; ++i) {
    bool in = false;
    for (auto& m : g) in = in || m == stored[i];
    if (!in) return false;
  }
  return true;
}

void DefaultAddress(const char* name, int third, int last) {
  char ip[kNetAddrLen], gw[kNetAddrLen];
  std::snprintf(ip, sizeof ip, "192.168.%d.%d", third, last);
  std::snprintf(gw, sizeof gw, "192.168.%d.1", third);
  SetIPByConfig(name, ip, "255.255.255.0");
  SetGatewayByConfig(name, gw);
}

void CheckNumbered(const IfList& l, const char* prefix, int first, int count, int base, bool stop_at_missing,
                   const char* kind) {
  int n = first;
  for (; n < first + count; ++n) {
    std::string name = prefix + std::to_string(n);
    if (!l.has(name)) {
      if (stop_at_missing) return;
      continue;
    }
    if (!CheckNetCardConfig(name.c_str())) DefaultAddress(name.c_str(), base + n, 108);
  }
  if (stop_at_missing) NET_WARN("the %s num we can handle is too small %d\n", kind, count);
}

}  // namespace

bool LoadIfList(IfList* l) {
  NetName names[kNetMaxIfaces];
  int n = kNetMaxIfaces;
  if (!GetAllInterfaceInfo(names, &n)) return false;
  l->names = ToStrings(names, n);
  char sw[kNetNameLen];
  l->sw = GetSwitchInterface(sw, sizeof sw) ? sw : "";
  return true;
}

bool BootMac(const char* var, char* out, int size) { return BootEnvGetValue(var, out, size) == 0; }

void InitMacSetting(const IfList& l) {
  for (auto& n : l.names) {
    if (!Contains(n, "eth") || Contains(n, ":")) continue;
    char var[kNetNameLen], mac[32] = {};
    if (n == "eth0") std::snprintf(var, sizeof var, "ethaddr");
    else std::snprintf(var, sizeof var, "%.11saddr", n.c_str());
    if (BootMac(var, mac, sizeof mac)) {
      NET_INFO("%s mac: %s\n", n.c_str(), mac);
      Net_SetMacbyName(n.c_str(), mac);
    } else {
      NET_WARN("BootEnvGetValue on %s for %s failed!\n", var, n.c_str());
    }
  }
}

void CheckTrunkBondConfig(const IfList& l) {
  NET_INFO("CheckTrunkBondConfig\n");
  static constexpr int kNew[] = {-1, 1, 0, 6, 5, 4, 2, 3};  // old numbering -> bonding mode
  for (auto& b : l.names) {
    int old = -1;
    if (!IsBondName(b) || !IsTrunkBondConfig(b.c_str()) || !GetBondModeByConfig(b.c_str(), &old)) continue;
    NET_INFO("ifName: %s, oldBondMode: %d\n", b.c_str(), old);
    if (old < 1 || old > 7) {
      NET_WARN("Unknown mode: %d\n", old);
      continue;
    }
    SetBondModeByConfig(b.c_str(), kNew[old]);
    NET_INFO("ifName: %s, bondmode: %d\n", b.c_str(), kNew[old]);
  }
}

void CheckBondConfig(const IfList& l) {
  Groups groups;
  for (auto& p : l.names) {
    if (!IsPlainName(p)) continue;
    int bonded = 0;
    if (IsBondedByConfig(p.c_str(), &bonded) && bonded) {
      char bn[kNetNameLen];
      if (!GetBondNameByConfig(p.c_str(), bn, sizeof bn)) {
        if (l.has("bond0")) {
          SetBondNameByConfig(p.c_str(), "bond0");
          SetWorkModeByConfig(p.c_str(), netModeBond);
          groups[0].push_back(p);
          continue;
        }
      } else if (IsBondName(bn) && l.has(bn)) {
        int num = NameNumber(bn, "bond");
        if (num >= 0 && num < kNetMaxIfaces) {
          SetWorkModeByConfig(p.c_str(), netModeBond);
          groups[static_cast<size_t>(num)].push_back(p);
          continue;
        }
        NET_ERROR("can not handle %s\n", bn);
      }
    }
    ClearBond(p);
  }
  for (auto& b : l.names) {
    int num = IsBondName(b) ? NameNumber(b, "bond") : -1;
    if (num < 0 || num >= 16) continue;
    Group& g = groups[static_cast<size_t>(num)];
    if (g.size() < 2) {
      SetBondModeByConfig(b.c_str(), -1);
      SetBondMemberByConfig(b.c_str(), nullptr, 0);
      if (g.size() == 1) {
        ClearBond(g[0]);
        NET_WARN("the %s's member[%s] from eth config is 1\n", b.c_str(), g[0].c_str());
      }
      continue;
    }
    int mode;
    if (!GetBondModeByConfig(b.c_str(), &mode)) {
      NET_WARN("%s bond  mode is unknow, set default to activebackup\n", b.c_str());
      SetBondModeByConfig(b.c_str(), 1);
    }
    NetName stored[kNetMaxIfaces];
    int n = kNetMaxIfaces;
    bool read = GetBondMemberByConfig(b.c_str(), stored, &n);
    if (read && SameMembers(stored, n, g)) continue;
    if (!read) NET_WARN("can not get bond member from config.\n");
    else NET_WARN("config from bondmember is different from eth config\n");
    for (size_t i = 1; i < g.size(); ++i)
      if (g[i] == "eth0") std::swap(g[0], g[i]);
    auto names = ToNames(g);
    SetBondMemberByConfig(b.c_str(), names.data(), static_cast<int>(names.size()));
  }
}

void CheckBridgeConfig(const IfList& l) {
  Groups groups;
  for (auto& p : l.names) {
    if (!IsPlainName(p)) continue;
    int bridged = 0;
    char bn[kNetNameLen];
    if (IsBridgedByConfig(p.c_str(), &bridged) && bridged && GetBridgeNameByConfig(p.c_str(), bn, sizeof bn) &&
        IsBridgeName(bn)) {
      int num = NameNumber(bn, "br");
      if (num >= 0 && num < kNetMaxIfaces) {
        SetWorkModeByConfig(p.c_str(), netModeBridge);
        groups[static_cast<size_t>(num)].push_back(p);
        continue;
      }
      NET_ERROR("can not handle %s\n", bn);
    }
    ClearBridge(p);
  }
  for (int num = 0; num < kNetMaxIfaces; ++num) {
    char br[kNetNameLen];
    std::snprintf(br, sizeof br, "br%d", num);
    Group& g = groups[static_cast<size_t>(num)];
    if (g.size() < 2) {
      if (g.empty() && !IsConfigFileExist(br)) continue;
      DelConfigFile(br);
      if (g.size() == 1) {
        ClearBridge(g[0]);
        NET_WARN("the %s's member[%s] from eth config is 1\n", br, g[0].c_str());
      }
      continue;
    }
    NetName stored[kNetMaxIfaces];
    int n = kNetMaxIfaces;
    if (GetBridgeMemberByConfig(br, stored, &n) && SameMembers(stored, n, g)) continue;
    auto names = ToNames(g);
    SetBridgeMemberByConfig(br, names.data(), static_cast<int>(names.size()));
  }
}

bool CheckWorkmodeConfig(const IfList& l) {
  bool conflict = false;
  for (auto& p : l.names) {
    if (!IsPlainName(p)) continue;
    const char* n = p.c_str();
    int bonded = 0, bridged = 0;
    if (!IsBondedByConfig(n, &bonded)) {
      NET_WARN("Get %s IsBondedByConfig  failed\n", n);
      SetBondedByConfig(n, 0);
      bonded = 0;
    }
    if (!IsBridgedByConfig(n, &bridged)) {
      NET_WARN("Get %s IsBridgedByConfig  failed\n", n);
      SetBridgedByConfig(n, 0);
      bridged = 0;
    }
    if (bonded && bridged) {
      NET_ERROR(" cannot determine %s workmode.delete from both bond and bridge.\n", n);
      ClearBridge(p);
      ClearBond(p);
      SetWorkModeByConfig(n, netModeMultiple);
      conflict = true;
    } else if (bonded) {
      SetWorkModeByConfig(n, netModeBond);
    } else if (bridged) {
      SetWorkModeByConfig(n, netModeBridge);
    } else {
      SetWorkModeByConfig(n, p != "eth0" && IsSwitch(n) ? netModeSwitch : netModeMultiple);
    }
  }
  return conflict;
}

void CheckBackup() {
  if (!CheckCrc()) {
    NET_ERROR("Backup crc check error!!!\n");
    RestBackup();
  }
}

bool CheckNetCardConfig(const char* name) {
  int mtu;
  if (!GetMtuByConfig(name, &mtu)) SetMtuByConfig(name, 1500);
  char a[kNetAddrLen] = "", m[kNetAddrLen] = "", g[kNetAddrLen] = "";
  if (!ReadRaw(name, "HOSTIP", a, sizeof a) || !ReadRaw(name, "SUBMASK", m, sizeof m) ||
      !ReadRaw(name, "GATEWAYIP", g, sizeof g))
    return false;
  Triple t = CheckTriple(a, m, g);
  if (t == Triple::Garbled) NET_ERROR("inet_pton failed! add: %s, mask: %s, gateway: %s\n", a, m, g);
  return t == Triple::Valid;
}

void CheckEth0Config(const IfList& l) {
  if (!l.has("eth0")) return;
  int mtu;
  if (!GetMtuByConfig("eth0", &mtu)) SetMtuByConfig("eth0", 1500);
  char ba[kNetAddrLen] = "", bm[kNetAddrLen] = "", bg[kNetAddrLen] = "";
  if (!RestoreIP("eth0", ba)) NET_WARN("Restore eth0's IP failed\n");
  if (!RestoreMask("eth0", bm)) NET_WARN("Restore eht0's mask failed\n");
  if (!RestoreGateway("eth0", bg)) NET_WARN("Restore eth0's gateway failed\n");
  char ca[kNetAddrLen] = "", cm[kNetAddrLen] = "", cg[kNetAddrLen] = "";
  ReadRaw("eth0", "HOSTIP", ca, sizeof ca);
  ReadRaw("eth0", "SUBMASK", cm, sizeof cm);
  ReadRaw("eth0", "GATEWAYIP", cg, sizeof cg);
  uint32_t bv[3], cv[3];
  Triple bt = CheckTriple(ba, bm, bg, bv), ct = CheckTriple(ca, cm, cg, cv);
  if (bt == Triple::Garbled) NET_ERROR("addr[%s] or mask[%s] or gateway[%s] invalid!\n", ba, bm, bg);
  if (ct == Triple::Garbled) NET_ERROR("addr[%s] or mask[%s] or gateway[%s] invalid!\n", ca, cm, cg);
  bool bok = bt == Triple::Valid, cok = ct == Triple::Valid;
  if (cok && !bok) {
    BackupIP("eth0", ca);
    BackupGateway("eth0", cg);
    BackupMask("eth0", cm);
  } else if (cok && bok && std::memcmp(bv, cv, sizeof bv) == 0) {
    // both hold the same settings
  } else if (!cok && !bok) {
    NET_WARN("eth0 in config and backup is not correct! set been reset flag, will reboot with user config\n");
    setBeenResetFlag();
    SetIPByConfig("eth0", "192.168.1.108", "255.255.255.0");
    SetGatewayByConfig("eth0", "192.168.1.1");
    BackupIP("eth0", "192.168.1.108");
    BackupMask("eth0", "255.255.255.0");
    BackupGateway("eth0", "192.168.1.1");
  } else {
    SetIPByConfig("eth0", ba, bm);
    SetGatewayByConfig("eth0", bg);
  }
}

void CheckEthCardConfig(const IfList& l) { CheckNumbered(l, "eth", 1, 31, 1, false, "eth"); }
void CheckBondCardConfig(const IfList& l) { CheckNumbered(l, "bond", 0, 8, 64, true, "bond"); }
void CheckWlanCardConfig(const IfList& l) { CheckNumbered(l, "wlan", 0, 8, 32, true, "wlan"); }

void CheckSwitchConfig(const IfList& l) {
  if (l.sw.empty()) return;
  if (!CheckNetCardConfig(l.sw.c_str())) {
    SetIPByConfig(l.sw.c_str(), "10.1.1.1", "255.255.255.0");
    SetGatewayByConfig(l.sw.c_str(), "10.1.1.1");
  }
  NET_INFO("UpdateSwitchDhcpConf\n");
  UpdateSwitchDhcpConf();
}

void DoBondStuff(const IfList& l) {
  for (auto& b : l.names) {
    int mode;
    if (!IsBondName(b) || !GetBondModeByConfig(b.c_str(), &mode)) continue;
    unsigned char lacp;
    if (mode == 4 && GetLacpByConfig(b.c_str(), &lacp)) SetLacpByConfig(b.c_str(), lacp);
    NetName m[kNetMaxIfaces];
    int n = kNetMaxIfaces;
    if (!GetBondMemberByConfig(b.c_str(), m, &n)) {
      NET_ERROR("GetBondMemberByConfig failed.[%s]\n", b.c_str());
      continue;
    }
    if (n > 1 && !Bond(b.c_str(), m, n, mode)) NET_WARN("bond failed!\n");
    sleep(2);  // the bonding driver settles its slaves
  }
}

void DoBridgeStuff() {
  DIR* d = osa::sys::opendir(NET_CONFIG_DIR);
  if (!d) {
    NET_ERROR("can not open %s\n", NET_CONFIG_DIR);
    return;
  }
  std::vector<std::string> files;
  while (dirent* e = osa::sys::readdir(d))
    if (Contains(e->d_name, "networkbr") && checkIsRegFile((std::string(NET_CONFIG_DIR "/") + e->d_name).c_str()))
      files.emplace_back(e->d_name);
  osa::sys::closedir(d);
  std::sort(files.begin(), files.end());
  for (auto& f : files) {
    char br[kNetNameLen] = {};
    if (std::sscanf(f.c_str(), "network%15s", br) != 1 || !ValidIfName(br)) {
      NET_ERROR("skip %s: not a bridge file name\n", f.c_str());
      continue;
    }
    NetName m[kNetMaxIfaces];
    int n = kNetMaxIfaces;
    if (GetBridgeMemberByConfig(br, m, &n) && n > 1 && !Bridge(br, m, n)) NET_WARN("Bridge failed\n");
  }
}

void RecoverOtherEth(const IfList& l) {
  for (auto& p : l.names) {
    if (!IsPlainName(p)) continue;
    int mode = 0;
    GetWorkModeByConfig(p.c_str(), &mode);
    if (mode == netModeMultiple || mode == netModeSwitch) NetCardRecover(p.c_str());
  }
}

void CheckDefaultEthConfig(const IfList& l) {
  char def[kNetNameLen] = "eth0";
  if (!GetDefaultEthByConfig(def, sizeof def)) {
    NET_WARN("get default eth failed.\n");
    std::snprintf(def, sizeof def, "eth0");
  }
  if (!l.has(def))
    for (const char* c : {"eth0", "eth1", "eth2"})
      if (l.has(c)) {
        std::snprintf(def, sizeof def, "%s", c);
        break;
      }
  NET_INFO("default eth is %s.\n", def);
  if (!SetDefaultEthByConfig(def)) NET_WARN("set def to config failed.\n");
}

void CheckDnsServer() {
  char p[64], s[64];
  if (!Dns_GetDnsServerIPv4(p, s) && !Dns_SetDnsServerIPv4("8.8.8.8", "8.8.4.4"))
    NET_WARN("recover IPv4 default DNS server failed\n");
  if (!Dns_GetDnsServerIPv6(p, s, sizeof p) && !Dns_SetDnsServerIPv6("2001:4860:4860::8888", "2001:4860:4860::8844"))
    NET_WARN("recover IPv6 default DNS server failed\n");
}

void FlushRoutes() {
  RouteItem items[kNetMaxIfaces];
  int n = kNetMaxIfaces;
  if (!Route_GetIPv4Route(items, &n)) {
    NET_INFO("Route_GetIPv4Route failed\n\n");
    return;
  }
  for (int i = 0; i < n; ++i) {
    if (Contains(items[i].dev, "etx")) {
      NET_INFO("ignore [%s] route\n\n", items[i].dev);
      continue;
    }
    std::string d = FormatIPv4(items[i].dst), g = FormatIPv4(items[i].gw), m = FormatIPv4(items[i].mask);
    Route_DelIPv4Route(d.c_str(), g.c_str(), m.c_str(), items[i].dev);
    NET_INFO("del %s route [%s,%s,%s]\n\n", items[i].dev, d.c_str(), g.c_str(), m.c_str());
  }
}

void addDefRoute(const IfList& l) {
  std::vector<std::string> slaves;
  bool over = false;
  for (auto& n : l.names) {
    NetName m[kNetMaxIfaces];
    int cnt = kNetMaxIfaces;
    bool got = false;
    if (IsBondName(n)) got = Bond_GetBondMembers(n.c_str(), m, &cnt);
    else if (IsBridgeName(n)) got = Bridge_GetBridgeMembers(n.c_str(), m, &cnt);
    if (!got) continue;
    for (auto& s : ToStrings(m, cnt)) slaves.push_back(s);
    if (slaves.size() > static_cast<size_t>(kNetMaxIfaces)) over = true;
  }
  if (over) {
    NET_ERROR("the bonded eth over %d\n\n", kNetMaxIfaces);
    slaves.clear();
  }
  for (auto& n : l.names) {
    if (n.empty()) continue;
    bool slave = false;
    for (auto& s : slaves) slave = slave || s == n;
    if (slave) continue;
    if (IsBondName(n) && !Bond_GetBondMembers(n.c_str(), nullptr, nullptr)) continue;
    if (IsBridgeName(n) && !Bridge_IsBridgeExist(n.c_str())) continue;
    char a[kNetAddrLen] = "", m[kNetAddrLen] = "", g[kNetAddrLen] = "";
    if (!ReadRaw(n.c_str(), "HOSTIP", a, sizeof a) || !ReadRaw(n.c_str(), "SUBMASK", m, sizeof m) ||
        !ReadRaw(n.c_str(), "GATEWAYIP", g, sizeof g))
      continue;
    uint32_t v[3];
    if (CheckTriple(a, m, g, v) == Triple::Garbled) {
      NET_INFO("addr error [%s,%s,%s]\n\n", a, m, g);
      continue;
    }
    std::string net = FormatIPv4(v[0] & v[1]);
    RouteAddIPv4(net.c_str(), "0.0.0.0", m, n.c_str());
  }
  char def[kNetNameLen];
  if (!GetDefaultEthByConfig(def, sizeof def)) {
    NET_WARN("get default eth failed. will not add default route\n");
    return;
  }
  RouteAddDefIPv4(def);
}

}  // namespace netcfg

using namespace netcfg;

namespace {

void SingleInterface(char** argv, const IfList& l) {
  const char *name = argv[1], *ip = argv[2], *mask = argv[3], *gw = argv[4];
  if (!Exist1(name)) NET_ERROR("%s not exist\n", name);
  uint32_t a, m, g;
  if (!ParseIPv4(ip, &a)) {
    NET_ERROR("ip error %s\n", ip);
    return;
  }
  if (!ParseIPv4(mask, &m)) {
    NET_ERROR("mask error %s\n", mask);
    return;
  }
  if (!ParseIPv4(gw, &g)) {
    NET_ERROR("gateway error %s\n", gw);
    return;
  }
  if ((a ^ g) & m) {
    NET_ERROR("ip %s and gateway %s is not in same net\n", ip, gw);
    return;
  }
  if (!NetSetIPbyName(name, ip, mask)) NET_WARN("set %s's IP: %s, MASK: %s failed\n", name, ip, mask);
  if (!NetSetGatewaybyName(name, gw)) NET_WARN("set %s's GATEWAY: %s failed\n", name, gw);
  FlushRoutes();
  addDefRoute(l);
  setCmosVerifyFlag();
  NET_INFO("netinit for %s is finished.\n", name);
}

void DefaultInterface(char** argv) {
  if (std::strcmp(argv[1], "setdef") != 0) {
    NET_ERROR("error command, please input again.\n");
    return;
  }
  if (!Exist1(argv[2])) {
    NET_ERROR("%s not exist\n", argv[2]);
    return;
  }
  if (NetSetDefEth(argv[2])) NET_INFO("set default card is %s\n", argv[2]);
  else NET_ERROR("set %s default card failed!\n", argv[2]);
}

void FullSequence(IfList& l) {
  InitMacSetting(l);
  CheckTrunkBondConfig(l);
  for (int pass = 0; pass < 2; ++pass) {
    CheckBondConfig(l);
    CheckBridgeConfig(l);
    if (!CheckWorkmodeConfig(l)) break;
  }
  CheckBackup();
  CheckEth0Config(l);
  CheckEthCardConfig(l);
  CheckBondCardConfig(l);
  CheckWlanCardConfig(l);
  CheckSwitchConfig(l);
  DoBondStuff(l);
  DoBridgeStuff();
  // Bridges made just now are interfaces too: their routes and the default
  // interface must see them.
  IfList now;
  if (LoadIfList(&now)) l = now;
  RecoverOtherEth(l);
  CheckDefaultEthConfig(l);
  CheckDnsServer();
  FlushRoutes();
  addDefRoute(l);
  setCmosVerifyFlag();
  NET_INFO("netinit is finished.\n");
}

}  // namespace

int CommonMain(int argc, char** argv) {
  for (auto& l : kLegacyNames) LegacyRename(l.old_name, l.new_name);
  PrintUsage();
  IfList l;
  if (!LoadIfList(&l)) {
    NET_ERROR("can not get eth Names\n");
    return 1;
  }
  if (l.sw.empty()) NET_INFO("no switch in this device\n");
  for (auto& n : l.names)
    if (!IsConfigFileExist(n.c_str())) {
      NET_WARN("%s config file is not exit.\n", n.c_str());
      CreateConfigFile(n.c_str());
    }
  if (argc == 1) FullSequence(l);
  else if (argc == 3) DefaultInterface(argv);
  else if (argc == 5) SingleInterface(argv, l);
  else NET_WARN("Please check your command for netinit.\n");
  return 1;
}
