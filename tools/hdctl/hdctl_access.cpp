// hdctl calls of disk access, power management and SMART.

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

// Each sector holds its own 64-bit number, little-endian, repeated.
std::vector<uint8_t> pattern(uint64_t first, uint32_t sectors) {
  std::vector<uint8_t> b(static_cast<std::size_t>(sectors) * 512);
  for (uint32_t s = 0; s < sectors; ++s)
    for (int k = 0; k < 512; ++k) b[s * 512u + k] = static_cast<uint8_t>((first + s) >> (8 * (k % 8)));
  return b;
}

void print_attrs(const HdSmartAttr* a, int n, bool thresholds) {
  for (int i = 0; i < n; ++i) {
    if (thresholds)
      printf("id=%u name=\"%s\" threshold=%u\n", a[i].id, a[i].name, a[i].threshold);
    else
      printf("id=%u name=\"%s\" value=%u worst=%u raw=%" PRIu64 "\n", a[i].id, a[i].name, a[i].value, a[i].worst,
             a[i].raw);
  }
}

}  // namespace

bool RunAccessCall(const std::vector<const char*>& a, int* status) {
  std::string name = a[0];
  size_t argc = a.size() - 1;
  long long v[4] = {};
  for (size_t i = 1; i < a.size() && i <= 4; ++i)
    if (!num(a[i], &v[i - 1])) v[i - 1] = -1;
  *status = 0;
  auto ok3 = [&] { return argc == 3 && v[0] >= 0 && v[1] >= 0 && v[1] <= 0xffffffffLL && v[2] >= 0; };
  int logic = static_cast<int>(v[0]);
  auto sectors = static_cast<uint32_t>(v[1]);
  auto offset = static_cast<uint64_t>(v[2]);
  int rc;
  if (name == "speedcheck" && argc == 1 && (v[0] == 0 || v[0] == 1)) {
    Hd_SetSpeedCheck(static_cast<int>(v[0]));
    rc = 0;
  } else if (name == "ide_read64" && ok3() && sectors <= 65536) {
    std::vector<uint8_t> buf(static_cast<std::size_t>(sectors) * 512);
    rc = ide_read64(logic, sectors, offset, buf.data());
    printf("%s rc=%d\n", name.c_str(), rc);
    if (rc == 0) {
      printf("hex=");
      for (size_t i = 0; i < 32 && i < buf.size(); ++i) printf("%02x", buf[i]);
      printf("\n");
    }
    return true;
  } else if ((name == "ide_write64" || name == "ide_awrite64") && ok3() && sectors <= 65536) {
    auto buf = pattern(offset, sectors);
    rc = name == "ide_write64" ? ide_write64(logic, sectors, offset, buf.data())
                               : ide_awrite64(logic, sectors, offset, buf.data());
  } else if ((name == "ide_read_dma" || name == "ide_write_dma") && argc == 4 && v[0] >= 0 && v[1] >= 0 && v[2] >= 0) {
    rc = name == "ide_read_dma" ? ide_read_dma(logic, sectors, offset, static_cast<int>(v[3]))
                                : ide_write_dma(logic, sectors, offset, static_cast<int>(v[3]));
  } else if (name == "ide_verify" && ok3()) {
    rc = ide_verify(logic, sectors, offset);
  } else if (name == "ide_setRWmode" && argc == 2) {
    rc = ide_setRWmode(logic, static_cast<int>(v[1]));
  } else if (name == "ide_setstandby" && argc == 2) {
    rc = ide_setstandby(logic, static_cast<int>(v[1]));
  } else if (name == "ide_wakeup" && argc == 1) {
    rc = ide_wakeup(logic);
  } else if (name == "scsi_setstandbyname" && argc == 2) {
    rc = scsi_setstandbyname(a[1], static_cast<int>(v[1]));
  } else if (name == "scsi_wakeup_byname" && argc == 1) {
    rc = scsi_wakeup_byname(a[1]);
  } else if (name == "ide_get_disk_powermode" && argc == 1) {
    rc = ide_get_disk_powermode(a[1]);
    printf("%s rc=%d\nmode=0x%02x\n", name.c_str(), rc, rc < 0 ? 0 : rc);
    return true;
  } else if ((name == "ide_get_smart_attr" || name == "ide_get_threshold_attr") && argc == 1) {
    HdSmartAttr at[30];
    bool thr = name == "ide_get_threshold_attr";
    rc = thr ? ide_get_threshold_attr(logic, at, 30) : ide_get_smart_attr(logic, at, 30);
    printf("%s rc=%d\n", name.c_str(), rc);
    print_attrs(at, rc, thr);
    return true;
  } else if (name == "ide_get_smart_attr_raid" && argc == 2) {
    HdSmartAttr at[30];
    rc = ide_get_smart_attr_raid(logic, static_cast<int>(v[1]), at, 30);
    printf("%s rc=%d\n", name.c_str(), rc);
    print_attrs(at, rc, false);
    return true;
  } else if (name == "ide_get_errlog" && argc == 1) {
    HdSmartErrLog log{};
    rc = ide_get_errlog(logic, &log);
    printf("%s rc=%d\nindex=%u\nentries=%u\ndevice_errors=%u\n", name.c_str(), rc, log.index, log.entries,
           log.deviceErrors);
    for (int i = 0; i < log.entries && i < 5; ++i)
      printf("error=0x%02x status=0x%02x count=%u lba=%u life_hours=%u\n", log.err[i].error, log.err[i].status,
             log.err[i].count, log.err[i].lba, log.err[i].lifeHours);
    return true;
  } else if (name == "ide_get_smart_status" && argc == 1) {
    rc = ide_get_smart_status(logic);
  } else if (name == "ide_get_detail" && argc == 1) {
    HdDiskDetail d{};
    rc = ide_get_detail(logic, &d);
    printf("%s rc=%d\nmodel=%s\nserial=%s\nfirmware=%s\nsmart_supported=%u\nsmart_enabled=%u\nlba48=%u\nsectors=%" PRIu64
           "\n",
           name.c_str(), rc, d.model, d.serial, d.firmware, d.smartSupported, d.smartEnabled, d.lba48, d.sectors);
    return true;
  } else if (name == "ide_get_iostat" && argc == 1) {
    HdIoStat s{};
    rc = ide_get_iostat(logic, &s);
    printf("%s rc=%d\nread_ios=%u\nread_sectors=%" PRIu64 "\nwrite_ios=%u\nwrite_sectors=%" PRIu64 "\nin_flight=%u\n",
           name.c_str(), rc, s.readIos, s.readSectors, s.writeIos, s.writeSectors, s.inFlight);
    return true;
  } else {
    return false;
  }
  printf("%s rc=%d\n", name.c_str(), rc);
  return true;
}
