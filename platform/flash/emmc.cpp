// eMMC partitions through their block devices.

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "osa/singleton.h"
#include "osa/sys.h"
#include "platform/flash/flash.h"

namespace flash {

namespace {

constexpr uint32_t kChunk = 4096;

struct EmmcList {
  osa::Mutex lock{osa::Mutex::Kind::Recursive};
  std::vector<std::pair<EmmcPartEntry, std::unique_ptr<EmmcDev>>> devs;  // keyed by the entry as probed
};
EmmcList& emmc_list() {
  return osa::Singleton<EmmcList>();
}

// A decimal sector count from a sysfs attribute.
bool read_sectors(const char* path, uint64_t* v) {
  osa::UniqueFd fd(osa::sys::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buf[32] = {};
  ssize_t n = osa::sys::read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return false;
  char* end = nullptr;
  unsigned long long x = std::strtoull(buf, &end, 10);
  if (end == buf || (*end && *end != '\n')) return false;
  *v = x;
  return true;
}

}  // namespace

int EmmcDevProbe(const EmmcPartEntry& entry, EmmcDev** out) {
  if (!out) {
    OSA_CHECK_FAIL("pEmmcDev");
    return OSA_EFAIL;
  }
  EmmcList& l = emmc_list();
  osa::LockGuard g(l.lock);
  for (auto& [key, d] : l.devs)
    if (std::memcmp(&key, &entry, sizeof entry) == 0) {
      *out = d.get();
      return OSA_SOK;
    }
  if (entry.PartIndex < 0 || entry.PartIndex > 254) {
    DVR_ERROR("invalid emmc partition index %d\n", entry.PartIndex);
    return OSA_EFAIL;
  }
  std::unique_ptr<EmmcDev> d(new EmmcDev);
  d->entry_ = entry;
  d->entry_.Name[sizeof d->entry_.Name - 1] = '\0';
  unsigned dev = entry.MmcNum, part = static_cast<unsigned>(entry.PartIndex) + 1;
  char size_path[96], start_path[96];
  std::snprintf(size_path, sizeof size_path, "%s%u/mmcblk%up%u/size", "/sys/block/mmcblk", dev, dev, part);
  std::snprintf(start_path, sizeof start_path, "%s%u/mmcblk%up%u/start", "/sys/block/mmcblk", dev, dev, part);
  uint64_t sectors = 0, first = 0;
  bool ok = true;
  if (!read_sectors(size_path, &sectors)) {
    DVR_ERROR("Read %s failed\n", size_path);
    ok = false;
  } else if (!read_sectors(start_path, &first)) {
    DVR_ERROR("Read %s failed\n", start_path);
    ok = false;
  }
  if (!ok) {
    DVR_ERROR("MtdDevRecInit  failed\n");
    return OSA_EFAIL;
  }
  d->start_ = first * EmmcDev::kBlockSize;
  d->part_size_ = sectors * EmmcDev::kBlockSize;
  uint64_t limit = d->part_size_ > 0xFFFFFFFFu ? 0xFFFFFFFFu : d->part_size_;
  if (d->entry_.PartSize == 0) d->entry_.PartSize = static_cast<uint32_t>(limit);
  if (d->entry_.PartSize > d->part_size_) {
    DVR_ERROR("emmc partition %s: entry size 0x%x exceeds the partition's 0x%llx\n", d->entry_.Name,
              d->entry_.PartSize, static_cast<unsigned long long>(d->part_size_));
    return OSA_EFAIL;
  }
  char path[64];
  std::snprintf(path, sizeof path, "%s%up%u", "/dev/block/mmcblk", dev, part);
  d->fd_ = osa::UniqueFd(osa::sys::open(path, O_RDWR | O_SYNC | O_CLOEXEC));
  if (!d->fd_) {
    std::snprintf(path, sizeof path, "%s%up%u", "/dev/mmcblk", dev, part);
    d->fd_ = osa::UniqueFd(osa::sys::open(path, O_RDWR | O_SYNC | O_CLOEXEC));
  }
  if (!d->fd_) {
    DVR_ERROR("open emmc partition [%s] failed.\n", path);
    return OSA_EFAIL;
  }
  d->path_ = path;
  DVR_INFO("emmc partition %s, fd is %d\n", d->path_.c_str(), d->fd_.get());
  *out = d.get();
  l.devs.emplace_back(entry, std::move(d));
  return OSA_SOK;
}

void EmmcDevReleaseAll() {
  EmmcList& l = emmc_list();
  osa::LockGuard g(l.lock);
  l.devs.clear();
}

int EmmcDev::Read(void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) {
    OSA_CHECK_FAIL("pBuf");
    return OSA_EFAIL;
  }
  osa::LockGuard g(lock_);
  if (static_cast<uint64_t>(off) + len > entry_.PartSize) {
    DVR_ERROR("emmc read %s: 0x%x bytes at 0x%x pass the partition size 0x%x\n", path_.c_str(), len, off,
              entry_.PartSize);
    return OSA_EFAIL;
  }
  auto* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    uint32_t n = len < kChunk ? len : kChunk;
    ssize_t r = osa::sys::pread(fd_.get(), p, n, static_cast<off_t>(off));
    if (r <= 0) {
      DVR_ERROR("emmc read %s failed at 0x%x (block 0x%x)\n", path_.c_str(), off, off / kBlockSize);
      return OSA_EFAIL;
    }
    p += r;
    off += static_cast<uint32_t>(r);
    len -= static_cast<uint32_t>(r);
  }
  return OSA_SOK;
}

int EmmcDev::Write(const void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) {
    OSA_CHECK_FAIL("pBuf");
    return OSA_EFAIL;
  }
  osa::LockGuard g(lock_);
  if (static_cast<uint64_t>(off) + len > entry_.PartSize) {
    DVR_ERROR("emmc write %s: 0x%x bytes at 0x%x pass the partition size 0x%x\n", path_.c_str(), len, off,
              entry_.PartSize);
    return OSA_EFAIL;
  }
  auto* p = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    uint32_t n = len < kChunk ? len : kChunk;
    ssize_t r = osa::sys::pwrite(fd_.get(), p, n, static_cast<off_t>(off));
    if (r <= 0) {
      DVR_ERROR("emmc write %s failed at 0x%x (block 0x%x)\n", path_.c_str(), off, off / kBlockSize);
      return OSA_EFAIL;
    }
    p += r;
    off += static_cast<uint32_t>(r);
    len -= static_cast<uint32_t>(r);
  }
  return OSA_SOK;
}

int EmmcDev::Erase(uint32_t off) {
  osa::LockGuard g(lock_);
  if (off >= entry_.PartSize) {
    DVR_ERROR("emmc erase %s: 0x%x is past the partition size 0x%x\n", path_.c_str(), off, entry_.PartSize);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

}  // namespace flash
