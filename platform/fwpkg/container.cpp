// Flash partition containers and the boot flash partition table.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/fwpkg/fwpkg.h"

namespace fwpkg {

namespace {

// Slicing-by-8 tables of the MSB-first CRC: kT[k][x] is byte x advanced
// through k + 1 zero bytes.
struct Tables {
  uint32_t t[8][256];
  constexpr Tables() : t{} {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
};
constexpr Tables kT;

}  // namespace

uint32_t PmcspCRC32(std::span<const uint8_t> data) {
  uint32_t crc = 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  std::size_t n = data.size();
  const auto& t = kT.t;
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t hi = crc ^ LoadBe32(p), lo = LoadBe32(p + 4);
    crc = t[7][hi >> 24] ^ t[6][(hi >> 16) & 0xFF] ^ t[5][(hi >> 8) & 0xFF] ^ t[4][hi & 0xFF] ^ t[3][lo >> 24] ^
          t[2][(lo >> 16) & 0xFF] ^ t[1][(lo >> 8) & 0xFF] ^ t[0][lo & 0xFF];
  }
  for (; n > 0; --n, ++p) crc = t[0][(crc >> 24) ^ *p] ^ (crc << 8);
  return crc;
}

std::vector<uint8_t> FlashPartCreateByBuf(std::span<const uint8_t> data, uint32_t size) {
  if (size < kContainerSlack || data.size() > size - kContainerSlack) return {};
  std::vector<uint8_t> out(size, 0xFF);
  std::memcpy(out.data(), data.data(), data.size());
  StoreBe32(out.data() + size - 8, static_cast<uint32_t>(data.size()));
  StoreBe32(out.data() + size - 4, ContainerCrc(data));
  return out;
}

ContainerInfo ReadTrailer(std::span<const uint8_t, kTrailerLen> trailer, uint32_t size) {
  ContainerInfo c;
  c.length = LoadBe32(trailer.data());
  c.stored_crc = LoadBe32(trailer.data() + 4);
  if (c.length == kNoPayload) c.state = Container::Empty;
  else if (size < kContainerSlack || c.length > size - kContainerSlack) c.state = Container::BadLength;
  else c.state = Container::Valid;
  return c;
}

ContainerInfo CheckContainer(std::span<const uint8_t> region) {
  if (region.size() < kContainerSlack || region.size() > UINT32_MAX) return {Container::BadLength, 0, 0, 0};
  auto size = static_cast<uint32_t>(region.size());
  ContainerInfo c = ReadTrailer(region.subspan(size - kTrailerLen).first<kTrailerLen>(), size);
  if (c.state != Container::Valid) return c;
  c.computed_crc = ContainerCrc(region.first(c.length));
  if (c.computed_crc != c.stored_crc) c.state = Container::BadCrc;
  return c;
}

const char* ContainerName(Container c) {
  switch (c) {
    case Container::Valid: return "valid";
    case Container::Empty: return "empty (erased)";
    case Container::BadLength: return "invalid length";
    case Container::BadCrc: return "CRC mismatch";
  }
  return "?";
}

bool PartTable::Decode(std::span<const uint8_t> p, uint64_t device_size, PartTable* out, std::string* err) {
  if (p.size() < kTableHeaderLen) {
    *err = "partition table shorter than its header";
    return false;
  }
  uint32_t n = LoadLe32(p.data() + 8);
  if (n > kTableMaxEntries) {
    *err = "partition table says " + std::to_string(n) + " entries, at most 32";
    return false;
  }
  std::size_t len = kTableHeaderLen + n * kTableEntryLen;
  if (p.size() < len) {
    *err = "partition table of " + std::to_string(n) + " entries cut short";
    return false;
  }
  PartTable t;
  t.raw_.assign(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(len));
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* e = t.raw_.data() + kTableHeaderLen + i * kTableEntryLen;
    TableEntry te;
    te.start = LoadLe32(e + offsetof(RawTableEntry, start));
    te.size = LoadLe32(e + offsetof(RawTableEntry, size));
    te.valid = LoadLe32(e + offsetof(RawTableEntry, valid));
    const char* name = reinterpret_cast<const char*>(e + offsetof(RawTableEntry, name));
    te.name.assign(name, strnlen(name, 16));
    if (uint64_t(te.start) + te.size > device_size || te.size < kContainerSlack) {
      char m[160];
      snprintf(m, sizeof m, "partition table entry %u [%s] at 0x%x size 0x%x does not fit a device of 0x%llx bytes",
               i, te.name.c_str(), te.start, te.size, static_cast<unsigned long long>(device_size));
      *err = m;
      return false;
    }
    t.entries_.push_back(std::move(te));
  }
  *out = std::move(t);
  return true;
}

int PartTable::Find(std::string_view name) const {
  if (name.size() > 16) name = name.substr(0, 16);
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].name == name) return static_cast<int>(i);
  return -1;
}

void PartTable::SetValid(std::size_t i, bool valid) {
  entries_[i].valid = valid ? 1 : 0;
  StoreLe32(raw_.data() + kTableHeaderLen + i * kTableEntryLen + offsetof(RawTableEntry, valid), entries_[i].valid);
}

std::vector<uint8_t> PartTable::Encode() const { return raw_; }

bool CheckPartTable(const PartTable& t, uint64_t device_size, uint32_t erase_unit, std::string* err) {
  char m[200];
  auto fail = [&](const TableEntry& e, const char* why, unsigned long long v) {
    snprintf(m, sizeof m, "partition [%s] at 0x%x size 0x%x %s 0x%llx", e.name.c_str(), e.start, e.size, why, v);
    *err = m;
    return false;
  };
  std::vector<std::size_t> order(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const TableEntry& e = t[i];
    order[i] = i;
    if (e.start < kTableBlockLen) return fail(e, "overlaps the partition table block of size", kTableBlockLen);
    if (uint64_t(e.start) + e.size > device_size) return fail(e, "does not fit a device of size", device_size);
    if (e.size < kContainerSlack) return fail(e, "is smaller than a container of size", kContainerSlack);
    if (erase_unit && (e.start % erase_unit || e.size % erase_unit))
      return fail(e, "is not aligned to the erase unit", erase_unit);
    for (std::size_t j = 0; j < i; ++j)
      if (t[j].name == e.name) return fail(e, "has the name of entry", j);
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return t[a].start < t[b].start; });
  for (std::size_t k = 1; k < order.size(); ++k) {
    const TableEntry &a = t[order[k - 1]], &b = t[order[k]];
    if (uint64_t(a.start) + a.size > b.start) {
      snprintf(m, sizeof m, "partition [%s] at 0x%x size 0x%x overlaps partition [%s] at 0x%x", b.name.c_str(), b.start,
               b.size, a.name.c_str(), a.start);
      *err = m;
      return false;
    }
  }
  return true;
}

PartTable PartTable::Make(const std::vector<TableEntry>& entries) {
  PartTable t;
  t.raw_.assign(kTableHeaderLen + entries.size() * kTableEntryLen, 0);
  StoreLe32(t.raw_.data() + 8, static_cast<uint32_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = t.raw_.data() + kTableHeaderLen + i * kTableEntryLen;
    StoreLe32(e + offsetof(RawTableEntry, start), entries[i].start);
    StoreLe32(e + offsetof(RawTableEntry, size), entries[i].size);
    StoreLe32(e + offsetof(RawTableEntry, valid), entries[i].valid);
    std::memcpy(e + offsetof(RawTableEntry, name), entries[i].name.data(), std::min<std::size_t>(16, entries[i].name.size()));
    t.entries_.push_back(entries[i]);
    t.entries_.back().name = t.entries_.back().name.substr(0, 16);
  }
  return t;
}

}  // namespace fwpkg
