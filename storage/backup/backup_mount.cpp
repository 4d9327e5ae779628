// Mounting backup devices: the file system is found on the device, then
// mounted on the record's directory with the options of its kind.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "osa/file.h"
#include "osa/sys.h"
#include "storage/backup/backup_internal.h"
#include "storage/backup/backup_optical.h"
#include "storage/internal.h"
#include "storage/backup/backup_pending.h"

namespace hd {

const char* const kFatOptions = "usefree,codepage=936,iocharset=cp936,utf8=1";
const char* const kExfatOptions = "codepage=936,iocharset=cp936";

BackupFs BackupDetectFs(const char* dev) {
  int fat = fat_get_type(dev);
  if (fat == 1 || fat == 2) return BackupFs::Fat;
  if (fat == 3) return BackupFs::Exfat;
  if (ntfs_type(dev) == 1) return BackupFs::Ntfs;
  if (ext3_type(dev) == 1) return BackupFs::Ext3;
  if (ext2_type(dev) == 1) return BackupFs::Ext2;
  if (ext4_type(dev) == 1) return BackupFs::Ext4;
  return BackupFs::None;
}

int BackupMountFs(BackupFs fs, const char* dev, const char* dir, unsigned long flags) {
  if (!MakeMountDir(dir)) return EIO;
  int rc = -1;
  switch (fs) {
    case BackupFs::Fat:
    case BackupFs::Exfat: {
      const char* type = fs == BackupFs::Fat ? "vfat" : "exfat";
      const char* opts = fs == BackupFs::Fat ? kFatOptions : kExfatOptions;
      HD_INFO("mount -t %s %s %s %s\n", type, dev, dir, opts);
      rc = osa::sys::mount(dev, dir, type, flags, opts);
      return rc == 0 ? 0 : errno;
    }
    case BackupFs::Ntfs: {
      HD_INFO("mount -t %s %s %s\n", "ntfs", dev, dir);
      return ENODEV;  // the NTFS driver's mount comes with the file system calls
    }
    case BackupFs::Ext2:
    case BackupFs::Ext3:
    case BackupFs::Ext4: {
      const char* type = fs == BackupFs::Ext2 ? "ext2" : fs == BackupFs::Ext3 ? "ext3" : "ext4";
      HD_INFO("mount -t %s %s %s\n", type, dev, dir);
      errno = 0;
      rc = fs == BackupFs::Ext2 ? ext2_mount(dev, dir) : fs == BackupFs::Ext3 ? ext3_mount(dev, dir) : ext4_mount(dev, dir);
      return rc == 0 ? 0 : errno ? errno : EIO;
    }
    case BackupFs::None: break;
  }
  HD_ERROR("the filesystem can't identify\n");
  return EINVAL;
}

int BackupMapMountErr(int err) {
  switch (err) {
    case EBUSY: return -ENOENT;
    case ENXIO: return -ESRCH;
    case EINVAL: return -EINTR;
    default: return -1;
  }
}

}  // namespace hd

using hd::BackupFs;

int BackupPlayMount(BackupDevInfo* dev) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  HD_INFO("%s,name: %s,tpye: %d\n", __func__, dev->name, static_cast<int>(dev->type));
  if (dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalMount(dev);
  if (!hd::BackupIsFsType(dev->type)) {
    HD_ERROR("Unknow type\n");
    return -1;
  }
  if (!dev->priv) {
    HD_ERROR("invalid arg pstDev->priv\n");
    return -1;
  }
  std::string dir = hd::BackupMountDir(dev);
  if (dir.empty() || strnlen(dev->name, sizeof dev->name) == sizeof dev->name) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (hd::BackupIsMounted(dev->name, dir)) {
    HD_INFO("%s has mounted %s already.\n", dev->name, dir.c_str());
    dev->priv->flags |= BACKUP_FLAG_MOUNTED;
    return 0;
  }
  BackupFs fs = hd::BackupDetectFs(dev->name);
  BackupPlayUmount(dev);
  int err = fs == BackupFs::None ? (HD_ERROR("the filesystem can't identify\n"), EINVAL)
                                 : hd::BackupMountFs(fs, dev->name, dir.c_str(), MS_MGC_VAL | MS_NOATIME | MS_NODIRATIME);
  if (err == 0) {
    dev->priv->flags |= BACKUP_FLAG_MOUNTED;
    return 0;
  }
  dev->priv->flags &= ~BACKUP_FLAG_MOUNTED;
  if (fs == BackupFs::Ntfs) HD_ERROR("mount %s %s failed.\n", dev->name, dir.c_str());
  else HD_ERROR("mount %s %s failed, %s.\n", dev->name, dir.c_str(), strerror(err));
  return hd::BackupMapMountErr(err);
}

int BackupPlayUmount(BackupDevInfo* dev) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  HD_INFO("umount %s\n", dev->name);
  std::string dir = hd::BackupMountDir(dev);
  osa::ReadResult r = osa::ReadFile("/proc/mounts", 1 << 20);
  if (!r.readable()) {
    HD_ERROR("setmntent fail!\n");
    return -1;
  }
  int rc = 0;
  auto fail = [&](const std::string& where) {
    HD_ERROR("umount dev %s, dir %s failed, %s\n", dev->name, where.c_str(), strerror(errno));
    rc = -1;
  };
  // Newest first, so a mount stacked on another goes before it.
  auto mounts = hd::ParseMounts(r.data);
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
    if (it->source == dev->name && osa::sys::umount2(it->dir.c_str(), 0) != 0) fail(it->dir);
  if (!dir.empty() && rc == 0 && hd::BackupIsMounted(nullptr, dir) && osa::sys::umount2(dir.c_str(), 0) != 0) fail(dir);
  if (rc != 0) {
    HD_ERROR("umount failed.\n");
    return -1;
  }
  if (dev->priv && hd::BackupIsFsType(dev->type)) dev->priv->flags &= ~BACKUP_FLAG_MOUNTED;
  return 0;
}

int BackupStart(BackupDevInfo* dev, const char* name, int option) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalStart(dev, name, option);
  return BackupPlayMount(dev) == 0 ? 0 : -1;
}

int BackupStop(BackupDevInfo* dev, int eject) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalStop(dev, eject);
  if (!dev->priv) {
    HD_ERROR("invalid arg pstDev->priv\n");
    return -1;
  }
  int rc = dev->priv->file ? BackupFileClose(dev) : 0;
  if (BackupPlayUmount(dev) != 0) rc = -1;
  return rc;
}

int BackupGetRemainSpace(BackupDevInfo* dev, uint64_t* free_kib) {
  if (!dev || !free_kib) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalSpace(dev, free_kib);
  if (!hd::BackupIsFsType(dev->type)) {
    HD_ERROR("Unknow type\n");
    return -1;
  }
  uint64_t bytes = 0;
  {
    osa::UniqueFd fd(osa::sys::open(dev->name, O_RDONLY | O_CLOEXEC));
    if (!fd || osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) {
      HD_ERROR("get %s size failed.\n", dev->name);
      return -1;
    }
  }
  if (bytes > (4ull << 40)) {
    HD_ERROR("%s is larger than 4 TiB, not measured.\n", dev->name);
    return -1;
  }
  dev->total = bytes >> 10;
  std::string dir = hd::BackupMountDir(dev);
  if (dir.empty()) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  bool temporary = !hd::BackupIsMounted(dev->name, dir);
  if (temporary) {
    BackupFs fs = hd::BackupDetectFs(dev->name);
    if (fs == BackupFs::None) {
      HD_ERROR("%s need format to fat32 or ntfs first.\n", dev->name);
      return -1;
    }
    int err = hd::BackupMountFs(fs, dev->name, dir.c_str(), MS_MGC_VAL | MS_NOATIME | MS_NODIRATIME);
    if (err != 0) {
      HD_ERROR("mount %s %s failed, %s.\n", dev->name, dir.c_str(), strerror(err));
      return -1;
    }
  }
  struct statvfs sv;
  int rc = 0;
  if (::statvfs(osa::sys::path(dir.c_str()).c_str(), &sv) != 0) {
    HD_ERROR("SysfsGetFreeSize failed\n");
    rc = -1;
  } else {
    *free_kib = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize >> 10;
  }
  if (temporary && osa::sys::umount2(dir.c_str(), 0) != 0) {
    HD_ERROR("umount %s failed, %s.\n", dir.c_str(), strerror(errno));
    rc = -1;
  }
  return rc;
}
