// Software RAID through mdadm and the board's hot-spare tool, the rebuild
// policy for returning members, and the parsers they need.  Included by
// storage/storage.h; not included on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kRaidMaxArrays = 32;
inline constexpr int kRaidMaxMembers = 64;

struct RaidListEntry {
  char name[32];  // "/dev/md0"
  int32_t count;
  char members[64][32];  // "/dev/sdb"
};

enum RaidState : uint32_t {
  RAID_NORMAL = 1, RAID_INACTIVE = 2, RAID_DEGRADED = 16, RAID_RECOVER = 32, RAID_RESYNC = 64,
  RAID_RESHAPE = 128, RAID_CHECK = 256, RAID_READONLY = 1024, RAID_DATA_CORRUPT = 2048,
};

struct RaidInfo {
  char name[32];
  uint8_t level;  // 255: unreadable
  uint8_t raidDisks, members, inSync, active, faulty, spares;
  uint8_t pad0;
  uint32_t state;
  uint32_t pad1;
  uint64_t size;  // bytes
  int32_t finish;  // minutes
  float progress;  // percent
  float speed;     // MiB/s
  uint32_t chunk;  // KiB
  char alias[32];
};

struct RaidCreateReq {
  char disks[64][32];  // member paths
  int32_t count;
  int32_t chunk;  // KiB, 0: 32
  int32_t spares, layout, data, parity;
};

struct RaidDesc {
  char name[32];   // "/dev/md0"
  char alias[32];  // optional
};

int Raid_AllocRaidName(char* name, std::size_t len);
// Up to `max` arrays; the count or -1.
int Raid_GetRaidList(RaidListEntry* out, int max);
int Raid_MakeRaid(const RaidDesc* desc, int level, const RaidCreateReq* req);
int Raid_MakeMulRaid(const RaidDesc* desc, int level, const char* const* arrays, int count);
int Raid_BreakMulRaid(const char* raid);
int Raid_BreakRaid(const char* raid);
int Raid_StopRaid(const char* raid);
int Raid_StopRaidNoClr(const char* raid);
int Raid_ClearRaidInfo(const char* disk);
int Raid_AddDisk(const char* raid, const char* disk);
int Raid_RemoveDisk(const char* raid, const char* disk);      // remove only
int Raid_RemoveRaidDisk(const char* raid, const char* disk);  // mark faulty, then remove
int Raid_SetFaultyDisk(const char* raid, const char* disk);
int Raid_ReAddDisk(const char* raid, const char* disk);
int Raid_GrowRaid(const char* raid, int disks);
int Raid_SetHotspareDisk(const char* disk);
int Raid_RemoveHotspareDisk(const char* disk);
int Raid_IsHotspareDisk(const char* disk);  // 1 yes, 0 no, -1 failure
int Raid_SetSyncSpeedMin(const char* raid, int kib);
int Raid_SetSyncSpeedMax(const char* raid, int kib);
int Raid_SetMinSyncSpeed(const char* raid, int kib);
int Raid_SetMaxSyncSpeed(const char* raid, int kib);
int Raid_SetMulMinSyncSpeed(const char* raid, int kib);
int Raid_SetMulMaxSyncSpeed(const char* raid, int kib);
int Raid_SetRmw_level(const char* raid, int level);
int Raid_SetRaidState(const char* raid);
int Raid_SetDiskWantRepl(const char* raid, const char* disk);
int Raid_SetMirrorZone(const char* raid, uint64_t start, uint64_t len);
// mode 0 recompute parity, 1 recover a member's range, 2 check only
// (1 when the check found a wrong stripe).
int Raid_RestoreCorruptedDataArea(const char* raid, uint64_t start, uint32_t len, int mode);
int Raid_GetInfo(const char* raid, RaidInfo* out);
int Raid_GetRaidInfo(const char* raid, RaidInfo* out);
int Raid_GetMulInfo(const char* raid, RaidInfo* out);
// Member paths (as "/dev/sdX" or "/dev/mdN"); the count or -1.
int Raid_GetMembers(const char* raid, char (*out)[32], int max);
int Raid_GetSubDisks(const char* raid, char (*out)[32], int max);  // the disks below nested arrays
int Raid_GetSpareDisks(const char* raid, char (*out)[32], int max);
int Raid_GetLevel(const char* raid);
int Raid_GetUUid(const char* raid, uint32_t uuid[4]);
// "UUID=%08x:%08x:%08x:%08x " as in the configuration files.
int Raid_GetRaidUUid(const char* raid, char* text, std::size_t len);
int Raid_GetSuperblockUUid(const char* disk, uint32_t uuid[4]);
int Raid_GetRaidAliasName(const char* raid, char* out, std::size_t len);
// The running sync action's bit (32, 64, 128, 256 or 0) and its progress.
int Raid_GetSyncModeInfo(const char* raid, uint32_t* mode, float* progress);
int Raid_GetDiskParent(const char* disk, char* out, std::size_t len);
int Raid_RebuildRaid(int work_mode);

namespace hd {

// The creation table: true when `level` takes this many disks; *msg gets
// the refusal line otherwise.
bool RaidCountOk(int level, int disks, int data, int parity, int spares, std::string* msg);
// The create command of a level (members: paths, each checked already).
std::string RaidCreateCommand(const std::string& array, int level, int chunk, const std::vector<std::string>& members,
                              const std::string& alias, bool clean_parity, int spares, int layout, int data,
                              int parity);
// Level from "/sys/block/%s/md/level" text ("raid5", "linear", "sraid").
bool ParseMdLevel(std::string_view text, int* level);
// Thirty-two hex digits, grouped by ':' or '-' or not at all.
bool ParseMdUuid(std::string_view text, uint32_t out[4]);
// The "UUID=" field of mdadm -Eb / -Db output.
bool ParseMdadmUuid(std::string_view output, uint32_t out[4]);
// The progress line of `array`'s section of /proc/mdstat; false when the
// section or a whole progress line is missing.
bool ParseMdstatProgress(std::string_view mdstat, std::string_view array, bool resync, float* progress, int* finish,
                         int* speed_kib);
// The alias in a v1.0 superblock area (4 KiB); false for no superblock.
bool MdSuperAlias(const uint8_t* buf, std::size_t len, std::string* alias);

// Re-add history of one array: times in seconds on a monotonic clock.
struct DegradeCounts {
  unsigned day = 1, hour = 1;
  bool allowed() const { return day < 6 && hour < 3; }
};
DegradeCounts UpdateDegradeTimes(std::vector<int64_t>* times, int64_t now);

// The rebuild policy for a disk that arrived in no array (name like "sdb").
// Returns 1 when it was added to an array.
int CheckIfRebuildRaid(const std::string& disk);
// The same for any arrival: only while arrays exist and the disk is in none.
int RebuildOnArrival(const std::string& disk);
// Keeps the history in step with the arrays seen by a hotplug scan.
void RefreshDegradeHistory(int64_t now);
// The clock the history uses (tests may set an offset in seconds).
int64_t DegradeClock();
void SetDegradeClockOffset(int64_t seconds);

}  // namespace hd
