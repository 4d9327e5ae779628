// Files on a mounted backup device: the one open file (open, stuff, close,
// seek) and reading back.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "osa/sys.h"
#include "storage/backup/backup_internal.h"
#include "storage/backup/backup_optical.h"

namespace {

// A name is taken when anything stands there, a dangling link included.
bool taken(const std::string& p) {
  struct stat st;
  return ::lstat(osa::sys::path(p.c_str()).c_str(), &st) == 0;
}

// The private block of a started file-system device, or null (logged).
BackupPriv* started(BackupDevInfo* dev) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return nullptr;
  }
  if (!hd::BackupIsFsType(dev->type)) {
    HD_ERROR("Unknow type\n");
    return nullptr;
  }
  if (!dev->priv) {
    HD_ERROR("invalid arg pstDev->priv\n");
    return nullptr;
  }
  if (!(dev->priv->flags & BACKUP_FLAG_MOUNTED)) {
    HD_ERROR("please call BackupStart() first\n");
    return nullptr;
  }
  return dev->priv;
}

}  // namespace

int BackupFileOpen(BackupDevInfo* dev, const BackupFileReq* req) {
  if (dev && dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalFileOpen(dev, req);
  if (!req) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  BackupPriv* priv = started(dev);
  if (!priv) return -1;
  if (strnlen(req->name, sizeof req->name) == sizeof req->name) {
    HD_ERROR("file name is not terminated within %zu bytes\n", sizeof req->name);
    return -1;
  }
  if (priv->file) {
    HD_ERROR("a backup file is open already\n");
    return -1;
  }
  std::string path;
  if (!hd::BackupResolve(dev, req->name, &path)) return -1;
  std::string mnt = hd::BackupMountDir(dev);
  if (path == mnt || !hd::BackupMakeParents(mnt, path)) return -1;
  // Parents now exist: the resolution is checked again through any links.
  if (!hd::BackupResolve(dev, path.c_str(), &path)) return -1;
  if (taken(path) && !hd::BackupOverwrites(path)) {
    std::string next;
    int n = 1;
    for (; n <= hd::kBackupMaxClash; ++n) {
      next = hd::BackupClashName(path, n);
      if (next.size() >= static_cast<size_t>(kBackupPathLen)) {
        HD_ERROR("path is too long\n");
        return -1;
      }
      if (!taken(next)) break;
    }
    if (n > hd::kBackupMaxClash) {
      HD_ERROR("no free name for %s after %d tries\n", path.c_str(), hd::kBackupMaxClash);
      return -1;
    }
    path = next;
    HD_INFO("FileName: %s\n", path.c_str());
  }
  // Never through a link: an overwritten name that is a link is refused.
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  FILE* f = fd ? ::fdopen(fd.get(), "wb") : nullptr;
  if (!f) {
    HD_ERROR("open %s failed, %s.\n", path.c_str(), strerror(errno));
    return -1;
  }
  fd.release();
  if (req->reserved > 0 &&
      ::fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(req->reserved)) != 0)
    HD_WARN("ftruencate reserved space for file fail, %s\n", strerror(errno));
  HD_INFO("Open file %s, size:%llu.\n", path.c_str(), static_cast<unsigned long long>(req->reserved));
  priv->file = f;
  return 0;
}

int BackupFileStuff(BackupDevInfo* dev, const void* buf, uint32_t len) {
  if (dev && dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalStuff(dev, buf, len);
  BackupPriv* priv = started(dev);
  if (!priv) return -1;
  if (!buf && len) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (!priv->file) {
    HD_ERROR("DeviceBackupFile == NULL\n");
    return -1;
  }
  if (osa::sys::access(dev->name, R_OK) != 0) {
    HD_ERROR("access %s failed, %s.\n", dev->name, strerror(errno));
    return -1;
  }
  if (len && std::fwrite(buf, 1, len, priv->file) != len) {
    HD_ERROR("write backup file failed, %s.\n", strerror(errno));
    return -1;
  }
  return 0;
}

int BackupFileClose(BackupDevInfo* dev) {
  if (dev && dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalClose(dev);
  if (!dev || !dev->priv) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  BackupPriv* priv = dev->priv;
  HD_INFO("Close file.\n");
  if (!priv->file) return 0;
  // A flush, sync or close failure (a full disk) all lose data.
  int rc = 0;
  if (std::fflush(priv->file) != 0) {
    HD_ERROR("flush backup file failed, %s.\n", strerror(errno));
    rc = -1;
  }
  if (::fsync(fileno(priv->file)) != 0) {
    HD_ERROR("fsync backup file failed, %s.\n", strerror(errno));
    rc = -1;
  }
  if (std::fclose(priv->file) != 0) {
    HD_ERROR("close backup file failed, %s.\n", strerror(errno));
    rc = -1;
  }
  priv->file = nullptr;
  return rc;
}

int BackupFileSeek(BackupDevInfo* dev, int64_t offset, int whence) {
  BackupPriv* priv = started(dev);
  if (!priv) return -1;
  if (!priv->file) {
    HD_ERROR("DeviceBackupFile == NULL\n");
    return -1;
  }
  if (std::fflush(priv->file) != 0 || fseeko(priv->file, static_cast<off_t>(offset), whence) != 0) {
    HD_ERROR("seek backup file failed, %s.\n", strerror(errno));
    return -1;
  }
  return 0;
}

int BackupReadWithOffset(BackupDevInfo* dev, const char* name, uint64_t offset, void* buf, uint32_t len) {
  if (!started(dev)) return -1;
  if (!buf || !name) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (len > INT32_MAX) len = INT32_MAX;
  std::string path;
  if (!hd::BackupResolve(dev, name, &path)) return -1;
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    HD_ERROR("open %s failed, %s.\n", path.c_str(), strerror(errno));
    return -1;
  }
  uint32_t got = 0;
  while (got < len) {
    ssize_t n = osa::sys::pread(fd.get(), static_cast<char*>(buf) + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      HD_ERROR("read %s failed, %s.\n", path.c_str(), strerror(errno));
      return -1;
    }
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  return static_cast<int>(got);
}

int BackupRead(BackupDevInfo* dev, const char* name, void* buf, uint32_t len) {
  return BackupReadWithOffset(dev, name, 0, buf, len);
}
