// Spinning disks down and up: ATA IDLE with a standby timer, STANDBY
// IMMEDIATE and IDLE IMMEDIATE, or the SCSI power condition mode page;
// arrays member by member in parallel.

#include <scsi/sg.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "osa/sys.h"
#include "storage/access_internal.h"

namespace hd {

namespace {

constexpr unsigned kMaxParallel = 64;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The power condition page: STANDBY_Z with its timer (100 ms units), or
// all timers off for a wake-up.
bool scsi_power(int fd, bool standby, uint32_t timer) {
  uint8_t page[48] = {};
  const uint8_t sense_cdb[10] = {0x5A, 0x08, 0x1A, 0, 0, 0, 0, 0, sizeof page, 0};
  if (!SgCommand(fd, sense_cdb, sizeof sense_cdb, SG_DXFER_FROM_DEV, page, sizeof page, 30000)) return false;
  unsigned bd = (page[6] << 8) | page[7];
  if (bd != 0 || (page[8] & 0x3f) != 0x1a) return false;
  uint8_t* p = page + 8;
  page[0] = page[1] = 0;  // mode data length is reserved in MODE SELECT
  p[0] &= 0x7f;           // PS bit
  p[3] = static_cast<uint8_t>(standby ? (p[3] | 0x01) : (p[3] & ~0x03));
  for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(timer >> (8 * (3 - i)));
  const uint8_t select_cdb[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, sizeof page, 0};
  return SgCommand(fd, select_cdb, sizeof select_cdb, SG_DXFER_TO_DEV, page, sizeof page, 30000);
}

int ata_simple(int fd, uint8_t cmd, uint8_t count) {
  AtaTask t;
  t.cmd = cmd;
  t.count = count;
  AtaRegs regs;
  return AtaExec(fd, t, nullptr, &regs);
}

int disk_standby(const HdDevInfo& r, int minutes) {
  if (IsAtaDisk(r)) {
    if (minutes > 0) return ata_simple(r.fdSync, 0xE3, StandbyCount(minutes));
    return ata_simple(r.fdSync, 0xE0, 0);
  }
  // The timer counts 100 ms steps in 32 bits: very long times are capped.
  uint32_t timer = minutes <= 0 ? 1 : minutes >= 7158278 ? UINT32_MAX : static_cast<uint32_t>(minutes) * 600;
  return scsi_power(r.fdSync, true, timer) ? 0 : -1;
}

int disk_wakeup(const HdDevInfo& r) {
  if (IsAtaDisk(r)) return ata_simple(r.fdSync, 0xE1, 0);
  return scsi_power(r.fdSync, false, 0) ? 0 : -1;
}

int op_single(HdDevInfo& r, bool standby, int minutes) {
  long long t0 = now_ms();
  int rc = standby ? disk_standby(r, minutes) : disk_wakeup(r);
  if (rc != 0) {
    if (standby) HD_ERROR("setstandby disk %s failed. logic number: %d.\n", r.name, r.logic);
    else HD_ERROR("wakeup disk %s failed. logic number: %d.\n", r.name, r.logic);
    return -1;
  }
  if (!standby) {
    uint8_t front[4096];
    HD_INFO("%s read front\n", r.name);
    osa::sys::pread(r.fdSync, front, sizeof front, 0);
    HD_INFO("wakeup ide_no:%d, disk:%s, costed: %lldms\n", r.logic, r.name, now_ms() - t0);
  }
  return 0;
}

// Runs the operation on every member at once; any member failing fails
// the call.
int op_to_raid_disks(const HdDevInfo& array, bool standby, int minutes) {
  char m[kRaidMaxMembers + 1][32];
  int n = Raid_GetSubDisks(array.name, m, kRaidMaxMembers + 1);
  if (n < 0) return -1;
  if (static_cast<unsigned>(n) > kMaxParallel) {
    HD_ERROR("Too much disks to op at the same time, %u supported.\n", kMaxParallel);
    return -1;
  }
  std::vector<HdDevInfo*> members;
  for (int i = 0; i < n; ++i)
    for (auto& x : Lib().list)
      if (std::strcmp(x->name, m[i]) == 0) members.push_back(x.get());
  std::vector<int> rc(members.size(), -1);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < members.size(); ++i) {
    try {
      threads.emplace_back([&, i, minutes] { rc[i] = op_single(*members[i], standby, minutes); });
    } catch (const std::system_error&) {
      HD_ERROR("create thread failed.\n");
    }
  }
  for (auto& t : threads) t.join();
  for (int v : rc)
    if (v != 0) return -1;
  return static_cast<int>(members.size()) == n ? 0 : -1;
}

int op(HdDevInfo* r, bool standby, int minutes) {
  if (!r) return -1;
  if (r->layer == 3 || std::strcmp(r->bus, "MMC") == 0) return 0;  // iSCSI and cards never sleep
  if (r->layer == 1 && std::strcmp(r->bus, "RAID") == 0) {
    int rc = op_to_raid_disks(*r, standby, minutes);
    if (rc != 0) {
      if (standby) HD_ERROR("setstandby disk %s failed. logic number: %d.\n", r->name, r->logic);
      else HD_ERROR("wakeup disk %s failed. logic number: %d.\n", r->name, r->logic);
    }
    return rc;
  }
  if (r->fdSync < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return op_single(*r, standby, minutes);
}

}  // namespace

}  // namespace hd

using namespace hd;

int ide_setstandby(int logic, int minutes) {
  if (minutes < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return op(RecordByLogic(logic), true, minutes);
}

int ide_wakeup(int logic) { return op(RecordByLogic(logic), false, 0); }

int scsi_setstandbyname(const char* name, int minutes) {
  if (minutes < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return op(RecordByName(name), true, minutes);
}

int scsi_wakeup_byname(const char* name) { return op(RecordByName(name), false, 0); }

int ide_get_disk_powermode(const char* name) {
  HdDevInfo* r = RecordByName(name);
  if (!r || r->fdSync < 0) return -1;
  AtaTask t;
  t.cmd = 0xE5;
  t.wantRegs = true;
  AtaRegs regs;
  if (AtaExec(r->fdSync, t, nullptr, &regs) != 0) {
    HD_ERROR("check power mode of %s failed.\n", r->name);
    return -1;
  }
  return regs.count & 0xff;
}
