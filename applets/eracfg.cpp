// eracfg: erases one MTD partition by name (by default "config") and, after
// erasing the configuration, raises eracfg_flag in the boot loader's
// environment, found from the kernel command line (env_size, env_off).
//
// The environment is read and written in the format it is found in (with
// or without the store's byte transform), and on NAND its blocks are found
// past bad blocks exactly as the store's skipping access finds them.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "applets/applets.h"
#include "osa/sys.h"
#include "platform/env/bootenv.h"
#include "platform/flash/flash.h"
#include "platform/flash/lock.h"

namespace applets {

namespace {

constexpr size_t kMaxName = 32;
constexpr uint32_t kChunk = 4096;

const char* const kKeywords[] = {"config", "bcfg", "mcu", "record1", "record2", "data", "backup", "Log", "logs", "help"};

void usage() {
  printf("Usage:\n");
  printf("\teracfg              :erase config partition!\n");
  printf("\teracfg config       :erase config partition!\n");
  printf("\teracfg bcfg         :erase bconfig partition!\n");
  printf("\teracfg mcu          :erase mcu partition!\n");
  printf("\teracfg record1      :erase record1 partition!\n");
  printf("\teracfg record2      :erase record2 partition!\n");
  printf("\teracfg data      :erase data partition!\n");
  printf("\teracfg backup      :erase backup partition!\n");
  printf("\teracfg help         :help infomation!\n");
}

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// The device word ("mtd3") of the first partition matching `name`: mode 1
// the whole name, mode 0 any name containing it.
int MtdGetName(const char* name, std::string* dev, int mode) {
  if (mode != 0 && mode != 1) {
    printf("ERROR:MtdGetName,invalid get mtd name mode parameter\n");
    return -1;
  }
  std::vector<flash::MtdLine> lines;
  std::string err;
  if (!flash::ReadProcMtd(&lines, &err)) {
    printf("Read %s failed\n", "/proc/mtd");
    printf("%s\n", err.c_str());
    return -1;
  }
  for (auto& l : lines)
    if (mode == 1 ? l.name == name : l.name.find(name) != std::string::npos) {
      *dev = l.dev.substr(0, l.dev.size() - 1);
      return 0;
    }
  return -1;
}

// The value of `key` on the kernel command line, at most 31 characters.
int cmdline_value(const char* key, std::string* out) {
  const char* path = "/proc/cmdline";
  osa::UniqueFd fd(osa::sys::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    printf("open file error! file_name = %s\n", path);
    return -1;
  }
  char buf[1024] = {};
  ssize_t n = osa::sys::read(fd.get(), buf, sizeof buf - 1);
  if (n < 0) {
    printf("read file error! file_name = %s iRet = %d\n", path, static_cast<int>(n));
    perror("read error\n");
    return -1;
  }
  std::string_view text(buf, static_cast<size_t>(n));
  size_t klen = std::strlen(key);
  for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    // a whole word: key=VALUE
    if ((at > 0 && text[at - 1] != ' ') || at + klen >= text.size() || text[at + klen] != '=') continue;
    size_t v = at + klen + 1, e = v;
    while (e < text.size() && e - v < 31 && text[e] != ' ' && text[e] != '\n' && text[e] != '\0') ++e;
    out->assign(text.substr(v, e - v));
    return 0;
  }
  printf("Can't find key:%s\n", key);
  return -1;
}

int mtd_info(int fd, mtd_info_user* info) { return osa::sys::ioctl(fd, MEMGETINFO, info); }

int zq_mtd_erase(uint32_t address, uint32_t length, int fd) {
  mtd_info_user info{};
  if (mtd_info(fd, &info) != 0) {
    printf("Get MEMGETINFO failed  ret = %d\n", -1);
    return -1;
  }
  if (info.type == MTD_NANDFLASH) {
    loff_t o = address;
    if (osa::sys::ioctl(fd, MEMGETBADBLOCK, &o) != 0) {
      printf("zq_mtd_erase, skip bad block, Address:0x%x\n", address);
      return 0;
    }
  }
  erase_info_user ei{address, length};
  int ret = osa::sys::ioctl(fd, MEMERASE, &ei);
  if (ret != 0) {
    printf("mtd erase failed  Address = 0x%x ret = %d\n", address, ret);
    return -1;
  }
  return 0;
}

// A partition found by name (MtdGetName's mode), opened and locked
// against every other writer for as long as it is held.
struct Part {
  std::string path;
  osa::UniqueFd fd;
  flash::PartLock lock;
  mtd_info_user info{};
};

// `open_fail` is printed around the path when the device does not open.
int open_part(const char* name, int mode, const char* const (&open_fail)[2], Part* p) {
  std::string dev;
  int ret = MtdGetName(name, &dev, mode);
  if (ret != 0) {
    printf("MtdGetName failed  retVal = %d\n", ret);
    return -1;
  }
  p->path = "/dev/" + dev;
  p->fd = osa::UniqueFd(osa::sys::open(p->path.c_str(), O_RDWR | O_CLOEXEC));
  if (!p->fd) {
    printf("%s%s%s", open_fail[0], p->path.c_str(), open_fail[1]);
    return -1;
  }
  if (!p->lock.Take(p->path, flash::PartLock::Mode::Exclusive)) return -1;
  if ((ret = mtd_info(p->fd.get(), &p->info)) != 0) {
    printf("Get MEMGETINFO failed  ret = %d\n", ret);
    return -1;
  }
  return 0;
}

int erase_config(const char* name) {
  if (std::strlen(name) > kMaxName) {
    printf("cfg_name is too long > %d!\n", static_cast<int>(kMaxName));
    return -1;
  }
  printf("erase_config:%s\n", name);
  Part p;
  static const char* const kOpenFail[2] = {"open mtd error! file_name = ", "\n"};
  if (open_part(name, 1, kOpenFail, &p) != 0) return -1;
  uint32_t size = p.info.size, erasesize = p.info.erasesize;
  mtd_info_user again{};
  int ret = 0;
  if ((ret = mtd_info(p.fd.get(), &again)) != 0 || again.erasesize == 0) {
    printf("Get MEMGETINFO failed  ret = %d use defulat size:0x10000\n", ret);
    erasesize = 0x10000;
  }
  printf("erase config mtd start!!\n");
  for (uint32_t off = 0; off < size; off += erasesize) {
    if ((ret = zq_mtd_erase(off, erasesize, p.fd.get())) != 0) {
      printf("mtd erase failed  retVal = %d\n", ret);
      return ret;
    }
  }
  printf("erase config mtd finished!!\n");
  return 0;
}

// The environment's region on the partition: one physical block offset per
// erase block it covers, stepping over bad blocks (which are reported).
int env_blocks(int fd, const mtd_info_user& info, uint32_t off, uint32_t size, std::vector<uint32_t>* blocks) {
  uint32_t es = info.erasesize;
  uint32_t cur = off - off % es;
  for (uint32_t covered = 0; covered < off % es + size; covered += es, cur += es) {
    for (;;) {
      if (cur >= info.size) {
        printf("offsetAddr is over Size\n");
        return -1;
      }
      loff_t o = cur;
      int bad = info.type == MTD_NANDFLASH ? osa::sys::ioctl(fd, MEMGETBADBLOCK, &o) : 0;
      if (bad == 0) break;
      printf("zq_mtd_erase, skip bad block, Address:0x%x\n", cur);
      cur += es;
    }
    blocks->push_back(cur);
  }
  return 0;
}

// Reads (or writes) the region through its block list, in chunks of at
// most 4096 bytes (writes: of one erase size when that is not a multiple).
int region_io(int fd, const mtd_info_user& info, const std::vector<uint32_t>& blocks, uint32_t off, uint8_t* buf,
              uint32_t len, bool wr) {
  uint32_t es = info.erasesize;
  uint32_t chunk = wr && es % kChunk != 0 ? es : kChunk;
  uint32_t pos = off % es;  // position inside the region's first block
  for (uint32_t done = 0; done < len;) {
    uint32_t blk = (pos + done) / es, in = (pos + done) % es;
    uint32_t n = std::min({len - done, chunk, es - in});
    off_t at = static_cast<off_t>(blocks[blk]) + in;
    ssize_t r = wr ? osa::sys::pwrite(fd, buf + done, n, at) : osa::sys::pread(fd, buf + done, n, at);
    if (r <= 0) {
      if (wr) printf("write faied\n");
      else {
        printf("read faied fd = %d Ret = 0x%x u32Length = 0x%x Buffer=0x%p, CurPos = 0x%x\n", fd, static_cast<unsigned>(r),
               n, static_cast<void*>(buf + done), static_cast<unsigned>(at));
        perror("read error\n");
      }
      return -1;
    }
    done += static_cast<uint32_t>(r);
  }
  return 0;
}

int zq_mtd_set(const char* name, const char* value, std::vector<uint8_t>* env, bootenv::Format format, int fd,
               const mtd_info_user& info, const std::vector<uint32_t>& blocks, uint32_t off) {
  bootenv::Decoded d;
  std::string err;
  bootenv::DecodeImage(*env, format, &d, &err);
  size_t pos = 0;
  if (bootenv::MatchEntry(d.plain, d.used, name, &pos) == bootenv::Match::NoEnd) {
    printf("zq_mtd_key_match() failed\xA3\xACno such key(%s)\n", name);
    return -1;
  }
  switch (bootenv::SetEntry(d.plain, &d.used, name, value)) {
    case bootenv::SetResult::Ok: break;
    case bootenv::SetResult::TooLarge: printf("!new env is to larger\n"); return -1;
    default: printf("zq_mtd_key_match() failed\xA3\xACno such key(%s)\n", name); return -1;
  }
  *env = bootenv::EncodeImage(d.plain, format);
  for (uint32_t b : blocks) {
    int ret = zq_mtd_erase(b, info.erasesize, fd);
    if (ret != 0) {
      printf("mtd erase failed  ret = %d\n", ret);
      return -1;
    }
  }
  std::vector<uint8_t> back(env->size());
  if (region_io(fd, info, blocks, off, env->data(), static_cast<uint32_t>(env->size()), true) != 0 ||
      region_io(fd, info, blocks, off, back.data(), static_cast<uint32_t>(back.size()), false) != 0 || back != *env) {
    printf("Write failed, func\n");
    return -1;
  }
  return 0;
}

int set_flag() {
  std::string v;
  Part p;
  static const char* const kOpenFail[2] = {" Fail to open file ", " \n"};
  if (open_part("env", 0, kOpenFail, &p) != 0) return -1;
  int ret = 0;
  const mtd_info_user& info = p.info;
  osa::UniqueFd& fd = p.fd;
  if (info.erasesize == 0) {
    printf("Get MEMGETINFO failed  ret = %d\n", ret);
    return -1;
  }
  if ((ret = cmdline_value("env_size", &v)) != 0) {
    printf(" Fail to get env_size,retVal = %d\n", ret);
    return -1;
  }
  long size = std::strtol(v.c_str(), nullptr, 10);
  if (size < 0 || size < static_cast<long>(bootenv::kMinImage) || size > static_cast<long>(info.size)) {
    printf("EnvSize error!!\n");
    return -1;
  }
  if ((ret = cmdline_value("env_off", &v)) != 0) {
    printf(" Fail to get env_off,retVal = %d\n", ret);
    return -1;
  }
  long off = std::strtol(v.c_str(), nullptr, 10);
  if (off < 0) return 0;  // the board keeps no environment for eracfg
  if (static_cast<unsigned long>(off) + static_cast<unsigned long>(size) > info.size) {
    printf(" Fail to zq_mtd_read retVal = %d\n", -1);
    return -1;
  }
  std::vector<uint32_t> blocks;
  std::vector<uint8_t> env(static_cast<size_t>(size), 0);
  if (env_blocks(fd.get(), info, static_cast<uint32_t>(off), static_cast<uint32_t>(size), &blocks) != 0 ||
      region_io(fd.get(), info, blocks, static_cast<uint32_t>(off), env.data(), static_cast<uint32_t>(size), false) != 0) {
    printf(" Fail to zq_mtd_read retVal = %d\n", -1);
    return -1;
  }
  // Never write back an image whose CRC does not hold: it would make the
  // damage look valid.
  bootenv::Format format = bootenv::DetectFormat(env);
  if (bootenv::StoredCrc(env) != bootenv::BodyCrc(env)) {
    printf("env crc error (stored 0x%08x, computed 0x%08x), eracfg_flag not set\n", bootenv::StoredCrc(env),
           bootenv::BodyCrc(env));
    return -1;
  }
  if (zq_mtd_set("eracfg_flag", "1", &env, format, fd.get(), info, blocks, static_cast<uint32_t>(off)) != 0) {
    printf(" Fail to zq_mtd_set retVal = %d\n", -1);
    return -1;
  }
  return 0;
}

int fail_usage(const char* what) {
  usage();
  perror(what);
  return -1;
}

}  // namespace

int EracfgMain(int argc, char** argv) {
  const char* name = "config";
  if (argc > 2) return fail_usage("zq_mtd_erase_config error\n");
  if (argc == 2) {
    name = argv[1];
    bool known = false;
    for (const char* k : kKeywords) known = known || starts_with(name, k);
    if (std::strlen(name) > kMaxName || !known) return fail_usage("zq_mtd_erase_config error\n");
    if (starts_with(name, "help")) {
      usage();
      return 0;
    }
  }
  if (erase_config(name) != 0) return fail_usage("zq_mtd_erase_config error\n");
  if (starts_with(name, "config") && set_flag() != 0) {
    printf("zq_mtd_set_env error!\n");
    perror("zq_mtd_set_env error\n");
    return -1;
  }
  return 0;
}

}  // namespace applets
