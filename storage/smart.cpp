// ATA commands over SG_IO and the SMART, identity and statistics queries
// built on them.

#include <linux/hdreg.h>
#include <scsi/sg.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "osa/sys.h"
#include "storage/access_internal.h"

namespace hd {

namespace {

constexpr unsigned kAtaTimeoutMs = 75000;

bool sg_ok_or_regs(const sg_io_hdr_t& io, const uint8_t* sense, bool want_regs, AtaRegs* regs) {
  if (io.host_status != 0) return false;
  int have = ParseAtaSense(sense, io.sb_len_wr, regs);
  if (have < 0) return false;
  // A device error shows in the ATA status even when SG_IO succeeded.
  if (have == 1 && (regs->status & 0x21)) return false;
  if (io.status == 0 && (io.driver_status & 0x0f) == 0) return !want_regs || have == 1;
  // CHECK CONDITION is the normal answer when the registers were asked for:
  // sense key RECOVERED ERROR, "ATA pass through information available".
  if ((io.status & 0x7e) == 0x02 && have == 1 && sense[0] == 0x72 && (sense[1] & 0x0f) == 0x01 && sense[2] == 0 &&
      sense[3] == 0x1d)
    return true;
  return false;
}

int smart_read(const HdDevInfo& r, uint8_t feature, uint8_t lba_low, uint8_t* data) {
  AtaTask t;
  t.cmd = 0xB0;
  t.feature = feature;
  t.count = 1;
  t.lba = lba_low | (0x4fu << 8) | (0xc2u << 16);
  t.protocol = 4;
  AtaRegs regs;
  return AtaExec(r.fdSync, t, data, &regs);
}

bool identify(const HdDevInfo& r, HdDiskDetail* d) {
  uint8_t args[4 + 512] = {0xEC, 0, 0, 1};
  if (osa::sys::ioctl(r.fdSync, HDIO_DRIVE_CMD, args) != 0) {
    HD_INFO("HDIO_DRIVE_CMD failed, try SG_IO.\n");
    AtaTask t;
    t.cmd = 0xEC;
    t.count = 1;
    t.protocol = 4;
    AtaRegs regs;
    if (AtaExec(r.fdSync, t, args + 4, &regs) != 0) return false;
  }
  if (!ParseIdentify(args + 4, d)) {
    HD_ERROR("identify data of %s has a bad checksum.\n", r.name);
    return false;
  }
  d->sectors = d->sectors ? d->sectors : r.capacity;
  return true;
}

// SMART data and thresholds of a record, checked.
int smart_sectors(const HdDevInfo& r, uint8_t* data, uint8_t* thr) {
  HdDiskDetail d;
  if (r.fdSync < 0 || !IsAtaDisk(r) || !identify(r, &d) || !d.smartSupported) {
    HD_ERROR("disk not support smart\n");
    return -1;
  }
  if (!d.smartEnabled) {
    AtaTask t;
    t.cmd = 0xB0;
    t.feature = 0xD8;
    t.lba = (0x4fu << 8) | (0xc2u << 16);
    AtaRegs regs;
    if (AtaExec(r.fdSync, t, nullptr, &regs) != 0) {
      HD_ERROR("enable smart failed\n");
      return -1;
    }
  }
  for (auto [buf, feature, what] : {std::tuple{data, uint8_t{0xD0}, "data"}, std::tuple{thr, uint8_t{0xD1}, "threshold"}}) {
    if (!buf) continue;
    std::memset(buf, 0, 512);
    if (smart_read(r, feature, 0, buf) != 0) {
      HD_ERROR("read smart %s failed\n", what);
      return -1;
    }
    if (!SectorChecksumOk(buf)) {
      HD_ERROR("ata_read_smart_data:check sum failed\n");
      return -1;
    }
  }
  return 0;
}

int attrs(HdDevInfo* r, HdSmartAttr* out, int max, bool values, bool thresholds) {
  if (!r) return -1;
  if (!out || max < 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  uint8_t data[512], thr[512];
  if (smart_sectors(*r, values ? data : nullptr, thresholds ? thr : nullptr) != 0) return -1;
  std::vector<HdSmartAttr> v;
  if (values) ParseSmartAttrs(data, thresholds ? thr : nullptr, &v);
  else ParseSmartAttrs(thr, nullptr, &v);  // same layout: id, then the threshold in the flags' place
  int n = 0;
  for (auto& a : v) {
    if (n >= max) break;
    if (!values) {
      a.threshold = static_cast<uint8_t>(a.flags & 0xff);
      a.flags = 0;
      a.value = a.worst = 0;
      a.raw = 0;
    }
    out[n++] = a;
  }
  return n;
}

// The member disk's record of an array record.
HdDevInfo* member(int logic, int index) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return nullptr;
  char m[kRaidMaxMembers][32];
  int n = std::strcmp(r->bus, "RAID") == 0 ? Raid_GetMembers(r->name, m, kRaidMaxMembers) : -1;
  if (index < 0 || index >= n) {
    HD_ERROR("Invalid para.\n");
    return nullptr;
  }
  for (auto& x : Lib().list)
    if (std::strcmp(x->name, m[index]) == 0) return x.get();
  HD_ERROR("No such device, device name: %s.\n", m[index]);
  return nullptr;
}

}  // namespace

int AtaExec(int fd, const AtaTask& t, uint8_t* data, AtaRegs* regs) {
  uint8_t cdb[16] = {0x85};
  cdb[1] = static_cast<uint8_t>((t.protocol << 1) | (t.ext ? 1 : 0));
  // Length in the sector count, in blocks; data-in for PIO in; CK_COND
  // when the registers are wanted.
  cdb[2] = static_cast<uint8_t>((t.protocol == 4 ? 0x0e : 0) | (t.wantRegs ? 0x20 : 0));
  cdb[3] = static_cast<uint8_t>(t.ext ? t.feature >> 8 : 0);
  cdb[4] = static_cast<uint8_t>(t.feature);
  cdb[5] = static_cast<uint8_t>(t.ext ? t.count >> 8 : 0);
  cdb[6] = static_cast<uint8_t>(t.count);
  cdb[7] = static_cast<uint8_t>(t.ext ? t.lba >> 24 : 0);
  cdb[8] = static_cast<uint8_t>(t.lba);
  cdb[9] = static_cast<uint8_t>(t.ext ? t.lba >> 32 : 0);
  cdb[10] = static_cast<uint8_t>(t.lba >> 8);
  cdb[11] = static_cast<uint8_t>(t.ext ? t.lba >> 40 : 0);
  cdb[12] = static_cast<uint8_t>(t.lba >> 16);
  cdb[13] = static_cast<uint8_t>(0x40 | (t.ext ? 0 : (t.lba >> 24) & 0x0f));
  cdb[14] = t.cmd;
  uint8_t sense[64] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = t.protocol == 4 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.dxferp = t.protocol == 4 ? data : nullptr;
  io.dxfer_len = t.protocol == 4 ? 512 : 0;
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = kAtaTimeoutMs;
  if (fd < 0 || (t.protocol == 4 && !data) || osa::sys::ioctl(fd, SG_IO, &io) != 0) return -1;
  *regs = AtaRegs{};
  return sg_ok_or_regs(io, sense, t.wantRegs, regs) ? 0 : -1;
}

bool IsAtaDisk(const HdDevInfo& r) {
  if (r.fdSync < 0) return false;
  std::string base = std::string(r.name).substr(5), link;
  char buf[512];
  ssize_t n = osa::sys::readlink(("/sys/block/" + base).c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string_view(buf, static_cast<std::size_t>(n)).find("/usb") != std::string_view::npos &&
      std::strcmp(r.bus, "SATA") == 0)
    return true;  // behind a USB-to-ATA bridge
  uint8_t inq[36] = {};
  const uint8_t cdb[6] = {0x12, 0, 0, 0, sizeof inq, 0};
  if (!SgCommand(r.fdSync, cdb, sizeof cdb, SG_DXFER_FROM_DEV, inq, sizeof inq, 5000)) return false;
  return std::memcmp(inq + 8, "ATA     ", 8) == 0;
}

}  // namespace hd

using namespace hd;

int ata_command_handle(int fd, uint8_t cmd, uint8_t feature, uint8_t count, uint8_t lba_low, uint8_t* data) {
  AtaTask t;
  t.cmd = cmd;
  t.feature = feature;
  t.count = count;
  t.lba = cmd == 0xB0 ? (lba_low | (0x4fu << 8) | (0xc2u << 16)) : lba_low;
  t.protocol = data ? 4 : 3;
  AtaRegs regs;
  return AtaExec(fd, t, data, &regs);
}

int ide_get_smart_attr(int logic, HdSmartAttr* out, int max) { return attrs(RecordByLogic(logic), out, max, true, true); }
int ide_get_threshold_attr(int logic, HdSmartAttr* out, int max) {
  return attrs(RecordByLogic(logic), out, max, false, true);
}
int ide_get_smart_threshold_attr(int logic, HdSmartAttr* out, int max) {
  return attrs(RecordByLogic(logic), out, max, true, true);
}
int ide_get_smart_attr_raid(int logic, int index, HdSmartAttr* out, int max) {
  return attrs(member(logic, index), out, max, true, true);
}
int ide_get_threshold_attr_raid(int logic, int index, HdSmartAttr* out, int max) {
  return attrs(member(logic, index), out, max, false, true);
}

int ide_get_smart_value_list(int logic, int64_t* values, int count) {
  if (!values || count < 256) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HdSmartAttr a[30];
  int n = ide_get_smart_attr(logic, a, 30);
  if (n < 0) return -1;
  for (int i = 0; i < 256; ++i) values[i] = -1;
  for (int i = 0; i < n; ++i) values[a[i].id] = static_cast<int64_t>(a[i].raw);
  return n;
}

int ide_get_smart_threshold_by_name(int logic, const char* name, int* threshold) {
  if (!name || !threshold) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HdSmartAttr a[30];
  int n = ide_get_threshold_attr(logic, a, 30);
  for (int i = 0; i < n; ++i)
    if (std::strcmp(a[i].name, name) == 0) {
      *threshold = a[i].threshold;
      return 0;
    }
  return -1;
}

namespace {

int errlog(HdDevInfo* r, HdSmartErrLog* out) {
  if (!r) return -1;
  if (!out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  if (smart_sectors(*r, nullptr, nullptr) != 0) return -1;
  uint8_t log[512];
  std::string msg;
  if (smart_read(*r, 0xD5, 0x01, log) != 0) {
    HD_ERROR("read smart error log failed\n");
    return -1;
  }
  if (!ParseSmartErrlog(log, out, &msg)) {
    HD_ERROR("%s", msg.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int ide_get_errlog(int logic, HdSmartErrLog* out) { return errlog(RecordByLogic(logic), out); }
int ide_get_errlog_raid(int logic, int index, HdSmartErrLog* out) { return errlog(member(logic, index), out); }

int ide_get_smart_status(int logic) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r || smart_sectors(*r, nullptr, nullptr) != 0) return -1;
  AtaTask t;
  t.cmd = 0xB0;
  t.feature = 0xDA;
  t.lba = (0x4fu << 8) | (0xc2u << 16);
  t.wantRegs = true;
  AtaRegs regs;
  if (AtaExec(r->fdSync, t, nullptr, &regs) != 0) return -1;
  uint8_t mid = (regs.lba >> 8) & 0xff, high = (regs.lba >> 16) & 0xff;
  if (mid == 0xf4 && high == 0x2c) return 1;
  if (mid == 0x4f && high == 0xc2) return 0;
  return -1;  // registers that say neither: unknown, not healthy
}

int ide_get_detail(int logic, HdDiskDetail* out) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (!out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return identify(*r, out) ? 0 : -1;
}

int ide_get_detail_raid(int logic, int index, HdDiskDetail* out) {
  HdDevInfo* r = member(logic, index);
  if (!r || !out) return -1;
  return identify(*r, out) ? 0 : -1;
}

int ide_get_detail_by_name(const char* name, HdDiskDetail* out) {
  HdDevInfo* r = RecordByName(name);
  if (!r) return -1;
  if (!out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  return identify(*r, out) ? 0 : -1;
}

int ide_get_device_info(int logic, HdDevInfo* out) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (!out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  *out = *r;
  out->privData = nullptr;
  return 0;
}

int ide_get_name(int logic, char* out, std::size_t len) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (!out || !len) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  snprintf(out, len, "%s", r->name);
  return 0;
}

int ide_is_esata(int logic) {
  HdDevInfo* r = RecordByLogic(logic);
  return r ? std::strcmp(r->bus, "ESATA") == 0 : -1;
}

int ide_esata_getinfo(int logic, int* port, int* slot) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r || !port || !slot || std::strcmp(r->bus, "ESATA") != 0) return -1;
  *port = r->port;
  *slot = static_cast<int>(r->slot);
  return 0;
}

int ide_get_expander_info(int logic, int* layer, int* port, int* slot) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r || !layer || !port || !slot) return -1;
  if (r->layer < 10) return 0;  // not behind an expander
  *layer = r->layer - 10;
  *port = r->port;
  *slot = static_cast<int>(r->slot);
  return 1;
}

int Hd_GetDiskStats(const char* name, HdIoStat* out) {
  std::string n = name ? name : "";
  if (n.starts_with("/dev/")) n = n.substr(5);
  if (!ValidBlockName(n) || !out) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  std::string text;
  if (!ReadSmall("/sys/block/" + n + "/stat", &text) || !ParseDiskStat(text, out)) {
    HD_ERROR("get file:[/sys/block/%s/stat] content failded!\n", n.c_str());
    return -1;
  }
  return 0;
}

int ide_get_iostat(int logic, HdIoStat* out) {
  HdDevInfo* r = RecordByLogic(logic);
  return r ? Hd_GetDiskStats(r->name, out) : -1;
}
