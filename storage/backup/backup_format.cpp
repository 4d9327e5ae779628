// Formatting backup media, telling their file system, the first USB
// partition mounted on a given folder, and turning a backup disk into a
// storage disk.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "osa/file.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/backup/backup_internal.h"
#include "storage/backup/backup_optical.h"
#include "storage/internal.h"
#include "storage/backup/backup_pending.h"

namespace {

bool is_partition(std::string_view dev) {
  return hd::BackupDiskOf(dev) != (dev.starts_with("/dev/") ? dev.substr(5) : dev);
}

uint64_t size_of(const char* dev) {
  osa::UniqueFd fd(osa::sys::open(dev, O_RDONLY | O_CLOEXEC));
  uint64_t bytes = 0;
  if (!fd || osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return 0;
  return bytes;
}

}  // namespace

int Backup_FormatPartition(const char* dev, const char* fs) {
  if (!dev || !fs) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  if (std::strcmp(fs, "fat32") == 0) return fat_disk_format(dev);
  if (std::strcmp(fs, "ntfs") == 0) return ntfs_format(dev);
  if (std::strcmp(fs, "ext3") == 0) return ext3_format(dev);
  if (std::strcmp(fs, "exfat") == 0) {
    if (!osa::ShellSafeAbsPath(dev, 64)) {
      HD_ERROR("Invalid para.\n");
      return -1;
    }
    std::string cmd = std::string("mkfs.exfat ") + dev + " > /dev/null";
    if (run_cmd(cmd.c_str()) != 0) {
      HD_ERROR("run cmd %s failed.\n", cmd.c_str());
      return -1;
    }
    return 0;
  }
  HD_ERROR("unsupported file system %s\n", fs);
  return -1;
}

int BackupFormatDisk(const char* dev, const char* fs) {
  if (!dev || !fs) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HD_INFO("BackupFormatDisk %s fs %s \n", dev, fs);
  if (!is_partition(dev) && std::strcmp(fs, "fat32") == 0 && size_of(dev) > (2ull << 40)) {
    HD_ERROR("%s is larger than 2 TiB, FAT32 needs partitions on it\n", dev);
    return -1;
  }
  return Backup_FormatPartition(dev, fs);
}

int BackupFormatFs(BackupDevInfo* dev, const char* fs) {
  if (!dev || !fs) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  if (dev->type == BACKUP_TYPE_OPTICAL) return hd::BackupOpticalFormat(dev, fs);
  if (!hd::BackupIsFsType(dev->type)) {
    HD_ERROR("Unknow type\n");
    return -1;
  }
  HD_INFO("umount %s before format.\n", dev->name);
  if (BackupPlayUmount(dev) != 0) return -1;
  return BackupFormatDisk(dev->name, fs);
}

int BackupFormat(BackupDevInfo* dev) { return BackupFormatFs(dev, "ntfs"); }

int BackupFsType(BackupDevInfo* dev) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  switch (hd::BackupDetectFs(dev->name)) {
    case hd::BackupFs::Fat: HD_INFO("FAT32 filesystem detected on %s\n", dev->name); return 1;
    case hd::BackupFs::Ntfs: HD_INFO("NTFS filesystem detected on %s\n", dev->name); return 2;
    case hd::BackupFs::Ext3: HD_INFO("EXT3 filesystem detected on %s\n", dev->name); return 3;
    case hd::BackupFs::Exfat: HD_INFO("EXFAT filesystem detected on %s\n", dev->name); return 4;
    default: HD_INFO("unknown filesystem detected on %s\n", dev->name); return -1;
  }
}

int usb_mount(const char* dir) {
  if (!dir || dir[0] != '/') {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  const PlatformCfg* cfg = GetPlatformCfg();
  std::vector<hd::BackupCandidate> cands;
  if (!cfg || !hd::BackupGather(*cfg, &cands)) {
    HD_ERROR("Backup usb device not ready.\n");
    return -1;
  }
  for (const auto& c : cands) {
    if (c.bus != HD_BUS_USB || !hd::BackupIsFsType(static_cast<uint32_t>(c.type)) || hd::BackupSkipReason(*cfg, c))
      continue;
    for (const BackupDevInfo& r : hd::BackupRecordsOf(c, hd::BackupRoot(*cfg))) {
      hd::BackupFs fs = hd::BackupDetectFs(r.name);
      if (fs != hd::BackupFs::Fat && fs != hd::BackupFs::Exfat) continue;
      if (osa::sys::umount2(dir, 0) != 0 && errno != EINVAL && errno != ENOENT)
        HD_ERROR("usb_mount 1 return %d,%s\n", -1, strerror(errno));
      HD_INFO("usb_mount: %s mount %s.\n", r.name, dir);
      int err = hd::BackupMountFs(fs, r.name, dir, 0);
      if (err != 0) {
        HD_ERROR("usb_mount\t2  return %d,%s\n", -1, strerror(err));
        return -1;
      }
      return 0;
    }
  }
  HD_ERROR("Backup usb device not ready.\n");
  return -1;
}

int backup_to_ide(BackupDevInfo* dev) {
  if (!dev) {
    HD_ERROR("invalid arg\n");
    return -1;
  }
  std::string disk = hd::BackupDiskOf(std::string_view(dev->name, strnlen(dev->name, sizeof dev->name)));
  const PlatformCfg* cfg = GetPlatformCfg();
  std::vector<hd::BackupCandidate> cands;
  int use = 0;
  if (cfg && hd::BackupGather(*cfg, &cands))
    for (const auto& c : cands)
      if (c.name == disk) use = c.useType;
  bool esata = dev->bus == HD_BUS_ESATA && dev->type == BACKUP_TYPE_DISK;
  bool usb = dev->bus == HD_BUS_USB && (use & (2 | 4));
  if ((!esata && !usb) || !hd::ValidBlockName(disk)) {
    HD_ERROR("%s[bus:%d, type:%d] is not esata or storage device in backup list.\n", dev->name,
             static_cast<int>(dev->bus), static_cast<int>(dev->type));
    return -1;
  }
  // Never the system disk, never a disk with a mounted partition.
  if (disk == hd::DomDisk()) {
    HD_ERROR("%s holds the system, not turned to storage.\n", dev->name);
    return -1;
  }
  osa::ReadResult m = osa::ReadFile("/proc/mounts", 1 << 20);
  if (!m.readable()) {
    HD_ERROR("setmntent fail!\n");
    return -1;
  }
  for (const auto& e : hd::ParseMounts(m.data))
    if (e.source.starts_with("/dev/") && hd::BackupDiskOf(e.source) == disk) {
      HD_ERROR("%s is mounted on %s, not turned to storage.\n", e.source.c_str(), e.dir.c_str());
      return -1;
    }
  std::string whole = "/dev/" + disk;
  HD_INFO("Turn backup device \"%s\" to storage device.\n", dev->name);
  std::vector<hd::BackupCandidate::Part> parts;
  for (const auto& c : cands)
    if (c.name == disk) parts = c.parts;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    std::string p = "/dev/" + it->name;
    HD_INFO("remove partition %s.\n", p.c_str());
    int no = std::atoi(it->name.c_str() + it->name.find_first_of("0123456789", disk.size()));
    std::string cmd = "parted " + whole + " rm " + std::to_string(no) + " -s";
    if (!osa::ShellSafeAbsPath(whole, 64) || run_cmd(cmd.c_str()) != 0) HD_ERROR("remove partition %s failed.\n", p.c_str());
  }
  if (disk_format(whole.c_str()) != 0) {
    HD_ERROR("disk_format %s failed\n", whole.c_str());
    return -1;
  }
  osa::UniqueFd fd(osa::sys::open(whole.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) {
    HD_ERROR("open device \"%s\" error.\n", whole.c_str());
    return -1;
  }
  const char* mark = esata ? "ESATAVFAT2ZQFS" : "ZQFS";
  size_t len = std::strlen(mark);
  if (osa::sys::pwrite(fd.get(), mark, len, 0) != static_cast<ssize_t>(len) || osa::sys::fdatasync(fd.get()) != 0) {
    HD_ERROR("read device \"%s\" error.\n", whole.c_str());
    return -1;
  }
  return 0;
}
