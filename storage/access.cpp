// Sector I/O on the inventory's records: one of the three descriptors the
// scan opened, bounded by the capacity, with the slow-disk detection.

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "osa/singleton.h"
#include "osa/sys.h"
#include "storage/access_internal.h"

namespace hd {

namespace {

struct AccessState {
  std::atomic<bool> speedCheck{true};
  void ResetForTest() { speedCheck = true; }
};

AccessState& State() { return osa::Singleton<AccessState>(); }

constexpr uint64_t k16TiBSectors = (16ull << 40) / 512;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool range_ok(const HdDevInfo& r, uint32_t sectors, uint64_t offset) {
  // Whole range inside the disk; never past what one transfer can carry.
  return sectors > 0 && offset < r.capacity && sectors <= r.capacity - offset &&
         static_cast<uint64_t>(sectors) * 512 <= static_cast<uint64_t>(SSIZE_MAX);
}

void invalid(const HdDevInfo& r, uint32_t sectors, uint64_t offset) {
  HD_ERROR("Invalid para. logic: %d, offs: 0x%llx, cap: 0x%llx, sectors: 0x%x\n", r.logic,
           static_cast<unsigned long long>(offset), static_cast<unsigned long long>(r.capacity), sectors);
}

// rw: 0 read, 1 write.  `buffered`: the buffered descriptor when open.
int disk_read_write(HdDevInfo& r, int rw, uint32_t sectors, uint64_t offset, void* buf, bool buffered) {
  const PlatformCfg& cfg = *GetPlatformCfg();
  int fd = r.fdSync;
  bool aligned = (reinterpret_cast<uintptr_t>(buf) & 511) == 0;
  if (buffered && r.fdBuffered >= 0) fd = r.fdBuffered;
  else if (cfg.iDirectIO && r.fdDirect >= 0 && aligned && (rw == 1 || sectors > 16 || offset >= k16TiBSectors))
    fd = r.fdDirect;
  uint64_t off = offset * 512, len = static_cast<uint64_t>(sectors) * 512;
  for (int attempt = 1;; ++attempt) {
    if (osa::sys::lseek(fd, static_cast<off_t>(off), SEEK_SET) < 0) {
      int e = errno;
      HD_ERROR("lseek64 failed, %s. logic: %d, fd: %d, offs: 0x%llx, cap: 0x%llx, sectors: 0x%x.\n", strerror(e), r.logic,
               fd, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(r.capacity), sectors);
      return e == ENXIO ? -ENXIO : -1;
    }
    uint64_t done = 0;
    int e = 0;
    while (done < len) {
      std::size_t chunk = static_cast<std::size_t>(len - done > (1u << 30) ? (1u << 30) : len - done);
      ssize_t n = rw ? osa::sys::write(fd, static_cast<const uint8_t*>(buf) + done, chunk)
                     : osa::sys::read(fd, static_cast<uint8_t*>(buf) + done, chunk);
      if (n <= 0) {
        e = n < 0 ? errno : EIO;
        break;
      }
      done += static_cast<uint64_t>(n);
    }
    if (done == len) return 0;
    HD_ERROR("r/w failed, %s. logic: %d, fd: %d, rw: %d, offs: 0x%llx, cap: 0x%llx, sectors: 0x%x.\n", strerror(e),
             r.logic, fd, rw, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(r.capacity),
             sectors);
    if (e == 99 || e == 132) return -1;
    if (e == ENXIO) return -ENXIO;
    if (attempt >= 3) return -EIO;
  }
}

int write_checks(const HdDevInfo& r, uint32_t sectors, uint64_t offset, const void* buf) {
  if (r.state & HD_STATE_INACTIVE) {
    HD_ERROR("%s inactive already.\n", r.name);
    return -EIO;
  }
  if (r.rwMode == 1) {
    HD_ERROR("disk %u is a read only disk!\n", static_cast<unsigned>(r.logic));
    return -1;
  }
  if (!buf || !range_ok(r, sectors, offset)) {
    invalid(r, sectors, offset);
    return -1;
  }
  return 0;
}

// Times the write; 20 slow writes in a row mark the disk bad.
int timed_write(HdDevInfo& r, uint32_t sectors, uint64_t offset, const void* buf, bool buffered) {
  if (!State().speedCheck) return disk_read_write(r, 1, sectors, offset, const_cast<void*>(buf), buffered);
  long long t0 = now_ms();
  int rc = disk_read_write(r, 1, sectors, offset, const_cast<void*>(buf), buffered);
  if (rc != 0) return rc;
  long long ms = now_ms() - t0;
  if (ms <= 0) ms = 1;
  uint64_t speed = static_cast<uint64_t>(sectors) * 512 / 1024 * 1000 / static_cast<uint64_t>(ms);
  if (speed >= 500) {
    r.slowWrites = 0;
    return 0;
  }
  r.writeSpeed = static_cast<uint32_t>(speed);
  ++r.slowWrites;
  HD_WARN("this %d disk speed %d count:%d\n", r.logic, static_cast<int>(speed), static_cast<int>(r.slowWrites));
  if (r.slowWrites >= 20) {
    r.slowWrites = 0;
    HD_ERROR("there have bad disk\n");
    return -ENOENT;
  }
  return 0;
}

int write64(int logic, uint32_t sectors, uint64_t offset, const void* buf, bool buffered) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (int rc = write_checks(*r, sectors, offset, buf)) return rc;
  return timed_write(*r, sectors, offset, buf, buffered);
}

int dma(int logic, uint32_t sectors, uint64_t offset, int last, int rw) {
  if (last != 0) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (rw && (r->state & HD_STATE_INACTIVE)) {
    HD_ERROR("%s inactive already.\n", r->name);
    return -EIO;
  }
  if (!range_ok(*r, sectors, offset)) {
    invalid(*r, sectors, offset);
    return -1;
  }
  // No user buffer: the board's block driver moves the data itself.
  uint64_t off = offset * 512;
  std::size_t len = static_cast<std::size_t>(static_cast<uint64_t>(sectors) * 512);
  ssize_t n = rw ? osa::sys::pwrite(r->fdSync, nullptr, len, static_cast<off_t>(off))
                 : osa::sys::pread(r->fdSync, nullptr, len, static_cast<off_t>(off));
  if (n != static_cast<ssize_t>(len)) {
    HD_ERROR("r/w failed, %s. logic: %d, fd: %d, rw: %d, offs: 0x%llx, cap: 0x%llx, sectors: 0x%x.\n",
             strerror(errno), r->logic, r->fdSync, rw, static_cast<unsigned long long>(offset),
             static_cast<unsigned long long>(r->capacity), sectors);
    return -EIO;
  }
  return 0;
}

}  // namespace

HdDevInfo* RecordByLogic(int logic) {
  if (logic >= 0)
    for (auto& r : Lib().list)
      if (r->logic == logic) return r.get();
  HD_ERROR("No such device, logic number: %d!\n", logic);
  return nullptr;
}

HdDevInfo* RecordByName(const char* name) {
  if (name) {
    std::string n = name;
    if (!n.starts_with("/dev/")) n = "/dev/" + n;
    for (auto& r : Lib().list)
      if (n == r->name) return r.get();
  }
  HD_ERROR("No such device, device name: %s.\n", name ? name : "");
  return nullptr;
}

}  // namespace hd

using namespace hd;

void Hd_SetSpeedCheck(int on) { State().speedCheck = on != 0; }

int ide_read64(int logic, uint32_t sectors, uint64_t offset, void* buf) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (!buf || !range_ok(*r, sectors, offset)) {
    invalid(*r, sectors, offset);
    return -1;
  }
  return disk_read_write(*r, 0, sectors, offset, buf, false);
}

int ide_write64(int logic, uint32_t sectors, uint64_t offset, const void* buf) {
  return write64(logic, sectors, offset, buf, false);
}

int ide_awrite64(int logic, uint32_t sectors, uint64_t offset, const void* buf) {
  return write64(logic, sectors, offset, buf, true);
}

int ide_read_dma(int logic, uint32_t sectors, uint64_t offset, int last) { return dma(logic, sectors, offset, last, 0); }
int ide_write_dma(int logic, uint32_t sectors, uint64_t offset, int last) { return dma(logic, sectors, offset, last, 1); }

int ide_setRWmode(int logic, int mode) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  r->rwMode = mode == 1 ? 1u : 0u;
  return 0;
}

int ide_verify(int logic, uint32_t sectors, uint64_t offset) {
  HdDevInfo* r = RecordByLogic(logic);
  if (!r) return -1;
  if (!range_ok(*r, sectors, offset)) {
    invalid(*r, sectors, offset);
    return -1;
  }
  // The count field holds 256 (40h) or 65536 (42h) sectors at most: split.
  uint64_t at = offset, left = sectors;
  while (left) {
    bool ext = at + left - 1 >= 0x0FFFFFFF;
    uint64_t n = left > (ext ? 65536u : 256u) ? (ext ? 65536u : 256u) : left;
    ext = ext || at + n - 1 >= 0x0FFFFFFF;
    AtaTask t;
    t.cmd = ext ? 0x42 : 0x40;
    t.ext = ext;
    t.count = static_cast<uint16_t>(n & 0xffff);  // 0 stands for the maximum
    t.lba = at;
    AtaRegs regs;
    if (AtaExec(r->fdSync, t, nullptr, &regs) != 0) {
      HD_ERROR("verify %s failed at 0x%llx.\n", r->name, static_cast<unsigned long long>(at));
      return -1;
    }
    at += n;
    left -= n;
  }
  return 0;
}
