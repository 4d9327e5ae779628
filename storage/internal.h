// Shared between the library's own files; not part of the public header.
#pragma once

#include <string>
#include <vector>

#include "osa/osa.h"
#include "storage/storage.h"

namespace hd {

// One SCSI command over SG_IO; true when the device took it (no error
// status from the target, the host adapter or the driver).
bool SgCommand(int fd, const uint8_t* cdb, uint8_t cdb_len, int direction, uint8_t* buf, unsigned len,
               unsigned timeout_ms);

struct ScsiEntry {
  ScsiAddr addr;
  std::string name;  // kernel block name, empty when none
  uint64_t sectors = 0;
  int periph = 0;  // SCSI peripheral type
  int bus = HD_BUS_SATA;
  int useType = 0;  // USB use type
};

struct Position {
  int layer = 0, port = 0, slot = 0;
};

struct MdArray {
  std::string name;  // md0
  std::vector<std::string> members;
  uint32_t uuid[4] = {};
  bool active = false;
  uint64_t sectors = 0;
};

// Reads the SCSI devices; false when the tree cannot be read.
bool GetScsiDeviceList(const PlatformCfg& cfg, std::vector<ScsiEntry>* out);
// Arrays from the md sysfs tree (none on a board without md).
std::vector<MdArray> GetMdArrays();
int UsbUseType(const PlatformCfg& cfg, const std::string& scsi_dir_link);
bool GetDevicePort(const PlatformCfg& cfg, const ScsiEntry& e, Position* pos);
// The block device that holds "/", or empty.
std::string DomDisk();
// Serial number from IDENTIFY (SATA) or INQUIRY (others).
std::string DiskIdentity(int fd, int bus, const char* name);
// Text of a small sysfs file, or false.
bool ReadSmall(const std::string& path, std::string* out);
// True when the record passes the inventory filter.
bool NeedFiltered(const PlatformCfg& cfg, const ScsiEntry& e, const std::string& domdisk);

// Block devices that are no SCSI devices: MMC/SD cards and NVMe namespaces.
struct PlainDev {
  std::string name;  // mmcblk1, nvme0n1
  uint64_t sectors = 0;
  std::string identity;
};
std::vector<PlainDev> GetMmcDevices();
std::vector<PlainDev> GetNvmeDevices();
// The target name of SCSI host `host`'s iSCSI session (its last 50
// characters), or "".
std::string IscsiTargetName(int host);

// Reads "parted DISK print -m -s"; false (logged) when it fails.
bool PartedRead(const char* disk, PartedTable* out);
// A device path we may put in a command ("Invalid para." otherwise).
bool ValidDisk(const char* disk);
// Runs a command; failure logs "run cmd %s failed.", success of a parted
// call "%s succceed.".
int RunLogged(const char* cmd, bool parted);
// The block device's size in bytes through the seam, or 0.
uint64_t DeviceBytes(const char* dev);
// Writes `len` zero bytes at `off` (negative: from the end).
bool ZeroAt(const char* dev, int64_t off, uint64_t len);
// A mount point, made when missing.
bool MakeMountDir(const char* dir);
// mount(2) through the seam with the failure logged.
int MountFs(const char* dev, const char* dir, const char* type, unsigned long flags, const char* data);

}  // namespace hd

#include <atomic>
#include <memory>
#include <thread>

namespace hd {

// The library's one inventory and the state the listener shares with it.
struct Library {
  std::vector<std::unique_ptr<HdDevInfo>> list;  // kept sorted
  std::vector<std::unique_ptr<HdDevInfo>> freeList;
  unsigned logicCount = 0, diskCount = 0;
  bool exitRegistered = false;

  osa::Mutex hotplugLock;
  bool hotplugHappened = false;
  osa::Mutex modeLock;
  int workMode = 0, lastCheckedMode = 0, listenerMode = 0;
  osa::Mutex eventLock;
  int pendingEvents = 0;
  osa::Mutex cbLock;
  std::vector<void (*)()> callbacks;  // newest first
  std::thread listener;
  std::atomic<bool> stop{false};
};
Library& Lib();

void ListenerMain();
void FreeRecord(HdDevInfo* r);
uint32_t PositionKey(const HdDevInfo& r);
std::string Banner();

}  // namespace hd
