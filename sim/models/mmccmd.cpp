// Simulated optical drives: the MMC commands a recorder answers over
// SG_IO (see mmcdrive.h).  Replies use the MMC layouts; every allocation
// length is honoured and every parameter list checked for its size.

#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "osa/osa.h"
#include "sim/flock.h"
#include "sim/models/mmcdrive.h"
#include "sim/sim.h"

namespace sim {

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | Be16(p + 2); }
void Put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void Put32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), Put16(p + 2, v); }

MmcReply Sense(uint8_t key, uint8_t asc, uint8_t ascq) { return {key, asc, ascq, 0}; }

bool Erasable(int profile) {
  return profile == 0x0A || profile == 0x13 || profile == 0x14 || profile == 0x1A || profile == 0x2A ||
         profile == 0x43;
}

uint32_t LastSession(const DiscState& s) {
  uint32_t n = 1;
  for (auto& t : s.tracks) n = std::max(n, t.session);
  return n;
}

DiscTrack* FindTrack(DiscState* s, uint32_t number) {
  for (auto& t : s->tracks)
    if (t.number == number) return &t;
  return nullptr;
}

// The open (invisible) track at the end of a sequential disc.
DiscTrack* Invisible(DiscState* s) {
  DiscTrack& t = s->tracks.back();
  return !t.closed && !t.reserved ? &t : nullptr;
}

uint32_t TrackEnd(const DiscState& s, const DiscTrack& t) {
  return t.reserved || t.closed ? t.start + t.size : s.blocks;
}

bool Written(const DiscState& s) {
  for (auto& t : s.tracks)
    if (t.nwa > t.start || t.reserved || t.closed) return true;
  return s.highest > 0;
}

// Copies `reply` into the caller's buffer within its allocation length.
MmcReply Give(const Bytes& reply, uint8_t* data, uint32_t len, uint32_t alloc) {
  MmcReply r;
  r.moved = std::min<uint32_t>({static_cast<uint32_t>(reply.size()), len, alloc});
  if (data && r.moved) std::memcpy(data, reply.data(), r.moved);
  return r;
}

Bytes DiscInfo(const DiscState& s) {
  Bytes d(34, 0);
  Put16(d.data(), 32);
  int status = s.status;
  int session_state = 0;
  if (Sequential(s.profile)) {
    if (status != 2) status = Written(s) ? 1 : 0;
    bool used = false;  // the last session holds something
    for (auto& t : s.tracks)
      if (t.session == LastSession(s)) used |= t.nwa > t.start || t.reserved || t.closed;
    session_state = status == 2 ? 3 : used ? 1 : 0;
  } else {
    status = s.highest > 0 ? 2 : 0;
    session_state = status == 2 ? 3 : 0;
  }
  d[2] = uint8_t((Erasable(s.profile) ? 0x10 : 0) | session_state << 2 | status);
  d[3] = 1;
  uint32_t last = LastSession(s);
  uint32_t first_t = 0xFFFF, last_t = 0;
  for (auto& t : s.tracks)
    if (t.session == last) first_t = std::min(first_t, t.number), last_t = std::max(last_t, t.number);
  d[4] = uint8_t(last), d[9] = uint8_t(last >> 8);
  d[5] = uint8_t(first_t), d[10] = uint8_t(first_t >> 8);
  d[6] = uint8_t(last_t), d[11] = uint8_t(last_t >> 8);
  d[7] = 0x20;  // unrestricted use
  Put32(d.data() + 20, s.blocks);
  return d;
}

Bytes TrackInfo(const DiscState& s, const DiscTrack& t) {
  Bytes d(48, 0);
  Put16(d.data(), 46);
  d[2] = uint8_t(t.number), d[32] = uint8_t(t.number >> 8);
  d[3] = uint8_t(t.session), d[33] = uint8_t(t.session >> 8);
  d[5] = 0x04;
  bool open = !t.closed && Sequential(s.profile);
  d[6] = uint8_t((t.reserved && !t.closed ? 0x80 : 0) | (t.nwa == t.start && !t.closed && open ? 0x40 : 0) | 1);
  d[7] = uint8_t((open ? 0x01 : 0) | (t.nwa > t.start ? 0x02 : 0));
  uint32_t end = Sequential(s.profile) ? TrackEnd(s, t) : s.blocks;
  Put32(d.data() + 8, t.start);
  Put32(d.data() + 12, open ? t.nwa : 0);
  Put32(d.data() + 16, open ? end - t.nwa : 0);
  Put32(d.data() + 20, 16);
  Put32(d.data() + 24, end - t.start);
  Put32(d.data() + 28, t.nwa > t.start ? t.nwa - 1 : 0);
  return d;
}

Bytes Configuration(const DriveSpec& dv, const DiscState& s, uint8_t rt, uint16_t start) {
  Bytes d(8, 0);
  Put16(d.data() + 6, s.profile == 0 || s.tray_open ? 0 : uint16_t(s.profile));
  auto want = [&](uint16_t code) { return rt == 2 ? code == start : code >= start; };
  if (want(0x0000) && rt != 1) {
    static const uint16_t kProfiles[] = {0x43, 0x41, 0x2B, 0x1B, 0x1A, 0x14, 0x13, 0x11, 0x10, 0x0A, 0x09, 0x08};
    size_t at = d.size();
    d.resize(at + 4 + 4 * std::size(kProfiles), 0);
    d[at + 2] = 0x03;
    d[at + 3] = uint8_t(4 * std::size(kProfiles));
    for (size_t i = 0; i < std::size(kProfiles); ++i) {
      Put16(d.data() + at + 4 + 4 * i, kProfiles[i]);
      d[at + 6 + 4 * i] = kProfiles[i] == s.profile ? 1 : 0;
    }
  }
  if (want(0x0108)) {
    size_t len = (dv.serial.size() + 3) & ~size_t{3};
    size_t at = d.size();
    d.resize(at + 4 + len, ' ');
    Put16(d.data() + at, 0x0108);
    d[at + 2] = 0x03;
    d[at + 3] = uint8_t(len);
    std::memcpy(d.data() + at + 4, dv.serial.data(), dv.serial.size());
  }
  Put32(d.data(), static_cast<uint32_t>(d.size() - 4));
  return d;
}

Bytes ModePage(const DiscState& s, uint8_t page, bool* ok) {
  Bytes d(8, 0);
  *ok = true;
  if (page == 0x2A) {
    Bytes p(30, 0);
    p[0] = 0x2A, p[1] = 28;
    p[2] = 0x3F, p[3] = 0x37;  // reads and writes CD-R/RW, DVD-R/RAM
    p[6] = 0x29;               // lock, eject, tray
    Put16(p.data() + 12, 2048);  // buffer size, KB
    Put16(p.data() + 28, s.write_speed);
    d.insert(d.end(), p.begin(), p.end());
  } else if (page == 0x05) {
    Bytes p = s.page05;
    if (p.size() < 52) {
      p.assign(52, 0);
      p[0] = 0x05, p[1] = 0x32;
      p[2] = 0x01;  // track at once
      p[3] = 0xC5;  // multi-session, data track
      p[4] = 0x08;  // mode 1
      Put32(p.data() + 10, 16);
    }
    d.insert(d.end(), p.begin(), p.end());
  } else {
    *ok = false;
  }
  Put16(d.data(), static_cast<uint32_t>(d.size() - 2));
  return d;
}

Bytes FormatCapacities(const DiscState& s) {
  Bytes d(12, 0);
  Put32(d.data() + 4, s.blocks);
  d[8] = Sequential(s.profile) ? 0x02 : s.formatted ? 0x02 : 0x01;
  Put16(d.data() + 10, 2048);
  auto add = [&](uint32_t blocks, uint8_t type, uint32_t param) {
    size_t at = d.size();
    d.resize(at + 8, 0);
    Put32(d.data() + at, blocks);
    d[at + 4] = uint8_t(type << 2);
    d[at + 5] = uint8_t(param >> 16), d[at + 6] = uint8_t(param >> 8), d[at + 7] = uint8_t(param);
  };
  switch (s.profile) {
    case 0x13: case 0x14:
      add(s.blocks, 0x00, 16), add(s.blocks, 0x15, 16), add(s.blocks, 0x26, 0);
      if (s.profile == 0x13) add(s.blocks, 0x13, 16);
      break;
    case 0x1A: add(s.blocks, 0x26, 0); break;
    case 0x43:
      add(s.blocks - 65536, 0x00, 0), add(s.blocks - 65536, 0x30, 65536), add(s.blocks, 0x31, 0);
      break;
    default: break;
  }
  d[3] = uint8_t(d.size() - 4);
  return d;
}

Bytes DiscStructure(const DiscState& s, uint8_t media, uint8_t format, bool* ok) {
  *ok = true;
  bool bd = s.profile >= 0x40 && s.profile <= 0x43;
  Bytes d;
  if (media == 1 && bd && format == 0x00) {
    d.assign(4 + 112, 0);
    d[4] = 'D', d[5] = 'I', d[6] = 1, d[8] = 0x01;
    std::memcpy(d.data() + 12, s.profile == 0x43 ? "BDW" : "BDR", 3);
  } else if (media == 0 && !bd && format == 0x00) {
    d.assign(4 + 2048, 0);
    uint8_t book = 0;
    switch (s.profile) {
      case 0x11: book = 0x2; break;
      case 0x13: case 0x14: book = 0x3; break;
      case 0x1A: book = 0x9; break;
      case 0x1B: book = 0xA; break;
      case 0x2B: book = 0xE; break;
      case 0x51: book = 0x6; break;
      default: book = 0x0; break;
    }
    d[4] = uint8_t(book << 4 | 1);
    d[5] = 0x02;
    d[6] = s.profile == 0x2B ? 0x21 : 0x01;
    Put32(d.data() + 8, 0x30000);
    Put32(d.data() + 12, 0x30000 + s.blocks - 1);
  } else if (media == 0 && format == 0x0E && (s.profile == 0x11 || s.profile == 0x13 || s.profile == 0x14)) {
    d.assign(4 + 28, 0);
    d[4] = 1;  // field id
  } else if (media == 0 && format == 0x11 && (s.profile == 0x1A || s.profile == 0x1B || s.profile == 0x2B)) {
    d.assign(4 + 256, 0);
    std::memcpy(d.data() + 4 + 19, "SIMDISC", 7);
  } else {
    *ok = false;
    return d;
  }
  Put16(d.data(), static_cast<uint32_t>(d.size() - 2));
  return d;
}

Bytes Performance(const DiscState& s) {
  Bytes d(8, 0);
  for (uint32_t w : s.speeds) {
    size_t at = d.size();
    d.resize(at + 16, 0);
    Put32(d.data() + at + 4, s.blocks ? s.blocks - 1 : 0);
    Put32(d.data() + at + 8, w);
    Put32(d.data() + at + 12, w);
  }
  Put32(d.data(), static_cast<uint32_t>(d.size() - 4));
  return d;
}

MmcReply Write(DiscState* s, int img, const uint8_t* c, const uint8_t* data, uint32_t len) {
  uint32_t lba = Be32(c + 2), count = Be16(c + 7);
  ++s->writes;
  if (s->fail_write && s->writes >= s->fail_write) return Sense(3, 0x0C, 0x00);
  if (len < count * 2048u || data == nullptr) return Sense(5, 0x24, 0x00);
  if (lba > s->blocks || count > s->blocks - lba) return Sense(5, 0x21, 0x00);
  if (s->profile == 0x43 && !s->formatted) return Sense(3, 0x31, 0x00);
  if (Sequential(s->profile)) {
    DiscTrack* t = nullptr;
    for (auto& x : s->tracks)
      if (!x.closed && lba >= x.start && lba < TrackEnd(*s, x)) t = &x;
    if (!t || lba != t->nwa || count > TrackEnd(*s, *t) - lba) return Sense(5, 0x21, 0x02);
    t->nwa += count;
  }
  if (::pwrite(img, data, size_t{count} * 2048, off_t(lba) * 2048) != ssize_t(size_t{count} * 2048))
    return Sense(3, 0x0C, 0x00);
  s->highest = std::max(s->highest, lba + count);
  MmcReply r;
  r.moved = count * 2048;
  if (s->recovered_write && s->writes == s->recovered_write) r.key = 1, r.asc = 0x17, r.ascq = 0x01;
  return r;
}

MmcReply Close(DiscState* s, const uint8_t* c) {
  uint8_t fn = c[2] & 7;
  if (c[1] & 1) s->busy = 1, s->busy_ascq = 0x08;
  if (!Sequential(s->profile)) return {};
  if (s->status == 2) return Sense(5, 0x2C, 0x00);
  if (fn == 1) {
    DiscTrack* t = FindTrack(s, Be16(c + 4));
    if (!t || t->closed) return Sense(5, 0x24, 0x00);
    if (!t->reserved) {
      if (t->nwa == t->start) return Sense(5, 0x2C, 0x00);
      t->size = t->nwa - t->start;
      t->closed = true;
      s->tracks.push_back({t->number + 1, t->session, t->start + t->size, 0, t->start + t->size, false, false});
    } else {
      t->closed = true;
    }
    return {};
  }
  if (fn == 2 || fn == 3 || fn == 5 || fn == 6) {
    bool multi = s->page05.size() < 4 || (s->page05[3] & 0xC0) != 0;
    bool finalize = fn == 5 || fn == 6 || (fn == 2 && !multi && s->profile != 0x1B && s->profile != 0x2B);
    bool used = false;  // an empty session can only be closed for good
    for (auto& t : s->tracks)
      if (t.session == LastSession(*s)) used |= t.nwa > t.start || t.reserved || t.closed;
    if (!used && !finalize) return Sense(5, 0x2C, 0x00);
    for (auto& t : s->tracks)
      if (t.session == LastSession(*s) && t.reserved && !t.closed) t.closed = true;
    if (DiscTrack* inv = Invisible(s)) {
      if (inv->nwa != inv->start) {
        inv->size = inv->nwa - inv->start;
        inv->closed = true;
      } else if (s->tracks.size() > 1) {
        s->tracks.pop_back();  // an empty track is not recorded
      }
    }
    if (finalize) {
      s->status = 2;
      return {};
    }
    const DiscTrack last = s->tracks.back();
    uint32_t next = last.start + last.size;
    s->tracks.push_back({last.number + 1, last.session + 1, next, 0, next, false, false});
    return {};
  }
  return {};  // 0: stop background formatting and the like
}

MmcReply Reserve(DiscState* s, const uint8_t* c) {
  uint32_t blocks = Be32(c + 5);
  DiscTrack* t = Sequential(s->profile) ? Invisible(s) : nullptr;
  if (!t || t->nwa != t->start || blocks == 0 || blocks > s->blocks - t->start) return Sense(5, 0x2C, 0x00);
  t->reserved = true;
  t->size = blocks;
  s->tracks.push_back({t->number + 1, t->session, t->start + blocks, 0, t->start + blocks, false, false});
  return {};
}

MmcReply Format(DiscState* s, const uint8_t* data, uint32_t len, int img) {
  if (len < 12 || data == nullptr) return Sense(5, 0x1A, 0x00);
  uint8_t type = data[8] >> 2;
  bool ok = (s->profile == 0x43 && (type == 0x00 || type == 0x30 || type == 0x31)) ||
            (s->profile == 0x1A && type == 0x26) ||
            ((s->profile == 0x13 || s->profile == 0x14) && (type == 0x00 || type == 0x15 || type == 0x26 || type == 0x13));
  if (!ok) return Sense(5, 0x26, 0x00);
  // A format other than growing starts the disc afresh.
  if (type != 0x13) {
    if (ftruncate(img, 0) != 0) return Sense(3, 0x31, 0x00);
    s->highest = 0;
  }
  if (s->profile == 0x14) s->profile = 0x13;
  s->formatted = true;
  s->tracks = {DiscTrack{}};
  s->status = 0;
  if (data[1] & 0x02) s->busy = 1, s->busy_ascq = 0x04;
  return {};
}

MmcReply Blank(DiscState* s, const uint8_t* c, int img) {
  if (s->profile != 0x0A && s->profile != 0x13 && s->profile != 0x14) return Sense(5, 0x24, 0x00);
  if (ftruncate(img, 0) != 0) return Sense(3, 0x31, 0x00);
  if (s->profile == 0x13) s->profile = 0x14;
  s->tracks = {DiscTrack{}};
  s->status = 0;
  s->highest = 0;
  s->formatted = false;
  if (c[1] & 0x10) s->busy = 1, s->busy_ascq = 0x08;
  return {};
}

}  // namespace

MmcReply RunMmc(const DriveSpec& dv, DiscState* s, int img, const uint8_t* c, uint8_t* data, uint32_t len) {
  const uint8_t op = c[0];
  switch (op) {
    case 0x12: {  // INQUIRY: always answers
      Bytes d(36, ' ');
      d[0] = 0x05, d[1] = 0x80, d[2] = 0x05, d[3] = 0x32, d[4] = 31, d[5] = d[6] = d[7] = 0;
      auto field = [&](size_t at, size_t n, const std::string& t) { std::memcpy(d.data() + at, t.data(), std::min(n, t.size())); };
      field(8, 8, dv.vendor), field(16, 16, dv.product), field(32, 4, dv.revision);
      return Give(d, data, len, c[4]);
    }
    case 0x03: {  // REQUEST SENSE: nothing pending
      Bytes d(18, 0);
      d[0] = 0x70, d[7] = 10;
      return Give(d, data, len, c[4]);
    }
    case 0x1E: s->locked = (c[4] & 1) != 0; return {};
    case 0x5A: {
      bool ok;
      Bytes d = ModePage(*s, c[2] & 0x3F, &ok);
      return ok ? Give(d, data, len, Be16(c + 7)) : Sense(5, 0x24, 0x00);
    }
    case 0x55:
      if (len < 10 || data == nullptr) return Sense(5, 0x1A, 0x00);
      if ((data[8] & 0x3F) == 0x05) {
        size_t n = std::min<size_t>(data[9] + 2u, len - 8);
        s->page05.assign(data + 8, data + 8 + n);
      }
      return {};
    case 0x46: return Give(Configuration(dv, *s, c[1] & 3, Be16(c + 2)), data, len, Be16(c + 7));
    case 0x1B:
    case 0xA6: {  // START STOP / LOAD UNLOAD: eject (LoEj, no start) or load
      bool loej = (c[4] & 0x02) != 0, start = (c[4] & 0x01) != 0;
      if (loej && !start) {
        if (s->locked) return Sense(5, 0x53, 0x02);
        s->profile = 0, s->tray_open = true, s->changed = true;
      } else if (loej) {
        s->tray_open = false;
      }
      return {};
    }
    default: break;
  }
  if (s->profile == 0 || s->tray_open) return Sense(2, 0x3A, 0x00);
  if (s->attention > 0) return --s->attention, Sense(6, 0x28, 0x00);
  if (s->becoming > 0) return --s->becoming, Sense(2, 0x04, 0x01);
  if (s->bad) return Sense(2, 0x30, 0x00);
  if (s->busy > 0) return --s->busy, Sense(2, 0x04, uint8_t(s->busy_ascq));
  switch (op) {
    case 0x00: return {};
    case 0x25: {
      Bytes d(8, 0);
      uint32_t last = Sequential(s->profile) ? (s->highest ? s->highest - 1 : 0) : s->blocks - 1;
      Put32(d.data(), last);
      Put32(d.data() + 4, 2048);
      return Give(d, data, len, 8);
    }
    case 0x54: return {};
    case 0xBB: s->write_speed = Be16(c + 4); return {};
    case 0xB6:
      if (len < 28 || data == nullptr) return Sense(5, 0x1A, 0x00);
      if (uint32_t t = Be32(data + 24); t != 0) s->write_speed = static_cast<uint32_t>(uint64_t{Be32(data + 20)} * 1000 / t);
      return {};
    case 0x35:
      if (c[1] & 0x02) s->busy = 1, s->busy_ascq = 0x08;
      return {};
    case 0x51: return Give(DiscInfo(*s), data, len, Be16(c + 7));
    case 0x52: {
      uint32_t n = Be32(c + 2);
      if ((c[1] & 3) != 1) return Sense(5, 0x24, 0x00);
      DiscTrack* t = n == 0xFF ? &s->tracks.back() : FindTrack(s, n);
      if (!t) return Sense(5, 0x24, 0x00);
      return Give(TrackInfo(*s, *t), data, len, Be16(c + 7));
    }
    case 0x5B: return Close(s, c);
    case 0xA1: return Blank(s, c, img);
    case 0x04: return Format(s, data, len, img);
    case 0x23: return Give(FormatCapacities(*s), data, len, Be16(c + 7));
    case 0x53: case 0xE4: return Reserve(s, c);
    case 0x2A: return Write(s, img, c, data, len);
    case 0x28: {
      uint32_t lba = Be32(c + 2), count = Be16(c + 7);
      if (lba > s->blocks || count > s->blocks - lba) return Sense(5, 0x21, 0x00);
      Bytes d(size_t{count} * 2048, 0);
      if (::pread(img, d.data(), d.size(), off_t(lba) * 2048) < 0) return Sense(3, 0x11, 0x00);
      return Give(d, data, len, count * 2048);
    }
    case 0xAD: {
      bool ok;
      Bytes d = DiscStructure(*s, c[1] & 0x0F, c[7], &ok);
      return ok ? Give(d, data, len, Be16(c + 8)) : Sense(5, 0x24, 0x00);
    }
    case 0x5C: {
      Bytes d(12, 0);
      Put16(d.data(), 10);
      Put32(d.data() + 4, 2048 * 1024);
      Put32(d.data() + 8, 2048 * 1024);
      return Give(d, data, len, Be16(c + 7));
    }
    case 0xAC:
      if (c[10] != 0x03) return Sense(5, 0x24, 0x00);
      return Give(Performance(*s), data, len, Be16(c + 8) * 16u + 8u);
    default: return Sense(5, 0x20, 0x00);
  }
}

namespace {

class SgNode final : public Device {
 public:
  SgNode(const Board& b, DriveSpec d, int fd) : Device(fd), board_(b), d_(std::move(d)) {}

  int ioctl(unsigned long req, void* arg) override {
    if (req != SG_IO) return fail(ENOTTY);
    auto* io = static_cast<sg_io_hdr_t*>(arg);
    if (!io || io->interface_id != 'S' || !io->cmdp || io->cmd_len < 6 || io->cmd_len > 16) return fail(EINVAL);
    uint8_t cdb[16] = {};
    std::memcpy(cdb, io->cmdp, io->cmd_len);
    std::string state = board_.file(d_.sr.substr(1) + ".state");
    osa::UniqueFd lockfd(::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    FileLock lock(lockfd.get());
    DiscState s;
    std::string err;
    if (!LoadDisc(state, &s, &err)) return fail(EIO);
    osa::UniqueFd img(::open(board_.file(d_.sr.substr(1) + ".img").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    auto* data = static_cast<uint8_t*>(io->dxferp);
    uint32_t len = io->dxferp ? io->dxfer_len : 0;
    bool to_dev = io->dxfer_direction == SG_DXFER_TO_DEV;
    MmcReply r = RunMmc(d_, &s, img.get(), cdb, data, len);
    if (!SaveDisc(state, s)) return fail(EIO);
    io->status = io->host_status = io->driver_status = 0;
    io->masked_status = 0;
    io->sb_len_wr = 0;
    io->resid = static_cast<int>(len - std::min(len, to_dev ? len : r.moved));
    io->duration = 1;
    char hex[40] = {};
    for (int i = 0; i < io->cmd_len; ++i) std::snprintf(hex + 2 * i, 3, "%02x", cdb[i]);
    char line[96];
    if (r.key == 0) {
      std::snprintf(line, sizeof line, "mmc %s %s -> ok", d_.sg.c_str(), hex);
    } else {
      std::snprintf(line, sizeof line, "mmc %s %s -> %x/%02x/%02x", d_.sg.c_str(), hex, r.key, r.asc, r.ascq);
      uint8_t sb[18] = {0x70, 0, r.key, 0, 0, 0, 0, 10, 0, 0, 0, 0, r.asc, r.ascq, 0, 0, 0, 0};
      uint8_t n = std::min<uint8_t>(sizeof sb, io->mx_sb_len);
      if (io->sbp && n) std::memcpy(io->sbp, sb, n);
      io->sb_len_wr = io->sbp ? n : 0;
      io->status = 0x02;
      io->masked_status = 0x01;
      io->driver_status = 0x08;
    }
    board_.event(line);
    return 0;
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  const Board& board_;
  DriveSpec d_;
};

std::unique_ptr<Device> OpenSg(const Board& b, const std::string& path, int fd, int) {
  DriveSpec d;
  if (!FindDrive(b, path, &d)) {
    errno = ENXIO;
    return nullptr;
  }
  return std::make_unique<SgNode>(b, std::move(d), fd);
}

}  // namespace

const Model kMmcSgModel = {"mmc-sg", "/dev/sg*", OpenSg, nullptr};

}  // namespace sim
