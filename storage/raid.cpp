// Building, changing and dismantling software RAID arrays: every change is
// an mdadm or hot-spare tool command; state is read back from sysfs.

#include <fcntl.h>
#include <linux/fs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "osa/file.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/raid_internal.h"

namespace hd {

std::string MdBase(const char* raid) {
  if (!raid) return {};
  std::string_view s(raid);
  if (s.starts_with("/dev/")) s.remove_prefix(5);
  return s.starts_with("md") && ValidBlockName(s) ? std::string(s) : std::string();
}

std::string DiskBase(const char* disk) {
  if (!disk) return {};
  std::string_view s(disk);
  if (s.starts_with("/dev/")) s.remove_prefix(5);
  return s.starts_with("sd") && ValidBlockName(s) ? std::string(s) : std::string();
}

bool WriteSys(const std::string& path, const std::string& text) {
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_WRONLY | O_TRUNC));
  return fd && osa::sys::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool RunOk(const std::string& cmd) { return run_cmd(cmd.c_str()) == 0; }

std::string HotspareNames() {
  osa::CaptureResult c = osa::Capture("/usr/local/bin/hotspare --list");
  std::string names = " ";
  for (std::string_view out = c.output; !out.empty();) {
    std::size_t end = out.find('\n');
    std::string_view line = out.substr(0, end);
    out = end == std::string_view::npos ? std::string_view() : out.substr(end + 1);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string rest(line.substr(colon + 1));
    for (char& ch : rest)
      if (ch == '\t' || ch == '\r') ch = ' ';
    names += rest + " ";
  }
  return names;
}

}  // namespace hd

using namespace hd;

namespace {

// True when the disk or one of its partitions is mounted.
bool mounted(const std::string& disk) {
  std::string mounts;
  if (!ReadSmall("/proc/mounts", &mounts)) return false;
  std::string dev = "/dev/" + disk;
  for (std::size_t at = 0; (at = mounts.find(dev, at)) != std::string::npos; at += dev.size()) {
    char next = at + dev.size() < mounts.size() ? mounts[at + dev.size()] : ' ';
    if ((at == 0 || mounts[at - 1] == '\n') && (next == ' ' || (next >= '0' && next <= '9'))) return true;
  }
  return false;
}

bool in_any_array(const std::string& disk, std::string* array = nullptr) {
  RaidListEntry list[kRaidMaxArrays];
  int n = Raid_GetRaidList(list, kRaidMaxArrays);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < list[i].count; ++k)
      if (std::strcmp(list[i].members[k] + 5, disk.c_str()) == 0) {
        if (array) *array = list[i].name;
        return true;
      }
  return false;
}

// Zeroes the first and last 4 MiB of a new array.
bool clean_sectors_for_zqfs(const std::string& md) {
  osa::UniqueFd fd(osa::sys::open(("/dev/" + md).c_str(), O_RDWR | O_SYNC));
  uint64_t bytes = 0;
  if (!fd || osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return false;
  std::vector<uint8_t> zero(4u << 20, 0);
  uint64_t n = bytes < zero.size() ? bytes : zero.size();
  return osa::sys::pwrite(fd.get(), zero.data(), n, 0) == static_cast<ssize_t>(n) &&
         osa::sys::pwrite(fd.get(), zero.data(), n, static_cast<off_t>(bytes - n)) == static_cast<ssize_t>(n);
}

bool alias_ok(const char* alias) { return !alias[0] || osa::ShellSafe(alias, "._-", 31); }

int manage(const char* raid, const char* op, const char* disk) {
  std::string md = MdBase(raid), d = DiskBase(disk);
  if (md.empty() || d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  std::string cmd = "mdadm --manage /dev/" + md + " " + op + " /dev/" + d + " > /dev/null";
  if (!RunOk(cmd)) {
    HD_ERROR("%s fail!\n", cmd.c_str());
    return -1;
  }
  return 0;
}

int stop(const char* raid, bool clear) {
  std::string md = MdBase(raid);
  if (md.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  char members[kRaidMaxMembers][32];
  int n = clear ? Raid_GetMembers(raid, members, kRaidMaxMembers) : 0;
  std::string cmd = "mdadm --stop /dev/" + md + " > /dev/null";
  if (!RunOk(cmd)) {
    HD_ERROR("mdadm --stop %s failed\n", raid);
    return -1;
  }
  for (int i = 0; i < n; ++i) Raid_ClearRaidInfo(members[i]);
  return 0;
}

int speed(const char* raid, const char* file, int kib, bool plain_only) {
  std::string md = MdBase(raid);
  if (md.empty() || kib < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  if (plain_only) {
    char m[kRaidMaxMembers][32];
    int n = Raid_GetMembers(raid, m, kRaidMaxMembers);
    for (int i = 0; i < n; ++i)
      if (std::strncmp(m[i], "/dev/md", 7) == 0) {
        HD_ERROR("%s is not the normal raid\n", raid);
        return -1;
      }
  }
  return WriteSys("/sys/block/" + md + "/md/" + file, std::to_string(kib)) ? 0 : -1;
}

}  // namespace

int Raid_AllocRaidName(char* name, std::size_t len) {
  if (!name || len < 12) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  for (int i = 0; i < kRaidMaxArrays; ++i) {
    struct stat st;
    char path[32];
    snprintf(path, sizeof path, "/sys/block/md%d", i);
    if (osa::sys::stat(path, &st) != 0) {
      snprintf(name, len, "/dev/md%d", i);
      HD_INFO("alloc a raid name: %s\n", name);
      return 0;
    }
  }
  HD_ERROR("raid is full\n");
  return -1;
}

int Raid_MakeRaid(const RaidDesc* desc, int level, const RaidCreateReq* req) {
  if (!desc || !req || req->count < 0 || req->count > kRaidMaxMembers) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HD_INFO("%s,name:%s\n", desc->name, desc->alias);
  std::string md = MdBase(desc->name);
  struct stat st;
  if (!md.empty() && osa::sys::stat(("/sys/block/" + md).c_str(), &st) == 0) {
    HD_ERROR("%s exists\n", desc->name);
    return -1;
  }
  RaidListEntry list[kRaidMaxArrays];
  if (Raid_GetRaidList(list, kRaidMaxArrays) < 0) {
    HD_ERROR("Raid_GetRaidList fail\n");
    return -1;
  }
  if (md.empty()) {
    HD_ERROR("Raid name not 'md*'\n");
    return -1;
  }
  if (!alias_ok(desc->alias)) {
    HD_ERROR("bad alias name %.31s\n", desc->alias);
    return -1;
  }
  std::string msg;
  if (!RaidCountOk(level, req->count, req->data, req->parity, req->spares, &msg)) {
    HD_ERROR("%s", msg.c_str());
    return -1;
  }
  // Every member is checked before any is wiped.
  std::string spares = GetPlatformCfg()->iHotspareType == 1 ? HotspareNames() : " ";
  std::string dom = DomDisk();
  std::vector<std::string> members;
  for (int i = 0; i < req->count; ++i) {
    char path[33];
    snprintf(path, sizeof path, "%.32s", req->disks[i]);
    std::string d = DiskBase(path);
    if (d.empty()) {
      HD_ERROR("Hard disk %s not exist!\n", path);
      return -1;
    }
    if (in_any_array(d)) {
      HD_ERROR("%s is in raid already!\n", path);
      return -1;
    }
    if (spares.find(" " + d + " ") != std::string::npos) {
      HD_ERROR("%s had set hotspare\n", path);
      return -1;
    }
    if (d == dom || mounted(d)) {
      HD_ERROR("%s is the system disk or mounted\n", path);
      return -1;
    }
    members.push_back("/dev/" + d);
  }
  for (auto& m : members)
    if (disk_format(m.c_str()) != 0) return -1;
  HD_INFO("use metadata 1.0 to make raid : /dev/%s\n", md.c_str());
  bool clean = level == 5 && GetPlatformCfg()->iCleanParity;
  std::string cmd = RaidCreateCommand(md, level, req->chunk, members, desc->alias, clean, req->spares, req->layout,
                                      req->data, req->parity);
  if (!RunOk(cmd)) {
    HD_ERROR("%s fail!\n", cmd.c_str());
    return -1;
  }
  clean_sectors_for_zqfs(md);
  if (osa::sys::stat(("/sys/block/" + md).c_str(), &st) != 0) {
    HD_ERROR("Create raid %s fail!\n", desc->name);
    Raid_StopRaidNoClr(desc->name);
    return -1;
  }
  if (clean && Raid_SetRmw_level(desc->name, 0) != 0) {
    HD_ERROR("Raid_SetRmw_level set  PARITY_DISABLE_RMW %s fail!\n", desc->name);
    Raid_StopRaidNoClr(desc->name);
    return -1;
  }
  return 0;
}

int Raid_MakeMulRaid(const RaidDesc* desc, int level, const char* const* arrays, int count) {
  std::string md = desc ? MdBase(desc->name) : "";
  if (md.empty() || !arrays || count < 2 || count > kRaidMaxMembers || !alias_ok(desc->alias)) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  std::string list;
  for (int i = 0; i < count; ++i) {
    std::string sub = MdBase(arrays[i]);
    if (sub.empty()) {
      HD_ERROR("Invalid para.\n");
      return -1;
    }
    list += "/dev/" + sub + " ";
  }
  std::string name = desc->alias[0] ? std::string("--name '") + desc->alias + "'" : "";
  char cmd[4096];
  snprintf(cmd, sizeof cmd, "mdadm -C --chunk=4 --metadata=1.0 /dev/%s -l %d -n %d -R %s %s > /dev/null", md.c_str(),
           level, count, list.c_str(), name.c_str());
  return RunOk(cmd) ? 0 : -1;
}

int Raid_BreakMulRaid(const char* raid) { return stop(raid, false); }
int Raid_BreakRaid(const char* raid) { return stop(raid, true); }
int Raid_StopRaid(const char* raid) { return stop(raid, true); }
int Raid_StopRaidNoClr(const char* raid) { return stop(raid, false); }

int Raid_ClearRaidInfo(const char* disk) {
  std::string d = DiskBase(disk);
  if (d.empty()) d = MdBase(disk);
  if (d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return RunOk("mdadm --zero-superblock /dev/" + d) ? 0 : -1;
}

int Raid_AddDisk(const char* raid, const char* disk) {
  HD_INFO("Enter addDisk(%s)\n", disk ? disk : "");
  RaidInfo info;
  if (Raid_GetRaidInfo(raid, &info) != 0) {
    HD_ERROR("getInfo Failed\n");
    return -ENOENT;
  }
  int lv = info.level;
  if (info.state & RAID_INACTIVE) {
    if (lv != 18 && lv != 20) {
      HD_ERROR("info.state:%u!\n", info.state);
      return -ESRCH;
    }
  } else if (!(lv == 1 || (lv >= 3 && lv <= 6) || lv == 8 || lv == 9 || lv == 10 || lv == 18 || lv == 20 || lv == 76)) {
    HD_ERROR("Raid level %d not support!\n", lv);
    return -EINTR;
  }
  std::string d = DiskBase(disk);
  std::string parts;
  bool listed = false;
  if (!d.empty() && ReadSmall("/proc/partitions", &parts)) {
    static const std::regex re("^\\s*[0-9]+\\s+[0-9]+\\s+[0-9]+\\s+(" + std::string("[a-z]+") + ")\\s*$",
                               std::regex::multiline);
    for (std::sregex_iterator it(parts.begin(), parts.end(), re), end; it != end; ++it)
      listed |= (*it)[1] == d;
  }
  if (!listed) {
    HD_ERROR("getFileOneOutputMatch Failed\n");
    HD_ERROR("Hard disk %s not exist!\n", disk ? disk : "");
    return -EIO;
  }
  if (in_any_array(d)) {
    HD_ERROR("Raid disk %s exist!\n", disk);
    return -ENXIO;
  }
  if (Raid_IsHotspareDisk(disk) == 1) {
    HD_ERROR("%s had set hotspare!\n", disk);
    return -E2BIG;
  }
  std::string md = MdBase(raid);
  std::string cmd = "mdadm --manage /dev/" + md + " --add /dev/" + d + " > /dev/null";
  if (!RunOk(cmd)) {
    bool retried = false;
    if (lv == 18 || lv == 20) {
      cmd = "mdadm --manage /dev/" + md + " --add --force /dev/" + d + " > /dev/null";
      retried = RunOk(cmd);
    }
    if (!retried) {
      HD_ERROR("%s fail!\n", cmd.c_str());
      return -1;
    }
  }
  std::string parent;
  if (!in_any_array(d, &parent) || parent != "/dev/" + md) {
    HD_ERROR("Disk %s add %s fail!\n", disk, raid);
    return -ENOEXEC;
  }
  return 0;
}

int Raid_RemoveDisk(const char* raid, const char* disk) { return manage(raid, "--remove", disk); }
int Raid_SetFaultyDisk(const char* raid, const char* disk) { return manage(raid, "--fail", disk); }

int Raid_RemoveRaidDisk(const char* raid, const char* disk) {
  manage(raid, "--fail", disk);  // an already faulty member refuses this; the remove decides
  return manage(raid, "--remove", disk);
}

int Raid_ReAddDisk(const char* raid, const char* disk) {
  std::string md = MdBase(raid), d = DiskBase(disk);
  if (md.empty() || d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  run_cmd(("/usr/local/bin/hotspare -b /dev/" + d + " > /dev/null").c_str());
  std::string cmd = "mdadm /dev/" + md + " --re-add /dev/" + d + " > /dev/null";
  if (!RunOk(cmd)) {
    HD_ERROR("%s fail!\n", cmd.c_str());
    return -1;
  }
  return 0;
}

int Raid_GrowRaid(const char* raid, int disks) {
  std::string md = MdBase(raid);
  if (md.empty() || disks < 1 || disks > kRaidMaxMembers) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return RunOk("mdadm --grow /dev/" + md + " -n " + std::to_string(disks) + " > /dev/null") ? 0 : -1;
}

int Raid_SetHotspareDisk(const char* disk) {
  std::string d = DiskBase(disk);
  if (d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return RunOk("/usr/local/bin/hotspare -a /dev/" + d) ? 0 : -1;
}

int Raid_RemoveHotspareDisk(const char* disk) {
  std::string d = DiskBase(disk);
  if (d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return RunOk("/usr/local/bin/hotspare -r /dev/" + d) ? 0 : -1;
}

int Raid_IsHotspareDisk(const char* disk) {
  std::string d = DiskBase(disk);
  if (d.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  char cmd[512];
  snprintf(cmd, sizeof cmd,
           "/usr/local/bin/hotspare --list |awk -F: '{  C=split($2, A, \" \");  for(I=1; I<=C; I++)  {    if(A[I]==\"%s\")      print \"yes\";  }}'",
           d.c_str());
  osa::CaptureResult c = osa::Capture(cmd);
  if (c.status != 0) return -1;
  return c.output.find("yes") != std::string::npos ? 1 : 0;
}

int Raid_SetSyncSpeedMin(const char* raid, int kib) { return speed(raid, "sync_speed_min", kib, false); }
int Raid_SetSyncSpeedMax(const char* raid, int kib) { return speed(raid, "sync_speed_max", kib, false); }
int Raid_SetMinSyncSpeed(const char* raid, int kib) { return speed(raid, "sync_speed_min", kib, true); }
int Raid_SetMaxSyncSpeed(const char* raid, int kib) { return speed(raid, "sync_speed_max", kib, true); }
int Raid_SetMulMinSyncSpeed(const char* raid, int kib) { return speed(raid, "sync_speed_min", kib, false); }
int Raid_SetMulMaxSyncSpeed(const char* raid, int kib) { return speed(raid, "sync_speed_max", kib, false); }

int Raid_SetRmw_level(const char* raid, int level) {
  std::string md = MdBase(raid);
  if (md.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HD_INFO("echo %d > /sys/block/%s/md/rmw_level\n", level, md.c_str());
  return WriteSys("/sys/block/" + md + "/md/rmw_level", std::to_string(level)) ? 0 : -1;
}

int Raid_SetRaidState(const char* raid) {
  std::string md = MdBase(raid);
  if (md.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return RunOk("echo clean > /sys/block/" + md + "/md/array_state") ? 0 : -1;
}

int Raid_SetMirrorZone(const char* raid, uint64_t start, uint64_t len) {
  std::string md = MdBase(raid);
  if (md.empty()) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  char t[64];
  snprintf(t, sizeof t, "%llu %llu", static_cast<unsigned long long>(start), static_cast<unsigned long long>(len));
  return WriteSys("/sys/block/" + md + "/md/mirror_area", t) ? 0 : -1;
}

int Raid_RebuildRaid(int work_mode) {
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  int rc = run_cmd(work_mode ? "/etc/init.d/raid stop" : "/etc/init.d/raid start");
  clock_gettime(CLOCK_MONOTONIC, &b);
  HD_INFO("%s system boot need( %d ms )\n", __func__,
          static_cast<int>((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000));
  return rc == 0 ? 0 : -1;
}
