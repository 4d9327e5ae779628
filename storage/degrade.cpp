// The rebuild policy: a disk that comes back carrying an array's
// superblock is added to that array again, at most 5 times a day and twice
// an hour, so a failing disk that keeps dropping out is not rebuilt forever.

#include <algorithm>
#include <ctime>
#include <cstring>

#include "osa/singleton.h"
#include "storage/raid_internal.h"

namespace hd {

namespace {

struct Entry {
  uint32_t uuid[4] = {};
  std::string name;  // "/dev/md0"
  int64_t seen = 0;  // the scan that last saw the array
  std::vector<int64_t> readds;
};

struct History {
  osa::Mutex lock;
  std::vector<Entry> entries;
  int64_t offset = 0;
  void ResetForTest() {
    osa::LockGuard g(lock);
    entries.clear();
    offset = 0;
  }
};

History& H() { return osa::Singleton<History>(); }

}  // namespace

int64_t DegradeClock() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  osa::LockGuard g(H().lock);
  return static_cast<int64_t>(ts.tv_sec) + H().offset;
}

void SetDegradeClockOffset(int64_t seconds) {
  osa::LockGuard g(H().lock);
  H().offset = seconds;
}

DegradeCounts UpdateDegradeTimes(std::vector<int64_t>* times, int64_t now) {
  DegradeCounts c;
  std::vector<int64_t> kept;
  for (int64_t t : *times) {
    int64_t age = now - t;
    if (age >= 0 && age <= 86399 && c.day < 6) {
      ++c.day;
      if (age < 3600) ++c.hour;
      kept.push_back(t);
    }
  }
  kept.push_back(now);
  *times = std::move(kept);
  return c;
}

void RefreshDegradeHistory(int64_t now) {
  RaidListEntry list[kRaidMaxArrays];
  int n = Raid_GetRaidList(list, kRaidMaxArrays);
  osa::LockGuard g(H().lock);
  auto& v = H().entries;
  for (int i = 0; i < n; ++i) {
    uint32_t u[4];
    if (Raid_GetUUid(list[i].name, u) != 0) continue;
    auto it = std::find_if(v.begin(), v.end(), [&](const Entry& e) { return std::memcmp(e.uuid, u, sizeof u) == 0; });
    if (it == v.end()) {
      v.emplace_back();
      it = v.end() - 1;
      std::memcpy(it->uuid, u, sizeof u);
    }
    it->seen = now;
    it->name = list[i].name;
  }
  std::erase_if(v, [&](const Entry& e) { return e.seen != now; });
}

int CheckIfRebuildRaid(const std::string& disk) {
  std::string dev = "/dev/" + disk;
  uint32_t u[4];
  if (DiskBase(dev.c_str()).empty() || Raid_GetSuperblockUUid(dev.c_str(), u) != 0) {
    HD_INFO("There is no superblock in %s.\n", dev.c_str());
    return 0;
  }
  std::string array;
  {
    osa::LockGuard g(H().lock);
    for (auto& e : H().entries)
      if (std::memcmp(e.uuid, u, sizeof u) == 0) array = e.name;
  }
  if (array.empty()) {
    HD_INFO("Disk %s uuid is not match with all raid.\n", dev.c_str());
    return 0;
  }
  RaidInfo info;
  if (Raid_GetRaidInfo(array.c_str(), &info) != 0) {
    HD_ERROR("Get raid info failed.\n");
    return 0;
  }
  if (info.state & RAID_INACTIVE) {
    HD_INFO("Raid %s is inactive.\n", array.c_str());
    return 0;
  }
  // A healthy array needs nothing, and one that is rebuilding already is
  // left to finish.
  bool degraded = (info.state & RAID_DEGRADED) || info.inSync < info.raidDisks;
  bool recovering = info.state & (RAID_RECOVER | RAID_RESYNC | RAID_RESHAPE);
  if (!degraded || recovering) {
    HD_INFO("Raid %s(level %d) is not degraded or is recovering.\n", array.c_str(), info.level);
    return 0;
  }
  DegradeCounts c;
  {
    osa::LockGuard g(H().lock);
    for (auto& e : H().entries)
      if (e.name == array) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        c = UpdateDegradeTimes(&e.readds, static_cast<int64_t>(ts.tv_sec) + H().offset);
      }
  }
  HD_INFO("%s degraded times 24hour=%u, 1hour=%u.\n", array.c_str(), c.day, c.hour);
  if (!c.allowed()) {
    HD_INFO("Raid %s degraded times exceed limit, 24hour=%u, 1hour=%u.\n", array.c_str(), c.day, c.hour);
    return 0;
  }
  if (!RunOk("mdadm --manage " + array + " --add " + dev + " > /dev/null")) {
    HD_ERROR("Readd raid failed, disk=%s, raid=%s.\n", dev.c_str(), array.c_str());
    return 0;
  }
  return 1;
}

}  // namespace hd

namespace hd {

int RebuildOnArrival(const std::string& disk) {
  RaidListEntry list[kRaidMaxArrays];
  int n = Raid_GetRaidList(list, kRaidMaxArrays);
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < list[i].count; ++k)
      if (disk == list[i].members[k] + 5) return 0;  // a member already
  return CheckIfRebuildRaid(disk);
}

}  // namespace hd
