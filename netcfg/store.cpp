// The configuration store: one small text file per interface under
// /mnt/mtd/Config, read and written under a process-wide mutex and a
// whole-file fcntl write lock shared with the recorder's other processes.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "netcfg/internal.h"
#include "osa/file.h"
#include "osa/sys.h"

namespace netcfg {

namespace {

constexpr size_t kMaxFile = 32 * 512;  // what the reader looks at, with room to spare
constexpr int kMaxKeptLines = 16;

osa::Mutex& ConfigMutex() {
  static osa::Mutex m;
  return m;
}

// Holds the process-wide configuration mutex and a whole-file fcntl write
// lock on one configuration file for as long as it lives.  The locked file
// is read through the lock's own descriptor: closing any other descriptor of
// the file would drop the process's lock (fcntl locks belong to the process,
// not the descriptor).
class PathLock {
 public:
  // A writer that renames a new file over the one we wait on leaves us
  // holding a lock on a dead inode, so the lock is taken again until it sits
  // on the file the path names.
  PathLock(const char* path, bool create) : mutex_(ConfigMutex()) {
    for (int tries = 0; tries < 100; ++tries) {
      osa::UniqueFd fd(osa::sys::open(path, O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0), 0644));
      if (!fd) {
        NET_WARN("open failed.flock failed.[%s]\n", path);
        return;
      }
      struct flock fl = {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      fl.l_pid = getpid();
      int r;
      while ((r = fcntl(fd.get(), F_SETLKW, &fl)) < 0 && errno == EINTR) {
      }
      if (r < 0)
        NET_ERROR("fcntl (F_SETLKW F_WRLCK) failed, pid:%d, [%s]\n", static_cast<int>(getpid()), strerror(errno));
      struct stat held = {}, named = {};
      if (r < 0 || fstat(fd.get(), &held) != 0 || osa::sys::stat(path, &named) != 0 ||
          (held.st_ino == named.st_ino && held.st_dev == named.st_dev)) {
        fd_ = std::move(fd);
        return;
      }
      // fd closes here, which drops the stale lock.
    }
  }
  ~PathLock() {
    if (!fd_) return;
    struct flock fl = {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_pid = getpid();
    if (fcntl(fd_.get(), F_SETLK, &fl) < 0)
      NET_ERROR("fcntl (F_SETLKW F_UNLCK) failed, pid:%d, [%s]\n", static_cast<int>(getpid()), strerror(errno));
  }
  PathLock(const PathLock&) = delete;
  PathLock& operator=(const PathLock&) = delete;

  // Reads the locked file (or, when it could not be locked, the file
  // itself).  Only the start of a larger file is looked at.
  osa::ReadResult Read(const char* path) const {
    return fd_ ? osa::ReadFd(fd_.get(), kMaxFile) : osa::ReadFile(path, kMaxFile);
  }
  bool held() const { return fd_.valid(); }

 private:
  osa::LockGuard mutex_;  // taken first, released last
  osa::UniqueFd fd_;
};

// The lock of the public FileLock call, which takes and releases it in two
// calls: the one descriptor the library shares, as its callers expect.
std::optional<PathLock>& PublicLock() {
  static std::optional<PathLock> lock;
  return lock;
}

bool Path(const char* ifname, char* out) { return GetConfigFilePath(ifname, out, kNetFileNameLen) == 1; }

bool GetKey(const char* ifname, const char* key, char* out, int size) {
  char p[kNetFileNameLen];
  return Path(ifname, p) && GetValueByKey(p, key, out, size) == 1;
}

int SetKey(const char* ifname, const char* key, const char* value) {
  char p[kNetFileNameLen];
  return Path(ifname, p) ? SetValueByKey(p, key, value) : 0;
}

// A name-valued key: empty clears it, anything else must be an interface name.
int SetNameKey(const char* ifname, const char* key, const char* name) {
  if (!name || (*name && !ValidIfName(name))) {
    NET_ERROR("invalid interface name [%s] for %s of %s\n", name ? name : "(null)", key, ifname ? ifname : "(null)");
    return 0;
  }
  return SetKey(ifname, key, name);
}

int GetNameKey(const char* ifname, const char* key, char* out, int size) {
  char v[kNetNameLen * 2];
  if (!out || size <= 0 || !GetKey(ifname, key, v, sizeof v)) return 0;
  if (!ValidIfName(v)) {
    NET_ERROR("%s of %s is not an interface name.[%s]\n", key, ifname, v);
    return 0;
  }
  return CopyOut(v, out, static_cast<size_t>(size)) ? 1 : 0;
}

int GetFlag(const char* ifname, const char* key, int* flag) {
  char v[8];
  if (!flag || !GetKey(ifname, key, v, sizeof v)) return 0;
  *flag = v[0] == '1';
  return 1;
}

int GetMembers(const char* ifname, const char* key, int maxlen, NetName* names, int* count) {
  if (!names || !count || *count <= 0) return 0;
  char v[256];
  if (!GetKey(ifname, key, v, maxlen + 1)) return 0;
  std::vector<std::string> bad;
  auto m = SplitMembers(v, static_cast<size_t>(*count), &bad);
  for (auto& b : bad) NET_ERROR("skip invalid member [%s] of %s\n", b.c_str(), ifname);
  *count = FromStrings(m, names, *count);
  return 1;
}

int SetMembers(const char* ifname, const char* key, const NetName* names, int count) {
  std::string list;
  for (int i = 0; i < count; ++i) {
    std::string n(names[i], strnlen(names[i], kNetNameLen));
    if (!ValidIfName(n)) {
      NET_ERROR("invalid member [%s] for %s\n", n.c_str(), ifname);
      return 0;
    }
    if (!list.empty()) list += ',';
    list += n;
  }
  if (list.size() > 254) {
    NET_ERROR("to many eths in %s\n", ifname);
    return 0;
  }
  return SetKey(ifname, key, list.c_str());
}

int GetAddrKey(const char* ifname, const char* key, char* out) {
  char v[kNetAddrLen];
  if (!out || !GetKey(ifname, key, v, sizeof v)) return 0;
  if (!ParseIPv4(v, nullptr)) {
    NET_ERROR("%s of %s is not an IPv4 address.[%s]\n", key, ifname, v);
    return 0;
  }
  std::memcpy(out, v, sizeof v);
  return 1;
}

int SetAddrKey(const char* ifname, const char* key, const char* value) {
  if (!value || !ParseIPv4(value, nullptr)) {
    NET_ERROR("%s for %s is not an IPv4 address.[%s]\n", key, ifname ? ifname : "(null)", value ? value : "(null)");
    return 0;
  }
  return SetKey(ifname, key, value);
}

// File name -> interface name ("network" -> eth0, "network1" -> eth1).
std::string IfnameOfFile(std::string_view file) {
  std::string_view rest = file.substr(std::strlen("network"));
  if (rest.empty()) return "eth0";
  if (rest == "1") return "eth1";
  return std::string(rest);
}

}  // namespace

// ------------------------------------------------------------- file helpers

bool ReplaceBoardFile(const char* path, std::string_view text, std::string* err) {
  osa::ReplaceOptions opt;
  opt.sync_required = false;  // a failing fsync only warns, the new content stands
  const std::string dir = NET_CONFIG_DIR "/";
  for (auto& l : kLegacyNames) {
    if (dir + l.new_name == path) opt.keep_linked.push_back(dir + l.old_name);
    if (dir + l.old_name == path) opt.keep_linked.push_back(dir + l.new_name);
  }
  auto r = osa::ReplaceFile(path, text, opt);
  if (!r.ok()) {
    *err = r.message;
    return false;
  }
  if (r.sync_err) NET_WARN("fsync:%s\n\n", strerror(r.sync_err));
  if (r.link_err) NET_WARN("%s\n", r.link_message.c_str());
  return true;
}

bool ReadRaw(const char* ifname, const char* key, char* out, int size) { return GetKey(ifname, key, out, size); }

}  // namespace netcfg

using namespace netcfg;

// --------------------------------------------------------------- key/value

int GetConfigFilePath(const char* ifname, char* out, size_t size) {
  if (!ifname || !out || !ValidIfName(ifname, true)) {
    NET_ERROR("invalid interface name [%s]\n", ifname ? ifname : "(null)");
    return 0;
  }
  const char* suffix = ifname;
  if (std::strcmp(ifname, "eth0") == 0) suffix = "";
  else if (std::strcmp(ifname, "eth1") == 0) suffix = "1";
  int n = std::snprintf(out, size, NET_CONFIG_DIR "/network%s", suffix);
  return n > 0 && static_cast<size_t>(n) < size ? 1 : 0;
}

int FileLock(int lock, const char* path) {
  if (lock) {
    if (!path) return 0;
    PublicLock().emplace(path, true);
  } else {
    PublicLock().reset();
  }
  return 1;
}

int GetValueByKey(const char* path, const char* key, char* out, int size) {
  if (!path || !key || !out || size <= 0) return 0;
  osa::ReadResult file;
  {
    PathLock lock(path, false);
    file = lock.Read(path);
  }
  const std::string& text = file.data;
  if (!file.readable()) {
    NET_ERROR("cannot fopen [%s]\n", path);
    return 0;
  }
  std::string value, line;
  switch (FindConfigValue(text, key, &value, &line)) {
    case ValueStatus::Missing:
      NET_WARN("can not find %s from %s.\n", key, path);
      return 0;
    case ValueStatus::NoEquals:
      NET_ERROR("file formate error![file:%s,context:%s]\n", path, line.c_str());
      return 0;
    case ValueStatus::Empty:
      NET_WARN("the %s from %s is empty.\n", key, path);
      return 0;
    case ValueStatus::Found:
      break;
  }
  if (value.size() > static_cast<size_t>(size - 1)) {
    NET_ERROR("value len is too small.[len:%d,value:%s]\n", size, value.c_str());
    return 0;
  }
  CopyOut(value, out, static_cast<size_t>(size));
  return 1;
}

int SetValueByKey(const char* path, const char* key, const char* value) {
  if (!path || !key || !*key || !value) return 0;
  if (std::strchr(value, '\n') || std::strchr(key, '\n') || std::strchr(key, '=')) {
    NET_ERROR("can not set %s = %s, a line break or \"=\" in it\n", key, value);
    return 0;
  }
  PathLock lock(path, true);
  osa::ReadResult file = lock.Read(path);
  if (!file.readable()) {
    NET_ERROR("cannot fopen for read.[%s]\n", path);
    // A file that exists but cannot be read is not taken for an empty one:
    // rewriting it would drop every other setting.
    if (file.status == osa::ReadStatus::IoError && lock.held()) return 0;
    file.data.clear();
  }
  const std::string& old = file.data;
  auto kept = KeptConfigLines(old);
  std::string line = std::string(key) + " = " + value + "\n";
  auto it = std::find_if(kept.begin(), kept.end(), [&](const std::string& l) { return Contains(l, key); });
  if (it != kept.end()) {
    *it = line;
  } else if (static_cast<int>(kept.size()) >= kMaxKeptLines) {
    NET_ERROR("can not set %s = %s, too many lines [%d] max line num is %d\n", key, value,
              static_cast<int>(kept.size()), kMaxKeptLines);
    return 0;
  } else {
    kept.push_back(line);
  }
  std::string text;
  for (auto& l : kept) {
    text += l;
    if (l.empty() || l.back() != '\n') text += '\n';  // a last line without one must not swallow the next
  }
  if (text == old) return 1;  // nothing would change: spare the flash a rewrite
  std::string err;
  if (!ReplaceBoardFile(path, text, &err)) {
    NET_ERROR("cannot fopen [%s]\n", path);
    NET_ERROR("%s\n", err.c_str());
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------- typed accessors

int GetIPByConfig(const char* ifname, char* ip, char* mask) {
  char a[kNetAddrLen], m[kNetAddrLen];
  if (!ip || !mask || !GetAddrKey(ifname, "HOSTIP", a) || !GetAddrKey(ifname, "SUBMASK", m)) return 0;
  std::memcpy(ip, a, sizeof a);
  std::memcpy(mask, m, sizeof m);
  return 1;
}

int SetIPByConfig(const char* ifname, const char* ip, const char* mask) {
  if (!ip || !mask || !ParseIPv4(ip, nullptr) || !ParseIPv4(mask, nullptr)) {
    NET_ERROR("addr[%s] or mask[%s] is not correct.\n", ip ? ip : "(null)", mask ? mask : "(null)");
    return 0;
  }
  return SetAddrKey(ifname, "HOSTIP", ip) && SetAddrKey(ifname, "SUBMASK", mask) ? 1 : 0;
}

int GetGatewayByConfig(const char* ifname, char* gw) { return GetAddrKey(ifname, "GATEWAYIP", gw); }
int SetGatewayByConfig(const char* ifname, const char* gw) { return SetAddrKey(ifname, "GATEWAYIP", gw); }

int GetMtuByConfig(const char* ifname, int* mtu) {
  char v[16];
  if (!mtu || !GetKey(ifname, "MTU", v, sizeof v)) return 0;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  if (end == v || *end || n <= 0 || n > 65535) {
    NET_ERROR("MTU of %s is not a positive number.[%s]\n", ifname, v);
    return 0;
  }
  *mtu = static_cast<int>(n);
  return 1;
}

int SetMtuByConfig(const char* ifname, int mtu) {
  if (mtu <= 0) {
    NET_ERROR("invalid mtu %d for %s\n", mtu, ifname ? ifname : "(null)");
    return 0;
  }
  return SetKey(ifname, "MTU", std::to_string(mtu).c_str());
}

int GetBondModeByConfig(const char* ifname, int* mode) {
  char v[16];
  if (!mode) return 0;
  *mode = -1;
  if (!GetKey(ifname, "BONDMODE", v, sizeof v)) return 0;
  if (v[0] < '0' || v[0] > '9') return 0;
  *mode = std::atoi(v);
  return 1;
}

int SetBondModeByConfig(const char* ifname, int mode) {
  if (mode == -1) return SetKey(ifname, "BONDMODE", "");
  if (mode < 0 || mode > 6) {
    NET_ERROR("Unknown mode %d\n\n", mode);
    return 0;
  }
  return SetKey(ifname, "BONDMODE", std::to_string(mode).c_str());
}

int GetLacpByConfig(const char* ifname, unsigned char* lacp) {
  char v[8];
  if (!lacp) return 0;
  *lacp = 0;
  if (!GetKey(ifname, "LACP", v, sizeof v) || v[0] < '0' || v[0] > '4') return 0;
  *lacp = static_cast<unsigned char>(v[0] - '0');
  return 1;
}

int SetLacpByConfig(const char* ifname, unsigned char lacp) {
  char v[8];
  std::snprintf(v, sizeof v, "%hhu", lacp);
  return SetKey(ifname, "LACP", v);
}

int IsBondedByConfig(const char* ifname, int* bonded) { return GetFlag(ifname, "BONDED", bonded); }
int SetBondedByConfig(const char* ifname, int bonded) { return SetKey(ifname, "BONDED", bonded ? "1" : "0"); }
int IsBridgedByConfig(const char* ifname, int* bridged) { return GetFlag(ifname, "BRIDGEEDED", bridged); }
int SetBridgedByConfig(const char* ifname, int bridged) { return SetKey(ifname, "BRIDGEEDED", bridged ? "1" : "0"); }
int GetBondNameByConfig(const char* ifname, char* name, int size) { return GetNameKey(ifname, "BONDNAME", name, size); }
int SetBondNameByConfig(const char* ifname, const char* name) { return SetNameKey(ifname, "BONDNAME", name); }
int GetBridgeNameByConfig(const char* ifname, char* name, int size) {
  return GetNameKey(ifname, "BRIDGENAME", name, size);
}
int SetBridgeNameByConfig(const char* ifname, const char* name) { return SetNameKey(ifname, "BRIDGENAME", name); }
int SetBondPrimaryByConfig(const char* ifname, const char* member) {
  return SetNameKey(ifname, "BONDPRIMARY", member);
}

int GetWorkModeByConfig(const char* ifname, int* mode) {
  char v[8];
  int m = 0;
  if (!GetKey(ifname, "WORKMODE", v, sizeof v)) {
    NET_ERROR("get %s's workMode failed\n", ifname ? ifname : "(null)");
    v[0] = 0;
  }
  if (v[0] >= '0' && v[0] <= '9' && (m = std::atoi(v)) <= netModeBridge) {
    if (mode) *mode = m;
    return 1;
  }
  NET_INFO("set %s work mode to netModeMultiple\n", ifname ? ifname : "(null)");
  SetWorkModeByConfig(ifname, netModeMultiple);
  if (mode) *mode = netModeMultiple;
  return 1;
}

int SetWorkModeByConfig(const char* ifname, int mode) {
  if (mode < netModeMultiple || mode > netModeBridge) {
    NET_ERROR("invalid work mode %d for %s\n", mode, ifname ? ifname : "(null)");
    return 0;
  }
  return SetKey(ifname, "WORKMODE", std::to_string(mode).c_str());
}

int GetBondMemberByConfig(const char* bond, NetName* names, int* count) {
  return GetMembers(bond, "BONDMEMBERS", 255, names, count);
}
int SetBondMemberByConfig(const char* bond, const NetName* names, int count) {
  return SetMembers(bond, "BONDMEMBERS", names, count);
}
int GetBridgeMemberByConfig(const char* br, NetName* names, int* count) {
  return GetMembers(br, "BRIDGEMEMBERS", 240, names, count);
}
int SetBridgeMemberByConfig(const char* br, const NetName* names, int count) {
  return SetMembers(br, "BRIDGEMEMBERS", names, count);
}

int IsTrunkBondConfig(const char* bond) {
  char p[kNetFileNameLen];
  if (!Path(bond, p)) return 0;
  osa::ReadResult file;
  {
    PathLock lock(p, false);
    file = lock.Read(p);
  }
  if (!file.readable()) return 0;
  for (auto& l : SplitConfigLines(file.data))
    if (Contains(l.text, "BONDMEMBERS")) {
      NET_INFO("Not Trunk config\n");
      return 0;
    }
  NET_INFO("Is Trunk config\n");
  return 1;
}

int IsConfigFileExist(const char* ifname) {
  char p[kNetFileNameLen];
  struct stat st;
  return Path(ifname, p) && osa::sys::stat(p, &st) == 0 ? 1 : 0;
}

int CreateConfigFile(const char* ifname) {
  char p[kNetFileNameLen];
  if (!Path(ifname, p)) return 0;
  osa::UniqueFd fd(osa::sys::open(p, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    NET_ERROR("cannot create %s.[%s]\n", p, strerror(errno));
    return 0;
  }
  return 1;
}

int DelConfigFile(const char* ifname) {
  char p[kNetFileNameLen];
  if (!Path(ifname, p)) return 0;
  if (unlink(osa::sys::path(p).c_str()) != 0) NET_WARN("remove file %s failed,[%s]\n", p, strerror(errno));
  return 1;
}

int checkIsRegFile(const char* path) {
  struct stat st;
  return path && osa::sys::stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int GetAllNetworkFile(NetFileName* names, int* count) {
  if (!names || !count || *count <= 0) return 0;
  DIR* d = osa::sys::opendir(NET_CONFIG_DIR);
  if (!d) {
    NET_ERROR("can not open %s\n", NET_CONFIG_DIR);
    return 0;
  }
  std::vector<std::string> found;
  while (dirent* e = osa::sys::readdir(d)) {
    std::string_view n = e->d_name;
    if (!Contains(n, "network") || Contains(n, "networkip6")) continue;
    if (n.size() >= kNetFileNameLen - 1) {
      NET_WARN("filename too long[%s].max length is %d\n", e->d_name, kNetFileNameLen - 1);
      continue;
    }
    if (checkIsRegFile((std::string(NET_CONFIG_DIR "/") + e->d_name).c_str())) found.emplace_back(n);
  }
  osa::sys::closedir(d);
  std::sort(found.begin(), found.end());  // directory order means nothing; keep runs repeatable
  int n = 0;
  for (auto& f : found) {
    if (n >= *count) break;
    CopyOut(f, names[n++], kNetFileNameLen);
  }
  *count = n;
  return 1;
}

int GetDefaultEthByConfig(char* out, int size) {
  if (!out || size <= 0) return 0;
  if (IsConfigFileExist("eth0")) {
    char v[kNetNameLen];
    if (GetNameKey("eth0", "DEFAULT_ETH", v, sizeof v) && CopyOut(v, out, static_cast<size_t>(size))) return 1;
  }
  NetFileName files[64];
  int n = 64;
  if (GetAllNetworkFile(files, &n)) {
    for (int i = 0; i < n; ++i) {
      std::string ifn = IfnameOfFile(files[i]);
      char prio[8];
      if (!ValidIfName(ifn, true)) continue;
      if (GetKey(ifn.c_str(), "PRIO", prio, sizeof prio) && prio[0] == '0' &&
          CopyOut(ifn, out, static_cast<size_t>(size)))
        return 1;
    }
  }
  NET_ERROR("can not find default eth in config\n");
  return 0;
}

int SetDefaultEthByConfig(const char* name) {
  if (!name || !ValidIfName(name, true)) {
    NET_ERROR("invalid interface name [%s]\n", name ? name : "(null)");
    return 0;
  }
  int ok = SetKey("eth0", "DEFAULT_ETH", name);
  NetFileName files[64];
  int n = 64;
  if (GetAllNetworkFile(files, &n)) {
    for (int i = 0; i < n; ++i) {
      std::string p = std::string(NET_CONFIG_DIR "/") + files[i];
      ok &= SetValueByKey(p.c_str(), "PRIO", "1");
    }
  }
  ok &= SetKey(name, "PRIO", "0");
  return ok ? 1 : 0;
}
