// Backup devices: removable media the recorder exports recordings to (USB
// disks and sticks, card readers, MMC cards, eSATA disks not used for
// recording, optical drives).  Lists them, mounts them under the backup
// mount root, keeps a current directory per device, writes files one at a
// time, lists and maintains files, reports space and formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage.h"

inline constexpr int kBackupPathLen = 732;   // current-path buffer, with its NUL
inline constexpr int kBackupNameLen = 128;   // listing entries and file requests
inline constexpr uint64_t kBackupMinPart = 0xC800000;  // 200 MiB: smaller partitions are not listed

// Device type codes of a backup record.
enum BackupDevType : uint32_t {
  BACKUP_TYPE_STORAGE = 0,   // carries the recorder's own file system signature
  BACKUP_TYPE_DISK = 1,      // any other sd disk
  BACKUP_TYPE_OPTICAL = 2,   // an sr drive, driven through its sg node
  BACKUP_TYPE_READER = 3,    // card reader (also MMC cards in a record)
  BACKUP_TYPE_POSIX = 9,     // plain Linux file system used for storage
  BACKUP_TYPE_MMC = 10,      // MMC/SD card in the inventory
  BACKUP_TYPE_READER2 = 11,  // other bridge-classified removable disk
};

inline constexpr uint32_t BACKUP_FLAG_MOUNTED = 1;

// Caller-owned private block of a file-system device.
struct BackupPriv {
  FILE* file;      // the open backup file, null when none
  char* curPath;   // caller-owned buffer of kBackupPathLen bytes
  uint32_t flags;  // BACKUP_FLAG_MOUNTED
};

// One record per partition or drive, filled by BackupGetDevices.
struct BackupDevInfo {
  uint32_t reserved[2];
  char name[32];       // "/dev/sdb1", "/dev/mmcblk0p1", "/dev/sg0"
  uint32_t type;       // BackupDevType
  uint32_t bus;        // bus code: 0 USB, 3 SATA, 4 eSATA, ...
  uint64_t total;      // KiB, set by BackupGetRemainSpace
  char mountDir[128];  // "<root>/sdb1", "<root>/sg0"
  uint32_t state;
  BackupPriv* priv;    // caller-owned; null for optical drives
};
static_assert(offsetof(BackupDevInfo, name) == 8 && offsetof(BackupDevInfo, type) == 40);
static_assert(offsetof(BackupDevInfo, bus) == 44 && offsetof(BackupDevInfo, total) == 48);
static_assert(offsetof(BackupDevInfo, mountDir) == 56 && offsetof(BackupDevInfo, state) == 184);
static_assert(offsetof(BackupDevInfo, priv) == 188 || (sizeof(void*) == 8 && offsetof(BackupDevInfo, priv) == 192));
static_assert(sizeof(void*) != 4 || sizeof(BackupDevInfo) == 192);

// A file to open: its name (NUL within the 128 bytes) and the space to reserve.
struct BackupFileReq {
  char name[kBackupNameLen];
  uint64_t reserved;
};
static_assert(offsetof(BackupFileReq, reserved) == 128 && sizeof(BackupFileReq) == 136);

// A listing entry: one name, NUL-terminated.
struct BackupName {
  char name[kBackupNameLen];
};

int BackupGetDevices(BackupDevInfo* devs, int* count);
int BackupPlayMount(BackupDevInfo* dev);
int BackupPlayUmount(BackupDevInfo* dev);
int BackupStart(BackupDevInfo* dev, const char* name, int option);
int BackupStop(BackupDevInfo* dev, int eject);

int BackupFileOpen(BackupDevInfo* dev, const BackupFileReq* req);
int BackupFileStuff(BackupDevInfo* dev, const void* buf, uint32_t len);
int BackupFileClose(BackupDevInfo* dev);
// Moves within the open file (whence as for fseek).
int BackupFileSeek(BackupDevInfo* dev, int64_t offset, int whence);
// Reads from the start, or from `offset`, of a file under the mount
// directory; the bytes read or -1.
int BackupRead(BackupDevInfo* dev, const char* name, void* buf, uint32_t len);
int BackupReadWithOffset(BackupDevInfo* dev, const char* name, uint64_t offset, void* buf, uint32_t len);

int BackupSetCurrentPath(BackupDevInfo* dev, const char* path);
int BackupGetCurrentPath(BackupDevInfo* dev, char* out, int len);
int BackupGetMountPath(BackupDevInfo* dev, char* out, int len);
// 1 when the directory exists under the mount directory, 0 when not, -1 on error.
int BackupIsDirExist(BackupDevInfo* dev, const char* name);
int BackupFileCreateDir(BackupDevInfo* dev, const char* name);
int BackupFileRemoveDir(BackupDevInfo* dev, const char* name);  // an empty directory
int BackupRemoveDir(BackupDevInfo* dev, const char* name);      // with everything in it
int BackupRemoveFile(BackupDevInfo* dev, const char* name);
int BackupRename(BackupDevInfo* dev, const char* from, const char* to);

// Listings of the current directory: at most `max` names into `out`, the
// number in *count.  A null or empty filter is ".sav"; ".*" takes every file.
int BackupPlaySearchFile(BackupDevInfo* dev, const char* filter, int with_dirs, BackupName* out, int max, int* count);
int BackupPlayGetFiles(BackupDevInfo* dev, BackupName* out, int max, int* count);
int BackupPlayGetDir(BackupDevInfo* dev, BackupName* out, int max, int* count);
int BackupGetFileNum(BackupDevInfo* dev, const char* filter, int* count);

// Free space in KiB; the total goes into dev->total.
int BackupGetRemainSpace(BackupDevInfo* dev, uint64_t* free_kib);
int BackupFormat(BackupDevInfo* dev);
int BackupFormatFs(BackupDevInfo* dev, const char* fs);
int BackupFormatDisk(const char* dev, const char* fs);
int Backup_FormatPartition(const char* dev, const char* fs);
int BackupFsType(BackupDevInfo* dev);
int backup_to_ide(BackupDevInfo* dev);
int usb_mount(const char* dir);

// Optical-drive controls around a recording (BackupStart / BackupStop).
int BackupStartRecord(BackupDevInfo* dev, int option);
int BackupStopRecord(BackupDevInfo* dev, int eject);
int BackupErrorStop(BackupDevInfo* dev);
int BackupRestoreRecord(BackupDevInfo* dev, const char* config);
int BackupGetCdCfg(BackupDevInfo* dev, char* out, int len);
int BackupFlushCache(BackupDevInfo* dev);
int BackupMediaLoad(BackupDevInfo* dev);
int BackupMediaEject(BackupDevInfo* dev);
int BackupSetDormancy(BackupDevInfo* dev, int on);

namespace hd {

// ------------------------------------------------ pure parts, for tests

// One line of /proc/mounts, octal escapes (\040 ...) decoded.
struct MountEntry {
  std::string source, dir, type, options;
};
// Lines that are not four or more fields are skipped; *bad counts them.
std::vector<MountEntry> ParseMounts(std::string_view text, int* bad = nullptr);

// What the listing knows of one candidate disk or drive.
struct BackupCandidate {
  std::string name;       // kernel name: sdb, mmcblk0, sr0
  int bus = HD_BUS_USB;
  int type = BACKUP_TYPE_DISK;  // device type code
  bool useTypeOk = true;  // USB use type could be read
  int useType = 0;
  bool systemDisk = false;
  bool iscsi = false;
  bool sizeOk = true;     // card readers: size readable
  uint64_t bytes = 0;
  int mmcUseType = 0;     // MMC cards: the board's use type for the card
  int sg = -1;            // optical drives: SCSI generic number
  struct Part {
    std::string name;  // sdb1, mmcblk0p1
    uint64_t bytes = 0;
  };
  std::vector<Part> parts;
};

// Why a candidate is left out, or null when it is listed.
const char* BackupSkipReason(const PlatformCfg& cfg, const BackupCandidate& c);
// The records of a kept candidate (one per partition of 200 MiB or more,
// or one for the whole device), under mount root `root`.
std::vector<BackupDevInfo> BackupRecordsOf(const BackupCandidate& c, std::string_view root);
// The mount root of the board ("/nfs" unless it names another).
std::string BackupRoot(const PlatformCfg& cfg);

// Lexically normal form of an absolute path: no ".", "..", or doubled "/".
// A ".." above "/" stays at "/".
std::string NormalPath(std::string_view abs);
// True when `path` (normal) is `dir` or lies below it.
bool PathInside(std::string_view path, std::string_view dir);

// File naming: true when a clash overwrites rather than renames.
bool BackupOverwrites(std::string_view name);
// The n-th new name for `name` (n from 1): rec.sav -> rec_n.sav, noext -> noextn.
std::string BackupClashName(std::string_view name, int n);
inline constexpr int kBackupMaxClash = 9999;

}  // namespace hd
