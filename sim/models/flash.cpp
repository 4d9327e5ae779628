// Simulated flash chips (see flash.h).

#include "sim/models/flash.h"

#include "platform/env/bootenv.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace sim {

namespace {

namespace fs = std::filesystem;

int refuse(int e) {
  errno = e;
  return -1;
}

struct MtdPart {
  unsigned num = 0;
  std::string name;
  uint32_t size = 0, erasesize = 0, writesize = 1, sector = 0;
  bool nand = false;
  std::vector<unsigned> bad;
};

uint32_t u32(const nlohmann::json& j, const char* k, uint32_t def) {
  auto it = j.find(k);
  return it != j.end() && it->is_number_unsigned() ? it->get<uint32_t>() : def;
}

std::vector<MtdPart> mtd_parts(const nlohmann::json& desc) {
  std::vector<MtdPart> out;
  auto mtd = desc.value("mtd", nlohmann::json::object());
  for (auto& chip : mtd.value("chips", nlohmann::json::array())) {
    for (auto& p : chip.value("parts", nlohmann::json::array())) {
      MtdPart m;
      m.num = static_cast<unsigned>(out.size());
      m.name = p.value("name", "");
      m.size = u32(p, "size", 0);
      m.nand = chip.value("type", "nor") == "nand";
      m.erasesize = u32(chip, "erasesize", 0x10000);
      m.writesize = u32(chip, "writesize", m.nand ? 2048 : 1);
      m.sector = u32(chip, "sector", m.erasesize);
      for (auto& b : p.value("bad", nlohmann::json::array()))
        if (b.is_number_unsigned()) m.bad.push_back(b.get<unsigned>());
      out.push_back(std::move(m));
    }
  }
  return out;
}

std::string state_path(const std::string& dir) { return dir + "/dev/flash.state"; }
std::string blocks_path(const std::string& dir, unsigned mtd) {
  return dir + "/dev/mtd" + std::to_string(mtd) + ".blocks";
}

// The state file, locked for one read-modify-write.
class StateLock {
 public:
  explicit StateLock(const std::string& dir) : fd_(::open(state_path(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    if (fd_ < 0 || ::pread(fd_, &st, sizeof st, 0) != static_cast<ssize_t>(sizeof st)) st = FlashState{};
  }
  ~StateLock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  bool save() { return fd_ >= 0 && ::pwrite(fd_, &st, sizeof st, 0) == static_cast<ssize_t>(sizeof st); }
  FlashState st;

 private:
  int fd_;
};

enum class Power { On, Torn, Off };

// Counts one write or erase against the power cut.
Power power_op(const std::string& dir, bool erase) {
  StateLock l(dir);
  Power p = Power::On;
  if (l.st.cut) {
    p = Power::Off;
  } else if (l.st.cut_after == 0) {
    l.st.cut = 1;
    l.st.cut_after = -1;
    p = Power::Torn;
  } else {
    if (l.st.cut_after > 0) --l.st.cut_after;
    ++(erase ? l.st.erases : l.st.writes);
  }
  l.save();
  return p;
}

void count(const std::string& dir, uint64_t FlashState::*field) {
  StateLock l(dir);
  ++(l.st.*field);
  l.save();
}

uint8_t block_flags(const std::string& dir, unsigned mtd, unsigned block) {
  uint8_t f = 0;
  int fd = ::open(blocks_path(dir, mtd).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  if (::pread(fd, &f, 1, block) != 1) f = 0;
  ::close(fd);
  return f;
}

// ---------------------------------------------------------------- MTD

class MtdDevice final : public Device {
 public:
  MtdDevice(int fd, std::string dir, MtdPart p) : Device(fd), dir_(std::move(dir)), p_(std::move(p)) {}

  int ioctl(unsigned long req, void* arg) override {
    if (!arg) return refuse(EFAULT);
    if (req == MEMGETINFO) {
      mtd_info_user info{};
      info.type = p_.nand ? MTD_NANDFLASH : MTD_NORFLASH;
      info.flags = MTD_WRITEABLE;
      info.size = p_.size;
      info.erasesize = p_.erasesize;
      info.writesize = p_.writesize;
      info.oobsize = p_.nand ? 64 : 0;
      std::memcpy(arg, &info, sizeof info);
      return 0;
    }
    if (req == MEMGETBADBLOCK) {
      loff_t off = *static_cast<loff_t*>(arg);
      if (off < 0 || off >= p_.size) return refuse(EINVAL);
      count(dir_, &FlashState::bad_queries);
      if (!p_.nand) return 0;
      return block_flags(dir_, p_.num, static_cast<unsigned>(off / p_.erasesize)) & kBlockBad ? 1 : 0;
    }
    if (req == MEMERASE) return erase(*static_cast<erase_info_user*>(arg));
    return refuse(ENOTTY);
  }

  ssize_t pread(void* buf, size_t len, off_t off) override {
    if (off < 0) return refuse(EINVAL);
    if (static_cast<uint64_t>(off) >= p_.size) return 0;
    len = std::min<uint64_t>(len, p_.size - static_cast<uint64_t>(off));
    count(dir_, &FlashState::reads);
    return ::pread(fd_, buf, len, off);
  }
  ssize_t pwrite(const void* buf, size_t len, off_t off) override {
    if (off < 0 || static_cast<uint64_t>(off) + len > p_.size) return refuse(EINVAL);
    if (p_.nand && (off % p_.writesize != 0 || len % p_.writesize != 0)) return refuse(EINVAL);
    // A write may not cross into a block the model refuses.
    for (uint64_t b = off / p_.erasesize; len && b <= (off + len - 1) / p_.erasesize; ++b) {
      uint8_t f = block_flags(dir_, p_.num, static_cast<unsigned>(b));
      if (f & (kBlockBad | kBlockFailWrite)) return refuse(EIO);
    }
    Power pw = power_op(dir_, false);
    if (pw == Power::Off) return refuse(EIO);
    size_t n = pw == Power::Torn ? len / 2 : len;
    // Programming only clears bits.
    std::vector<uint8_t> cur(n);
    if (n && ::pread(fd_, cur.data(), n, off) != static_cast<ssize_t>(n)) return -1;
    auto* in = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < n; ++i) cur[i] &= in[i];
    if (n && (block_flags(dir_, p_.num, static_cast<unsigned>(off / p_.erasesize)) & kBlockFlipOnce)) {
      cur[0] ^= 0x01;
      SetBlockFlag(dir_, p_.num, static_cast<unsigned>(off / p_.erasesize), kBlockFlipOnce, false);
    }
    if (n && ::pwrite(fd_, cur.data(), n, off) != static_cast<ssize_t>(n)) return -1;
    if (pw == Power::Torn) return refuse(EIO);
    return static_cast<ssize_t>(len);
  }
  ssize_t read(void* buf, size_t len) override {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    ssize_t n = pread(buf, len, at);
    if (n > 0) ::lseek(fd_, at + n, SEEK_SET);
    return n;
  }
  ssize_t write(const void* buf, size_t len) override {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    ssize_t n = pwrite(buf, len, at);
    if (n > 0) ::lseek(fd_, at + n, SEEK_SET);
    return n;
  }

 private:
  int erase(const erase_info_user& ei) {
    uint32_t unit = p_.nand ? p_.erasesize : p_.sector;
    if (ei.length == 0 || ei.start % unit != 0 || ei.length % unit != 0 ||
        static_cast<uint64_t>(ei.start) + ei.length > p_.size)
      return refuse(EINVAL);
    for (uint64_t b = ei.start / p_.erasesize; b <= (uint64_t(ei.start) + ei.length - 1) / p_.erasesize; ++b) {
      uint8_t f = block_flags(dir_, p_.num, static_cast<unsigned>(b));
      if (f & (kBlockBad | kBlockFailErase)) return refuse(EIO);
    }
    Power pw = power_op(dir_, true);
    if (pw == Power::Off) return refuse(EIO);
    std::vector<uint8_t> ff(pw == Power::Torn ? ei.length / 2 : ei.length, 0xFF);
    if (!ff.empty() && ::pwrite(fd_, ff.data(), ff.size(), ei.start) != static_cast<ssize_t>(ff.size())) return -1;
    return pw == Power::Torn ? refuse(EIO) : 0;
  }

  std::string dir_;
  MtdPart p_;
};

std::unique_ptr<Device> open_mtd(const Board& b, const std::string& path, int fd, int) {
  unsigned n = 0;
  if (std::sscanf(path.c_str(), "/dev/mtd%u", &n) != 1) return nullptr;
  auto parts = mtd_parts(b.desc());
  if (n >= parts.size()) {
    errno = ENODEV;
    return nullptr;
  }
  return std::make_unique<MtdDevice>(fd, b.dir(), parts[n]);
}

// --------------------------------------------------------------- eMMC

class EmmcDevice final : public Device {
 public:
  EmmcDevice(int fd, std::string dir) : Device(fd), dir_(std::move(dir)) {}
  ssize_t pread(void* buf, size_t len, off_t off) override {
    count(dir_, &FlashState::reads);
    return ::pread(fd_, buf, len, off);
  }
  ssize_t pwrite(const void* buf, size_t len, off_t off) override {
    struct stat st{};
    if (off < 0 || ::fstat(fd_, &st) != 0 || static_cast<uint64_t>(off) + len > static_cast<uint64_t>(st.st_size))
      return refuse(ENOSPC);
    Power pw = power_op(dir_, false);
    if (pw == Power::Off) return refuse(EIO);
    size_t n = pw == Power::Torn ? len / 2 : len;
    if (n && ::pwrite(fd_, buf, n, off) != static_cast<ssize_t>(n)) return -1;
    return pw == Power::Torn ? refuse(EIO) : static_cast<ssize_t>(len);
  }

 private:
  std::string dir_;
};

std::unique_ptr<Device> open_emmc(const Board& b, const std::string&, int fd, int) {
  return std::make_unique<EmmcDevice>(fd, b.dir());
}

// ------------------------------------------------------------- EEPROM

class EepromDevice final : public Device {
 public:
  EepromDevice(int fd, unsigned addr, unsigned regwidth) : Device(fd), addr_(addr), regwidth_(regwidth) {}
  int ioctl(unsigned long req, void* arg) override {
    if (req != I2C_RDWR) return refuse(ENOTTY);
    auto* x = static_cast<i2c_rdwr_ioctl_data*>(arg);
    if (!x || !x->msgs || x->nmsgs == 0 || x->nmsgs > 2) return refuse(EINVAL);
    for (unsigned i = 0; i < x->nmsgs; ++i) {
      i2c_msg& m = x->msgs[i];
      if (m.addr != addr_) return refuse(ENXIO);  // no chip answers there
      if (m.flags & I2C_M_RD) {
        ssize_t n = ::pread(fd_, m.buf, m.len, ptr_);
        if (n < 0) return -1;
        std::memset(m.buf + n, 0xFF, m.len - static_cast<size_t>(n));
        ptr_ += m.len;
      } else {
        if (m.len < regwidth_) return refuse(EINVAL);
        ptr_ = regwidth_ == 2 ? (m.buf[0] << 8 | m.buf[1]) : m.buf[0];
        if (m.len > regwidth_ && ::pwrite(fd_, m.buf + regwidth_, m.len - regwidth_, ptr_) < 0) return -1;
      }
    }
    return static_cast<int>(x->nmsgs);
  }

 private:
  unsigned addr_, regwidth_;
  off_t ptr_ = 0;
};

std::unique_ptr<Device> open_eeprom(const Board& b, const std::string& path, int fd, int) {
  auto e = b.desc().value("eeprom", nlohmann::json::object());
  if (path != "/dev/i2c-" + std::to_string(u32(e, "bus", 0))) {
    errno = ENOENT;
    return nullptr;
  }
  return std::make_unique<EepromDevice>(fd, u32(e, "addr", 0x50), u32(e, "regwidth", 2));
}

// --------------------------------------------------------- provisioning

bool write_file(const std::string& path, const std::string& data, std::string* err) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  if (!out) *err = "cannot write " + path;
  return static_cast<bool>(out);
}

// The simulator's own encoder: zlib's CRC over the transformed body.
std::string env_image(const nlohmann::json& env, uint32_t size) {
  std::string body;
  for (auto& e : env.value("entries", nlohmann::json::array()))
    if (e.is_string()) body += e.get<std::string>() + '\0';
  body += '\0';
  std::string img(size, '\0');
  if (body.size() + 4 > size) body.resize(size - 4);
  std::memcpy(img.data() + 4, body.data(), body.size());
  if (!env.value("plain", false))
    for (size_t i = 4; i < img.size(); ++i) img[i] = static_cast<char>(-(static_cast<uint8_t>(img[i]) ^ 0x6D));
  uint32_t c = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(img.data()) + 4, size - 4));
  for (int i = 0; i < 4; ++i) img[i] = static_cast<char>(c >> (8 * i));
  return img;
}

bool put_region(const std::string& path, uint64_t off, const std::string& data, std::string* err) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  bool ok = fd >= 0 && ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(off)) == static_cast<ssize_t>(data.size());
  if (fd >= 0) ::close(fd);
  if (!ok) *err = "cannot write the environment into " + path;
  return ok;
}

// Writes the first environment into the region a description names.
bool provision_env_region(const Board& b, const nlohmann::json& d, const std::vector<MtdPart>& parts,
                          std::string* err) {
  auto env = b.desc().value("env", nlohmann::json::object());
  int type = d.value("Type", 0);
  uint32_t off = u32(d, "Offset", 0), size = u32(d, "Size", 0);
  if (size < 6) return true;
  std::string img = env_image(env, size);
  if (type == 1) {
    auto m = d.value("Mtd", nlohmann::json::object());
    unsigned n = u32(m, "MtdNum", 0);
    if (n >= parts.size()) return true;  // a board with a broken record
    const MtdPart& p = parts[n];
    // Block by block past factory bad blocks, as the product's skipping
    // writes go.
    auto bad = [&](uint64_t blk) { return std::find(p.bad.begin(), p.bad.end(), blk) != p.bad.end(); };
    std::string path = b.file("dev/mtd" + std::to_string(n));
    uint64_t at = off;
    for (size_t done = 0; done < img.size();) {
      while (at < p.size && bad(at / p.erasesize)) at += p.erasesize;
      size_t chunk = std::min<uint64_t>(img.size() - done, p.erasesize - at % p.erasesize);
      if (at + chunk > p.size) return true;  // does not fit: the product will say so
      if (!put_region(path, at, img.substr(done, chunk), err)) return false;
      done += chunk;
      at += chunk;
    }
    return true;
  }
  if (type == 4) {
    auto m = d.value("Emmc", nlohmann::json::object());
    std::string f = "dev/mmcblk" + std::to_string(u32(m, "MmcNum", 0)) + "p" + std::to_string(u32(m, "PartIndex", 0) + 1);
    return fs::exists(b.file(f)) ? put_region(b.file(f), off, img, err) : true;
  }
  if (type == 5) return write_file(b.file("mnt/env"), img, err);
  return true;
}

bool provision(const Board& b, std::string* err) {
  const auto& desc = b.desc();
  auto parts = mtd_parts(desc);
  std::string proc = "dev:    size   erasesize  name\n";
  for (auto& p : parts) {
    std::string img = b.file("dev/mtd" + std::to_string(p.num));
    if (!write_file(img, std::string(p.size, '\xFF'), err)) return false;
    std::string blocks(p.erasesize ? p.size / p.erasesize : 0, '\0');
    for (unsigned bad : p.bad)
      if (bad < blocks.size()) blocks[bad] = static_cast<char>(kBlockBad);
    if (!write_file(blocks_path(b.dir(), p.num), blocks, err)) return false;
    char line[128];
    std::snprintf(line, sizeof line, "mtd%u: %08x %08x \"%s\"\n", p.num, p.size, p.erasesize, p.name.c_str());
    proc += line;
  }
  if (desc.contains("mtd") && !write_file(b.file("proc/mtd"), proc, err)) return false;
  if (desc.contains("cmdline") && !write_file(b.file("proc/cmdline"), desc.value("cmdline", "") + "\n", err))
    return false;

  auto emmc = desc.value("emmc", nlohmann::json::object());
  unsigned dev = u32(emmc, "device", 0), idx = 0;
  for (auto& p : emmc.value("parts", nlohmann::json::array())) {
    ++idx;
    uint64_t sectors = u32(p, "sectors", 0), start = u32(p, "start", 0);
    std::string name = "mmcblk" + std::to_string(dev) + "p" + std::to_string(idx);
    std::string sys = "sys/block/mmcblk" + std::to_string(dev) + "/" + name + "/";
    if (!write_file(b.file("dev/" + name), std::string(sectors * 512, '\0'), err) ||
        !write_file(b.file(sys + "size"), std::to_string(sectors) + "\n", err) ||
        !write_file(b.file(sys + "start"), std::to_string(start) + "\n", err))
      return false;
  }
  if (auto e = desc.find("eeprom"); e != desc.end()) {
    std::string img = e->value("text", "");
    img.resize(u32(*e, "size", 8192), '\xFF');
    if (!write_file(b.file("dev/i2c-" + std::to_string(u32(*e, "bus", 0))), img, err)) return false;
  }
  if (!WriteFlashState(b.dir(), FlashState{})) {
    *err = "cannot write " + state_path(b.dir());
    return false;
  }
  // The first environment, where the resource table says it lives.
  auto rec = desc.value("resource", nlohmann::json::object())
                 .value("records", nlohmann::json::object())
                 .value("EnvGetRes", nlohmann::json::object());
  if (rec.contains("Main") && !provision_env_region(b, rec["Main"], parts, err)) return false;
  for (auto& bk : rec.value("Backup", nlohmann::json::array()))
    if (!provision_env_region(b, bk, parts, err)) return false;
  return true;
}

}  // namespace

bool ReadFlashState(const std::string& dir, FlashState* st) {
  StateLock l(dir);
  *st = l.st;
  return true;
}

bool WriteFlashState(const std::string& dir, const FlashState& st) {
  StateLock l(dir);
  l.st = st;
  return l.save();
}

bool FlashCutAfter(const std::string& dir, int64_t n) {
  StateLock l(dir);
  l.st.cut_after = n;
  l.st.cut = 0;
  return l.save();
}

bool FlashRestart(const std::string& dir) {
  StateLock l(dir);
  l.st.cut_after = -1;
  l.st.cut = 0;
  return l.save();
}

bool SetBlockFlag(const std::string& dir, unsigned mtd, unsigned block, uint8_t flag, bool on) {
  int fd = ::open(blocks_path(dir, mtd).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t f = 0;
  bool ok = ::pread(fd, &f, 1, block) == 1;
  f = on ? (f | flag) : (f & ~flag);
  ok = ok && ::pwrite(fd, &f, 1, block) == 1;
  ::close(fd);
  return ok;
}

int FlashCommand(int argc, char** argv) {
  // argv: flash DIR VERB [ARGS]
  if (argc < 3) {
    fprintf(stderr, "usage: dvrsim flash DIR cut N|restart|stats|bad|fail-erase|fail-write|good MTD BLOCK\n");
    return 2;
  }
  std::string dir = argv[1], verb = argv[2];
  auto num = [](const char* s, long long* v) {
    char* end = nullptr;
    *v = std::strtoll(s, &end, 0);
    return end != s && *end == 0;
  };
  long long a = 0, c = 0;
  std::string err;
  if (!Board::Load(dir, &err)) {
    fprintf(stderr, "dvrsim flash: %s\n", err.c_str());
    return 1;
  }
  auto done = [&](bool ok) {
    if (!ok) fprintf(stderr, "dvrsim flash: cannot update the flash state of %s\n", dir.c_str());
    return ok ? 0 : 1;
  };
  if (verb == "cut" && argc == 4 && num(argv[3], &a)) return done(FlashCutAfter(dir, a));
  if (verb == "restart" && argc == 3) return done(FlashRestart(dir));
  if (verb == "stats" && argc == 3) {
    FlashState st;
    ReadFlashState(dir, &st);
    printf("reads %llu writes %llu erases %llu bad_queries %llu cut %u cut_after %lld\n",
           static_cast<unsigned long long>(st.reads), static_cast<unsigned long long>(st.writes),
           static_cast<unsigned long long>(st.erases), static_cast<unsigned long long>(st.bad_queries), st.cut,
           static_cast<long long>(st.cut_after));
    return 0;
  }
  if (argc == 5 && num(argv[3], &a) && num(argv[4], &c) && a >= 0 && c >= 0) {
    unsigned mtd = static_cast<unsigned>(a), blk = static_cast<unsigned>(c);
    struct stat st;
    if (::stat(blocks_path(dir, mtd).c_str(), &st) != 0) {
      fprintf(stderr, "dvrsim flash: %s has no MTD partition %u\n", dir.c_str(), mtd);
      return 1;
    }
    if (static_cast<unsigned long long>(blk) >= static_cast<unsigned long long>(st.st_size)) {
      fprintf(stderr, "dvrsim flash: mtd%u has %lld erase blocks, no block %u\n", mtd,
              static_cast<long long>(st.st_size), blk);
      return 1;
    }
    if (verb == "bad") return done(SetBlockFlag(dir, mtd, blk, kBlockBad, true));
    if (verb == "fail-erase") return done(SetBlockFlag(dir, mtd, blk, kBlockFailErase, true));
    if (verb == "fail-write") return done(SetBlockFlag(dir, mtd, blk, kBlockFailWrite, true));
    if (verb == "good") return done(SetBlockFlag(dir, mtd, blk, 0xFF, false));
  }
  fprintf(stderr, "dvrsim flash: bad arguments\nusage: dvrsim flash DIR cut N|restart|stats|bad|fail-erase|fail-write|good MTD BLOCK\n");
  return 2;
}

const Schema* EnvResSchema() {
  static const Schema mtd{{SIM_FIELD(MtdPartEntry, MtdNum, U32), SIM_FIELD(MtdPartEntry, Name, Str, 32),
                           SIM_FIELD(MtdPartEntry, AccessMode, U32)}};
  static const Schema emmc{{SIM_FIELD(EmmcPartEntry, PartIndex, U32), SIM_FIELD(EmmcPartEntry, PartSize, U32),
                            SIM_FIELD(EmmcPartEntry, MmcNum, U8), SIM_FIELD(EmmcPartEntry, Name, Str, 55)}};
  static const Schema i2c{{SIM_FIELD(EnvI2cPart, Bus, U32), SIM_FIELD(EnvI2cPart, Addr, U32),
                           SIM_FIELD(EnvI2cPart, RegWidth, U32), SIM_FIELD(EnvI2cPart, RegOffset, U32)}};
  static const Schema desc{{SIM_FIELD(EnvDesc, Type, U32), SIM_FIELD(EnvDesc, Offset, U32),
                            SIM_FIELD(EnvDesc, Size, U32), SIM_FIELD(EnvDesc, EraseSize, U32),
                            SIM_FIELD(EnvDesc, Mtd, Struct, sizeof(MtdPartEntry), &mtd),
                            SIM_FIELD(EnvDesc, Emmc, Struct, sizeof(EmmcPartEntry), &emmc),
                            SIM_FIELD(EnvDesc, I2c, Struct, sizeof(EnvI2cPart), &i2c)}};
  static const Schema rec{{SIM_FIELD(EnvRes, Main, Struct, sizeof(EnvDesc), &desc),
                           Field{"Backup", offsetof(EnvRes, Backup), FieldKind::Array, sizeof(EnvDesc), &desc,
                                 kEnvMaxBackups, offsetof(EnvRes, BackupCount)}}};
  return &rec;
}

const Model kMtdModel = {"mtd", "/dev/mtd[0-9]*", open_mtd, provision};
const Model kEmmcModel = {"emmc", "/dev/mmcblk*", open_emmc, nullptr};
const Model kEepromModel = {"eeprom", "/dev/i2c-*", open_eeprom, nullptr};

}  // namespace sim
