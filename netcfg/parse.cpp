// Pure parsers and helpers of the library: configuration lines, member
// lists, the kernel's route table and interface list, names, addresses.

#include <arpa/inet.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "netcfg/internal.h"

namespace netcfg {

namespace {

// Lines are read in pieces of at most this many bytes, as a fixed line
// buffer would.  It is long enough for the longest line the store writes
// (a 254-character member list with its key), so a file we wrote always
// reads back whole.
constexpr size_t kLineBuf = 512;
constexpr size_t kMaxLines = 32;
constexpr size_t kMaxKept = 16;

constexpr const char* kKnownKeys[] = {
    "HOSTIP",    "SUBMASK",     "GATEWAYIP", "PRIO",       "WORKMODE",    "BONDED",       "BONDNAME",    "BONDMODE",
    "ROUTE",     "BONDPRIMARY", "MTU",       "ACTIVE_ETH", "DEFAULT_ETH", "BRIDGEEDED",   "BRIDGENAME",  "BONDMEMBERS",
    "bridgeprefix", "stp_state", "BRIDGES",  "SSIF",       "SSIF_EDGE",   "BRIDGEMEMBERS", "LACP",
};
static_assert(std::size(kKnownKeys) == 23);

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

// A line as C string functions see it: up to its first NUL.
std::string_view CText(std::string_view line) {
  size_t z = line.find('\0');
  return z == std::string_view::npos ? line : line.substr(0, z);
}

}  // namespace

bool ValidIfName(std::string_view name, bool alias) {
  if (name.empty() || name.size() >= static_cast<size_t>(kNetNameLen) || name == "." || name == "..") return false;
  size_t colon = name.find(':');
  if (colon != std::string_view::npos) {
    if (!alias || colon == 0 || colon + 1 == name.size()) return false;
    if (name.find(':', colon + 1) != std::string_view::npos) return false;
  }
  for (size_t i = 0; i < name.size(); ++i)
    if (i != colon && !NameChar(name[i])) return false;
  return true;
}

bool ParseIPv4(std::string_view text, uint32_t* addr) {
  if (text.empty() || text.size() > 15) return false;
  char buf[16];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = 0;
  in_addr a{};
  if (inet_pton(AF_INET, buf, &a) != 1) return false;
  if (addr) *addr = a.s_addr;
  return true;
}

std::string FormatIPv4(uint32_t addr) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

std::vector<ConfigLine> SplitConfigLines(std::string_view file) {
  std::vector<ConfigLine> lines;
  size_t pos = 0;
  while (pos < file.size() && lines.size() < kMaxLines) {
    size_t nl = file.find('\n', pos);
    size_t end = nl == std::string_view::npos ? file.size() : nl + 1;
    if (end - pos > kLineBuf - 1) end = pos + kLineBuf - 1;
    lines.push_back({std::string(file.substr(pos, end - pos))});
    pos = end;
  }
  return lines;
}

ValueStatus FindConfigValue(std::string_view file, std::string_view key, std::string* value, std::string* line) {
  if (key.empty()) return ValueStatus::Missing;
  for (auto& l : SplitConfigLines(file)) {
    std::string_view t = CText(l.text);
    if (!Contains(t, key)) continue;
    if (line) *line = std::string(t);
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) return ValueStatus::NoEquals;
    std::string_view v = t.substr(eq + 1);
    while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
    if (v.empty()) return ValueStatus::Empty;
    if (value) *value = std::string(v);
    return ValueStatus::Found;
  }
  return ValueStatus::Missing;
}

bool IsKnownKeyLine(std::string_view line) {
  std::string_view t = CText(line);
  for (const char* k : kKnownKeys)
    if (Contains(t, k)) return true;
  return false;
}

std::vector<std::string> KeptConfigLines(std::string_view file) {
  std::vector<std::string> kept;
  for (auto& l : SplitConfigLines(file)) {
    if (kept.size() >= kMaxKept) break;
    if (IsKnownKeyLine(l.text)) kept.push_back(std::string(CText(l.text)));
  }
  return kept;
}

std::vector<std::string> SplitMembers(std::string_view list, size_t max, std::vector<std::string>* bad) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= list.size() && out.size() < max) {
    size_t comma = list.find(',', pos);
    std::string_view item = list.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    if (!item.empty()) {
      if (ValidIfName(item)) out.emplace_back(item);
      else if (bad) bad->emplace_back(item);
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return out;
}

RouteTable ParseRouteTable(std::string_view text, size_t max) {
  RouteTable t;
  size_t pos = text.find('\n');  // the header line
  pos = pos == std::string_view::npos ? text.size() : pos + 1;
  while (pos < text.size() && t.items.size() < max) {
    size_t nl = text.find('\n', pos);
    std::string line(text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos));
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    if (line.empty() || line[0] < 'a' || line[0] > 'z') continue;
    char dev[16] = {};
    unsigned f[10] = {};
    int used = 0;
    int n = std::sscanf(line.c_str(), "%15s %8x %8x %8x %8x %8x %8x %8x %8x %8x %8x%n", dev, &f[0], &f[1], &f[2],
                        &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &used);
    if (n != 11 || (line[static_cast<size_t>(used)] != 0 && !IsBlank(line[static_cast<size_t>(used)]) &&
                    line[static_cast<size_t>(used)] != '\r')) {
      ++t.bad_lines;
      continue;
    }
    RouteItem it{};
    it.dst = f[0];
    it.gw = f[1];
    it.mask = f[6];
    std::memcpy(it.dev, dev, sizeof it.dev);
    t.items.push_back(it);
  }
  return t;
}

std::vector<std::string> ParseNetDev(std::string_view text, size_t max, std::vector<std::string>* rejected) {
  static constexpr const char* kAccept[] = {"eth", "wlan", "bond", "br", "ppp", "lte", "apra", "usb"};
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size() && out.size() < max) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (name.empty() || name.back() == ' ' || name.back() == '\t') continue;
    bool ok = false;
    for (const char* a : kAccept) ok = ok || Contains(name, a);
    if (!ok || Contains(name, "veth") || Contains(name, "br-fabedge")) continue;
    if (name.size() >= static_cast<size_t>(kNetNameLen) || !ValidIfName(name)) {
      if (rejected) rejected->emplace_back(name);
      continue;
    }
    out.emplace_back(name);
  }
  return out;
}

void SwitchDhcpPool(uint32_t addr, uint32_t* start, uint32_t* end) {
  uint32_t h = ntohl(addr), net = h & 0xffffff00u;
  if ((h & 0xff) < 128) {
    *start = htonl(net | 128);
    *end = htonl(net | 255);
  } else {
    *start = htonl(net | 1);
    *end = htonl(net | 127);
  }
}

uint8_t Crc8Maxim(const uint8_t* data, size_t len) {
  uint8_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
  }
  return crc;
}

int MaskToPrefix(uint32_t mask_net) { return std::popcount(mask_net); }

uint32_t PrefixToMask(int prefix) {
  if (prefix <= 0) return 0;
  if (prefix >= 32) return 0xffffffffu;
  return htonl(~0u << (32 - prefix));
}

int NameNumber(std::string_view name, std::string_view prefix) {
  size_t at = name.find(prefix);
  if (at == std::string_view::npos) return -1;
  std::string_view d = name.substr(at + prefix.size());
  if (d.empty() || d.size() > 4) return -1;
  int n = 0;
  for (char c : d) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool CopyOut(std::string_view s, char* out, size_t size) {
  if (!out || size == 0) return false;
  if (s.size() >= size) {
    out[0] = 0;
    return false;
  }
  std::memcpy(out, s.data(), s.size());
  out[s.size()] = 0;
  return true;
}

std::vector<std::string> ToStrings(const NetName* names, int n) {
  std::vector<std::string> v;
  for (int i = 0; names && i < n; ++i) v.emplace_back(names[i], strnlen(names[i], kNetNameLen - 1));
  return v;
}

int FromStrings(const std::vector<std::string>& v, NetName* names, int cap) {
  int n = 0;
  for (auto& s : v) {
    if (n >= cap) break;
    if (CopyOut(s, names[n], kNetNameLen)) ++n;
  }
  return n;
}

bool IfList::has(std::string_view n) const {
  for (auto& x : names)
    if (x == n) return true;
  return false;
}

}  // namespace netcfg
