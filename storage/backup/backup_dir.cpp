// Folders and files under a backup device's mount directory: maintenance
// and the listings of the current directory.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "osa/sys.h"
#include "storage/backup/backup_internal.h"

namespace {

// Resolves a name on a usable file-system device; the mount directory
// itself is never a target of maintenance.
bool target(BackupDevInfo* dev, const char* name, std::string* path) {
  if (!dev || !name) {
    HD_ERROR("invalid arg\n");
    return false;
  }
  if (!hd::BackupIsFsType(dev->type)) {
    HD_ERROR("Unknow type\n");
    return false;
  }
  if (!hd::BackupResolve(dev, name, path)) return false;
  if (*path == hd::BackupMountDir(dev)) {
    HD_ERROR("%s is the mount path itself\n", path->c_str());
    return false;
  }
  return true;
}

std::string host(const std::string& p) { return osa::sys::path(p.c_str()); }

}  // namespace

int BackupIsDirExist(BackupDevInfo* dev, const char* name) {
  std::string p;
  if (!dev || !name) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (!hd::BackupResolve(dev, name, &p)) return -1;
  struct stat st;
  return osa::sys::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int BackupFileCreateDir(BackupDevInfo* dev, const char* name) {
  std::string p;
  if (!target(dev, name, &p)) return -1;
  if (!hd::BackupMakeParents(hd::BackupMountDir(dev), p + "/")) return -1;
  return 0;
}

int BackupFileRemoveDir(BackupDevInfo* dev, const char* name) {
  std::string p;
  if (!target(dev, name, &p)) return -1;
  if (::rmdir(host(p).c_str()) != 0) {
    HD_ERROR("rmdir %s failed, %s.\n", p.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int BackupRemoveDir(BackupDevInfo* dev, const char* name) {
  std::string p;
  if (!target(dev, name, &p)) return -1;
  // remove_all takes links away without following them.
  std::error_code ec;
  std::filesystem::remove_all(host(p), ec);
  if (ec) {
    HD_ERROR("remove %s failed, %s.\n", p.c_str(), ec.message().c_str());
    return -1;
  }
  return 0;
}

int BackupRemoveFile(BackupDevInfo* dev, const char* name) {
  std::string p;
  if (!target(dev, name, &p)) return -1;
  struct stat st;
  if (::lstat(host(p).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    HD_ERROR("%s is a directory\n", p.c_str());
    return -1;
  }
  if (::unlink(host(p).c_str()) != 0) {
    HD_ERROR("remove %s failed, %s.\n", p.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int BackupRename(BackupDevInfo* dev, const char* from, const char* to) {
  std::string a, b;
  if (!target(dev, from, &a) || !target(dev, to, &b)) return -1;
  if (hd::PathInside(b, a)) {
    HD_ERROR("cannot move %s into itself\n", a.c_str());
    return -1;
  }
  if (::rename(host(a).c_str(), host(b).c_str()) != 0) {
    HD_ERROR("rename %s to %s failed, %s.\n", a.c_str(), b.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

namespace {

enum class Want { Files, Dirs, Both };

// Walks the current directory; `take` gets each matching name and returns
// false to stop.  -1 when the folder cannot be read.
template <typename Fn>
int walk(BackupDevInfo* dev, const char* filter, Want want, Fn take) {
  if (!dev || !hd::BackupIsFsType(dev->type)) {
    if (dev) HD_ERROR("Unknow type\n");
    else HD_ERROR("invalid arg\n");
    return -1;
  }
  std::string cur;
  if (!hd::BackupResolve(dev, hd::BackupCurPath(dev).c_str(), &cur)) return -1;
  std::string f = filter && *filter ? filter : ".sav";
  DIR* d = osa::sys::opendir(cur.c_str());
  if (!d) {
    HD_ERROR("open dir %s failed, %s.\n", cur.c_str(), strerror(errno));
    return -1;
  }
  while (struct dirent* e = osa::sys::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    // An entry holds 127 characters and its NUL.
    if (std::strlen(e->d_name) >= static_cast<size_t>(kBackupNameLen)) {
      HD_WARN("%s: path is too long\n", e->d_name);
      continue;
    }
    struct stat st;
    if (::lstat(host(cur + "/" + e->d_name).c_str(), &st) != 0) continue;
    bool dir = S_ISDIR(st.st_mode);
    bool match = dir ? want != Want::Files
                     : want != Want::Dirs && S_ISREG(st.st_mode) &&
                           (f == ".*" || std::strstr(e->d_name, f.c_str()) != nullptr);
    if (match && !take(e->d_name)) break;
  }
  osa::sys::closedir(d);
  return 0;
}

int listing(BackupDevInfo* dev, const char* filter, Want want, BackupName* out, int max, int* count) {
  if (!out || !count || max <= 0) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  int n = 0;
  int rc = walk(dev, filter, want, [&](const char* name) {
    std::snprintf(out[n].name, sizeof out[n].name, "%s", name);
    return ++n < max;
  });
  *count = n;
  return rc;
}

}  // namespace

int BackupPlaySearchFile(BackupDevInfo* dev, const char* filter, int with_dirs, BackupName* out, int max, int* count) {
  return listing(dev, filter, with_dirs ? Want::Both : Want::Files, out, max, count);
}

int BackupPlayGetFiles(BackupDevInfo* dev, BackupName* out, int max, int* count) {
  return listing(dev, ".sav", Want::Files, out, max, count);
}

int BackupPlayGetDir(BackupDevInfo* dev, BackupName* out, int max, int* count) {
  return listing(dev, nullptr, Want::Dirs, out, max, count);
}

int BackupGetFileNum(BackupDevInfo* dev, const char* filter, int* count) {
  if (!count) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  int n = 0;
  int rc = walk(dev, filter, Want::Files, [&](const char*) {
    ++n;
    return true;
  });
  *count = n;
  return rc;
}
