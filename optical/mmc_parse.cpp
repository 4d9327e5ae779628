// Sense decisions and reply parsers: pure functions of the bytes the
// drive returned, each bounded by what was really transferred.
#include <algorithm>
#include <cerrno>

#include "optical/mmc.h"

namespace mmc {
namespace {

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | Be16(p + 2); }

std::string Field(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  size_t end = s.find('\0');
  if (end != std::string::npos) s.resize(end);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

int Short(std::string* err, const char* what, size_t got, size_t need) {
  if (err) *err = std::string(what) + ": reply of " + std::to_string(got) + " bytes, need " + std::to_string(need);
  return -1;
}

}  // namespace

Sense ParseSense(const uint8_t* sb, size_t written) {
  Sense s;
  if (sb == nullptr || written < 1) return s;
  uint8_t code = sb[0] & 0x7F;
  if ((code == 0x70 || code == 0x71) && written >= 3) {
    s.present = true;
    s.key = sb[2] & 0x0F;
    if (written >= 13) s.asc = sb[12];
    if (written >= 14) s.ascq = sb[13];
  } else if ((code == 0x72 || code == 0x73) && written >= 2) {
    s.present = true;
    s.key = sb[1] & 0x0F;
    if (written >= 3) s.asc = sb[2];
    if (written >= 4) s.ascq = sb[3];
  }
  return s;
}

int LongWriteAllowanceMs(bool is_write, uint32_t speed) {
  // Writes get more time than other commands; an unknown speed gets the
  // allowance of the slowest (1x DVD, 1385 kB/s).
  uint32_t sp = speed == 0 ? 1385 : speed;
  uint64_t ms = (is_write ? 300000000ull : 180000000ull) / sp;
  return static_cast<int>(std::min<uint64_t>(ms, 600000));
}

Decision Decide(const Sense& s, const SendState& st) {
  Decision d;
  if (!s.present || s.key == 0) return d;
  const bool again = st.resends < kMaxResends;
  auto resend = [&](int delay_ms) {
    Decision r;
    r.kind = Decision::Resend;
    r.delay_ms = delay_ms;
    return r;
  };
  auto wait = [&](int tries, int ms) {
    Decision r;
    r.kind = Decision::WaitResend;
    r.wait_tries = tries;
    r.wait_ms = ms;
    return r;
  };
  auto done = [&](int ret, const char* msg = nullptr) {
    Decision r;
    r.ret = ret;
    r.message = msg;
    return r;
  };
  // A disc the drive cannot read at all.
  if (s.asc == 0x30 || (s.asc == 0x06 && s.ascq == 0))
    return done(-EBADF, "Disc type      : Bad disk or Disk may be upside down!");
  switch (s.key) {
    case 1:  // recovered: the command was carried out; resending would write twice
      return done(0);
    case 2:
      if (s.asc == 0x3A) return done(-ENOEXEC, "Disc type      : No disk!");
      if (s.asc == 0x04) {
        switch (s.ascq) {
          case 0x01: case 0x05: case 0x06: case 0x07: case 0x09:
            if (st.abort) return done(-EIO);
            return st.resends < 300 ? resend(1000) : done(-EIO);
          case 0x08:
            return again ? wait(1, LongWriteAllowanceMs(st.is_write, st.write_speed)) : done(-EIO);
          case 0x04:
            return done(-1);
          default:
            break;
        }
      }
      // Other causes: harmless for a query, but a write not carried out
      // must not count as done.
      if (st.is_write) return again ? resend(1000) : done(-EIO);
      return done(0);
    case 3:
      if ((s.asc == 0x02 || s.asc == 0x0C) && s.ascq == 0) return again ? wait(5, 0) : done(-EIO);
      if (s.asc == 0x11 || s.asc == 0x0C) return done(-ENXIO);
      return done(-1);
    case 4:
      if (s.asc == 0x08) return again ? wait(3, 0) : done(-E2BIG);
      return done(-1);
    case 5:
      return done(-1, "05/-/-: illegal request!");
    case 6:
      if (s.asc == 0x28 && (s.ascq == 0 || s.ascq == 2)) {
        if (st.is_write) return again ? resend(0) : done(-EIO);
        return done(0, "Please check you disk if media ready");
      }
      return again ? resend(0) : done(-1);
    default:
      return done(-1);
  }
}

int ParseInquiry(const uint8_t* d, size_t len, Inquiry36* out, std::string* err) {
  if (d == nullptr || len < 36) return Short(err, "INQUIRY", len, 36);
  out->vendor = Field(d + 8, 8);
  out->product = Field(d + 16, 16);
  out->revision = Field(d + 32, 4);
  return 0;
}

int ModelCode(const Inquiry36& inq) {
  static const struct {
    const char* vendor;
    const char* product;
    int code;
  } kModels[] = {
      {"ASUS", "DRW-24D1ST", 1},          {"ASUS", "BW-16D1HT", 2},
      {"ASUS", "BW-12B1ST", 3},           {"PIONEER", "", 5},
      {"TSSTcorp", "CDDVDW SH-224BB", 6}, {"TSSTcorp", "CDDVDW SH-224DB", 7},
      {"TSSTcorp", "CDDVDW SE-208DB", 8}, {"TSSTcorp", "CDDVDW SE-208AB", 9},
      {"TSSTcorp", "SE-S084", 10},        {"SONY", "DVD RW AD-7280S", 11},
      {"MATSHITA", "DVD-RAM UJ8D1", 13},  {"MATSHITA", "DVD-RAM UJ8E0", 14},
      {"MATSHITA", "DVD-RAM UJ8E1", 15},  {"Optiarc", "DVD RW AD-7710H", 16},
      {"SONY", "DVD RW DRU-840A", 17},    {"BENQ", "SDVD LD2000", 18},
      {"TSSTcorp", "CDDVDW SH-224FB", 19},
  };
  int code = 0;
  for (const auto& m : kModels)
    if (inq.vendor.find(m.vendor) != std::string::npos && inq.product.find(m.product) != std::string::npos)
      code = m.code;
  return code;
}

int ParseCurrentProfile(const uint8_t* d, size_t len, int* profile, std::string* err) {
  if (d == nullptr || len < 8) return Short(err, "GET CONFIGURATION", len, 8);
  *profile = Be16(d + 6);
  return 0;
}

int ParseDiscInfo(const uint8_t* d, size_t len, DiscInfo* out, std::string* err) {
  if (d == nullptr || len < 12) return Short(err, "READ DISC INFORMATION", len, 12);
  if (Be16(d) + 2u < 12) return Short(err, "READ DISC INFORMATION (stated)", Be16(d) + 2u, 12);
  out->status = d[2] & 3;
  out->last_session_state = (d[2] >> 2) & 3;
  out->erasable = (d[2] & 0x10) != 0;
  out->sessions = uint16_t(d[9] << 8 | d[4]);
  out->first_track_last_session = uint16_t(d[10] << 8 | d[5]);
  out->last_track_last_session = uint16_t(d[11] << 8 | d[6]);
  return 0;
}

int ParseTrackInfo(const uint8_t* d, size_t len, TrackInfo* out, std::string* err) {
  if (d == nullptr || len < 28) return Short(err, "READ TRACK INFORMATION", len, 28);
  if (Be16(d) + 2u < 28) return Short(err, "READ TRACK INFORMATION (stated)", Be16(d) + 2u, 28);
  out->track = uint16_t((len >= 33 ? d[32] << 8 : 0) | d[2]);
  out->session = uint16_t((len >= 34 ? d[33] << 8 : 0) | d[3]);
  out->reserved = (d[6] & 0x80) != 0;
  out->blank = (d[6] & 0x40) != 0;
  out->nwa_valid = (d[7] & 0x01) != 0;
  out->start = Be32(d + 8);
  out->nwa = Be32(d + 12);
  out->free_blocks = Be32(d + 16);
  out->size = Be32(d + 24);
  return 0;
}

int ParseWriteSpeeds(const uint8_t* d, size_t len, std::vector<uint32_t>* out, std::string* err) {
  out->clear();
  if (d == nullptr || len < 8) return Short(err, "GET PERFORMANCE", len, 8);
  size_t stated = size_t{Be32(d)} + 4;
  size_t end = std::min(stated, len);
  for (size_t off = 8; off + 16 <= end; off += 16) {
    uint32_t w = Be32(d + off + 12);
    if (w != 0 && std::find(out->begin(), out->end(), w) == out->end()) out->push_back(w);
  }
  if (out->empty()) {
    if (err) *err = "GET PERFORMANCE: no write speeds";
    return -1;
  }
  return 0;
}

int ParseFormatCapacities(const uint8_t* d, size_t len, uint8_t* state, std::vector<FormatDesc>* out,
                          std::string* err) {
  out->clear();
  if (d == nullptr || len < 12) return Short(err, "READ FORMAT CAPACITIES", len, 12);
  size_t list = d[3];
  if (list < 8 || list % 8 != 0) {
    if (err) *err = "READ FORMAT CAPACITIES: list length " + std::to_string(list);
    return -1;
  }
  size_t end = std::min(list + 4, len);
  *state = d[8] & 3;
  for (size_t off = 12; off + 8 <= end; off += 8)
    out->push_back({Be32(d + off), uint8_t(d[off + 4] >> 2),
                    uint32_t(d[off + 5]) << 16 | uint32_t(d[off + 6]) << 8 | d[off + 7]});
  return 0;
}

const char* ProfileName(int profile) {
  switch (profile) {
    case 0x08: return "CD-ROM";
    case 0x09: return "CD-R";
    case 0x0A: return "CD-RW";
    case 0x10: return "DVD-ROM";
    case 0x11: return "DVD-R Sequential";
    case 0x12: return "DVD-RAM";
    case 0x13: return "DVD-RW Restricted Overwrite";
    case 0x14: return "DVD-RW Sequential";
    case 0x15: return "DVD-R Dual Layer Sequential";
    case 0x1A: return "DVD+RW";
    case 0x1B: return "DVD+R";
    case 0x2A: return "DVD+RW Dual Layer";
    case 0x2B: return "DVD+R Dual Layer";
    case 0x40: return "BD-ROM";
    case 0x41: return "BD-R SRM";
    case 0x42: return "BD-R RRM";
    case 0x43: return "BD-RE";
    case 0x51: return "HD DVD-R";
    default: return "Unknown";
  }
}

int ParseDvdPhysical(const uint8_t* d, size_t len, DvdPhysical* out, std::string* err) {
  if (d == nullptr || len < 4 + 17) return Short(err, "READ DISC STRUCTURE 00h", len, 21);
  if (Be16(d) + 2u < 4 + 17) return Short(err, "READ DISC STRUCTURE 00h (stated)", Be16(d) + 2u, 21);
  out->book = d[4] >> 4;
  out->part = d[4] & 0x0F;
  out->layers = uint8_t(((d[6] >> 5) & 3) + 1);
  return 0;
}

const char* BookTypeName(uint8_t book) {
  switch (book) {
    case 0x0: return "DVD-ROM";
    case 0x1: return "DVD-RAM";
    case 0x2: return "DVD-R";
    case 0x3: return "DVD-RW";
    case 0x4: return "HD DVD-ROM";
    case 0x5: return "HD DVD-RAM";
    case 0x6: return "HD DVD-R";
    case 0x9: return "DVD+RW";
    case 0xA: return "DVD+R";
    case 0xD: return "DVD+RW/DL";
    case 0xE: return "DVD+R/DL";
    default: return "Unknown";
  }
}

int ParseBdDiscInfo(const uint8_t* d, size_t len, std::string* type, std::string* err) {
  if (d == nullptr || len < 4 + 11) return Short(err, "READ DISC STRUCTURE BD 00h", len, 15);
  if (d[4] != 'D' || d[5] != 'I') {
    if (err) *err = "READ DISC STRUCTURE BD 00h: no disc information unit";
    return -1;
  }
  *type = Field(d + 12, 3);
  return 0;
}

int FindModePage(const uint8_t* d, size_t len, uint8_t page, std::vector<uint8_t>* out, std::string* err) {
  if (d == nullptr || len < 8 + 2) return Short(err, "MODE SENSE", len, 10);
  size_t stated = std::min<size_t>(Be16(d) + 2u, len);
  size_t at = 8 + Be16(d + 6);  // past the block descriptors
  if (at + 2 > stated || (d[at] & 0x3F) != page) {
    if (err) *err = "MODE SENSE: page " + std::to_string(page) + " not in the reply";
    return -1;
  }
  size_t n = std::min<size_t>(d[at + 1] + 2u, stated - at);
  out->assign(d + at, d + at + n);
  return 0;
}

std::vector<uint8_t> ModeSelectList(const std::vector<uint8_t>& page) {
  std::vector<uint8_t> l(8 + page.size(), 0);
  for (size_t i = 0; i < page.size(); ++i) l[8 + i] = page[i];
  if (l.size() > 8) l[8] &= 0x3F;  // the PS bit is reserved in MODE SELECT
  return l;
}

std::vector<uint8_t> StreamingDescriptor(uint32_t end_lba, uint32_t write_kbs) {
  std::vector<uint8_t> d(28, 0);
  auto put = [&](size_t at, uint32_t v) {
    d[at] = uint8_t(v >> 24), d[at + 1] = uint8_t(v >> 16), d[at + 2] = uint8_t(v >> 8), d[at + 3] = uint8_t(v);
  };
  put(8, end_lba);
  put(12, write_kbs);  // read size, kB
  put(16, 1000);       // read time, ms
  put(20, write_kbs);  // write size, kB
  put(24, 1000);       // write time, ms
  return d;
}

}  // namespace mmc
