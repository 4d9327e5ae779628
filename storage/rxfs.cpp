// The two-partition realtime XFS layout, and backup disks cut into GPT
// partitions.

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

constexpr uint64_t kMetaBytes = 8ull << 30;

// "/dev/sdb1", "/dev/mmcblk0p1", "/dev/nvme0n1p1" name partitions.
bool is_partition(const std::string& dev) {
  std::string n = dev.substr(dev.rfind('/') + 1);
  if (n.empty() || n.back() < '0' || n.back() > '9') return false;
  if (n.rfind("mmcblk", 0) == 0 || n.rfind("nvme", 0) == 0) return n.find('p', 4) != std::string::npos;
  return true;
}

std::string part_path(const std::string& disk, int n) {
  bool p_form = !disk.empty() && disk.back() >= '0' && disk.back() <= '9';
  return disk + (p_form ? "p" : "") + std::to_string(n);
}

// The meta and data partitions of an rxfs disk, by name.
bool rxfs_parts(const char* disk, std::string* meta, std::string* data) {
  PartedTable t;
  if (!PartedRead(disk, &t)) return false;
  for (auto& e : t.parts) {
    if (e.name == "RXFS_META") *meta = part_path(disk, e.number);
    if (e.name == "RXFS_DATA") *data = part_path(disk, e.number);
  }
  return !meta->empty() && !data->empty();
}

bool make_part(const char* disk, const char* name, uint64_t start, uint64_t end) {
  char cmd[192];
  snprintf(cmd, sizeof cmd, "parted %s unit b mkpart %s %llu %llu -s", disk, name, static_cast<unsigned long long>(start),
           static_cast<unsigned long long>(end));
  return RunLogged(cmd, true) == 0;
}

}  // namespace

}  // namespace hd

using namespace hd;

int rxfs_format(const char* disk, const char* options) {
  if (!ValidDisk(disk)) return -1;
  if (is_partition(disk)) {
    HD_ERROR("whole device only,not partition:%s.\n", disk);
    return -1;
  }
  if (options && *options && !osa::ShellSafe(options, "/._-:=, ", 128)) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  uint64_t bytes = DeviceBytes(disk);
  if (bytes < kMetaBytes + (64ull << 20)) {
    HD_ERROR("get %s size failed.\n", disk);
    return -1;
  }
  // The data partition stops 17 KiB short of the end: the backup GPT.
  if (clean_gpt_label(disk) != 0 || Parted_MakeLabel(disk, "gpt") != 0 ||
      !make_part(disk, "RXFS_META", 1ull << 20, kMetaBytes - 1) ||
      !make_part(disk, "RXFS_DATA", kMetaBytes, bytes - 17 * 1024 - 1))
    return -1;
  std::string meta = part_path(disk, 1), data = part_path(disk, 2);
  char rt[96], cmd[320];
  snprintf(rt, sizeof rt, "-r rtdev=%s,extsize=$((2*1024))k", data.c_str());
  if (options && *options) snprintf(cmd, sizeof cmd, "mkfs.xfs %s %s %s > /dev/null", options, rt, meta.c_str());
  else snprintf(cmd, sizeof cmd, "mkfs.xfs -f -n size=64k %s %s > /dev/null", rt, meta.c_str());
  return RunLogged(cmd, false);
}

int rxfs_mount(const char* disk, const char* dir, const char* options) {
  if (!ValidDisk(disk) || !ValidDisk(dir)) return -1;
  std::string meta, data;
  if (!rxfs_parts(disk, &meta, &data)) {
    HD_ERROR("%s get meta and data part fail.\n", disk);
    return -1;
  }
  char opts[192];
  snprintf(opts, sizeof opts, "rtdev=%s%s%s", data.c_str(), options && *options ? "," : "", options ? options : "");
  if (!MakeMountDir(dir)) return -1;
  if (osa::sys::mount(meta.c_str(), dir, "xfs", MS_NOATIME | MS_NODIRATIME, opts) != 0) {
    HD_ERROR("mount %s to %s fail, file system type:%s, options:%s,%s.\n", meta.c_str(), dir, "xfs", data.c_str(),
             options ? options : "");
    return -1;
  }
  // New files inherit the realtime flag from the root folder.
  char cmd[192];
  snprintf(cmd, sizeof cmd, "xfs_io -x -r -c \"chattr -R +t\" %s > /dev/null", dir);
  if (run_cmd(cmd) != 0) HD_WARN("run cmd %s failed.\n", cmd);
  return 0;
}

int disk_rxfs_type(const char* disk) {
  if (!ValidDisk(disk)) return -1;
  if (is_partition(disk)) {
    HD_ERROR("partition only,not a whole disk:%s.\n", disk);
    return -1;
  }
  PartedTable t;
  if (!PartedRead(disk, &t) || t.label != "gpt" || t.parts.size() != 2) return -1;
  static const char* kNames[] = {"RXFS_META", "RXFS_DATA"};
  for (int i = 0; i < 2; ++i)
    if (t.parts[static_cast<size_t>(i)].name != kNames[i]) {
      HD_INFO("not rxfs type, part name %s!\n", t.parts[static_cast<size_t>(i)].name.c_str());
      return -1;
    }
  return 1;
}

// 0 normal, 1 a repair may help, -1 it cannot be repaired (or the check
// could not be finished).
int rxfs_repair(const char* disk) {
  if (!ValidDisk(disk)) return -1;
  std::string meta, data;
  if (!rxfs_parts(disk, &meta, &data)) {
    HD_ERROR("%s get meta and data part fail.\n", disk);
    return -1;
  }
  std::string host = osa::sys::path("/tmp") + "/rxfs_check.XXXXXX";
  std::vector<char> buf(host.begin(), host.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    HD_ERROR("Create Dir: %s failed\n", host.c_str());
    return -1;
  }
  std::string dir = std::string("/tmp/") + (std::strrchr(buf.data(), '/') + 1);
  std::string opts = "rtdev=" + data;
  int rc;
  if (osa::sys::mount(meta.c_str(), dir.c_str(), "xfs", MS_NOATIME | MS_NODIRATIME, opts.c_str()) == 0) {
    rc = osa::sys::umount2(dir.c_str(), 0) == 0 ? 0 : -1;
    if (rc) HD_ERROR("rxfs file system is normal, but it umount failed.\n");
  } else {
    char cmd[192];
    snprintf(cmd, sizeof cmd, "xfs_repair -n -r %s %s > /dev/null", data.c_str(), meta.c_str());
    rc = run_cmd(cmd) == 0 ? 1 : -1;
    if (rc == 1) HD_WARN("rxfs file system probably can repair.\n");
    else HD_ERROR("rxfs file system can not repair.\n");
  }
  ::rmdir(buf.data());
  return rc;
}

int rxfs_killdefrag(const char* disk) {
  if (!ValidDisk(disk)) return -1;
  return xfs_killdefrag(part_path(disk, 1).c_str());
}
int rxfs_killRepair(const char* disk) {
  if (!ValidDisk(disk)) return -1;
  return xfs_killRepair(part_path(disk, 1).c_str());
}

int BackupDiskPartitionAndFormat(const char* disk, const char* fstype) {
  if (!ValidDisk(disk) || !fstype) return -1;
  std::string name = std::string(disk).substr(std::string(disk).rfind('/') + 1);
  std::string text;
  uint64_t sectors = 0;
  if (!ValidBlockName(name) || !ReadSmall("/sys/block/" + name + "/size", &text) || !ParseSysU64(text, &sectors)) {
    HD_ERROR("get %s size failed.\n", disk);
    return -1;
  }
  int (*format)(const char*) = nullptr;
  uint64_t chunk = 0, bytes = sectors * 512;
  const uint64_t TiB = 1ull << 40;
  if (std::strcmp(fstype, "fat32") == 0) format = fat_disk_format, chunk = bytes > 2 * TiB ? TiB : bytes;
  else if (std::strcmp(fstype, "ext3") == 0) format = ext3_format, chunk = bytes > 2 * TiB ? TiB : bytes;
  else if (std::strcmp(fstype, "ntfs") == 0) format = ntfs_format, chunk = 4 * TiB;
  if (!format) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  clean_gpt_label(disk);
  if (Parted_MakeLabel(disk, "gpt") != 0) {
    HD_ERROR("Parted_mklabel for %s failed\n", disk);
    return -1;
  }
  int n = 1;
  for (uint64_t start = 0; start < bytes; ++n) {
    // The last partition takes the rest (a remainder too small for its
    // own partition joins it).
    uint64_t len = bytes - start;
    if (len > chunk && len - chunk >= (64ull << 20)) len = chunk;
    std::string part = part_path(disk, n);
    if (Parted_MakePart(disk, "gpt", start, len) != 0) {
      HD_ERROR("Add gpt patition %d for %s failed\n", n, disk);
      return -1;
    }
    if (Parted_SetMsdataFlag(disk, n) != 0) HD_ERROR("%s patition %d Parted_setMsdataFlag failed\n", disk, n);
    if (format(part.c_str()) != 0) {
      HD_ERROR("Format %s failed\n", part.c_str());
      return -1;
    }
    start += len;
  }
  return 0;
}
