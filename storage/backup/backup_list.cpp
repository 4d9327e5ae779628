// BackupGetDevices: the candidate disks and drives from the SCSI scan (and
// MMC cards on boards that keep them out of the inventory), filtered by the
// listing rules, one record per partition or drive.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "osa/file.h"
#include "osa/sys.h"
#include "storage/backup/backup_internal.h"
#include "storage/internal.h"

namespace hd {

namespace {

bool sys_u64(const std::string& path, uint64_t* v) {
  std::string text;
  return ReadSmall(path, &text) && ParseSysU64(text, v);
}

// The partitions the kernel shows for a disk, in number order.
std::vector<BackupCandidate::Part> partitions(const std::string& disk) {
  std::vector<BackupCandidate::Part> v;
  for (const std::string& n : osa::ListDir("/sys/block/" + disk)) {
    uint64_t sectors = 0, no = 0;
    if (!n.starts_with(disk) || n.size() > 24 || !sys_u64("/sys/block/" + disk + "/" + n + "/partition", &no) ||
        !sys_u64("/sys/block/" + disk + "/" + n + "/size", &sectors) || sectors > (UINT64_MAX >> 9))
      continue;
    bool plain = true;
    for (char c : n) plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    if (plain) v.push_back({n, sectors << 9});
  }
  std::sort(v.begin(), v.end(), [](auto& a, auto& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return v;
}

// The recorder's storage marker at the start of the disk.
int type_of_disk(const ScsiEntry& e) {
  char head[16] = {};
  osa::UniqueFd fd(osa::sys::open(("/dev/" + e.name).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd && osa::sys::pread(fd.get(), head, sizeof head, 0) > 0) {
    std::string_view h(head, sizeof head);
    if (h.starts_with("ZQFS") || (e.bus != HD_BUS_ESATA && h.starts_with("POSIX2ZQFS")) ||
        (e.bus == HD_BUS_ESATA && h.starts_with("ESATAVFAT2ZQFS")))
      return BACKUP_TYPE_STORAGE;
  }
  if (e.bus == HD_BUS_USB) {
    std::string model;
    ReadSmall("/sys/block/" + e.name + "/device/model", &model);
    for (const char* m : {"Card Reader", "CardReader", "Card-Reader", "SD/MMC", "Multi-Card", "Multi-Reader"})
      if (model.find(m) != std::string::npos) return BACKUP_TYPE_READER;
  }
  return BACKUP_TYPE_DISK;
}

int sg_of(const ScsiEntry& e) {
  char dir[64];
  std::snprintf(dir, sizeof dir, "/sys/bus/scsi/devices/%d:%d:%d:%d/scsi_generic", e.addr.host, e.addr.channel,
                e.addr.target, e.addr.lun);
  for (const std::string& n : osa::ListDir(dir)) {
    int no = -1;
    char extra;
    if (std::sscanf(n.c_str(), "sg%d%c", &no, &extra) == 1 && no >= 0 && no < 4096) return no;
  }
  return -1;
}

}  // namespace

bool BackupGather(const PlatformCfg& cfg, std::vector<BackupCandidate>* out) {
  std::vector<ScsiEntry> scsi;
  if (!GetScsiDeviceList(cfg, &scsi)) {
    HD_ERROR("Backup device not ready.\n");
    return false;
  }
  std::string dom = DomDisk();
  for (const ScsiEntry& e : scsi) {
    BackupCandidate c;
    c.bus = e.bus;
    c.name = e.name;
    if (e.periph == 5 || (e.name.size() > 1 && e.name[0] == 's' && e.name[1] == 'r')) {
      c.type = BACKUP_TYPE_OPTICAL;
      c.sg = sg_of(e);
    } else if (e.periph != 0 || e.name.empty() || !e.name.starts_with("sd")) {
      continue;  // only disks answer as backup candidates
    } else {
      c.type = type_of_disk(e);
      c.useType = e.useType;
      c.systemDisk = e.name == dom;
      c.iscsi = e.bus == HD_BUS_ISCSI;
      c.bytes = e.sectors << 9;
      c.sizeOk = e.sectors != 0;
      c.parts = partitions(e.name);
    }
    out->push_back(std::move(c));
  }
  if (cfg.iMmcFilter == 1) {
    for (const std::string& n : osa::ListDir("/sys/block")) {
      if (!n.starts_with("mmcblk") || !ValidBlockName(n)) continue;
      BackupCandidate c;
      c.name = n;
      c.type = BACKUP_TYPE_MMC;
      c.mmcUseType = 1;  // cards on these boards are for backup
      uint64_t sectors = 0;
      c.sizeOk = sys_u64("/sys/block/" + n + "/size", &sectors);
      c.bytes = sectors << 9;
      c.parts = partitions(n);
      out->push_back(std::move(c));
    }
  }
  return true;
}

namespace {

bool make_dir(const std::string& dir) {
  std::string host = osa::sys::path(dir.c_str());
  struct stat st;
  if (::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  std::string root = host.substr(0, host.rfind('/'));
  if (!root.empty()) ::mkdir(root.c_str(), 0755);
  return ::mkdir(host.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace

}  // namespace hd

int BackupGetDevices(BackupDevInfo* devs, int* count) {
  if (!devs || !count || *count <= 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  const int cap = *count;
  *count = 0;
  const PlatformCfg* cfg = GetPlatformCfg();
  if (!cfg) {
    HD_ERROR("Backup device not ready.\n");
    return -1;
  }
  std::vector<hd::BackupCandidate> cands;
  if (!hd::BackupGather(*cfg, &cands)) return -1;
  std::string root = hd::BackupRoot(*cfg);
  int n = 0;
  for (const auto& c : cands) {
    if (const char* why = hd::BackupSkipReason(*cfg, c)) {
      HD_INFO("skip backup candidate %s: %s\n", c.name.c_str(), why);
      continue;
    }
    for (BackupDevInfo& r : hd::BackupRecordsOf(c, root)) {
      if (n == cap) {
        HD_WARN("get max dev num ,dev may ignored  maxdev %d!!\n", cap);
        *count = n;
        return 0;
      }
      if (!hd::make_dir(r.mountDir)) {
        HD_ERROR("mkdir %s failed\n", r.mountDir);
        *count = n;
        return 0;
      }
      BackupPriv* priv = devs[n].priv;
      devs[n] = r;
      devs[n].state = 0;
      if (r.type != BACKUP_TYPE_OPTICAL && priv) {
        devs[n].priv = priv;
        if (priv->curPath) std::snprintf(priv->curPath, kBackupPathLen, "%s", r.mountDir);
        if (hd::BackupIsMounted(r.name, hd::NormalPath(r.mountDir))) priv->flags |= BACKUP_FLAG_MOUNTED;
        else priv->flags &= ~BACKUP_FLAG_MOUNTED;
      }
      ++n;
    }
  }
  *count = n;
  return 0;
}
