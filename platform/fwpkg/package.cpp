// The firmware package header, its layout checks and its checksum.

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/fwpkg/fwpkg.h"

namespace fwpkg {

namespace {

constexpr struct {
  const char* word;
  ItemKind kind;
} kKinds[] = {
    {"kernel", ItemKind::Kernel}, {"rootfs", ItemKind::Rootfs},     {"firmware", ItemKind::Firmware},
    {"bootloader", ItemKind::Bootloader}, {"bin", ItemKind::Bin},   {"dom_bin", ItemKind::DomBin},
    {"dom_data", ItemKind::DomData},      {"dom", ItemKind::Dom},   {"bios", ItemKind::Bios},
};

template <std::size_t N>
std::string field(const char (&f)[N]) {
  return std::string(f, strnlen(f, N));
}

template <std::size_t N>
bool terminated(const char (&f)[N]) {
  return memchr(f, 0, N) != nullptr;
}

template <std::size_t N>
void put(char (&f)[N], const std::string& s) {
  std::memset(f, 0, N);
  std::memcpy(f, s.data(), std::min(N, s.size()));
}

bool inside(uint64_t start, uint64_t len, uint64_t total) {
  return start >= kHeaderLen && start <= total && len <= total - start;
}

}  // namespace

ItemKind KindOf(std::string_view type) {
  for (auto& k : kKinds)
    if (type == k.word) return k.kind;
  return ItemKind::Skip;
}

const char* KindName(ItemKind kind) {
  for (auto& k : kKinds)
    if (k.kind == kind) return k.word;
  return "";
}

bool MagicOk(const char m[4]) {
  return (m[0] == 'P' || m[0] == 'Z') && (m[1] == 'K' || m[1] == 'Q') && m[2] == 'I' && m[3] == '7';
}

int DecodeHeader(std::span<const uint8_t> block, Header* h) {
  if (block.size() < kHeaderLen) return kUpgradeShort;
  RawHeader& r = h->raw;
  std::memcpy(&r, block.data(), kHeaderLen);
  const uint8_t* b = block.data();
  auto le = [b](std::size_t off) { return LoadLe32(b + off); };
  std::memcpy(h->magic, r.magic, 4);
  h->version = field(r.version);
  h->depend = field(r.depend);
  h->vendor = field(r.vendor);
  h->machine = field(r.machine);
  for (std::size_t i = 0; i < kItemCount; ++i) {
    RawItem& ri = r.items[i];
    std::size_t at = offsetof(RawHeader, items) + i * sizeof(RawItem);
    ri.start = le(at + offsetof(RawItem, start));
    ri.number = le(at + offsetof(RawItem, number));
    Item& it = h->items[i];
    it.version = field(ri.version);
    it.type = field(ri.type);
    it.path = field(ri.path);
    it.start = ri.start;
    it.number = ri.number;
    it.kind = KindOf(it.type);
  }
  h->checksum = r.checksum = le(offsetof(RawHeader, checksum));
  h->pack_size = r.pack_size = le(offsetof(RawHeader, pack_size));
  h->script_flag = r.script_flag = le(offsetof(RawHeader, script_flag));
  h->script_start = r.script_start = le(offsetof(RawHeader, script_start));
  h->script_len = r.script_len = le(offsetof(RawHeader, script_len));
  h->script_path = field(r.script_path);
  return kUpgradeOk;
}

int CheckLayout(const Header& h, uint64_t total, std::string* err) {
  for (std::size_t i = 0; i < kItemCount; ++i) {
    const Item& it = h.items[i];
    if (it.kind == ItemKind::Skip) continue;
    if (!inside(it.start, it.number, total)) {
      *err = "item[" + std::to_string(i) + "] (" + it.type + ") data " + std::to_string(it.start) + "+" +
             std::to_string(it.number) + " lies outside the package of " + std::to_string(total) + " bytes";
      return kUpgradeBadHeader;
    }
    if (!terminated(h.raw.items[i].path) || it.path.empty()) {
      *err = "item[" + std::to_string(i) + "] (" + it.type + ") has no path or one without its end";
      return kUpgradeBadHeader;
    }
  }
  if (h.script_flag == 1) {
    if (!inside(h.script_start, h.script_len, total)) {
      *err = "script " + std::to_string(h.script_start) + "+" + std::to_string(h.script_len) +
             " lies outside the package of " + std::to_string(total) + " bytes";
      return kUpgradeBadHeader;
    }
    if (!terminated(h.raw.script_path) || h.script_path.empty()) {
      *err = "script has no path or one without its end";
      return kUpgradeBadHeader;
    }
  }
  return kUpgradeOk;
}

uint64_t StatedLength(const Header& h) {
  uint64_t n = std::max<uint64_t>(kHeaderLen, h.pack_size);
  for (const Item& it : h.items)
    if (it.kind != ItemKind::Skip) n = std::max<uint64_t>(n, uint64_t(it.start) + it.number);
  if (h.script_flag == 1) n = std::max<uint64_t>(n, uint64_t(h.script_start) + h.script_len);
  return n;
}

// zlib keeps the complemented register: crc32(c, d) = ~R(~c, d), where R
// is the plain register update.  So R(s, d) = ~crc32(~s, d).
uint32_t ChecksumUpdate(uint32_t crc, std::span<const uint8_t> data) {
  uLong z = ~crc & 0xFFFFFFFFu;
  while (!data.empty()) {
    auto n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
    z = crc32(z, data.data(), n);
    data = data.subspan(n);
  }
  return ~static_cast<uint32_t>(z);
}

uint32_t PackageChecksum(std::span<const std::span<const uint8_t>> blocks) {
  uint32_t crc = 0;
  uint64_t skip = kHeaderLen;
  for (auto b : blocks) {
    std::size_t s = static_cast<std::size_t>(std::min<uint64_t>(skip, b.size()));
    skip -= s;
    crc = ChecksumUpdate(crc, b.subspan(s));
  }
  return crc;
}

std::array<uint8_t, kHeaderLen> EncodeHeader(const Header& h) {
  RawHeader r{};
  std::memcpy(r.magic, h.magic, 4);
  put(r.version, h.version);
  put(r.depend, h.depend);
  put(r.vendor, h.vendor);
  put(r.machine, h.machine);
  for (std::size_t i = 0; i < kItemCount; ++i) {
    put(r.items[i].version, h.items[i].version);
    put(r.items[i].type, h.items[i].type);
    put(r.items[i].path, h.items[i].path);
  }
  put(r.script_path, h.script_path);
  std::array<uint8_t, kHeaderLen> out;
  std::memcpy(out.data(), &r, kHeaderLen);
  uint8_t* b = out.data();
  for (std::size_t i = 0; i < kItemCount; ++i) {
    std::size_t at = offsetof(RawHeader, items) + i * sizeof(RawItem);
    StoreLe32(b + at + offsetof(RawItem, start), h.items[i].start);
    StoreLe32(b + at + offsetof(RawItem, number), h.items[i].number);
  }
  StoreLe32(b + offsetof(RawHeader, checksum), h.checksum);
  StoreLe32(b + offsetof(RawHeader, pack_size), h.pack_size);
  StoreLe32(b + offsetof(RawHeader, script_flag), h.script_flag);
  StoreLe32(b + offsetof(RawHeader, script_start), h.script_start);
  StoreLe32(b + offsetof(RawHeader, script_len), h.script_len);
  return out;
}

}  // namespace fwpkg
