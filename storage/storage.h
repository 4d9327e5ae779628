// The disk library: one inventory of the recorder's block storage devices
// (SATA, SAS, eSATA, USB, MMC, NVMe, software RAID arrays), the hotplug
// listener on the kernel's event socket, and the board storage models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ------------------------------------------------------------ board model

inline constexpr int kHdVersion = 4457;

struct HdUsbUseRow {
  int bus, port, subport, useType;
};

struct PlatformCfg {
  int iDevType;
  int iDomDiskType;
  int iPosixFs;
  int iRaidType;      // 0 none, 1 mdadm arrays, 2 hardware RAID card
  int iHotspareType;  // 1: the hot-spare tool is installed
  int iVgType;
  int iMaxExpLayer;
  int iMaxExpPort;
  int iPortType;  // 1..16, how a main-frame disk's port is found
  int iPortNum;
  int iDirectIO;
  int iFeature;     // 1: eSATA for backup, 2: eSATA as storage disk
  int iMmcFilter;   // 1: MMC/SD devices stay out of the inventory
  int iUsbBridgeSwitch;
  char szUsbBridge[6][6];  // link-target fragments that make a USB disk count as SATA
  int iUsbUseRows;
  HdUsbUseRow stUsbUse[32];
  int iUsbDefaultUse;
  int iHostCount, iPhyPerHost;
  uint8_t portTable[64];
  uint8_t hostPortTable[4][32];
  int (*pfnPort)(int host, int channel, int target, int lun);  // port type 6
  int iExpHostNum[4];
  int iExpPortPerHost;
  char szBackupRoot[64];
  int iCleanParity;  // 1: RAID 5 created with clean parity
};

// The model of this board (selected once by ProductType and ProductName).
const PlatformCfg* GetPlatformCfg();
// The model table itself, for tests: the row for a product.
PlatformCfg HdSelectPlatformCfg(int product_type, std::string_view product_name);

// ---------------------------------------------------------- device record

// One inventory record.  Plain data shared with the application: fixed-width
// members in a fixed order, with explicit padding so the layout is the same
// on the 32-bit board and a 64-bit host up to the private pointer.
struct HdDevInfo {
  int fdSync;      // O_RDWR|O_SYNC; -1 when closed
  int fdBuffered;  // O_RDWR
  int fdDirect;    // O_RDWR|O_SYNC|O_DIRECT
  uint32_t host;
  int32_t logic;  // 0.. or a role: -1 unnumbered, -2 hot spare, -3 RAID member, -4 VG member
  uint32_t lastSeen;
  uint32_t state;  // 1 arrived, 2 gone; 32 inactive array
  char name[32];
  char type[16];  // DISK FLASH RAID VG
  char bus[16];   // SATA SAS ESATA USB MMC PCIE SCSI RAID VG
  uint32_t pad0;  // keeps capacity on an 8-byte boundary on both ABIs
  uint64_t capacity;  // 512-byte sectors
  uint8_t port;
  uint8_t layer;
  uint8_t busClass;
  char parentRaid[32];
  uint8_t pad1;
  uint32_t slot;
  char identity[64];
  uint32_t writeSpeed;  // KiB/s
  uint32_t slowWrites;
  uint32_t rwMode;  // 1: read-only for writes
  void* privData;
};
static_assert(offsetof(HdDevInfo, host) == 12 && offsetof(HdDevInfo, name) == 28);
static_assert(offsetof(HdDevInfo, bus) == 76 && offsetof(HdDevInfo, capacity) == 96);
static_assert(offsetof(HdDevInfo, parentRaid) == 107 && offsetof(HdDevInfo, slot) == 140);
static_assert(offsetof(HdDevInfo, identity) == 144 && offsetof(HdDevInfo, rwMode) == 216);
static_assert(sizeof(void*) != 4 || sizeof(HdDevInfo) == 224);

enum HdState : uint32_t { HD_STATE_ON = 1, HD_STATE_OFF = 2, HD_STATE_INACTIVE = 32 };
enum HdBusCode : int { HD_BUS_USB = 0, HD_BUS_SATA = 3, HD_BUS_ESATA = 4, HD_BUS_SAS = 5, HD_BUS_RAIDVD = 6, HD_BUS_ISCSI = 7 };

// ------------------------------------------------------------- public API

int ide_init();
int ide_get_no(const char* name);
int ide_check_hotplug(int* changed);
int ide_diskstate(int logic, int* state);
int Hd_RegHotplugCallbackFun(void (*fn)());
int Hd_DetectHotpluged();
int Hd_SetEvent(int bits);
int Hd_SlaveReset(int index);
int Hd_CloseDevice(const char* name);
int SetHdDcWorkMode(int mode);
// Copies of the current records in inventory order.
std::vector<HdDevInfo> Hd_GetDevList();
// Stops the listener thread (tests and the exit function).
void Hd_StopHotplugThread();

// ------------------------------------------------ parsers of outside input

namespace hd {

struct ScsiAddr {
  int host = 0, channel = 0, target = 0, lun = 0;
};
// "H:C:T:L" of decimal numbers only; false for anything else.
bool ParseScsiAddr(std::string_view text, ScsiAddr* out);
// The last "H:C:T:L" path component of a link target.
bool FindScsiAddr(std::string_view link, ScsiAddr* out);
// A sysfs number: decimal digits with an optional trailing newline.
bool ParseSysU64(std::string_view text, uint64_t* out);
// USB bus, port and sub-port from a SCSI device link ("/usb1/1-1/1-1.2/...").
bool ParseUsbPosition(std::string_view link, int* bus, int* port, int* subport);
// A kernel block name we may put in a path or a command: "sd" + letters,
// "mmcblk" + digits, "md" + digits, "nvme..." of letters and digits.
bool ValidBlockName(std::string_view name);
// ATA IDENTIFY words 10-19 (byte-swapped per word) or an INQUIRY serial
// page, trimmed and made printable; false when there is none.
bool AtaSerial(const uint8_t* identify, std::size_t len, std::string* out);
bool InquirySerial(const uint8_t* page, std::size_t len, std::string* out);

// The listener's decision on a burst of kernel events.
class HotplugBurst {
 public:
  static constexpr int kMaxQuiet = 61;
  // One message as received (at most 256 bytes, not terminated).  Returns
  // the log line kind: 0 counted or ignored, 1 filtered partition event.
  int Feed(std::string_view raw);
  // A quiet period passed: the event bits it decides (0: keep waiting),
  // and *line gets the line to log.
  int Quiet(std::string* line);
  void Reset() { scsi_ = mmc_ = quiet_ = 0; }
  int scsi() const { return scsi_; }

 private:
  int scsi_ = 0, mmc_ = 0, quiet_ = 0;
};

}  // namespace hd

// ------------------------------------------------------------ file systems

// Detectors on a device or image: 1 holds it, -1 does not.
int fat_get_type(const char* dev);  // 1 FAT32, 2 FAT16, 3 exFAT, -1 other
int ntfs_type(const char* dev);
int ext2_type(const char* dev);
int ext3_type(const char* dev);
int ext4_type(const char* dev);
int xfs_type(const char* dev);
int fat_disk_format(const char* dev);
int ext2_format(const char* dev);
int ext3_format(const char* dev);
int ext4_format(const char* dev);
int ntfs_format(const char* dev);
int ext2_mount(const char* dev, const char* dir);
int ext3_mount(const char* dev, const char* dir);
int ext4_mount(const char* dev, const char* dir);
int xfs_mount(const char* dev, const char* dir, const char* options);
int Parted_MakePart(const char* disk, const char* name, uint64_t start, uint64_t len);  // name "gpt": msftdata
int Parted_MakeLabel(const char* disk, const char* label);
int Parted_MakeLabelExt(const char* disk, int entry, const char* label);
int Parted_SetMsdataFlag(const char* disk, int part);
int Parted_RmPart(const char* disk, int part);
int Parted_Getlabel(const char* disk, char* label, int len);
int Parted_GetPartName(const char* disk, int part, char* name, int len);
int disk_format(const char* dev);
int clean_first_sector(const char* dev);
int clean_gpt_label(const char* dev);
int clean_sectors_for_zqfs(const char* dev);
int xfs_format(const char* dev, const char* options);  // options may be null
int ntfs_mount(const char* dev, const char* dir);
int ntfs3g_status_to_stderror(int status);
int ext3_check_and_repair(const char* dev);
int ext4_check_and_repair(const char* dev);
int xfs_repair(const char* dev);
int xfs_check(const char* dev);
int ext4_defrag(const char* dev);
int ext4_resizefs(const char* dev);
int xfs_defrag(const char* dev, int level);  // level 0..3
int xfs_growfs(const char* dir);
// 100 when no xfs_fsr works on `target` (done), 0 while one does.
int xfs_getDefragProgress(const char* target);
int xfs_killdefrag(const char* target);
int xfs_killRepair(const char* dev);
int rxfs_format(const char* disk, const char* options);
int rxfs_mount(const char* disk, const char* dir, const char* options);
int disk_rxfs_type(const char* disk);
int rxfs_repair(const char* disk);
int rxfs_killdefrag(const char* disk);
int rxfs_killRepair(const char* disk);
// Cuts a backup disk into GPT partitions and formats each ("fat32", "ext3", "ntfs").
int BackupDiskPartitionAndFormat(const char* disk, const char* fstype);

namespace hd {
// "parted DISK print -m -s": the label and the partitions.
struct PartedEntry {
  int number = 0;
  std::string fs, name, flags;
};
struct PartedTable {
  std::string label;
  std::vector<PartedEntry> parts;
};
bool ParsePartedPrint(std::string_view text, PartedTable* out, std::string* err);
// The same detectors on bytes already read (the first 64 KiB of a device).
int FatTypeOf(const uint8_t* buf, std::size_t len);
bool IsNtfs(const uint8_t* buf, std::size_t len);
int ExtKindOf(const uint8_t* buf, std::size_t len);  // 2, 3, 4 or -1
bool IsXfs(const uint8_t* buf, std::size_t len);
// FAT32 geometry for `total` sectors; false when it would not be FAT32.
struct Fat32Layout {
  uint32_t spc = 0, fatSectors = 0, clusters = 0;
};
bool Fat32Geometry(uint64_t total, uint32_t bps, Fat32Layout* out);
}  // namespace hd

// Software RAID, rebuild policy; disk access, power and SMART.
#include "storage/raid.h"
#include "storage/access.h"
