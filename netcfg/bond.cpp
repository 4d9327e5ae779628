// Bonds and bridges: the kernel's bonding files in sysfs with `ifenslave`,
// and bridges with `brctl`.  Every name is checked before it reaches a
// command line.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netcfg/internal.h"
#include "osa/sys.h"

namespace {

using namespace netcfg;

constexpr const char* kBondModes[] = {"balance-rr", "active-backup", "balance-xor", "broadcast",
                                      "802.3ad",    "balance-tlb",   "balance-alb"};

bool AllValid(const char* what, const NetName* names, int n) {
  for (int i = 0; i < n; ++i)
    if (!ValidIfName(std::string_view(names[i], strnlen(names[i], kNetNameLen)))) {
      NET_ERROR("invalid %s name [%.15s]\n", what, names[i]);
      return false;
    }
  return true;
}

std::string SysNet(const char* name, const char* file) { return std::string("/sys/class/net/") + name + "/" + file; }

// Writes a bonding attribute, with its terminating zero byte as the driver expects.
bool WriteAttr(const std::string& path, const char* value) {
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC));
  if (!fd) {
    NET_ERROR("open %s failed.[%s]\n", path.c_str(), strerror(errno));
    return false;
  }
  size_t len = std::strlen(value) + 1;
  if (osa::sys::write(fd.get(), value, len) != static_cast<ssize_t>(len)) {
    NET_ERROR("write %s failed.[%s]\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Runs "<head> <a>[ <b>][ <tail>]"; the names were checked by the caller.
bool Run(bool log, const char* head, const char* a, const char* b, const char* tail) {
  std::string cmd = std::string(head) + " " + a;
  if (b) cmd += std::string(" ") + b;
  if (tail) cmd += std::string(" ") + tail;
  if (cmd.size() > 255) {
    NET_ERROR("cmd is too long.[%s]\n", cmd.c_str());
    return false;
  }
  return RunNetCommand(cmd.c_str(), log);
}

}  // namespace

// ------------------------------------------------------------------ bonds

int Bond_GetBondMembers(const char* bond, NetName* names, int* count) {
  if (!bond || !ValidIfName(bond)) return 0;
  std::string p = SysNet(bond, "bonding/slaves");
  auto file = osa::ReadFile(p.c_str(), 4096);
  if (!file.readable()) {
    NET_ERROR("open %s failed\n\n", p.c_str());
    return 0;
  }
  const std::string& text = file.data;
  if (!names) return 1;
  if (!count || *count <= 0) return 0;
  std::string_view line(text);
  line = line.substr(0, line.find('\n'));
  int n = 0;
  size_t pos = 0;
  while (n < *count && pos < line.size()) {
    size_t sp = line.find_first_of(" \t", pos);
    std::string_view item = line.substr(pos, sp == std::string_view::npos ? std::string_view::npos : sp - pos);
    pos = sp == std::string_view::npos ? line.size() : sp + 1;
    if (item.empty() || item[0] == '\0') continue;
    item = item.substr(0, strnlen(item.data(), item.size()));
    if (!ValidIfName(item)) {
      NET_ERROR("skip invalid slave [%.*s] of %s\n", static_cast<int>(item.size()), item.data(), bond);
      continue;
    }
    CopyOut(item, names[n++], kNetNameLen);
  }
  *count = n;
  return 1;
}

int Bond_SetBondMode(const char* bond, int mode) {
  if (mode < 0 || mode > 6) {
    NET_ERROR("Unknown mode %d\n\n", mode);
    return 0;
  }
  if (!bond || !ValidIfName(bond)) return 0;
  std::string p = SysNet(bond, "bonding/mode");
  osa::UniqueFd fd(osa::sys::open(p.c_str(), O_RDWR | O_TRUNC | O_CLOEXEC));
  if (!fd) {
    NET_ERROR("open %s failed.[%s]\n", p.c_str(), strerror(errno));
    return 0;
  }
  InterfaceDown(bond);
  size_t len = std::strlen(kBondModes[mode]) + 1;
  bool ok = osa::sys::write(fd.get(), kBondModes[mode], len) == static_cast<ssize_t>(len);
  if (!ok) NET_ERROR("write %s failed.[%s]\n", p.c_str(), strerror(errno));
  fd.reset();
  ok = ok && WriteAttr(SysNet(bond, "bonding/miimon"), "100");
  InterfaceUp(bond);
  return ok ? 1 : 0;
}

int Bond_SetPrimary(const char* bond, const char* member) {
  if (!bond || !member || !ValidIfName(bond) || !ValidIfName(member)) return 0;
  return WriteAttr(SysNet(bond, "bonding/primary"), member) ? 1 : 0;
}

int Bond_Bond(const char* bond, const NetName* members, int n) {
  if (!bond || !members || n <= 0 || !ValidIfName(bond) || !AllValid("member", members, n)) return 0;
  std::string cmd = std::string("ifenslave ") + bond;
  for (int i = 0; i < n; ++i) cmd += std::string(" ") + members[i];
  if (cmd.size() > 255) {
    NET_ERROR("cmd is too long.[%s]\n", cmd.c_str());
    return 0;
  }
  bool ok = true;
  for (int i = 0; i < n; ++i) ok &= Run(false, "ifconfig", members[i], nullptr, "down");
  for (int i = 0; i < n; ++i) ok &= Run(false, "ifconfig", members[i], nullptr, "0.0.0.0 up");
  InterfaceUp(bond);
  return ok && RunNetCommand(cmd.c_str(), false) ? 1 : 0;
}

int GetBondMode(const char* bond, int* mode) {
  if (!mode || !Bond_GetBondMembers(bond, nullptr, nullptr)) return 0;
  if (!GetBondModeByConfig(bond, mode)) {
    NET_ERROR("get %s bondmode by config failed.\n", bond);
    return 0;
  }
  return 1;
}

int SetMtubyBondName(const char* bond, int mtu) {
  if (!bond) return 0;
  if (mtu >= 7201) {
    NET_WARN(" mtu can not be set to %d, will be set to 1500\n", mtu);
    mtu = 1500;
  }
  NetName m[kNetMaxIfaces];
  int n = kNetMaxIfaces;
  if (!Bond_GetBondMembers(bond, m, &n) || n == 0) {
    NET_INFO("%s is not bonded, just save mtu in config.\n", bond);
    SetMtuByConfig(bond, mtu);
    return 1;
  }
  int cur = 0;
  if (Net_GetMtubyName(bond, &cur) && cur == mtu) return 1;
  osa::LockGuard g(IfaceMutex());
  InterfaceDown(bond);
  for (int i = 0; i < n; ++i) InterfaceDown(m[i]);
  int ok = Net_SetMtubyName(bond, mtu);
  for (int i = 0; i < n; ++i) InterfaceUp(m[i]);
  InterfaceUp(bond);
  return ok;
}

int Bond(const char* bond, const NetName* members, int n, int mode) {
  if (mode < 0 || mode >= 7) {
    NET_ERROR("invalided param, mode: %d\n\n", mode);
    return 0;
  }
  if (!bond || !IsBondName(bond) || !ValidIfName(bond)) {
    NET_ERROR("bond net card is not valid.[%s]\n", bond ? bond : "(null)");
    return 0;
  }
  if (!members || n <= 0 || !AllValid("member", members, n)) return 0;
  NetName b;
  CopyOut(bond, b, sizeof b);
  if (!CheckEthExist(&b, 1) || !CheckEthExist(members, n)) return 0;
  NetName cur[kNetMaxIfaces];
  int have = kNetMaxIfaces;
  if (Bond_GetBondMembers(bond, cur, &have) && have > 0) {
    int m = -1;
    if (GetBondMode(bond, &m) && m == 1) {
      if (!Bond_SetPrimary(bond, members[0]) || !SetBondPrimaryByConfig(bond, members[0])) {
        NET_ERROR("%s change primary to %s failed.\n", bond, members[0]);
        return 0;
      }
      return 1;
    }
    NET_ERROR("need unbond first.[%s]\n", bond);
    return 0;
  }
  if (!Bond_SetBondMode(bond, mode) || !Bond_Bond(bond, members, n)) {
    for (int i = 0; i < n; ++i) {
      NetCardRecover(members[i]);
      NET_ERROR("Bond [%s] failed, do recover for [%s].\n", bond, members[i]);
    }
    return 0;
  }
  for (int i = 0; i < n; ++i) {
    SetBondedByConfig(members[i], 1);
    SetBondNameByConfig(members[i], bond);
    SetWorkModeByConfig(members[i], netModeBond);
  }
  SetBondModeByConfig(bond, mode);
  SetBondMemberByConfig(bond, members, n);
  NetCardRecover(bond);
  return 1;
}

// ---------------------------------------------------------------- bridges

int Bridge_GetBridgeMembers(const char* br, NetName* names, int* count) {
  if (!br || !ValidIfName(br) || !names || !count || *count <= 0) return 0;
  std::string p = SysNet(br, "brif/");
  DIR* d = osa::sys::opendir(p.c_str());
  if (!d) {
    NET_ERROR("Open %s failed\n\n", p.c_str());
    return 0;
  }
  int n = 0;
  while (dirent* e = osa::sys::readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    if (n >= *count) break;
    if (ValidIfName(e->d_name)) CopyOut(e->d_name, names[n++], kNetNameLen);
  }
  osa::sys::closedir(d);
  *count = n;
  return 1;
}

int Bridge_IsBridgeExist(const char* br) {
  struct stat st;
  if (br && ValidIfName(br) && osa::sys::stat(SysNet(br, "brif/").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    osa::UniqueFd fd(osa::sys::open(SysNet(br, "carrier").c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) return 1;
  }
  NET_ERROR("bridge %s is not exist.\n", br ? br : "(null)");
  return 0;
}

int Bridge(const char* br, const NetName* members, int n) {
  if (!br || std::strncmp(br, "br", 2) != 0 || br[2] < '0' || br[2] > '9' || !ValidIfName(br)) {
    NET_ERROR("Bridge name error.[%s]\n", br ? br : "(null)");
    return 0;
  }
  if (!members || n <= 0 || !AllValid("member", members, n) || !CheckEthExist(members, n)) {
    NET_ERROR("Bridge failed.[%s]\n", br);
    return 0;
  }
  // A bridge that is already there keeps its ports; adding either again
  // would fail and leave the rest undone.
  NetName ports[kNetMaxIfaces];
  int have = 0;
  struct stat st;
  bool exists = osa::sys::stat(SysNet(br, "brif/").c_str(), &st) == 0;
  if (exists) {
    have = kNetMaxIfaces;
    if (!Bridge_GetBridgeMembers(br, ports, &have)) have = 0;
  }
  auto is_port = [&](const char* m) {
    for (int k = 0; k < have; ++k)
      if (!std::strcmp(ports[k], m)) return true;
    return false;
  };
  bool ok = exists || Run(true, "brctl addbr", br, nullptr, nullptr);
  for (int i = 0; ok && i < n; ++i)
    if (!is_port(members[i])) ok = Run(true, "brctl addif", br, members[i], nullptr);
  for (int i = 0; ok && i < n; ++i) ok = Run(true, "ifconfig", members[i], nullptr, "down");
  for (int i = 0; ok && i < n; ++i) ok = Run(true, "ifconfig", members[i], nullptr, "0.0.0.0 up");
  ok = ok && Run(true, "ifconfig", br, nullptr, "up");
  if (!ok) {
    NET_ERROR("Bridge failed.[%s]\n", br);
    return 0;
  }
  SetBridgeMemberByConfig(br, members, n);
  for (int i = 0; i < n; ++i) {
    SetBridgedByConfig(members[i], 1);
    SetBridgeNameByConfig(members[i], br);
    SetWorkModeByConfig(members[i], netModeBridge);
  }
  NetCardRecover(br);
  return 1;
}
