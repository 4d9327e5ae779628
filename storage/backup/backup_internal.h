// Shared by the backup layer's own files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "osa/osa.h"
#include "storage/backup/backup.h"

namespace hd {

// True for the file-system device types (1, 3, 11).
inline bool BackupIsFsType(uint32_t t) {
  return t == BACKUP_TYPE_DISK || t == BACKUP_TYPE_READER || t == BACKUP_TYPE_READER2;
}

// The record's mount directory, normal, or empty when it is not a usable
// absolute path.
std::string BackupMountDir(const BackupDevInfo* dev);
// The current path: the private block's, else the mount directory.
std::string BackupCurPath(const BackupDevInfo* dev);

// Resolves a caller's name to a board path inside the mount directory: a
// name under the mount directory stands as it is, any other absolute name
// is refused, a relative one is taken from the current path.  Refuses what
// lies outside the mount directory, lexically or through a link, and paths
// of kBackupPathLen bytes or more.  Logs why.
bool BackupResolve(const BackupDevInfo* dev, const char* name, std::string* out);

// Creates the folders of `path` below the mount directory.
bool BackupMakeParents(const std::string& mnt, const std::string& path);

// True when /proc/mounts shows `dir` mounted (from `source` when not null).
bool BackupIsMounted(const char* source, const std::string& dir);

// The candidates of the SCSI scan (and MMC cards on filter boards); false
// when the scan cannot be read (logged).
bool BackupGather(const PlatformCfg& cfg, std::vector<BackupCandidate>* out);
// The whole disk of a partition name: sdb1 -> sdb, mmcblk0p1 -> mmcblk0.
std::string BackupDiskOf(std::string_view part);

enum class BackupFs { None, Fat, Exfat, Ntfs, Ext2, Ext3, Ext4 };
// The file system on a device: FAT or exFAT by the boot sector, else NTFS,
// else ext3 (ext2 and ext4 also mount, each as itself).
BackupFs BackupDetectFs(const char* dev);
// Mounts `fs` with its options and `flags` (FAT and exFAT); 0 or an errno value.
int BackupMountFs(BackupFs fs, const char* dev, const char* dir, unsigned long flags);
// The caller's result for a failed mount's errno.
int BackupMapMountErr(int err);
extern const char* const kFatOptions;
extern const char* const kExfatOptions;

}  // namespace hd
