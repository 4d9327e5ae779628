// MTD partitions: NOR and NAND through the MTD character devices.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include <cstring>
#include <memory>

#include "osa/singleton.h"
#include "osa/sys.h"
#include "platform/flash/flash.h"

static_assert(sizeof(mtd_info_user) == 32);
static_assert(sizeof(erase_info_user) == 8);

namespace flash {

namespace {

constexpr uint32_t kNorChunk = 4096;

struct MtdList {
  osa::Mutex lock{osa::Mutex::Kind::Recursive};
  std::vector<std::unique_ptr<MtdDev>> devs;
};
MtdList& mtd_list() {
  return osa::Singleton<MtdList>();  // partitions live for the process
}

int bad_buf() {
  OSA_CHECK_FAIL("pBuf");
  return OSA_EFAIL;
}

bool same_name(const char* a, const char* b) { return std::strncmp(a, b, sizeof(MtdPartEntry::Name)) == 0; }

// Reads or writes the whole of [buf, buf+len) at off, repeating short transfers.
int pio(int fd, bool wr, const void* buf, uint32_t len, uint64_t off) {
  auto* p = static_cast<uint8_t*>(const_cast<void*>(buf));
  while (len > 0) {
    ssize_t n = wr ? osa::sys::pwrite(fd, p, len, static_cast<off_t>(off)) : osa::sys::pread(fd, p, len, static_cast<off_t>(off));
    if (n <= 0) return -1;
    p += n;
    off += static_cast<uint64_t>(n);
    len -= static_cast<uint32_t>(n);
  }
  return 0;
}

}  // namespace

int MtdDevProbe(const MtdPartEntry& entry, MtdDev** out) {
  if (!out) {
    OSA_CHECK_FAIL("pMtdDev");
    return OSA_EFAIL;
  }
  MtdList& l = mtd_list();
  osa::LockGuard g(l.lock);
  for (auto& d : l.devs)
    if (d->entry_.MtdNum == entry.MtdNum && same_name(d->entry_.Name, entry.Name)) {
      OSA_LOG_DEBUG("mtd partition [%s] readlly opened.\n", d->path_.c_str());
      *out = d.get();
      return OSA_SOK;
    }

  std::unique_ptr<MtdDev> d(new MtdDev);
  d->entry_ = entry;
  d->entry_.Name[sizeof d->entry_.Name - 1] = '\0';
  d->path_ = "/dev/mtd" + std::to_string(entry.MtdNum);
  std::vector<MtdLine> lines;
  std::string err;
  const MtdLine* line = nullptr;
  if (ReadProcMtd(&lines, &err)) {
    for (auto& m : lines)
      if (m.name == d->entry_.Name) {
        line = &m;
        break;
      }
  } else {
    DVR_ERROR("%s\n", err.c_str());
  }
  if (line && line->num != static_cast<unsigned>(entry.MtdNum)) {
    DVR_ERROR("partition \"%s\" is mtd%u, the entry says mtd%d\n", d->entry_.Name, line->num, entry.MtdNum);
    line = nullptr;
  }
  if (!line) {
    DVR_ERROR("MtdDevRecInit  failed\n");
    return OSA_EFAIL;
  }
  d->start_ = line->start;
  d->size_ = line->size;
  d->erasesize_ = line->erasesize;

  d->fd_ = osa::UniqueFd(osa::sys::open(d->path_.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
  if (!d->fd_) {
    DVR_ERROR("open mtd parition [%s] failed.\n", d->path_.c_str());
    DVR_ERROR("invalued param\n");
    return OSA_EFAIL;
  }
  mtd_info_user info{};
  int ret = osa::sys::ioctl(d->fd_.get(), MEMGETINFO, &info);
  if (ret != 0) {
    DVR_ERROR("MEMGETINFO error, ret = %d!\n", ret);
    DVR_ERROR("invalued param\n");
    return OSA_EFAIL;
  }
  d->type_ = info.type == MTD_NANDFLASH ? FlashType::Nand : FlashType::Nor;
  d->pagesize_ = info.writesize ? info.writesize : 1;
  if (d->type_ == FlashType::Nand && (d->erasesize_ % d->pagesize_ != 0 || d->pagesize_ > d->erasesize_)) {
    DVR_ERROR("%s: page size 0x%x does not divide erase size 0x%x\n", d->path_.c_str(), d->pagesize_, d->erasesize_);
    return OSA_EFAIL;
  }
  DVR_INFO("mtd patition info:\n");
  DVR_INFO("  flash type: [%s]\n", d->type_ == FlashType::Nand ? "NAND FLASH" : "NOR FLASH");
  DVR_INFO("  total size: 0x%x\n", d->size_);
  DVR_INFO("  page  size: 0x%x\n", d->pagesize_);
  *out = d.get();
  l.devs.push_back(std::move(d));
  return OSA_SOK;
}

void MtdDevReleaseAll() {
  MtdList& l = mtd_list();
  osa::LockGuard g(l.lock);
  l.devs.clear();
}

// ------------------------------------------------------------ bad blocks

int MtdDev::QueryBad(uint32_t off, bool* bad) {
  if (type_ != FlashType::Nand) {
    *bad = false;
    return OSA_SOK;
  }
  loff_t o = off - off % erasesize_;
  int ret = osa::sys::ioctl(fd_.get(), MEMGETBADBLOCK, &o);
  if (ret < 0) {
    DVR_ERROR("MEMGETBADBLOCK failed on %s block 0x%08X\n", path_.c_str(), static_cast<uint32_t>(o));
    return OSA_EFAIL;
  }
  *bad = ret != 0;
  return OSA_SOK;
}

int MtdDev::CreateBlkMapTab() {
  if (tab_built_) return OSA_SOK;
  DVR_INFO("NAND partition [%s]: building good blocks table.\n", path_.c_str());
  if (size_ % erasesize_ != 0) {
    DVR_ERROR("partition not not aligned.\n");
    return OSA_EFAIL;
  }
  std::vector<uint32_t> tab;
  for (uint32_t off = 0; off < size_ && tab.size() < kMaxGoodBlocks; off += erasesize_) {
    bool bad = false;
    if (QueryBad(off, &bad) != 0) return OSA_EFAIL;  // a later call builds it again
    if (!bad) {
      tab.push_back(off);
      continue;
    }
    DVR_WARN("NAND FLASH: badblock at partition[%s] mtdaddr[%08X] flashaddr[%08X]\n", path_.c_str(), off,
             static_cast<uint32_t>(off + start_));
  }
  tab_ = std::move(tab);
  tab_built_ = true;
  return OSA_SOK;
}

int MtdDev::LookupTab(uint32_t off, uint32_t* phys) {
  osa::LockGuard g(lock_);
  if (type_ != FlashType::Nand) {
    *phys = off;
    return off < size_ ? OSA_SOK : OSA_EFAIL;
  }
  if (CreateBlkMapTab() != 0) return OSA_EFAIL;
  uint32_t blk = off / erasesize_;
  if (blk >= kMaxGoodBlocks || blk >= tab_.size()) {
    DVR_ERROR("mtd addr [0x%08X] not mapped to phy addr.\n", off);
    return OSA_EFAIL;
  }
  *phys = tab_[blk] + off % erasesize_;
  return OSA_SOK;
}

int MtdDev::GoodBlocks(uint32_t* count) {
  osa::LockGuard g(lock_);
  if (type_ != FlashType::Nand) {
    *count = size_ / erasesize_;
    return OSA_SOK;
  }
  if (CreateBlkMapTab() != 0) return OSA_EFAIL;
  *count = static_cast<uint32_t>(tab_.size());
  return OSA_SOK;
}

// Moves *off past bad blocks, keeping its place inside the block.
int MtdDev::SkipBad(uint32_t* off, const char* op) {
  for (;;) {
    if (*off >= size_) {
      DVR_ERROR("offsetAddr is over Size\n");
      DVR_ERROR("%s %s: no good block left at 0x%08X\n", op, path_.c_str(), *off);
      return OSA_EFAIL;
    }
    bool bad = false;
    if (QueryBad(*off, &bad) != 0) return OSA_EFAIL;
    if (!bad) return OSA_SOK;
    DVR_WARN("MEMGETBADBLOCK error.fd=%d ret=%d addr=%llx!\n", fd_.get(), 1, static_cast<unsigned long long>(*off));
    *off += erasesize_;
  }
}

int MtdDev::EraseRegion(uint32_t phys, uint32_t len) {
  erase_info_user ei{phys, len};
  if (osa::sys::ioctl(fd_.get(), MEMERASE, &ei) != 0) {
    DVR_ERROR("MEMERASE failed on %s block 0x%08X length 0x%x\n", path_.c_str(), phys, len);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ------------------------------------------------------------ transfer

// Moves len bytes at partition offset off in pieces of at most `chunk`,
// each put where `map` says (it may also move off past bad blocks).  NAND
// is written whole pages, a short last piece padded with 0xFF.
int MtdDev::Transfer(bool wr, const void* buf, uint32_t off, uint32_t len, uint32_t chunk, MapFn map) {
  std::vector<uint8_t> page(wr && type_ == FlashType::Nand ? pagesize_ : 0);
  auto* p = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    uint32_t phys = 0;
    if ((this->*map)(&off, &phys, wr) != 0) return OSA_EFAIL;
    uint32_t n = len < chunk ? len : chunk;
    const void* src = p;
    uint32_t count = n;
    if (!page.empty()) {
      std::memset(page.data(), 0xFF, page.size());
      std::memcpy(page.data(), p, n);
      src = page.data();
      count = pagesize_;
    }
    if (pio(fd_.get(), wr, src, count, phys) != 0) {
      DVR_ERROR("%s failed on %s at 0x%08X (block 0x%08X)\n", wr ? "write" : "read", path_.c_str(), phys,
                phys - phys % erasesize_);
      return OSA_EFAIL;
    }
    p += n;
    off += n;
    len -= n;
  }
  return OSA_SOK;
}

// Mapped NAND: through the good-block table (reads in direct access mode
// go to the offset as given).
int MtdDev::MapTab(uint32_t* off, uint32_t* phys, bool wr) {
  *phys = *off;
  if (!wr && entry_.AccessMode == kMtdAccessDirect) return OSA_SOK;
  if (LookupTab(*off, phys) == 0) return OSA_SOK;
  const char* op = wr ? "write" : "read";
  DVR_ERROR("mtd partition [%s] lookup failed, offset=0x%08X.\n", path_.c_str(), *off);
  if (*off < size_) DVR_ERROR("%s space not enouth because of NAND bad blocks.\n", op);
  else DVR_ERROR("%s addr extends mtd size.\n", op);
  return OSA_EFAIL;
}

// Skipping NAND: past bad blocks as they are met.
int MtdDev::MapSkip(uint32_t* off, uint32_t* phys, bool wr) {
  if (SkipBad(off, wr ? "write" : "read") != 0) return OSA_EFAIL;
  *phys = *off;
  return OSA_SOK;
}

// NOR: the offset as given.
int MtdDev::MapNone(uint32_t* off, uint32_t* phys, bool) {
  *phys = *off;
  return OSA_SOK;
}

// ------------------------------------------------------ NAND, mapped

int MtdDev::NandRead(void* buf, uint32_t off, uint32_t len) {
  if (off % pagesize_ != 0) {
    DVR_ERROR("NAND FLASH: mtd addr [0x%08X] doesn't page aligned.\n", off);
    return OSA_EFAIL;
  }
  if (static_cast<uint64_t>(off) + len > size_) {
    DVR_ERROR("param err.\n");
    return OSA_EFAIL;
  }
  return Transfer(false, buf, off, len, pagesize_, &MtdDev::MapTab);
}

int MtdDev::NandWrite(const void* buf, uint32_t off, uint32_t len) {
  if (off % pagesize_ != 0) {
    DVR_ERROR("NAND FLASH: address doesn't align 0x%x!\n", off);
    return OSA_EFAIL;
  }
  if (static_cast<uint64_t>(off) + len > size_) {
    DVR_ERROR("param err.\n");
    return OSA_EFAIL;
  }
  return Transfer(true, buf, off, len, pagesize_, &MtdDev::MapTab);
}

int MtdDev::NandErase(uint32_t off) {
  if (off % erasesize_ != 0) {
    DVR_ERROR("%s: erase addr 0x%08X is not a multiple of the erase size 0x%x\n", path_.c_str(), off, erasesize_);
    return OSA_EFAIL;
  }
  uint32_t phys = 0;
  if (LookupTab(off, &phys) != 0) {
    if (off < size_) DVR_ERROR("erase space not enouth because of NAND bad blocks.\n");
    else DVR_ERROR("erase addr extends mtd size.\n");
    return OSA_EFAIL;
  }
  if (EraseRegion(phys, erasesize_) != 0) {
    DVR_ERROR("mtd erase failed(mtd off=0x%08X, mtd realoff=0x%08X).\n", off, phys);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ---------------------------------------------------- NAND, skipping

int MtdDev::NandReadEnv(void* buf, uint32_t off, uint32_t len) {
  if (off % pagesize_ != 0) {
    DVR_ERROR("NAND FLASH: mtd addr [0x%08X] doesn't page aligned.\n", off);
    return OSA_EFAIL;
  }
  return Transfer(false, buf, off, len, pagesize_, &MtdDev::MapSkip);
}

int MtdDev::NandWriteEnv(const void* buf, uint32_t off, uint32_t len) {
  if (off % pagesize_ != 0) {
    DVR_ERROR("NAND FLASH: address doesn't align 0x%x!\n", off);
    return OSA_EFAIL;
  }
  return Transfer(true, buf, off, len, pagesize_, &MtdDev::MapSkip);
}

int MtdDev::NandEraseEnv(uint32_t off, uint32_t len, uint32_t unit) {
  if (off % unit != 0) {
    DVR_ERROR("%s: erase addr 0x%08X is not a multiple of 0x%x\n", path_.c_str(), off, unit);
    return OSA_EFAIL;
  }
  for (uint32_t done = 0; done < len; done += unit, off += unit)
    if (SkipBad(&off, "erase") != 0 || EraseRegion(off, unit) != 0) return OSA_EFAIL;
  return OSA_SOK;
}

// ------------------------------------------------------------- NOR

int MtdDev::NorRead(void* buf, uint32_t off, uint32_t len) {
  if (static_cast<uint64_t>(off) + len > size_) {
    DVR_ERROR("param err.\n");
    return OSA_EFAIL;
  }
  return Transfer(false, buf, off, len, kNorChunk, &MtdDev::MapNone);
}

int MtdDev::NorWrite(const void* buf, uint32_t off, uint32_t len) {
  if (static_cast<uint64_t>(off) + len > size_) {
    DVR_ERROR("param err.\n");
    return OSA_EFAIL;
  }
  uint32_t chunk = erasesize_ % kNorChunk == 0 ? kNorChunk : erasesize_;
  return Transfer(true, buf, off, len, chunk, &MtdDev::MapNone);
}

int MtdDev::NorErase(uint32_t off, uint32_t unit) {
  if (off % unit != 0 || static_cast<uint64_t>(off) + unit > size_ || EraseRegion(off, unit) != 0) {
    DVR_ERROR("mtd part[%s] erase failed(addr=0x%x, length=0x%x).\n", path_.c_str(), off, unit);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ------------------------------------------------------------ dispatch

int MtdDev::Read(void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) return bad_buf();
  osa::LockGuard g(lock_);
  return type_ == FlashType::Nand ? NandRead(buf, off, len) : NorRead(buf, off, len);
}

int MtdDev::Write(const void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) return bad_buf();
  osa::LockGuard g(lock_);
  return type_ == FlashType::Nand ? NandWrite(buf, off, len) : NorWrite(buf, off, len);
}

int MtdDev::Erase(uint32_t off) {
  osa::LockGuard g(lock_);
  return type_ == FlashType::Nand ? NandErase(off) : NorErase(off, erasesize_);
}

int MtdDev::ReadEnv(void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) return bad_buf();
  osa::LockGuard g(lock_);
  return type_ == FlashType::Nand ? NandReadEnv(buf, off, len) : NorRead(buf, off, len);
}

int MtdDev::WriteEnv(const void* buf, uint32_t off, uint32_t len) {
  if (!buf && len) return bad_buf();
  osa::LockGuard g(lock_);
  return type_ == FlashType::Nand ? NandWriteEnv(buf, off, len) : NorWrite(buf, off, len);
}

int MtdDev::EraseEnv(uint32_t off, uint32_t len, uint32_t unit) {
  if (unit == 0) unit = erasesize_;
  osa::LockGuard g(lock_);
  if (type_ == FlashType::Nand) return NandEraseEnv(off, len, unit);
  for (uint32_t done = 0; done < len; done += unit)
    if (NorErase(off + done, unit) != 0) return OSA_EFAIL;
  return OSA_SOK;
}

}  // namespace flash

int Flash_isBadBlock(int fd, uint32_t off) {
  loff_t o = off;
  int ret = osa::sys::ioctl(fd, MEMGETBADBLOCK, &o);
  if (ret == 0) return 0;
  DVR_WARN("MEMGETBADBLOCK error.fd=%d ret=%d addr=%llx!\n", fd, ret, static_cast<unsigned long long>(off));
  return 1;
}
