// Paths on a backup device: the current directory and the confinement of
// every name a caller hands in to the device's mount directory.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "osa/file.h"
#include "osa/sys.h"
#include "storage/backup/backup_internal.h"

namespace hd {

namespace {

// Where an existing path really leads, in board terms; empty when it does not exist.
std::string real_of(const std::string& p) {
  char buf[PATH_MAX];
  return osa::sys::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

// The deepest existing ancestor of `p` (p itself when it exists).
std::string existing_prefix(std::string p) {
  for (;;) {
    struct stat st;
    if (osa::sys::stat(p.c_str(), &st) == 0 || p == "/") return p;
    size_t s = p.rfind('/');
    p = s == 0 ? "/" : p.substr(0, s);
  }
}

bool is_dir(const std::string& p) {
  struct stat st;
  return osa::sys::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string BackupMountDir(const BackupDevInfo* dev) {
  size_t n = strnlen(dev->mountDir, sizeof dev->mountDir);
  if (n == 0 || n == sizeof dev->mountDir || dev->mountDir[0] != '/') return {};
  std::string m = NormalPath(std::string_view(dev->mountDir, n));
  return m == "/" ? std::string() : m;
}

std::string BackupCurPath(const BackupDevInfo* dev) {
  if (dev->priv && dev->priv->curPath) {
    size_t n = strnlen(dev->priv->curPath, kBackupPathLen);
    if (n > 0 && n < static_cast<size_t>(kBackupPathLen)) return std::string(dev->priv->curPath, n);
  }
  return BackupMountDir(dev);
}

bool BackupResolve(const BackupDevInfo* dev, const char* name, std::string* out) {
  std::string mnt = BackupMountDir(dev);
  if (mnt.empty() || !name || !*name) {
    HD_ERROR("invalid arg\n");
    return false;
  }
  std::string cur = BackupCurPath(dev);
  std::string want;
  if (name[0] == '/') {
    want = name;
  } else {
    want = cur + "/" + name;
  }
  if (want.size() >= static_cast<size_t>(kBackupPathLen)) {
    HD_ERROR("path is too long\n");
    return false;
  }
  std::string norm = NormalPath(want);
  // Lexically inside, and no link along the existing part leads out.
  std::string real_mnt = real_of(mnt);
  std::string real_at = real_of(existing_prefix(norm));
  if (!PathInside(norm, mnt) || !PathInside(NormalPath(cur), mnt) || real_mnt.empty() || real_at.empty() ||
      !PathInside(real_at, real_mnt)) {
    HD_ERROR("%s is outside the mount path %s\n", want.c_str(), mnt.c_str());
    return false;
  }
  *out = norm;
  return true;
}

bool BackupMakeParents(const std::string& mnt, const std::string& path) {
  size_t s = path.rfind('/');
  if (s == std::string::npos || s <= mnt.size()) return true;
  std::string dir = path.substr(0, s);
  for (size_t at = mnt.size() + 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    std::string part = dir.substr(0, at);
    if (is_dir(part)) continue;
    if (::mkdir(osa::sys::path(part.c_str()).c_str(), 0755) != 0 && errno != EEXIST) {
      HD_ERROR("mkdir %s failed\n", part.c_str());
      return false;
    }
  }
  return true;
}

bool BackupIsMounted(const char* source, const std::string& dir) {
  osa::ReadResult r = osa::ReadFile("/proc/mounts", 1 << 20);
  if (!r.readable()) {
    HD_ERROR("setmntent fail!\n");
    return false;
  }
  for (const MountEntry& e : ParseMounts(r.data))
    if (NormalPath(e.dir) == dir && (!source || e.source == source)) return true;
  return false;
}

}  // namespace hd

using hd::BackupCurPath;
using hd::BackupMountDir;

int BackupSetCurrentPath(BackupDevInfo* dev, const char* path) {
  if (!dev || !path || !dev->priv || !dev->priv->curPath) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  std::string mnt = BackupMountDir(dev);
  std::string cur = BackupCurPath(dev);
  if (mnt.empty() || !hd::PathInside(hd::NormalPath(cur), mnt)) {
    HD_ERROR("can only operation in mount path, cur: %s, mnt: %s.\n", cur.c_str(), dev->mountDir);
    return -1;
  }
  std::string next;
  if (std::strcmp(path, "..") == 0) {
    size_t s = cur.rfind('/');
    next = s == 0 || s == std::string::npos ? "/" : cur.substr(0, s);
  } else if (path[0] == '/') {
    if (std::strlen(path) >= static_cast<size_t>(kBackupPathLen)) {
      HD_ERROR("path is too long\n");
      return -1;
    }
    next = path;
  } else {
    next = cur + "/" + path;
    if (next.size() >= static_cast<size_t>(kBackupPathLen)) {
      HD_ERROR("path is too long\n");
      return -1;
    }
  }
  std::string norm = hd::NormalPath(next);
  if (!hd::PathInside(norm, mnt)) {
    HD_ERROR("can only operation in mount path, cur: %s, mnt: %s.\n", norm.c_str(), mnt.c_str());
    return -1;
  }
  std::string resolved;
  if (!hd::BackupResolve(dev, norm.c_str(), &resolved)) return -1;
  struct stat st;
  if (osa::sys::stat(resolved.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    HD_ERROR("path dose not exist\n");
    return -1;
  }
  std::snprintf(dev->priv->curPath, kBackupPathLen, "%s", resolved.c_str());
  HD_INFO("Set current path: %s\n", dev->priv->curPath);
  return 0;
}

int BackupGetCurrentPath(BackupDevInfo* dev, char* out, int len) {
  if (!dev || !out || len <= 0) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  std::string cur = BackupCurPath(dev);
  if (cur.size() >= static_cast<size_t>(len)) {
    HD_ERROR("path is too long\n");
    return -1;
  }
  std::memcpy(out, cur.c_str(), cur.size() + 1);
  return 0;
}

int BackupGetMountPath(BackupDevInfo* dev, char* out, int len) {
  if (!dev || !out || len <= 0) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  size_t n = strnlen(dev->mountDir, sizeof dev->mountDir);
  if (n >= static_cast<size_t>(len) || n == sizeof dev->mountDir) {
    HD_ERROR("path is too long\n");
    return -1;
  }
  std::memcpy(out, dev->mountDir, n);
  out[n] = '\0';
  return 0;
}
