// hdctl calls of the RAID, access, power and SMART side.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "tools/hdctl/hdctl.h"

namespace {

bool num(const char* s, long long* out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s, &end, 0);
  if (errno || *end) return false;
  *out = v;
  return true;
}

void print_info(const RaidInfo& i) {
  printf("name=%s\nlevel=%u\nraid_disks=%u\nmembers=%u\nin_sync=%u\nactive=%u\nfaulty=%u\nspares=%u\nstate=%u\n"
         "size=%" PRIu64 "\nfinish=%d\nprogress=%.1f\nspeed=%.2f\nchunk=%u\nalias=%s\n",
         i.name, i.level, i.raidDisks, i.members, i.inSync, i.active, i.faulty, i.spares, i.state, i.size, i.finish,
         static_cast<double>(i.progress), static_cast<double>(i.speed), i.chunk, i.alias);
}

int make_raid(const std::vector<const char*>& a) {
  if (a.size() < 4) return -2;
  RaidDesc d{};
  RaidCreateReq r{};
  snprintf(d.name, sizeof d.name, "%s", a[1]);
  long long level;
  if (!num(a[2], &level)) return -2;
  for (size_t i = 3; i < a.size(); ++i) {
    std::string s = a[i];
    size_t eq = s.find('=');
    if (eq == std::string::npos) {
      if (r.count >= 64) return -2;
      snprintf(r.disks[r.count++], 32, "%s", a[i]);
      continue;
    }
    std::string k = s.substr(0, eq), v = s.substr(eq + 1);
    if (k == "name") {
      snprintf(d.alias, sizeof d.alias, "%s", v.c_str());
      continue;
    }
    long long n;
    if (!num(v.c_str(), &n)) return -2;
    if (k == "chunk") r.chunk = static_cast<int>(n);
    else if (k == "spares") r.spares = static_cast<int>(n);
    else if (k == "layout") r.layout = static_cast<int>(n);
    else if (k == "data") r.data = static_cast<int>(n);
    else if (k == "parity") r.parity = static_cast<int>(n);
    else return -2;
  }
  return Raid_MakeRaid(&d, static_cast<int>(level), &r);
}

using Fn1 = int (*)(const char*);
using Fn2 = int (*)(const char*, const char*);
using FnN = int (*)(const char*, int);

}  // namespace

bool RunDiskCall2(const std::vector<const char*>& a, int* status) {
  std::string name = a[0];
  size_t argc = a.size() - 1;
  long long n = 0, m = 0;
  *status = 0;
  int rc;
  static const struct { const char* n; Fn1 f; } one[] = {
      {"Raid_BreakRaid", Raid_BreakRaid},       {"Raid_StopRaid", Raid_StopRaid},
      {"Raid_StopRaidNoClr", Raid_StopRaidNoClr}, {"Raid_BreakMulRaid", Raid_BreakMulRaid},
      {"Raid_ClearRaidInfo", Raid_ClearRaidInfo}, {"Raid_SetHotspareDisk", Raid_SetHotspareDisk},
      {"Raid_RemoveHotspareDisk", Raid_RemoveHotspareDisk}, {"Raid_IsHotspareDisk", Raid_IsHotspareDisk},
      {"Raid_SetRaidState", Raid_SetRaidState},  {"Raid_GetLevel", Raid_GetLevel},
  };
  static const struct { const char* n; Fn2 f; } two[] = {
      {"Raid_AddDisk", Raid_AddDisk},           {"Raid_RemoveDisk", Raid_RemoveDisk},
      {"Raid_RemoveRaidDisk", Raid_RemoveRaidDisk}, {"Raid_SetFaultyDisk", Raid_SetFaultyDisk},
      {"Raid_ReAddDisk", Raid_ReAddDisk},       {"Raid_SetDiskWantRepl", Raid_SetDiskWantRepl},
  };
  static const struct { const char* n; FnN f; } numbered[] = {
      {"Raid_GrowRaid", Raid_GrowRaid},         {"Raid_SetSyncSpeedMin", Raid_SetSyncSpeedMin},
      {"Raid_SetSyncSpeedMax", Raid_SetSyncSpeedMax}, {"Raid_SetMinSyncSpeed", Raid_SetMinSyncSpeed},
      {"Raid_SetMaxSyncSpeed", Raid_SetMaxSyncSpeed}, {"Raid_SetRmw_level", Raid_SetRmw_level},
      {"Raid_SetMulMinSyncSpeed", Raid_SetMulMinSyncSpeed}, {"Raid_SetMulMaxSyncSpeed", Raid_SetMulMaxSyncSpeed},
  };
  for (auto& c : one)
    if (name == c.n && argc == 1) {
      printf("%s rc=%d\n", c.n, c.f(a[1]));
      return true;
    }
  for (auto& c : two)
    if (name == c.n && argc == 2) {
      printf("%s rc=%d\n", c.n, c.f(a[1], a[2]));
      return true;
    }
  for (auto& c : numbered)
    if (name == c.n && argc == 2 && num(a[2], &n)) {
      printf("%s rc=%d\n", c.n, c.f(a[1], static_cast<int>(n)));
      return true;
    }
  if (name == "Raid_MakeRaid") {
    rc = make_raid(a);
    if (rc == -2) return *status = 2, true;
  } else if ((name == "Raid_GetInfo" || name == "Raid_GetRaidInfo") && argc == 1) {
    RaidInfo i;
    rc = name == "Raid_GetInfo" ? Raid_GetInfo(a[1], &i) : Raid_GetRaidInfo(a[1], &i);
    printf("%s rc=%d\n", name.c_str(), rc);
    if (rc == 0) print_info(i);
    return true;
  } else if (name == "Raid_GetRaidList" && argc == 0) {
    static RaidListEntry list[kRaidMaxArrays];
    rc = Raid_GetRaidList(list, kRaidMaxArrays);
    printf("%s rc=%d\n", name.c_str(), rc);
    for (int i = 0; i < rc; ++i) {
      printf("name=%s\ncount=%d\n", list[i].name, list[i].count);
      for (int k = 0; k < list[i].count; ++k) printf("member=%s\n", list[i].members[k]);
    }
    return true;
  } else if (name == "Raid_AllocRaidName" && argc == 0) {
    char buf[32] = "";
    rc = Raid_AllocRaidName(buf, sizeof buf);
    printf("%s rc=%d\nname=%s\n", name.c_str(), rc, buf);
    return true;
  } else if ((name == "Raid_GetSuperblockUUid" || name == "Raid_GetUUid") && argc == 1) {
    uint32_t u[4] = {};
    rc = name == "Raid_GetUUid" ? Raid_GetUUid(a[1], u) : Raid_GetSuperblockUUid(a[1], u);
    printf("%s rc=%d\nuuid=%08x:%08x:%08x:%08x\n", name.c_str(), rc, u[0], u[1], u[2], u[3]);
    return true;
  } else if (name == "Raid_GetSpareDisks" && argc == 1) {
    char out[64][32];
    rc = Raid_GetSpareDisks(a[1], out, 64);
    printf("%s rc=%d\n", name.c_str(), rc);
    for (int i = 0; i < rc; ++i) printf("spare=%s\n", out[i]);
    return true;
  } else if (name == "Raid_SetMirrorZone" && argc == 3 && num(a[2], &n) && num(a[3], &m) && n >= 0 && m >= 0) {
    rc = Raid_SetMirrorZone(a[1], static_cast<uint64_t>(n), static_cast<uint64_t>(m));
  } else if (name == "Raid_RestoreCorruptedDataArea" && argc == 4 && num(a[2], &n) && num(a[3], &m) && n >= 0 &&
             m >= 0) {
    long long mode;
    if (!num(a[4], &mode)) return *status = 2, true;
    rc = Raid_RestoreCorruptedDataArea(a[1], static_cast<uint64_t>(n), static_cast<uint32_t>(m), static_cast<int>(mode));
  } else if (name == "Raid_MakeMulRaid" && argc >= 4 && num(a[2], &n)) {
    RaidDesc d{};
    snprintf(d.name, sizeof d.name, "%s", a[1]);
    std::vector<const char*> subs;
    for (size_t i = 3; i < a.size(); ++i) {
      if (std::strncmp(a[i], "name=", 5) == 0) snprintf(d.alias, sizeof d.alias, "%s", a[i] + 5);
      else subs.push_back(a[i]);
    }
    rc = Raid_MakeMulRaid(&d, static_cast<int>(n), subs.data(), static_cast<int>(subs.size()));
  } else if ((name == "Raid_GetMulInfo") && argc == 1) {
    RaidInfo i;
    rc = Raid_GetMulInfo(a[1], &i);
    printf("%s rc=%d\n", name.c_str(), rc);
    if (rc == 0) print_info(i);
    return true;
  } else if (name == "Raid_GetSubDisks" && argc == 1) {
    char out[64][32];
    rc = Raid_GetSubDisks(a[1], out, 64);
    printf("%s rc=%d\n", name.c_str(), rc);
    for (int i = 0; i < rc; ++i) printf("disk=%s\n", out[i]);
    return true;
  } else if (name == "Raid_RebuildRaid" && argc == 1 && num(a[1], &n)) {
    rc = Raid_RebuildRaid(static_cast<int>(n));
  } else {
    return RunAccessCall(a, status);
  }
  printf("%s rc=%d\n", name.c_str(), rc);
  return true;
}
