// Parsers of what the kernel and the disks hand us: sysfs values, link
// targets, identify data and event messages.  Each rejects what it does
// not understand instead of guessing.

#include <cctype>
#include <cstring>

#include "storage/storage.h"

namespace hd {

namespace {

bool parse_uint(std::string_view s, uint64_t limit, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (limit - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

bool all_of(std::string_view s, int (*pred)(int)) {
  for (unsigned char c : s)
    if (!pred(c)) return false;
  return true;
}

// Printable ASCII with blanks trimmed at both ends; stops at a NUL.
std::string clean_text(const char* p, std::size_t len) {
  std::string s;
  for (std::size_t i = 0; i < len && p[i]; ++i) s += (p[i] > ' ' && p[i] < 0x7f) ? p[i] : ' ';
  std::size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

}  // namespace

bool ParseScsiAddr(std::string_view text, ScsiAddr* out) {
  int* f[4] = {&out->host, &out->channel, &out->target, &out->lun};
  ScsiAddr tmp;
  int* t[4] = {&tmp.host, &tmp.channel, &tmp.target, &tmp.lun};
  for (int i = 0; i < 4; ++i) {
    std::size_t colon = i < 3 ? text.find(':') : text.size();
    if (colon == std::string_view::npos) return false;
    uint64_t v;
    if (!parse_uint(text.substr(0, colon), 0x7fffffff, &v)) return false;
    *t[i] = static_cast<int>(v);
    text.remove_prefix(i < 3 ? colon + 1 : colon);
  }
  for (int i = 0; i < 4; ++i) *f[i] = *t[i];
  return true;
}

bool FindScsiAddr(std::string_view link, ScsiAddr* out) {
  bool found = false;
  while (!link.empty()) {
    std::size_t slash = link.find('/');
    std::string_view part = link.substr(0, slash);
    ScsiAddr a;
    if (ParseScsiAddr(part, &a)) {
      *out = a;
      found = true;
    }
    if (slash == std::string_view::npos) break;
    link.remove_prefix(slash + 1);
  }
  return found;
}

bool ParseSysU64(std::string_view text, uint64_t* out) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return parse_uint(text, UINT64_MAX, out);
}

bool ParseUsbPosition(std::string_view link, int* bus, int* port, int* subport) {
  std::size_t at = link.find("/usb");
  if (at == std::string_view::npos) return false;
  // /usbN/ROOT-HUBPORT/BUS-PORT.SUB/... or /usbN/ROOT-HUBPORT/BUS-PORT:CFG.IF/...
  std::string_view rest = link.substr(at + 1);
  std::size_t s1 = rest.find('/');
  if (s1 == std::string_view::npos) return false;
  rest.remove_prefix(s1 + 1);
  std::size_t s2 = rest.find('/');
  if (s2 == std::string_view::npos) return false;
  rest.remove_prefix(s2 + 1);
  std::string_view comp = rest.substr(0, rest.find('/'));
  std::size_t dash = comp.find('-');
  if (dash == std::string_view::npos) return false;
  std::size_t sep = comp.find_first_of(".:", dash);
  if (sep == std::string_view::npos) return false;
  std::size_t end = comp.find_first_of(".:/", sep + 1);
  uint64_t b, p, s;
  if (!parse_uint(comp.substr(0, dash), 0xffff, &b) || !parse_uint(comp.substr(dash + 1, sep - dash - 1), 0xffff, &p) ||
      !parse_uint(comp.substr(sep + 1, end == std::string_view::npos ? std::string_view::npos : end - sep - 1), 0xffff,
                  &s))
    return false;
  *bus = static_cast<int>(b);
  *port = static_cast<int>(p);
  *subport = static_cast<int>(s);
  return true;
}

bool ValidBlockName(std::string_view n) {
  if (n.size() < 3 || n.size() > 16) return false;
  auto tail = [&](std::size_t k) { return n.substr(k); };
  if (n.starts_with("sd")) return all_of(tail(2), [](int c) { return islower(c); });
  if (n.starts_with("sr")) return all_of(tail(2), [](int c) { return isdigit(c); });
  if (n.starts_with("mmcblk")) return n.size() > 6 && all_of(tail(6), [](int c) { return isdigit(c); });
  if (n.starts_with("md")) return all_of(tail(2), [](int c) { return isdigit(c); });
  if (n.starts_with("nvme")) return n.size() > 4 && all_of(tail(4), [](int c) { return isalnum(c); });
  return false;
}

bool ParseNvmeWwid(std::string_view text, std::string* out) {
  size_t at = text.find("eui.");
  if (at == std::string_view::npos) return false;
  text.remove_prefix(at + 4);
  std::string s = clean_text(text.data(), std::min<std::size_t>(text.size(), 63));
  if (s.empty() || s.find(' ') != std::string::npos) return false;
  *out = s;
  return true;
}

bool AtaSerial(const uint8_t* id, std::size_t len, std::string* out) {
  if (!id || len < 40) return false;
  char s[20];
  for (int i = 0; i < 10; ++i) {  // words 10-19, each word's bytes swapped
    s[2 * i] = static_cast<char>(id[20 + 2 * i + 1]);
    s[2 * i + 1] = static_cast<char>(id[20 + 2 * i]);
  }
  *out = clean_text(s, sizeof s);
  return !out->empty();
}

bool InquirySerial(const uint8_t* page, std::size_t len, std::string* out) {
  if (!page || len < 4 || page[1] != 0x80) return false;
  std::size_t n = page[3];
  if (n > len - 4) n = len - 4;
  *out = clean_text(reinterpret_cast<const char*>(page + 4), n);
  if (out->size() > 63) out->resize(63);
  return !out->empty();
}

int HotplugBurst::Feed(std::string_view raw) {
  std::string_view msg = raw.substr(0, raw.find('\0'));  // the header alone, terminated
  bool block_sd = msg.find("block/sd") != std::string_view::npos;
  if (block_sd && !msg.empty() && isdigit(static_cast<unsigned char>(msg.back()))) return 1;
  bool change = msg.find("change") != std::string_view::npos;
  if ((msg.find("scsi_device") != std::string_view::npos || block_sd) && !change) ++scsi_;
  if (msg.find("block/mmc") != std::string_view::npos && msg.find("mount") == std::string_view::npos) ++mmc_;
  quiet_ = 0;
  return 0;
}

int HotplugBurst::Quiet(std::string* line) {
  line->clear();
  int bits = 0;
  // A lone message is not lost: only a quiet without any event gives nothing.
  if (scsi_ % 2 == 1) {
    if (++quiet_ >= kMaxQuiet) {
      bits |= 1;
      *line = "scsi disk hotplug with some hotplug messege timeout...\n";
    } else {
      *line = "waiting for rest hotplug messege...\n";
    }
  } else if (scsi_ >= 2) {
    bits |= 1;
    *line = "scsi disk hotplug...\n";
  }
  if (mmc_ > 0 && (scsi_ % 2 == 0 || bits)) {
    bits |= 2;
    *line += "mmc device hotplug...\n";
  }
  if (bits) Reset();
  return bits;
}

}  // namespace hd
