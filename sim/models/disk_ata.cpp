// The simulated disks' command set beyond identity (see disk_ata.h).

#include "sim/models/disk_ata.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace sim {

namespace fs = std::filesystem;

namespace {

struct Extras {
  bool smart_checksum = false, no_smart = false, aborted = false, standby_fail = false, gone = false;
  std::vector<uint64_t> io_errors;
  int slow_ms = 0;
  std::vector<std::pair<int, uint64_t>> attrs;
  int errors = 0;
};

Extras extras(const Board& b, const std::string& name) {
  Extras x;
  auto it = b.desc().find("disks");
  if (it == b.desc().end() || !it->is_array()) return x;
  for (auto& d : *it) {
    if (!d.is_object() || d.value("name", "") != name) continue;
    if (auto f = d.find("faults"); f != d.end() && f->is_array())
      for (auto& v : *f) {
        if (!v.is_string()) continue;
        std::string t = v.get<std::string>();
        x.smart_checksum |= t == "smart_checksum";
        x.no_smart |= t == "no_smart";
        x.aborted |= t == "aborted";
        x.standby_fail |= t == "standby_fail";
        x.gone |= t == "gone";
        if (t.starts_with("io_error@")) x.io_errors.push_back(std::strtoull(t.c_str() + 9, nullptr, 0));
        if (t.starts_with("slow_ms=")) x.slow_ms = std::atoi(t.c_str() + 8);
      }
    if (auto s = d.find("smart"); s != d.end() && s->is_object()) {
      if (auto a = s->find("attrs"); a != s->end() && a->is_object())
        for (auto& [k, v] : a->items())
          if (v.is_number_unsigned()) x.attrs.emplace_back(std::atoi(k.c_str()), v.get<uint64_t>());
      x.errors = s->value("errors", 0);
    }
  }
  if (x.attrs.empty()) x.attrs = {{1, 0}, {5, 0}, {9, 100}, {12, 10}, {194, 35}, {197, 0}};
  std::sort(x.attrs.begin(), x.attrs.end());
  return x;
}

std::string power_path(const Board& b, const std::string& name) { return b.file("disk/" + name + ".power"); }

std::string power(const Board& b, const std::string& name) {
  std::ifstream in(power_path(b, name));
  std::string s;
  return in >> s ? s : "active";
}

void set_power(const Board& b, const std::string& name, const std::string& state) {
  if (power(b, name) == state) return;
  fs::create_directories(b.file("disk"));
  std::ofstream(power_path(b, name)) << state << '\n';
}

void checksum(uint8_t* sector) {
  uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + sector[i]);
  sector[511] = static_cast<uint8_t>(-sum);
}

constexpr uint8_t kThreshold = 10;

void smart_data(const Extras& x, uint8_t* d) {
  std::memset(d, 0, 512);
  d[0] = 0x10;
  int i = 0;
  for (auto& [id, raw] : x.attrs) {
    if (i >= 30) break;
    uint8_t* a = d + 2 + 12 * i++;
    a[0] = static_cast<uint8_t>(id);
    a[1] = 0x33;  // pre-fail, online
    // A huge reallocated count wears the value down to its threshold.
    a[3] = a[4] = static_cast<uint8_t>(id == 5 && raw > 1000 ? kThreshold : 100);
    for (int k = 0; k < 6; ++k) a[5 + k] = static_cast<uint8_t>(raw >> (8 * k));
  }
  d[362] = 0x82;  // off-line data collection status
  d[367] = 0x7b;  // capabilities
  checksum(d);
  if (x.smart_checksum) d[511] ^= 0x5a;
}

void smart_thresholds(const Extras& x, uint8_t* d) {
  std::memset(d, 0, 512);
  d[0] = 0x10;
  int i = 0;
  for (auto& [id, raw] : x.attrs) {
    if (i >= 30) break;
    uint8_t* a = d + 2 + 12 * i++;
    a[0] = static_cast<uint8_t>(id);
    a[1] = kThreshold;
  }
  checksum(d);
  if (x.smart_checksum) d[511] ^= 0x5a;
}

// The summary error log (log address 01h): the newest of N errors.
void error_log(const Extras& x, uint8_t* d) {
  std::memset(d, 0, 512);
  d[0] = 1;
  d[1] = static_cast<uint8_t>(x.errors > 0 ? (x.errors - 1) % 5 + 1 : 0);
  for (int e = 0; e < std::min(x.errors, 5); ++e) {
    uint8_t* s = d + 2 + 90 * e;
    uint8_t* err = s + 60;
    err[1] = 0x40;        // uncorrectable
    err[2] = 1;           // count
    err[3] = static_cast<uint8_t>(e + 1);  // LBA low
    err[7] = 0x51;        // status
    err[27] = 0x01;       // state: active
    err[28] = static_cast<uint8_t>(10 + e);  // life time stamp (hours)
  }
  d[452] = static_cast<uint8_t>(x.errors);
  d[453] = static_cast<uint8_t>(x.errors >> 8);
  checksum(d);
}

struct Regs {
  uint8_t cmd = 0;
  uint16_t feature = 0, count = 0;
  uint64_t lba = 0;
  uint8_t device = 0;
};

struct Out {
  uint8_t status = 0x50, error = 0;
  uint16_t count = 0;
  uint64_t lba = 0;
};

void log_ata(const Board& b, const DiskSpec& s, const Regs& r, const char* via) {
  char line[128];
  snprintf(line, sizeof line, "ata %s cmd=%02x feature=%02x count=%u via=%s", s.name.c_str(), r.cmd, r.feature & 0xff,
           r.count, via);
  b.event(line);
}

// Runs one ATA command; false when the disk aborts it.
bool exec(const Board& b, const DiskSpec& s, const Regs& r, uint8_t* data, Out* out) {
  Extras x = extras(b, s.name);
  out->count = r.count;
  out->lba = r.lba;
  auto abort = [&] {
    out->status = 0x51;
    out->error = 0x04;
    return false;
  };
  if (x.aborted) return abort();
  switch (r.cmd) {
    case 0xB0: {
      uint8_t mid = (r.lba >> 8) & 0xff, high = (r.lba >> 16) & 0xff;
      if (x.no_smart || mid != 0x4f || high != 0xc2) return abort();
      switch (r.feature & 0xff) {
        case 0xD0: if (data) smart_data(x, data); return true;
        case 0xD1: if (data) smart_thresholds(x, data); return true;
        case 0xD5:
          if ((r.lba & 0xff) != 0x01 || !data) return abort();
          error_log(x, data);
          return true;
        case 0xD8: case 0xD9: return true;
        case 0xDA: {
          bool exceeded = false;
          uint8_t d[512];
          smart_data(Extras(x), d);
          for (int i = 0; i < 30; ++i) exceeded |= d[2 + 12 * i] && d[2 + 12 * i + 3] <= kThreshold;
          out->lba = exceeded ? 0x2cf400 : 0xc24f00;
          return true;
        }
        default: return abort();
      }
    }
    case 0xE5: {
      std::string p = power(b, s.name);
      out->count = p == "standby" ? 0x00 : p == "idle" ? 0x80 : 0xff;
      return true;
    }
    case 0xE0: case 0xE2:
      if (x.standby_fail) return abort();
      set_power(b, s.name, "standby");
      return true;
    case 0xE3:
      if (x.standby_fail) return abort();
      set_power(b, s.name, "active");
      return true;
    case 0xE1: set_power(b, s.name, "active"); return true;
    case 0x40: case 0x42: {
      uint64_t n = r.count ? r.count : (r.cmd == 0x42 ? 65536 : 256);
      if (r.lba + n > s.sectors) return abort();
      for (uint64_t e : x.io_errors)
        if (e >= r.lba && e < r.lba + n) {
          out->error = 0x40;
          out->status = 0x51;
          out->lba = e;
          return false;
        }
      set_power(b, s.name, "active");
      return true;
    }
    default: return abort();
  }
}

void sense_ata(sg_io_hdr_t* io, uint8_t key, uint8_t asc, uint8_t ascq, const Out& o, bool ext) {
  uint8_t sb[22] = {0x72, key, asc, ascq, 0, 0, 0, 14, 0x09, 0x0c, static_cast<uint8_t>(ext ? 1 : 0), o.error,
                    static_cast<uint8_t>(o.count >> 8), static_cast<uint8_t>(o.count),
                    static_cast<uint8_t>(o.lba >> 24), static_cast<uint8_t>(o.lba),
                    static_cast<uint8_t>(o.lba >> 32), static_cast<uint8_t>(o.lba >> 8),
                    static_cast<uint8_t>(o.lba >> 40), static_cast<uint8_t>(o.lba >> 16), 0x40, o.status};
  io->status = 2;
  io->masked_status = 1;
  io->driver_status = 0x08;  // sense data valid
  if (io->sbp && io->mx_sb_len) {
    unsigned n = std::min<unsigned>(sizeof sb, io->mx_sb_len);
    std::memcpy(io->sbp, sb, n);
    io->sb_len_wr = static_cast<unsigned char>(n);
  }
}

void sense_fixed(sg_io_hdr_t* io, uint8_t key, uint8_t asc) {
  uint8_t sb[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0};
  io->status = 2;
  io->masked_status = 1;
  io->driver_status = 0x08;
  if (io->sbp && io->mx_sb_len) {
    unsigned n = std::min<unsigned>(sizeof sb, io->mx_sb_len);
    std::memcpy(io->sbp, sb, n);
    io->sb_len_wr = static_cast<unsigned char>(n);
  }
}

// The power condition page as stored, else all timers off.
void page1a(const Board& b, const DiskSpec& s, uint8_t* p) {
  std::memset(p, 0, 40);
  p[0] = 0x1a;
  p[1] = 0x26;
  std::ifstream in(b.file("disk/" + s.name + ".page1a"), std::ios::binary);
  in.read(reinterpret_cast<char*>(p), 40);
  p[0] = 0x1a, p[1] = 0x26;
}

bool scsi_cmd(const Board& b, const DiskSpec& s, sg_io_hdr_t* io) {
  const uint8_t* c = io->cmdp;
  auto* buf = static_cast<uint8_t*>(io->dxferp);
  char line[128];
  if (c[0] == 0x5A && io->cmd_len >= 10) {  // MODE SENSE (10)
    if ((c[2] & 0x3f) != 0x1a) return sense_fixed(io, 5, 0x24), true;
    uint8_t r[48] = {};
    r[1] = 46;
    page1a(b, s, r + 8);
    if (buf) std::memcpy(buf, r, std::min<unsigned>(sizeof r, io->dxfer_len));
    snprintf(line, sizeof line, "scsi %s mode_sense page=1a", s.name.c_str());
    b.event(line);
    return true;
  }
  if (c[0] == 0x55 && io->cmd_len >= 10) {  // MODE SELECT (10)
    if (!buf || io->dxfer_len < 8) return sense_fixed(io, 5, 0x24), true;
    unsigned bd = (buf[6] << 8) | buf[7];
    if (8 + bd + 12 > io->dxfer_len || (buf[8 + bd] & 0x3f) != 0x1a) return sense_fixed(io, 5, 0x26), true;
    const uint8_t* p = buf + 8 + bd;
    unsigned n = std::min<unsigned>(40, io->dxfer_len - 8 - bd);
    fs::create_directories(b.file("disk"));
    std::ofstream(b.file("disk/" + s.name + ".page1a"), std::ios::binary).write(reinterpret_cast<const char*>(p), n);
    bool z = p[3] & 1;
    uint32_t timer = (p[8] << 24) | (p[9] << 16) | (p[10] << 8) | p[11];
    snprintf(line, sizeof line, "scsi %s mode_select page=1a standby_z=%d timer=%u", s.name.c_str(), z ? 1 : 0, timer);
    b.event(line);
    if (Extras x = extras(b, s.name); x.standby_fail && z) return sense_fixed(io, 0x0b, 0), true;
    set_power(b, s.name, z && timer <= 10 ? "standby" : "active");
    return true;
  }
  return false;
}

}  // namespace

bool DiskGone(const Board& b, const DiskSpec& s) { return extras(b, s.name).gone; }

int DiskDriveCmd(const Board& b, const DiskSpec& s, uint8_t* a) {
  Regs r;
  r.cmd = a[0];
  r.feature = a[2];
  if (a[0] == 0xB0) {
    r.count = a[3];
    r.lba = a[1] | (0x4fu << 8) | (0xc2u << 16);
  } else {
    r.count = a[1];
  }
  log_ata(b, s, r, "hdio");
  Out o;
  bool ok = exec(b, s, r, a[3] ? a + 4 : nullptr, &o);
  a[0] = o.status;
  a[1] = o.error;
  a[2] = static_cast<uint8_t>(o.count);
  if (!ok) {
    errno = EIO;
    return -1;
  }
  return 0;
}

void DiskIdentifyExtras(const Board& b, const DiskSpec& s, uint8_t* id) {
  Extras x = extras(b, s.name);
  if (!x.no_smart) {
    id[164] |= 0x01;  // word 82 bit 0: SMART supported
    id[170] |= 0x01;  // word 85 bit 0: SMART enabled
  }
  id[510] = 0xa5;  // word 255: integrity word, signature and checksum
  uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + id[i]);
  id[511] = static_cast<uint8_t>(-sum);
}

bool DiskSgIo(const Board& b, const DiskSpec& s, sg_io_hdr_t* io, int* rc) {
  const uint8_t* c = io->cmdp;
  *rc = 0;
  if (DiskGone(b, s)) {
    errno = ENODEV;
    *rc = -1;
    return true;
  }
  if (c[0] != 0x85) return scsi_cmd(b, s, io);
  if (io->cmd_len < 16 || c[14] == 0xEC) return false;
  bool ext = c[1] & 1;
  Regs r;
  r.cmd = c[14];
  r.feature = static_cast<uint16_t>(c[4] | (ext ? c[3] << 8 : 0));
  r.count = static_cast<uint16_t>(c[6] | (ext ? c[5] << 8 : 0));
  r.lba = uint64_t{c[8]} | uint64_t{c[10]} << 8 | uint64_t{c[12]} << 16;
  if (ext) r.lba |= uint64_t{c[7]} << 24 | uint64_t{c[9]} << 32 | uint64_t{c[11]} << 40;
  else r.lba |= uint64_t{c[13] & 0x0fu} << 24;
  log_ata(b, s, r, "sgio");
  if (s.bus == "sas") {  // no ATA behind this one
    sense_fixed(io, 5, 0x20);
    return true;
  }
  uint8_t data[512] = {};
  Out o;
  bool ok = exec(b, s, r, data, &o);
  bool in = (c[2] & 0x08) && ((c[1] >> 1) & 0xf) == 4;
  if (ok && in && io->dxferp) std::memcpy(io->dxferp, data, std::min<unsigned>(512, io->dxfer_len));
  io->host_status = 0;
  io->resid = 0;
  if (!ok) sense_ata(io, 0x0b, 0, 0, o, ext);
  else if (c[2] & 0x20) sense_ata(io, 0x01, 0x00, 0x1d, o, ext);  // the registers were asked for
  else io->status = io->masked_status = io->driver_status = 0;
  return true;
}

ssize_t DiskTransfer(const Board& b, const DiskSpec& s, int fd, bool write, void* buf, std::size_t len, off_t off) {
  Extras x = extras(b, s.name);
  if (x.gone) {
    errno = ENXIO;
    return -1;
  }
  bool at_pos = off < 0;
  if (at_pos) off = ::lseek(fd, 0, SEEK_CUR);
  uint64_t first = static_cast<uint64_t>(off) / 512, count = (len + 511) / 512;
  if (!buf) {
    char line[128];
    snprintf(line, sizeof line, "dma %s %s %llu %llu", s.name.c_str(), write ? "write" : "read",
             static_cast<unsigned long long>(first), static_cast<unsigned long long>(count));
    b.event(line);
    set_power(b, s.name, "active");
    if (at_pos) ::lseek(fd, off + static_cast<off_t>(len), SEEK_SET);
    return static_cast<ssize_t>(len);
  }
  for (uint64_t e : x.io_errors)
    if (e >= first && e < first + count) {
      errno = EIO;
      return -1;
    }
  if (x.slow_ms > 0) usleep(static_cast<useconds_t>(x.slow_ms) * 1000);
  set_power(b, s.name, "active");
  ssize_t n = write ? ::pwrite(fd, buf, len, off) : ::pread(fd, buf, len, off);
  if (at_pos && n > 0) ::lseek(fd, off + n, SEEK_SET);
  return n;
}

}  // namespace sim
