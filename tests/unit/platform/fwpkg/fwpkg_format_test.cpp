// Firmware package header and checksum, partition containers and the boot
// flash partition table: pure decoding, also run on the board's CPU.

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "platform/fwpkg/fwpkg.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The checksum written out bit by bit from its definition, as a witness
// for the zlib-based one.
uint32_t reference_checksum(const Bytes& d, size_t from) {
  uint32_t crc = 0;
  for (size_t i = from; i < d.size(); ++i) {
    crc ^= d[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

Bytes pattern(size_t n, uint32_t seed = 1) {
  Bytes d(n);
  for (auto& b : d) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return d;
}

Bytes package(const fwpkg::Header& h, const Bytes& body) {
  auto hdr = fwpkg::EncodeHeader(h);
  Bytes p(hdr.size() + body.size());
  std::memcpy(p.data(), hdr.data(), hdr.size());
  if (!body.empty()) std::memcpy(p.data() + hdr.size(), body.data(), body.size());
  return p;
}

fwpkg::Header one_item(uint32_t len) {
  fwpkg::Header h;
  std::memcpy(h.magic, "PKI7", 4);
  h.version = "V4.0";
  h.items[0].type = "kernel";
  h.items[0].path = "/mnt/dom_bin/bzImage";
  h.items[0].start = fwpkg::kHeaderLen;
  h.items[0].number = len;
  return h;
}

uint32_t sum_of(const std::vector<Bytes>& blocks) {
  std::vector<std::span<const uint8_t>> spans(blocks.begin(), blocks.end());
  return fwpkg::PackageChecksum(spans);
}

TEST(PackageChecksum, MatchesItsDefinitionWhateverTheBlocks) {
  Bytes pkg = package(one_item(5000), pattern(5000));
  uint32_t want = reference_checksum(pkg, fwpkg::kHeaderLen);
  EXPECT_EQ(sum_of({pkg}), want);
  // Split inside the header, at its end, and inside the body.
  for (size_t cut1 : {size_t{10}, size_t{1547}, size_t{1548}, size_t{2000}})
    for (size_t cut2 : {cut1, cut1 + 1, size_t{4000}}) {
      if (cut2 < cut1 || cut2 > pkg.size()) continue;
      Bytes a(pkg.begin(), pkg.begin() + cut1), b(pkg.begin() + cut1, pkg.begin() + cut2), c(pkg.begin() + cut2, pkg.end());
      EXPECT_EQ(sum_of({a, b, c}), want) << cut1 << "/" << cut2;
    }
  EXPECT_EQ(sum_of({Bytes(fwpkg::kHeaderLen, 0)}), 0u);  // nothing after the header
}

TEST(PackageChecksum, CoversTheBodyNotTheHeader) {
  Bytes pkg = package(one_item(100), pattern(100));
  uint32_t base = sum_of({pkg});
  Bytes vendor = pkg;
  vendor[offsetof(fwpkg::RawHeader, vendor)] ^= 0x20;
  EXPECT_EQ(sum_of({vendor}), base);
  Bytes body = pkg;
  body[fwpkg::kHeaderLen + 50] ^= 0x01;
  EXPECT_NE(sum_of({body}), base);
}

TEST(PackageHeader, DecodeRoundTripAndShortBlock) {
  auto h = one_item(10);
  h.vendor = "vendor";
  h.machine = std::string(32, 'M');  // a full field has no NUL
  h.script_flag = 1;
  h.checksum = 0xDEADBEEF;
  Bytes pkg = package(h, pattern(10));
  fwpkg::Header d;
  ASSERT_EQ(fwpkg::DecodeHeader(pkg, &d), 0);
  EXPECT_EQ(d.machine, std::string(32, 'M'));
  EXPECT_EQ(d.vendor, "vendor");
  EXPECT_EQ(d.items[0].kind, fwpkg::ItemKind::Kernel);
  EXPECT_EQ(d.items[1].kind, fwpkg::ItemKind::Skip);
  EXPECT_EQ(d.checksum, 0xDEADBEEFu);
  EXPECT_EQ(pkg[offsetof(fwpkg::RawHeader, checksum)], 0xEF);  // little-endian on the wire
  EXPECT_EQ(fwpkg::DecodeHeader(std::span(pkg).first(1547), &d), fwpkg::kUpgradeShort);
}

TEST(PackageHeader, Magic) {
  for (const char* ok : {"PKI7", "ZQI7", "ZKI7", "PQI7"}) EXPECT_TRUE(fwpkg::MagicOk(ok)) << ok;
  for (const char* bad : {"PKI8", "pKI7", "XKI7", "PXI7", "PK7I", "\0\0\0\0"}) EXPECT_FALSE(fwpkg::MagicOk(bad)) << bad;
}

TEST(PackageHeader, LayoutChecks) {
  const uint64_t total = fwpkg::kHeaderLen + 1000;
  struct Case {
    const char* name;
    uint32_t start, number;
    std::string path;
    uint32_t script_flag, script_start, script_len;
    bool ok;
  } cases[] = {
      {"item fills the package", 1548, 1000, "/p", 0, 0, 0, true},
      {"empty item at the end", 2548, 0, "/p", 0, 0, 0, true},
      {"one byte past the end", 1548, 1001, "/p", 0, 0, 0, false},
      {"start past the end", 2549, 0, "/p", 0, 0, 0, false},
      {"start + length wraps round", 0xFFFFFF00u, 0x200, "/p", 0, 0, 0, false},
      {"data inside the header", 100, 10, "/p", 0, 0, 0, false},
      {"no path", 1548, 10, "", 0, 0, 0, false},
      {"path without its end", 1548, 10, std::string(256, 'p'), 0, 0, 0, false},
      {"script inside", 1548, 10, "/p", 1, 1558, 10, true},
      {"script past the end", 1548, 10, "/p", 1, 2540, 10, false},
      {"script flag 2 is no script", 1548, 10, "/p", 2, 0, 0xFFFFFFFF, true},
  };
  for (auto& c : cases) {
    auto h = one_item(c.number);
    h.items[0].start = c.start;
    h.items[0].path = c.path;
    h.script_flag = c.script_flag;
    h.script_start = c.script_start;
    h.script_len = c.script_len;
    h.script_path = "/tmp/check.sh";
    fwpkg::Header d;
    ASSERT_EQ(fwpkg::DecodeHeader(package(h, {}), &d), 0);
    std::string err;
    int r = fwpkg::CheckLayout(d, total, &err);
    EXPECT_EQ(r, c.ok ? fwpkg::kUpgradeOk : fwpkg::kUpgradeBadHeader) << c.name << ": " << err;
    if (!c.ok) {
      EXPECT_FALSE(err.empty()) << c.name;
    }
  }
  // Unknown item types are skipped whatever they say.
  auto h = one_item(0);
  h.items[0].type = "kernel2";
  h.items[0].start = 0xFFFFFFFF;
  fwpkg::Header d;
  fwpkg::DecodeHeader(package(h, {}), &d);
  std::string err;
  EXPECT_EQ(fwpkg::CheckLayout(d, total, &err), fwpkg::kUpgradeOk) << err;
}

TEST(Container, CrcIsTheMsbFirstCrc32) {
  const std::string check = "123456789";
  Bytes d(check.begin(), check.end());
  EXPECT_EQ(fwpkg::ContainerCrc(d), 0xFC891918u);  // the catalogue check value
  EXPECT_EQ(fwpkg::PmcspCRC32(d), ~0xFC891918u);
  EXPECT_EQ(fwpkg::PmcspCRC32({}), 0xFFFFFFFFu);
  // The sliced loop agrees with byte-at-a-time for every length and offset.
  Bytes big = pattern(100);
  for (size_t n = 0; n <= 40; ++n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
      crc ^= uint32_t(big[i + 3]) << 24;
      for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    EXPECT_EQ(fwpkg::PmcspCRC32({big.data() + 3, n}), crc) << n;
  }
}

TEST(Container, LayoutAndBounds) {
  Bytes abc = {'a', 'b', 'c'};
  auto c = fwpkg::FlashPartCreateByBuf(abc, 64);
  ASSERT_EQ(c.size(), 64u);
  EXPECT_EQ(Bytes(c.begin(), c.begin() + 3), abc);
  EXPECT_EQ(Bytes(c.begin() + 3, c.end() - 8), Bytes(53, 0xFF));
  uint32_t crc = fwpkg::ContainerCrc(abc);
  Bytes trailer = {0, 0, 0, 3, uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
  EXPECT_EQ(Bytes(c.end() - 8, c.end()), trailer);

  EXPECT_EQ(fwpkg::FlashPartCreateByBuf(pattern(64 - 22), 64).size(), 64u);
  EXPECT_TRUE(fwpkg::FlashPartCreateByBuf(pattern(64 - 21), 64).empty());
  EXPECT_TRUE(fwpkg::FlashPartCreateByBuf({}, 21).empty());
}

TEST(Container, Check) {
  using S = fwpkg::Container;
  Bytes good = fwpkg::FlashPartCreateByBuf(pattern(1000), 4096);
  auto with = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  Bytes erased(4096, 0xFF);
  Bytes longest = good;
  fwpkg::StoreBe32(longest.data() + 4088, 4096 - 22);
  Bytes too_long = good;
  fwpkg::StoreBe32(too_long.data() + 4088, 4096 - 21);
  struct Case {
    const char* name;
    Bytes region;
    S want;
  } cases[] = {
      {"as built", good, S::Valid},
      {"erased", erased, S::Empty},
      {"payload byte flipped", with(999, good[999] ^ 0x80), S::BadCrc},
      {"filler changed", with(2000, 0), S::Valid},
      {"crc byte changed", with(4095, good[4095] ^ 1), S::BadCrc},
      {"length at the limit", longest, S::BadCrc},
      {"length past the limit", too_long, S::BadLength},
      {"region too small", Bytes(21, 0), S::BadLength},
  };
  for (auto& c : cases) EXPECT_EQ(fwpkg::CheckContainer(c.region).state, c.want) << c.name;
}

TEST(PartTable, DecodeFindAndWriteBack) {
  fwpkg::PartTable t = fwpkg::PartTable::Make({{0x20000, 0x100000, 1, "linux-dev"},
                                               {0x120000, 0x40000, 1, "firmware"},
                                               {0x160000, 0x20000, 1, "sixteen-chars-xx"}});
  Bytes raw = t.Encode();
  ASSERT_EQ(raw.size(), 16u + 3 * 52);
  // Bytes the table does not interpret must come back unchanged.
  for (size_t i : {size_t{0}, size_t{4}, size_t{12}, size_t{15}}) raw[i] = uint8_t(0xA0 + i);
  for (size_t e = 0; e < 3; ++e) {
    raw[16 + e * 52 + 8] = 0x5A;
    raw[16 + e * 52 + 51] = 0xC3;
  }
  fwpkg::PartTable d;
  std::string err;
  ASSERT_TRUE(fwpkg::PartTable::Decode(raw, 8 << 20, &d, &err)) << err;
  EXPECT_EQ(d.Find("firmware"), 1);
  EXPECT_EQ(d.Find("sixteen-chars-xx"), 2);
  EXPECT_EQ(d.Find("sixteen-chars-xx-and-more"), 2);  // compared on 16 characters
  EXPECT_EQ(d.Find("linux"), -1);
  d.SetValid(1, false);
  Bytes back = d.Encode();
  Bytes want = raw;
  want[16 + 52 + 12] = 0;
  EXPECT_EQ(back, want);
}

TEST(PartTable, RefusesTablesThatCannotBeRead) {
  auto table = [](uint32_t n, size_t entries, uint32_t start, uint32_t size) {
    Bytes b(16 + entries * 52, 0);
    fwpkg::StoreLe32(b.data() + 8, n);
    for (size_t e = 0; e < entries; ++e) {
      fwpkg::StoreLe32(b.data() + 16 + e * 52, start);
      fwpkg::StoreLe32(b.data() + 16 + e * 52 + 4, size);
    }
    return b;
  };
  struct Case {
    const char* name;
    Bytes raw;
    bool ok;
  } cases[] = {
      {"empty table", table(0, 0, 0, 0), true},
      {"32 entries", table(32, 32, 0x20000, 0x1000), true},
      {"33 entries", table(33, 33, 0x20000, 0x1000), false},
      {"count past the bytes", table(3, 2, 0x20000, 0x1000), false},
      {"entry past the device", table(1, 1, 0x7F0000, 0x20000), false},
      {"entry wraps round", table(1, 1, 0xFFFFF000, 0x2000), false},
      {"entry smaller than a trailer", table(1, 1, 0x20000, 21), false},
      {"header cut", Bytes(15, 0), false},
  };
  for (auto& c : cases) {
    fwpkg::PartTable d;
    std::string err;
    EXPECT_EQ(fwpkg::PartTable::Decode(c.raw, 8 << 20, &d, &err), c.ok) << c.name << ": " << err;
  }
}

}  // namespace

namespace {

TEST(PartTable, CheckJudgesWhetherATableCanBeWritten) {
  using E = fwpkg::TableEntry;
  const std::vector<E> good = {{0x20000, 0x40000, 1, "linux-dev"}, {0x60000, 0x20000, 1, "firmware"},
                               {0x80000, 0x20000, 1, "bootloader"}};
  auto with = [&](size_t i, E e) {
    auto v = good;
    v[i] = e;
    return v;
  };
  struct Case {
    const char* name;
    std::vector<E> entries;
    uint32_t unit;
    const char* says;  // nullptr: accepted
  } cases[] = {
      {"the usual layout", good, 0x10000, nullptr},
      {"NAND blocks", good, 0x20000, nullptr},
      {"no erase unit known", with(0, {0x28000, 0x38000, 1, "linux-dev"}), 0, nullptr},
      {"start off the erase unit", with(0, {0x28000, 0x38000, 1, "linux-dev"}), 0x10000,
       "partition [linux-dev] at 0x28000 size 0x38000 is not aligned to the erase unit 0x10000"},
      {"end off the erase unit", with(2, {0x80000, 0x18000, 1, "bootloader"}), 0x10000, "not aligned"},
      {"aligned to 64K, not to 128K", with(0, {0x30000, 0x30000, 1, "linux-dev"}), 0x20000, "not aligned"},
      {"overlapping neighbours", with(1, {0x50000, 0x20000, 1, "firmware"}), 0x10000,
       "partition [firmware] at 0x50000 size 0x20000 overlaps partition [linux-dev] at 0x20000"},
      {"one inside another", with(2, {0x30000, 0x10000, 1, "bootloader"}), 0x10000, "overlaps partition"},
      {"over the table block", with(0, {0x10000, 0x10000, 1, "linux-dev"}), 0x10000, "overlaps the partition table"},
      {"past the device", with(2, {0x7F0000, 0x20000, 1, "bootloader"}), 0x10000, "does not fit a device"},
      {"a name twice", with(2, {0x80000, 0x20000, 1, "firmware"}), 0x10000,
       "partition [firmware] at 0x80000 size 0x20000 has the name of entry 0x1"},
  };
  for (auto& c : cases) {
    std::string err;
    bool ok = fwpkg::CheckPartTable(fwpkg::PartTable::Make(c.entries), 8 << 20, c.unit, &err);
    EXPECT_EQ(ok, c.says == nullptr) << c.name << ": " << err;
    if (c.says) {
      EXPECT_NE(err.find(c.says), std::string::npos) << c.name << ": " << err;
    }
  }
}

TEST(PackageHeader, StatedLengthCoversItemsAndScript) {
  fwpkg::Header h;
  EXPECT_EQ(fwpkg::StatedLength(h), fwpkg::kHeaderLen);  // an empty header states only itself
  h.pack_size = 5000;
  EXPECT_EQ(fwpkg::StatedLength(h), 5000u);
  h.items[2].kind = fwpkg::ItemKind::Bin;
  h.items[2].start = 4000;
  h.items[2].number = 3000;
  EXPECT_EQ(fwpkg::StatedLength(h), 7000u);
  h.items[3].start = 0xFFFFFFFF;  // a skipped entry does not count
  h.items[3].number = 0xFFFFFFFF;
  EXPECT_EQ(fwpkg::StatedLength(h), 7000u);
  h.script_flag = 1;
  h.script_start = 0xFFFFFFF0;
  h.script_len = 0x20;
  EXPECT_EQ(fwpkg::StatedLength(h), 0x100000010ull);  // no wrap round
}

}  // namespace
