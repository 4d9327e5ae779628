// What the RAID side reads back: array list, members, level, UUIDs, the
// state bits with the level rules, rebuild progress, and the two writes
// that depend on a member's state (want_replacement, damaged ranges).

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "osa/file.h"
#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/raid_internal.h"

namespace hd {

namespace {

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Entries "dev-PREFIX*" of an array's md folder, without "dev-".
std::vector<std::string> md_entries(const std::string& md, const char* prefix) {
  std::vector<std::string> v;
  for (auto& e : osa::ListDir("/sys/block/" + md + "/md"))
    if (e.starts_with(std::string("dev-") + prefix) && ValidBlockName(e.substr(4))) v.push_back(e.substr(4));
  return v;
}

bool level_from_conf(const std::string& md, int* level) {
  for (const char* conf : {"/etc/mdadm.conf", "/etc/mdadm_md.conf", "/var/mdadm.conf"}) {
    std::string text;
    if (!ReadSmall(conf, &text)) continue;
    std::string key = "/dev/" + md + " level=";
    for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += key.size()) {
      std::string_view rest = std::string_view(text).substr(at + key.size());
      std::string word(rest.substr(0, rest.find_first_of(" \t\n")));
      if ((word.starts_with("raid") || word == "sraid") && ParseMdLevel(word, level)) return true;
    }
  }
  return false;
}

int parity_disks(const std::string& md, int level) {
  if (level == 6 || level == 8) return 2;
  if (level == 9) {
    uint64_t v;
    return ReadMdNumber("/sys/block/" + md + "/md/code_disks", &v, "code_disks") && v < 64 ? static_cast<int>(v) : -1;
  }
  return level == 3 || level == 4 || level == 5 || level == 18 ? 1 : -1;
}

void copy_name(char (*out)[32], int i, const std::string& s) { snprintf(out[i], 32, "/dev/%s", s.c_str()); }

}  // namespace

std::vector<std::string> MdMemberNames(const std::string& md) { return md_entries(md, "sd"); }
std::vector<std::string> MdNestedNames(const std::string& md) { return md_entries(md, "md"); }

bool ReadMdNumber(const std::string& path, uint64_t* v, const char* what) {
  std::string text;
  if (!ReadSmall(path, &text)) {
    HD_ERROR("get file:[%s] content failded!\n", path.c_str());
    return false;
  }
  if (!ParseSysU64(text, v)) {
    HD_ERROR("Invalid %s\n", what);
    return false;
  }
  return true;
}

}  // namespace hd

using namespace hd;

int Raid_GetRaidList(RaidListEntry* out, int max) {
  if (!out || max < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  DIR* d = osa::sys::opendir("/sys/block");
  if (!d) return -1;
  osa::sys::closedir(d);
  int n = 0;
  for (auto& e : osa::ListDir("/sys/block")) {
    if (!e.starts_with("md") || !ValidBlockName(e) || n >= max || n >= kRaidMaxArrays) continue;
    RaidListEntry& r = out[n++];
    std::memset(&r, 0, sizeof r);
    snprintf(r.name, sizeof r.name, "/dev/%s", e.c_str());
    for (auto& m : MdMemberNames(e))
      if (r.count < kRaidMaxMembers) copy_name(r.members, r.count++, m);
  }
  return n;
}

int Raid_GetMembers(const char* raid, char (*out)[32], int max) {
  std::string md = MdBase(raid);
  if (md.empty() || !out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  int n = 0;
  for (const char* p : {"sd", "md"})
    for (auto& m : md_entries(md, p))
      if (n < max) copy_name(out, n++, m);
  return n;
}

int Raid_GetSubDisks(const char* raid, char (*out)[32], int max) {
  std::string md = MdBase(raid);
  if (md.empty() || !out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  int n = 0;
  for (auto& m : MdMemberNames(md))
    if (n < max) copy_name(out, n++, m);
  for (auto& sub : md_entries(md, "md"))
    for (auto& m : MdMemberNames(sub))
      if (n < max) copy_name(out, n++, m);
  return n;
}

int Raid_GetSpareDisks(const char* raid, char (*out)[32], int max) {
  std::string md = MdBase(raid);
  if (md.empty() || !out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  int n = 0;
  for (auto& m : MdMemberNames(md)) {
    std::string base = "/sys/block/" + md + "/md/dev-" + m, st, rs;
    if (ReadSmall(base + "/state", &st) && trimmed(st) == "spare" && ReadSmall(base + "/recovery_start", &rs) &&
        trimmed(rs) == "0" && n < max)
      copy_name(out, n++, m);
  }
  return n;
}

int Raid_GetLevel(const char* raid) {
  std::string md = MdBase(raid);
  if (md.empty()) return -1;
  std::string text;
  int level = -1;
  if (ReadSmall("/sys/block/" + md + "/md/level", &text) && ParseMdLevel(text, &level)) return level;
  return level_from_conf(md, &level) ? level : -1;
}

int Raid_GetUUid(const char* raid, uint32_t uuid[4]) {
  std::string md = MdBase(raid);
  if (md.empty() || !uuid) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  std::string text;
  if (ReadSmall("/sys/block/" + md + "/md/md_uuid", &text)) return ParseMdUuid(text, uuid) ? 0 : -1;
  osa::CaptureResult c = osa::Capture(("mdadm -Db /dev/" + md).c_str());
  return c.ok() && ParseMdadmUuid(c.output, uuid) ? 0 : -1;
}

int Raid_GetRaidUUid(const char* raid, char* text, std::size_t len) {
  uint32_t u[4];
  if (!text || Raid_GetUUid(raid, u) != 0) return -1;
  snprintf(text, len, "UUID=%08x:%08x:%08x:%08x ", u[0], u[1], u[2], u[3]);
  return 0;
}

int Raid_GetSuperblockUUid(const char* disk, uint32_t uuid[4]) {
  std::string d = DiskBase(disk);
  if (d.empty() || !uuid) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  osa::CaptureResult c = osa::Capture(("mdadm -Eb /dev/" + d).c_str());
  return c.ok() && ParseMdadmUuid(c.output, uuid) ? 0 : -1;
}

int Raid_GetRaidAliasName(const char* raid, char* out, std::size_t len) {
  std::string md = MdBase(raid);
  if (md.empty() || !out || len == 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  for (auto& m : MdMemberNames(md)) {
    osa::UniqueFd fd(osa::sys::open(("/dev/" + m).c_str(), O_RDONLY));
    uint64_t bytes = 0;
    if (!fd || osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0 || bytes < 64 * 512) continue;
    uint64_t at = ((bytes / 512 - 16) & ~uint64_t{7}) * 512;  // where a v1.0 superblock sits
    uint8_t buf[4096];
    std::string alias;
    if (osa::sys::pread(fd.get(), buf, sizeof buf, static_cast<off_t>(at)) == sizeof buf &&
        MdSuperAlias(buf, sizeof buf, &alias)) {
      snprintf(out, len, "%s", alias.c_str());
      return 0;
    }
  }
  return -1;
}

int Raid_GetDiskParent(const char* disk, char* out, std::size_t len) {
  std::string d = DiskBase(disk);
  if (d.empty()) d = MdBase(disk);
  if (d.empty() || !out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  for (auto& e : osa::ListDir("/sys/block")) {
    if (!e.starts_with("md") || !ValidBlockName(e)) continue;
    struct stat st;
    if (osa::sys::stat(("/sys/block/" + e + "/md/dev-" + d).c_str(), &st) == 0) {
      snprintf(out, len, "/dev/%s", e.c_str());
      return 0;
    }
  }
  return -1;
}

namespace {

int raid_info(const char* raid, RaidInfo* info, const char* prefix) {
  std::string md = MdBase(raid);
  if (md.empty() || !info) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  std::memset(info, 0, sizeof *info);
  snprintf(info->name, sizeof info->name, "/dev/%s", md.c_str());
  std::string dir = "/sys/block/" + md + "/md", text;
  struct stat st;
  if (osa::sys::stat(dir.c_str(), &st) != 0) return -1;
  int level = Raid_GetLevel(raid);
  info->level = level < 0 || level > 254 ? 255 : static_cast<uint8_t>(level);
  bool inactive = false;
  uint64_t v = 0;
  if (ReadMdNumber(dir + "/raid_disks", &v, "acRaidDiskNum") && v <= 255) info->raidDisks = static_cast<uint8_t>(v);
  else inactive = true;
  bool pair_ok[128] = {};
  for (auto& m : md_entries(md, prefix)) {
    std::string e = dir + "/dev-" + m;
    char link[PATH_MAX];
    if (osa::sys::readlink((e + "/block").c_str(), link, sizeof link) <= 0) continue;
    if (info->members < 255) ++info->members;
    if (!ReadSmall(e + "/state", &text)) {
      HD_ERROR("get file:[%s] content failded!\n", (e + "/state").c_str());
      inactive = true;
      continue;
    }
    std::string s = trimmed(text);
    if (s.starts_with("in_sync")) {
      ++info->inSync, ++info->active;
      if (ReadSmall(e + "/slot", &text) && ParseSysU64(text, &v) && v < 256) pair_ok[v / 2] = true;
    } else if (s.starts_with("spare")) {
      if (ReadSmall(e + "/recovery_start", &text) && trimmed(text) == "0") ++info->spares;
      else ++info->active;
    } else if (s.starts_with("faulty")) {
      ++info->faulty;
    }
  }
  if (ReadSmall(dir + "/array_state", &text)) {
    std::string as = trimmed(text);
    if (as == "inactive") inactive = true;
    if (as.starts_with("readonly") || as == "read-auto") info->state |= RAID_READONLY;
    if (as == "data_corrupt") info->state |= RAID_DATA_CORRUPT;
  } else {
    HD_ERROR("get file:[%s] content failded!\n", (dir + "/array_state").c_str());
    inactive = true;
  }
  int in = info->inSync, n = info->raidDisks;
  switch (level) {
    case 0: inactive |= in != n; break;
    case 1: case 3: case 4: case 5: case 18: inactive |= in + 1 < n; break;
    case 6: case 8: inactive |= in + 2 < n; break;
    case 9: {
      uint64_t code = 0;
      if (!ReadMdNumber(dir + "/code_disks", &code, "code_disks") || in + static_cast<int>(code) < n) {
        HD_INFO("%s is inActive.\n", raid);
        inactive = true;
      }
      break;
    }
    case 10:
      for (int p = 0; p < (n + 1) / 2; ++p) inactive |= !pair_ok[p];
      break;
    case 20: break;
    default: inactive |= info->faulty || info->spares || info->members < n; break;
  }
  if (level < 0) inactive = true;
  if (inactive) {
    info->state = RAID_INACTIVE;
    return 0;
  }
  info->state |= RAID_NORMAL;
  if (ReadMdNumber(dir + "/degraded", &v, "szDegrade") && v) info->state |= RAID_DEGRADED;
  if (ReadSmall(dir + "/sync_action", &text)) {
    std::string a = trimmed(text);
    if (a == "recover") info->state |= RAID_RECOVER;
    else if (a == "resync") info->state |= RAID_RESYNC;
    else if (a == "reshape") info->state |= RAID_RESHAPE;
    else if (a == "check") info->state |= RAID_CHECK;
  }
  if ((level == 3 || level == 4 || level == 5 || level == 9) && info->state == RAID_NORMAL && in != n)
    info->state = RAID_NORMAL | RAID_DEGRADED;
  if (ReadSmall("/sys/block/" + md + "/size", &text) && ParseSysU64(text, &v) && v < (1ull << 54)) info->size = v * 512;
  if (ReadSmall(dir + "/chunk_size", &text) && ParseSysU64(text, &v)) info->chunk = static_cast<uint32_t>(v >> 10);
  if (info->state & (RAID_RECOVER | RAID_RESYNC)) {
    std::string mdstat;
    int finish = 0, speed = 0;
    float progress = 0;
    if (ReadSmall("/proc/mdstat", &mdstat) &&
        ParseMdstatProgress(mdstat, md, !(info->state & RAID_RECOVER), &progress, &finish, &speed)) {
      info->progress = progress;
      info->finish = finish;
      info->speed = static_cast<float>(speed) * (1.0f / 1024);
    }
  }
  return 0;
}

}  // namespace

int Raid_GetRaidInfo(const char* raid, RaidInfo* out) { return raid_info(raid, out, "sd"); }
int Raid_GetMulInfo(const char* raid, RaidInfo* out) { return raid_info(raid, out, "md"); }

int Raid_GetInfo(const char* raid, RaidInfo* out) {
  int rc = Raid_GetRaidInfo(raid, out);
  if (rc == 0) Raid_GetRaidAliasName(raid, out->alias, sizeof out->alias);
  return rc;
}

int Raid_GetSyncModeInfo(const char* raid, uint32_t* mode, float* progress) {
  RaidInfo info;
  if (!mode || !progress || Raid_GetRaidInfo(raid, &info) != 0) return -1;
  *mode = info.state & (RAID_RECOVER | RAID_RESYNC | RAID_RESHAPE | RAID_CHECK);
  *progress = info.progress;
  return 0;
}

int Raid_SetDiskWantRepl(const char* raid, const char* disk) {
  HD_INFO("Enter setDiskWantRepl(%s)", disk ? disk : "");
  std::string md = MdBase(raid), d = DiskBase(disk);
  std::vector<std::string> members = md.empty() ? std::vector<std::string>() : MdMemberNames(md);
  if (d.empty() || std::find(members.begin(), members.end(), d) == members.end()) {
    HD_ERROR("Disk %s not a raid %s subdisk!\n", disk ? disk : "", raid ? raid : "");
    return -1;
  }
  int level = Raid_GetLevel(raid);
  if (level != 1 && !(level >= 3 && level <= 6) && level != 8 && level != 9 && level != 10 && level != 18 &&
      level != 20) {
    HD_ERROR("Raid level %d not support setting wantreplacement for disk!\n", level);
    return -1;
  }
  std::string path = "/sys/block/" + md + "/md/dev-" + d + "/state", text;
  if (!ReadSmall(path, &text) || !trimmed(text).starts_with("in_sync")) {
    HD_ERROR("Raid subdisk %s state:%s, can not be set want_replacement!\n", disk, trimmed(text).c_str());
    return -1;
  }
  if (!RunOk("echo want_replacement > " + path)) {
    HD_ERROR("Raid subdisk %s set want_replacement failed!\n", disk);
    return -1;
  }
  return 0;
}

int Raid_RestoreCorruptedDataArea(const char* raid, uint64_t start, uint32_t len, int mode) {
  std::string md = MdBase(raid);
  int level = md.empty() ? -1 : Raid_GetLevel(raid);
  int parity = parity_disks(md, level);
  RaidInfo info;
  if (parity < 0 || len == 0 || mode < 0 || mode > 2 || Raid_GetRaidInfo(raid, &info) != 0 || info.chunk == 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  unsigned chunk = info.chunk * 2;  // sectors
  uint64_t a = start / chunk * chunk;
  uint64_t end = start + len;
  uint64_t alen = (end + chunk - 1) / chunk * chunk - a;
  if (alen > UINT32_MAX) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HD_INFO("Restore address %llu, len %u(%llu, %u), %u.\n", static_cast<unsigned long long>(start), len,
          static_cast<unsigned long long>(a), static_cast<unsigned>(alen), chunk);
  std::string list;
  for (auto& m : MdMemberNames(md)) list += "/dev/" + m + " ";
  unsigned long long aa = a;
  unsigned al = static_cast<unsigned>(alen);
  char cmd[4096];
  if (mode == 0)
    snprintf(cmd, sizeof cmd,
             "echo %llu %u > /sys/block/%s/md/clear_stripecache;xor_tool -l %d -p %d -a %llus -s %us -c %us -x %s > /dev/null",
             aa, al, md.c_str(), level, parity, aa, al, chunk, list.c_str());
  else if (mode == 1)
    snprintf(cmd, sizeof cmd,
             "echo %llu %u > /sys/block/%s/md/clear_stripecache;xor_tool -l %d -p %d -a %llus -s %us -c %us -t recovery -x %s %s > /dev/null",
             aa, al, md.c_str(), level, parity, aa, al, chunk, list.c_str(), ("/dev/" + md).c_str());
  else
    snprintf(cmd, sizeof cmd, "xor_tool -l %d -p %d -a %llus -s %us -c %us -D%s -t recovery %s %s | grep Wrong", level,
             parity, aa, al, chunk, ("/dev/" + md).c_str(), list.c_str(), "");
  if (mode == 2) {
    osa::CaptureResult c = osa::Capture(cmd);
    return c.output.find("Wrong") != std::string::npos ? 1 : 0;
  }
  return RunOk(cmd) ? 0 : -1;
}
