// The flash set: devices per chip, the flat address space, verified writes.

#include "platform/flashset/flashset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <type_traits>

#include "osa/singleton.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"
#include "platform/res/res.h"

namespace {

constexpr int kWriteAttempts = 8;

bool in_logo(uint32_t addr) { return addr >= kLogoBase && addr - kLogoBase < kLogoSize; }


// The partition name of the main boot environment, "" when it is not on
// MTD or eMMC.
std::string env_part_name() {
  static std::string name = [] {
    EnvRes r{};
    if (EnvGetRes(&r) != 0) return std::string();
    if (r.Main.Type == ENV_TYPE_MTD) return std::string(r.Main.Mtd.Name, strnlen(r.Main.Mtd.Name, sizeof r.Main.Mtd.Name));
    if (r.Main.Type == ENV_TYPE_EMMC)
      return std::string(r.Main.Emmc.Name, strnlen(r.Main.Emmc.Name, sizeof r.Main.Emmc.Name));
    return std::string();
  }();
  return name;
}

void note_restore(FlashDev* dev, int FlashsRestore::*family, const char* name, bool boot_counts) {
  Flashs* o = dev->owner;
  if (!o) return;
  {
    osa::LockGuard g(o->state_lock);
    if (o->restore.*family != 0) return;
  }
  std::string env = env_part_name();
  if ((!env.empty() && env == name) || (boot_counts && std::strstr(name, "boot"))) {
    osa::LockGuard g(o->state_lock);
    if (o->restore.*family != 0) return;
    DVR_INFO("set env restore 1\n");
    o->restore.*family = 1;
  }
}

// The boot environment is written without the state lock: it may reach
// flash itself.
int raise_restore(FlashDev* dev, int FlashsRestore::*family) {
  Flashs* o = dev->owner;
  if (!o) return 0;
  {
    osa::LockGuard g(o->state_lock);
    if (o->restore.*family != 1) return 0;
  }
  if (BootSetPara("restore", "1") != 0) {
    DVR_ERROR("Env Set set restore failed\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(o->state_lock);
  o->restore.*family = 2;
  return 0;
}

void count(FlashDev* dev, uint64_t FlashsStats::*f, uint64_t n) {
  if (!dev || !dev->owner) return;
  osa::LockGuard g(dev->owner->state_lock);
  dev->owner->stats.*f += n;
}

// ------------------------------------------------------ verified write

// Erases (MTD), writes, flushes and reads back a chunk, up to 8 times while
// the read-back differs.  Any erase, write or read failure ends it at once.
// `kind` is "mtd" or "emmc", as the messages name the family.
template <typename Part>
int write_read_compare(FlashDev* dev, Part* p, const uint8_t* buf, uint32_t off, uint32_t len, const char* kind,
                       bool erase) {
  std::vector<uint8_t> back(len);
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    if constexpr (std::is_same_v<Part, flash::MtdDev>) {
      for (uint32_t at = off; erase && at < off + len; at += p->erasesize()) {
        if (p->Erase(at) != 0) {
          DVR_ERROR("mtd erase failed, mtdname[%s]\n", p->name());
          return OSA_EFAIL;
        }
        count(dev, &FlashsStats::erased, p->erasesize());
      }
    }
    if (p->Write(buf, off, len) != 0) {
      DVR_ERROR("%s write failed, %sname[%s]\n", kind, kind, p->name());
      return OSA_EFAIL;
    }
    count(dev, &FlashsStats::written, len);
    // The written data on its way to the medium before it is read back:
    // the partition's own descriptor where there is one, not every file
    // system of the board.
    if constexpr (std::is_same_v<Part, flash::MtdDev>) osa::sys::fdatasync(p->fd());
    else osa::sys::sync();
    std::memset(back.data(), 0, len);
    if (p->Read(back.data(), off, len) != 0) {
      DVR_ERROR("read error\n");
      return OSA_EFAIL;
    }
    count(dev, &FlashsStats::read, len);
    if (std::memcmp(back.data(), buf, len) == 0) return 0;
    DVR_ERROR("%s[%s] addr(0x%x) len(0x%x) data not equal, try again.\n", kind, p->name(), off, len);
  }
  DVR_ERROR("%s[%s] addr(0x%x) len(0x%x) write failed.\n", kind, p->name(), off, len);
  return OSA_EFAIL;
}

const FlashDevOps kMtdOps = {FlashMtdCreate, FlashMtdRead, FlashMtdWrite, FlashMtdErase};
const FlashDevOps kEmmcOps = {FlashEmmcCreate, FlashEmmcRead, FlashEmmcWrite, FlashEmmcErase};
int none_create(FlashDev*) { return 0; }
int none_read(void*, uint32_t, uint32_t, uint32_t*, FlashDev*) { return kFlashNotHere; }
int none_write(const void*, uint32_t, uint32_t, uint32_t*, FlashDev*) { return kFlashNotHere; }
int none_erase(uint32_t, FlashDev*) { return kFlashNotHere; }
const FlashDevOps kNoneOps = {none_create, none_read, none_write, none_erase};

bool check_dev(const void* buf, uint32_t* done, FlashDev* dev) {
  if (!dev) OSA_CHECK_FAIL("Thiz");
  else if (!buf) OSA_CHECK_FAIL("pBuf");
  else if (!done) OSA_CHECK_FAIL("pDone");
  else return true;
  return false;
}

}  // namespace

// ----------------------------------------------------- address mapping

template <typename Part>
static int convert(uint32_t* addr, Part** part, FlashDev* dev, const std::vector<Part*>& parts) {
  if (!addr || !part || !dev) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  uint32_t a = *addr;
  if (in_logo(a)) {
    for (Part* p : parts)
      if (std::strcmp(p->name(), "logo") == 0) {
        *part = p;
        *addr = a - kLogoBase;
        return 0;
      }
    DVR_INFO("don't match flash\n");
    DVR_ERROR("can't find \"logo\" partation\n");
    return kFlashNotHere;
  }
  const FlashChipEntry& c = dev->chip;
  if (a >= c.Base && uint64_t(a) < uint64_t(c.Base) + c.Size) {
    uint64_t in = a - c.Base;
    for (Part* p : parts)
      if (in >= p->start() && in < p->start() + p->size()) {
        *part = p;
        *addr = static_cast<uint32_t>(in - p->start());
        return 0;
      }
  }

  DVR_INFO("don't match flash\n");
  return kFlashNotHere;
}

int FlashConvertMtd(uint32_t* addr, flash::MtdDev** part, FlashDev* dev) {
  return convert(addr, part, dev, dev ? dev->mtd : std::vector<flash::MtdDev*>{});
}
int FlashConvertEmmc(uint32_t* addr, flash::EmmcDev** part, FlashDev* dev) {
  return convert(addr, part, dev, dev ? dev->emmc : std::vector<flash::EmmcDev*>{});
}

// ----------------------------------------------------- device operations

int FlashMtdCreate(FlashDev* dev) {
  dev->mtd.clear();
  dev->erase_unit = 0;
  uint32_t n = std::min(dev->chip.PartCount, kFlashMaxMtdParts);
  for (uint32_t i = 0; i < n; ++i) {
    flash::MtdDev* p = nullptr;
    if (flash::MtdDevProbe(dev->chip.Mtd[i], &p) != 0) {
      DVR_ERROR("MtdDevProbe failed, can't find MtdDev\n");
      return OSA_EFAIL;
    }
    dev->mtd.push_back(p);
    dev->erase_unit = std::max(dev->erase_unit, p->erasesize());
  }
  return 0;
}

int FlashEmmcCreate(FlashDev* dev) {
  dev->emmc.clear();
  dev->erase_unit = flash::EmmcDev::kBlockSize;
  uint32_t n = std::min(dev->chip.PartCount, kFlashMaxEmmcParts);
  for (uint32_t i = 0; i < n; ++i) {
    flash::EmmcDev* p = nullptr;
    if (flash::EmmcDevProbe(dev->chip.Emmc[i], &p) != 0) {
      DVR_ERROR("EmmcDevProbe failed, can't find EmmcDev\n");
      return OSA_EFAIL;
    }
    dev->emmc.push_back(p);
  }
  return 0;
}

// Reads or writes across the partitions of one chip.  A request that runs
// off the chip after some progress returns 0 with *done short, so the set
// carries on with the next chip.
// The address is checked against the erase unit only once it is known to
// be on this chip: a sector address of an eMMC chip is no error of the MTD
// chip asked before it.
template <typename Part, typename Convert, typename Op>
static int walk(uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev, Convert conv, Op op, const char* warn) {
  osa::LockGuard g(dev->lock);
  uint32_t left = len;
  while (left > 0) {
    uint32_t off = addr;
    Part* p = nullptr;
    int r = conv(&off, &p, dev);
    if (r != 0) {
      if (left != len) return 0;
      DVR_WARN("%s: address not match, cur addr[%x],may in another flash.\n", warn, addr);
      return r;
    }
    if (left == len && (dev->erase_unit == 0 || addr % dev->erase_unit != 0)) {
      DVR_ERROR("address 0x%x is not a multiple of the erase unit 0x%x\n", addr, dev->erase_unit);
      return OSA_EFAIL;
    }
    uint32_t chunk = std::min<uint64_t>(left, p->size() - off);
    if (op(p, off, chunk, len - left) != 0) return OSA_EFAIL;
    *done += chunk;
    addr += chunk;
    left -= chunk;
  }
  return 0;
}

// Reads of either family: the partitions' own reads, counted for the set.
template <typename Part, typename Convert>
static int read_parts(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev, Convert conv,
                      const char* warn) {
  if (!check_dev(buf, done, dev)) return OSA_EFAIL;
  auto* b = static_cast<uint8_t*>(buf);
  return walk<Part>(
      addr, len, done, dev, conv,
      [&](Part* p, uint32_t off, uint32_t n, uint32_t at) {
        int r = p->Read(b + at, off, n);
        if (r == 0) count(dev, &FlashsStats::read, n);
        return r;
      },
      warn);
}

int FlashMtdRead(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev) {
  return read_parts<flash::MtdDev>(buf, addr, len, done, dev, FlashConvertMtd, "FlashConvertMtd");
}

int FlashEmmcRead(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev) {
  return read_parts<flash::EmmcDev>(buf, addr, len, done, dev, FlashConvertEmmc, "FlashConvertEmmc");
}

int FlashMtdWrite(const void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev) {
  if (!check_dev(buf, done, dev)) return OSA_EFAIL;
  auto* b = static_cast<const uint8_t*>(buf);
  int r = walk<flash::MtdDev>(
      addr, len, done, dev, FlashConvertMtd,
      [&](flash::MtdDev* p, uint32_t off, uint32_t n, uint32_t at) {
        DVR_INFO("FlashMtdWrite: current mtd parition name is [%s].\n", p->name());
        // Erasing covers whole blocks: a chunk that ends inside one would
        // wipe the rest of that block.
        if (n % p->erasesize() != 0) {
          DVR_ERROR("mtd[%s] len(0x%x) is not a multiple of the erase size 0x%x\n", p->name(), n, p->erasesize());
          return OSA_EFAIL;
        }
        if (write_read_compare(dev, p, b + at, off, n, "mtd", true) != 0) {
          DVR_ERROR("FlashWriteReadCompare failed\n");
          return OSA_EFAIL;
        }
        note_restore(dev, &FlashsRestore::mtd, p->name(), p->type() == flash::FlashType::Nand);
        return 0;
      },
      "FlashConvertMtd");
  if (raise_restore(dev, &FlashsRestore::mtd) != 0) return OSA_EFAIL;
  return r;
}

int FlashEmmcWrite(const void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev) {
  if (!check_dev(buf, done, dev)) return OSA_EFAIL;
  auto* b = static_cast<const uint8_t*>(buf);
  int r = walk<flash::EmmcDev>(
      addr, len, done, dev, FlashConvertEmmc,
      [&](flash::EmmcDev* p, uint32_t off, uint32_t n, uint32_t at) {
        DVR_INFO("FlashEmmcWrite: current emmc parition name is [%s].\n", p->name());
        if (write_read_compare(dev, p, b + at, off, n, "emmc", false) != 0) {
          DVR_ERROR("FlashWriteReadCompare failed\n");
          return OSA_EFAIL;
        }
        note_restore(dev, &FlashsRestore::emmc, p->name(), true);
        return 0;
      },
      "FlashConvertEmmc");
  if (raise_restore(dev, &FlashsRestore::emmc) != 0) return OSA_EFAIL;
  return r;
}

int FlashMtdErase(uint32_t addr, FlashDev* dev) {
  if (!dev) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  bool aligned = dev->erase_unit != 0 && addr % dev->erase_unit == 0;
  if (!aligned && in_logo(addr)) return 0;
  osa::LockGuard g(dev->lock);
  uint32_t off = addr;
  flash::MtdDev* p = nullptr;
  if (int r = FlashConvertMtd(&off, &p, dev)) return r;
  if (!aligned) {
    DVR_ERROR("address 0x%x is not a multiple of the erase unit 0x%x\n", addr, dev->erase_unit);
    return OSA_EFAIL;
  }
  DVR_INFO("mtd dev name is %s\n", p->name());
  if (p->Erase(off) != 0) {
    DVR_ERROR("mtddev[%s] Erase %#x faild\n", p->name(), off);
    return OSA_EFAIL;
  }
  count(dev, &FlashsStats::erased, p->erasesize());
  return 0;
}

int FlashEmmcErase(uint32_t addr, FlashDev* dev) {
  if (!dev) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  bool aligned = addr % flash::EmmcDev::kBlockSize == 0;
  if (!aligned && in_logo(addr)) return 0;
  osa::LockGuard g(dev->lock);
  uint32_t off = addr;
  flash::EmmcDev* p = nullptr;
  if (int r = FlashConvertEmmc(&off, &p, dev)) return r;
  if (!aligned) {
    DVR_ERROR("address 0x%x is not a multiple of the erase unit 0x%x\n", addr, flash::EmmcDev::kBlockSize);
    return OSA_EFAIL;
  }
  DVR_INFO("emmc dev name is %s\n", p->name());
  if (p->Erase(off) != 0) {
    DVR_ERROR("mtddev[%s] Erase %#x faild\n", p->name(), off);
    return OSA_EFAIL;
  }
  return 0;
}

// ------------------------------------------------------------ the set

Flashs* FlashsDefault() { return &osa::Singleton<Flashs>(); }

void Flashs::ResetForTest() {
  res = {};
  count = 0;
  built = false;
  for (FlashDev& d : devs) {
    osa::LockGuard g(d.lock);
    d.chip = {};
    d.erase_unit = 0;
    d.mtd.clear();
    d.emmc.clear();
    d.ops = nullptr;
    d.owner = nullptr;
  }
  osa::LockGuard g(state_lock);
  stats = {};
  restore = {};
}

int FlashsCreate(Flashs* set) {
  if (!set) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  set->count = std::min(set->res.ChipCount, kFlashMaxChips);
  for (uint32_t i = 0; i < set->count; ++i) {
    FlashDev& d = set->devs[i];
    d.chip = set->res.Chip[i];
    d.owner = set;
    switch (d.chip.Type) {
      case FLASH_CHIP_NONE: d.ops = &kNoneOps; break;
      case FLASH_CHIP_MTD: d.ops = &kMtdOps; break;
      case FLASH_CHIP_EMMC: d.ops = &kEmmcOps; break;
      default:
        DVR_ERROR("no dev\n");
        return OSA_EFAIL;
    }
    if (d.ops->Create(&d) != 0) {
      DVR_ERROR("FlashDev Create failed, FlashDev[%u]\n", i);
      DVR_ERROR("create failed\n");
      return OSA_EFAIL;
    }
  }
  set->built = true;
  return 0;
}

int FlashDevInit() {
  Flashs* s = FlashsDefault();
  if (s->built) return 0;
  if (FlashGetRes(&s->res) != 0) {
    DVR_ERROR("FlashGetRes failed\n");
    return OSA_EFAIL;
  }
  return FlashsCreate(s);
}

namespace {

template <typename Call>
int cycle(Flashs* set, uint32_t addr, uint32_t len, Call call, const char* fail_msg) {
  if (!set || !set->built || set->count == 0) {
    DVR_ERROR("%s\n", fail_msg);
    return OSA_EFAIL;
  }
  uint32_t i = 0, misses = 0, pos = 0;
  while (pos < len) {
    uint32_t done = 0;
    int r = call(set->devs[i], addr + pos, len - pos, pos, &done);
    if (r == 0) {
      pos += done;
      misses = 0;
    } else if (r == kFlashNotHere) {
      if (++misses >= set->count) {
        DVR_ERROR("searched all flashs but unlikely invalid address\n");
        return OSA_EFAIL;
      }
    } else {
      DVR_ERROR("%s\n", fail_msg);
      return OSA_EFAIL;
    }
    i = (i + 1) % set->count;
  }
  return 0;
}

}  // namespace

int FlashsRead(void* buf, uint32_t addr, uint32_t len, Flashs* set) {
  if (!buf) {
    OSA_CHECK_FAIL("pBuf");
    return OSA_EFAIL;
  }
  auto* b = static_cast<uint8_t*>(buf);
  return cycle(
      set, addr, len,
      [&](FlashDev& d, uint32_t a, uint32_t n, uint32_t pos, uint32_t* done) {
        if (!d.ops || !d.ops->Read) {
          DVR_ERROR("invalid FlashDev or FlashDev has no Read func\n");
          return OSA_EFAIL;
        }
        return d.ops->Read(b + pos, a, n, done, &d);
      },
      "FashDev Read failed");
}

int FlashsWrite(const void* buf, uint32_t addr, uint32_t len, Flashs* set) {
  if (!buf) {
    OSA_CHECK_FAIL("pBuf");
    return OSA_EFAIL;
  }
  auto* b = static_cast<const uint8_t*>(buf);
  return cycle(
      set, addr, len,
      [&](FlashDev& d, uint32_t a, uint32_t n, uint32_t pos, uint32_t* done) {
        if (!d.ops || !d.ops->Write) {
          DVR_ERROR("invalid FlashDev or Obj has no Write func\n");
          return OSA_EFAIL;
        }
        return d.ops->Write(b + pos, a, n, done, &d);
      },
      "mtd write failed");
}

int FlashsErase(uint32_t addr, Flashs* set) {
  if (!set || !set->built) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  for (uint32_t i = 0; i < set->count; ++i) {
    FlashDev& d = set->devs[i];
    if (!d.ops || !d.ops->Erase) continue;
    int r = d.ops->Erase(addr, &d);
    if (r == 0) return 0;
    if (r != kFlashNotHere) {
      DVR_ERROR("searched all flashs but unlikely invalid address\n");
      return OSA_EFAIL;
    }
  }
  return OSA_EFAIL;
}

// Erases every block of each partition called `name`.  NAND partitions are
// erased over their good blocks; NOR partitions have no bad blocks and are
// erased whole (counting good blocks would erase only the first block).
int FlashsErasePartition(const char* name, Flashs* set) {
  if (!name || !set || !set->built) {
    OSA_CHECK_FAIL(name ? "Thiz" : "name");
    return OSA_EFAIL;
  }
  for (uint32_t i = 0; i < set->count; ++i) {
    FlashDev& d = set->devs[i];
    if (!d.ops || !d.ops->Erase) {
      DVR_ERROR("invalid param, FlashDev[%u] mem is %p\n", i, static_cast<void*>(&d));
      return OSA_EFAIL;
    }
    for (flash::MtdDev* p : d.mtd) {
      if (std::strcmp(p->name(), name) != 0) continue;
      uint32_t base = static_cast<uint32_t>(d.chip.Base + p->start());
      DVR_INFO("erase %s partition start!!!\n", name);
      uint32_t blocks = p->size() / p->erasesize();
      if (p->type() == flash::FlashType::Nand && p->GoodBlocks(&blocks) != 0) return OSA_EFAIL;
      for (uint32_t b = 0; b < blocks; ++b) {
        uint32_t a = base + b * p->erasesize();
        if (d.ops->Erase(a, &d) != 0) {
          DVR_ERROR("erase failed address:0x%x\n", a);
          return OSA_EFAIL;
        }
      }
      DVR_INFO("erase %s partition finished!!!\n", name);
    }
  }
  return 0;
}

// ------------------------------------------------ preparing to rewrite

int FlashsInit() {
  static const char* const kExact[] = {"net3g", "pppd", "udhcpd", "upnp_tv_ctrlpt", "telnetd"};
  if (DIR* d = osa::sys::opendir("/proc")) {
    pid_t self = getpid();
    while (dirent* e = readdir(d)) {
      if (!*e->d_name || std::strspn(e->d_name, "0123456789") != std::strlen(e->d_name)) continue;
      pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
      if (pid <= 1 || pid == self) continue;
      std::string path = std::string("/proc/") + e->d_name + "/cmdline";
      osa::UniqueFd fd(osa::sys::open(path.c_str(), O_RDONLY));
      if (!fd) {
        DVR_ERROR("open %s\n", path.c_str());
        continue;
      }
      char cmd[257] = {};
      ssize_t n = osa::sys::read(fd.get(), cmd, 256);
      if (n <= 0) continue;
      bool hit = std::strstr(cmd, "sshd") != nullptr;
      for (const char* x : kExact) hit = hit || std::strcmp(cmd, x) == 0;
      if (!hit) continue;
      DVR_INFO("kill pid:%d process: \"%s\"\n", pid, cmd);
      osa::sys::kill(pid, SIGKILL);
    }
    closedir(d);
  }
  if (osa::sys::umount2("/mnt/mtd/Log", MNT_DETACH) != 0) DVR_INFO("/mnt/mtd/Log maybe not mounted\n");
  if (osa::sys::umount2("/mnt/mtd", MNT_DETACH) != 0) DVR_ERROR("unmount /mnt/mtd failed\n");
  if (osa::sys::umount2("/mnt/web", MNT_DETACH) != 0) DVR_ERROR("unmount /mnt/web failed\n");
  static const char kEmmcCtrl[] = "/proc/zq_emmc_ctrl";
  if (osa::sys::access(kEmmcCtrl, F_OK) == 0) {
    if (osa::sys::umount2("/data/lib", MNT_DETACH) != 0) DVR_ERROR("unmount /data/lib failed\n");
    char cmd[64];
    snprintf(cmd, sizeof cmd, "echo 1 > %s\n", kEmmcCtrl);
    int r = run_cmd(cmd);
    if (r != 0) {
      DVR_ERROR("run_cmd [%s] fail,iRet = %d\n", cmd, r);
      return OSA_EFAIL;
    }
    DVR_INFO("disable emmc decode success!\n");
  }
  return 0;
}
