// Tag checks, names and the reader against damaged discs: each damage gets
// its message and a failure, never a read out of bounds or a loop.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "optical/cdrw.h"
#include "optical/udf_desc.h"

namespace {

TEST(UdfTags, CrcIsTheItuPolynomialFromZero) {
  const char* check = "123456789";
  EXPECT_EQ(udf_crc(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
  EXPECT_EQ(udf_crc(nullptr, 0), 0);
}

TEST(UdfTags, CheckTable) {
  struct Case {
    const char* name;
    std::function<void(uint8_t*)> damage;
    uint32_t read_at;
    int want;
  };
  const Case cases[] = {
      {"intact", [](uint8_t*) {}, 77, 0},
      {"read elsewhere", [](uint8_t*) {}, 78, -1},
      {"checksum", [](uint8_t* d) { d[4] ^= 1; }, 77, -1},
      {"version 3", [](uint8_t* d) { d[2] = 3, d[4] = udf::TagChecksum(d); }, 77, 0},
      {"version 4", [](uint8_t* d) { d[2] = 4, d[4] = udf::TagChecksum(d); }, 77, -1},
      {"body", [](uint8_t* d) { d[100] ^= 0x40; }, 77, -1},
      {"crc length past the block",
       [](uint8_t* d) { d[10] = 0xFF, d[11] = 0x7F, d[4] = udf::TagChecksum(d); }, 77, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t block[2048] = {};
    for (int i = 16; i < 512; ++i) block[i] = static_cast<uint8_t>(i * 7);
    udf::SetTag(block, udf::kTd, 77, 496);
    c.damage(block);
    EXPECT_EQ(udf_check_tags(block, sizeof block, c.read_at), c.want);
  }
  EXPECT_EQ(udf_check_tags(nullptr, 0, 0), -1);
}

TEST(UdfNames, Cs0ToUtf8) {
  std::string out;
  const uint8_t narrow[] = {8, 'a', 0xE9};
  ASSERT_EQ(udf_CS0toUTF8(narrow, sizeof narrow, &out), 0);
  EXPECT_EQ(out, "a\xC3\xA9");
  const uint8_t wide[] = {16, 0x4E, 0x2D, 0, 'x'};
  ASSERT_EQ(udf_CS0toUTF8(wide, sizeof wide, &out), 0);
  EXPECT_EQ(out, "\xE4\xB8\xAD" "x");
  const uint8_t odd[] = {16, 0, 'a', 0};  // a dangling half character is dropped
  ASSERT_EQ(udf_CS0toUTF8(odd, sizeof odd, &out), 0);
  EXPECT_EQ(out, "a");
  const uint8_t bad[] = {0x20, 'a'};
  EXPECT_EQ(udf_CS0toUTF8(bad, sizeof bad, &out), -1);
  EXPECT_EQ(udf::EncodeCs0("\xE4\xB8\xAD"), (std::vector<uint8_t>{16, 0x4E, 0x2D}));
  EXPECT_TRUE(udf::EncodeCs0("\xC3").empty()) << "cut UTF-8";
  EXPECT_TRUE(udf::EncodeCs0(std::string(300, 'a')).empty()) << "too long for an identifier";

  std::string a, b;
  const uint8_t slash1[] = {8, 'a', '/', 'b'}, slash2[] = {8, 'a', 0x01, 'b'};
  ASSERT_EQ(udf_get_filename(slash1, sizeof slash1, &a), 0);
  ASSERT_EQ(udf_get_filename(slash2, sizeof slash2, &b), 0);
  EXPECT_EQ(a.find('/'), std::string::npos);
  EXPECT_NE(a, b) << "different raw names stay apart";
  EXPECT_EQ(udf_get_filename(slash1, 1, &a), -1) << "empty name";
}

// A freshly built header for one file, on a disc of `blocks` blocks.
struct Disc {
  std::vector<uint8_t> img;
  uint32_t last = 0;
  Disc() {
    std::vector<UdfFile> files = {{"clip.mp4", 31, 5000}};
    udf::HeaderParams p;
    p.hdr_start = 0;
    p.partition_length = 64;
    p.volume = "VOL";
    p.when = 1700000000;
    p.files = &files;
    img = udf::BuildHeader(p);
    img.resize(size_t{320} * 2048, 0);
    last = 319;
    udf::BuildAnchor(Block(last), last, 0);
  }
  uint8_t* Block(uint32_t n) { return img.data() + size_t{n} * 2048; }
  // Re-seals the descriptor at block n (its tag's location and length kept).
  void Reseal(uint32_t n, size_t off = 0) {
    udf::Tag t;
    std::memcpy(&t, Block(n) + off, sizeof t);
    udf::SetTag(Block(n) + off, t.ident, t.location, t.crc_length);
  }
  int Scan(UdfScan* s) {
    auto read = [this](uint32_t lba, uint8_t* out) {
      if (lba > last) return -EIO;
      std::memcpy(out, Block(lba), 2048);
      return 0;
    };
    return udf_scan_session(read, 0, last, s);
  }
};

TEST(UdfReader, ReadsWhatTheHeaderSays) {
  Disc d;
  UdfScan s;
  ASSERT_EQ(d.Scan(&s), 0);
  EXPECT_EQ(s.volume, "VOL");
  EXPECT_EQ(s.anchor, 256u);
  EXPECT_EQ(s.end_anchor, 319u);
  EXPECT_EQ(s.partition_start, 257u);
  ASSERT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.files[0].name, "clip.mp4");
  EXPECT_EQ(s.files[0].start, 31u);
  EXPECT_EQ(s.files[0].length, 5000u);
}

TEST(UdfReader, DamagedDiscsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(Disc&)> damage;
    int want;
  };
  auto fe_field = [](Disc& d, uint32_t block, size_t off, uint64_t v, size_t n) {
    std::memcpy(d.Block(block) + off, &v, n);
    d.Reseal(block);
  };
  const Case cases[] = {
      {"no recognition sequence", [](Disc& d) { std::memset(d.Block(17), 0, 2048); }, -1},
      {"first anchor bad, end anchor serves", [](Disc& d) { d.Block(256)[20] ^= 1; }, 0},
      {"no anchor", [](Disc& d) { d.Block(256)[20] ^= 1, d.Block(319)[20] ^= 1; }, -1},
      {"vds past the end",
       [](Disc& d) {
         uint32_t far = 5000;
         std::memcpy(d.Block(256) + 20, &far, 4), d.Reseal(256);
         d.Block(319)[0] = 0;
       },
       -1},
      {"no primary volume descriptor", [](Disc& d) { d.Block(32)[0] = 3, d.Reseal(32); }, -1},
      {"pvd version 4", [](Disc& d) { d.Block(32)[2] = 4, d.Block(32)[4] = udf::TagChecksum(d.Block(32)); }, -1},
      {"file set moved", [](Disc& d) { d.Block(257)[12] = 9; }, -1},
      {"partition past the disc",
       [](Disc& d) {
         uint32_t s = 9000;
         std::memcpy(d.Block(34) + 188, &s, 4), d.Reseal(34);
       },
       -1},
      {"directory longer than its extents", [&](Disc& d) { fe_field(d, 259, 56, 1 << 20, 8); }, -1},
      {"ea length past the block", [&](Disc& d) { fe_field(d, 259, 168, 4000, 4); }, -1},
      {"file extent past the partition", [&](Disc& d) { fe_field(d, 261, 176 + 328 + 4, 62, 4); }, -1},
      {"file identifier name past the directory",
       [](Disc& d) {
         d.Block(260)[40 + 19] = 250;
         udf::SetTag(d.Block(260) + 40, udf::kFid, 3, 60);
       },
       -1},
      {"entry points back at the root (loop)",
       [](Disc& d) {
         uint32_t root = 2;
         std::memcpy(d.Block(260) + 40 + 24, &root, 4);
         udf::SetTag(d.Block(260) + 40, udf::kFid, 3, 32);
       },
       -1},
      {"unknown name compression",
       [](Disc& d) {
         d.Block(260)[40 + 38] = 0x33;
         udf::SetTag(d.Block(260) + 40, udf::kFid, 3, 32);
       },
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Disc d;
    c.damage(d);
    UdfScan s;
    EXPECT_EQ(d.Scan(&s), c.want);
  }
}

}  // namespace
