// The boot environment image, checked against a decoder written here from
// the format's definition (zlib's CRC, the byte transform) rather than
// against the store's own.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/env/bootenv.h"

namespace {

using bootenv::Format;
using bootenv::Match;
using bootenv::SetResult;

// A plain image of `size` bytes holding the body text (entries NUL-separated).
std::vector<uint8_t> plain(const std::string& body, size_t size = 64) {
  std::vector<uint8_t> v(size, 0);
  std::copy(body.begin(), body.end(), v.begin() + 4);
  return v;
}

// Independent decoder: stored byte s holds -(b ^ 0x6D).
std::string independent_body(const std::vector<uint8_t>& stored, uint32_t* crc_ok) {
  uint32_t want = static_cast<uint32_t>(crc32(0, stored.data() + 4, static_cast<uInt>(stored.size() - 4)));
  uint32_t got = stored[0] | stored[1] << 8 | stored[2] << 16 | static_cast<uint32_t>(stored[3]) << 24;
  *crc_ok = want == got;
  std::string out;
  for (size_t i = 4; i < stored.size(); ++i) out += static_cast<char>(((256 - stored[i]) & 0xFF) ^ 0x6D);
  return out;
}

TEST(EnvImage, EncodedImageReadsBackWithZlibCrcAndTheTransform) {
  auto p = plain(std::string("ipaddr=10.0.0.1\0a=b\0\0", 22), 48);
  auto stored = bootenv::EncodeImage(p);
  uint32_t ok = 0;
  std::string body = independent_body(stored, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(body.substr(0, 22), std::string("ipaddr=10.0.0.1\0a=b\0\0", 22));
  // 'm' (0x6D) is stored as 0x00 and NUL as 0x93
  EXPECT_EQ(bootenv::EncodeByte('m'), 0x00);
  EXPECT_EQ(bootenv::EncodeByte(0), 0x93);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(bootenv::DecodeByte(bootenv::EncodeByte(static_cast<uint8_t>(b))), b);
}

TEST(EnvImage, UsedSizeAndMatch) {
  struct Case {
    const char* what;
    std::string body;
    const char* name;
    size_t used;
    Match match;
    size_t pos;
  } cases[] = {
      {"empty list", std::string("\0\0", 2), "a", 6, Match::Absent, 4},
      {"found first", std::string("ipaddr=1\0a=b\0\0", 14), "ipaddr", 18, Match::Found, 4},
      {"found second", std::string("ipaddr=1\0a=b\0\0", 14), "a", 18, Match::Found, 13},
      {"prefix of a name", std::string("ipaddr=1\0\0", 10), "ip", 14, Match::Absent, 13},
      {"name without =", std::string("ipaddr\0\0", 8), "ipaddr", 12, Match::Absent, 11},
      {"empty value", std::string("x=\0\0", 4), "x", 8, Match::Found, 4},
      {"no end marker", std::string(60, 'l'), "a", 64, Match::NoEnd, 0},
  };
  for (auto& c : cases) {
    auto p = plain(c.body);
    size_t used = bootenv::UsedSize(p);
    EXPECT_EQ(used, c.used) << c.what;
    size_t pos = 0;
    EXPECT_EQ(bootenv::MatchEntry(p, used, c.name, &pos), c.match) << c.what;
    if (c.match != Match::NoEnd) {
      EXPECT_EQ(pos, c.pos) << c.what;
    }
  }
}

TEST(EnvImage, SetMovesTheEntryToTheEndAndKeepsTheListEnded) {
  struct Case {
    const char* what;
    std::string before;
    const char* name;
    std::string value;
    size_t size;
    SetResult result;
    std::string after;  // body up to and including the end marker
  } cases[] = {
      {"replace moves to the end", std::string("ipaddr=10.0.0.1\0a=b\0\0", 22), "ipaddr", "192.168.1.2", 64,
       SetResult::Ok, std::string("a=b\0ipaddr=192.168.1.2\0\0", 24)},
      {"add to an empty list", std::string("\0\0", 2), "a", "1", 64, SetResult::Ok, std::string("a=1\0\0", 5)},
      {"add after others", std::string("a=1\0\0", 5), "b", "2", 64, SetResult::Ok, std::string("a=1\0b=2\0\0", 9)},
      {"value with =", std::string("\0\0", 2), "k", "x=y", 64, SetResult::Ok, std::string("k=x=y\0\0", 7)},
      {"exactly fills", std::string("\0\0", 2), "k", std::string(5, 'v'), 4 + 9, SetResult::Ok,
       std::string("k=vvvvv\0\0", 9)},
      {"one byte too large", std::string("\0\0", 2), "k", std::string(6, 'v'), 4 + 9, SetResult::TooLarge,
       std::string("\0\0", 2)},
      {"name with =", std::string("\0\0", 2), "a=b", "1", 64, SetResult::BadName, std::string("\0\0", 2)},
      {"empty name", std::string("\0\0", 2), "", "1", 64, SetResult::BadName, std::string("\0\0", 2)},
      {"value with NUL", std::string("\0\0", 2), "a", std::string("x\0y", 3), 64, SetResult::BadValue,
       std::string("\0\0", 2)},
      {"no end marker", std::string(60, 'l'), "a", "1", 64, SetResult::NoEnd, std::string(60, 'l')},
      // A full list: entries up to the last byte, no empty entry after them.
      {"full, new name", std::string("a=1\0bb=22\0", 10), "c", "3", 14, SetResult::NoEnd, ""},
      {"full, shorter value", std::string("a=1\0bb=22\0", 10), "bb", "2", 14, SetResult::TooLarge, ""},
      {"full, same length", std::string("a=1\0bb=22\0", 10), "a", "9", 14, SetResult::TooLarge, ""},
  };
  for (auto& c : cases) {
    auto p = plain(c.before, c.size);
    auto orig = p;
    size_t used = bootenv::UsedSize(p);
    EXPECT_EQ(bootenv::SetEntry(p, &used, c.name, c.value), c.result) << c.what;
    if (c.result != SetResult::Ok) {
      EXPECT_EQ(p, orig) << c.what << ": image changed on failure";
      continue;
    }
    EXPECT_EQ(std::string(p.begin() + 4, p.begin() + 4 + static_cast<long>(c.after.size())), c.after) << c.what;
    EXPECT_EQ(used, 4 + c.after.size()) << c.what;
    size_t pos = 0;
    EXPECT_EQ(bootenv::MatchEntry(p, used, c.name, &pos), Match::Found) << c.what;
  }
}

TEST(EnvImage, DecodeChecksTheCrcAndTellsTheFormat) {
  auto p = plain(std::string("comm=mm\0eth=1\0\0", 15), 64);
  auto enc = bootenv::EncodeImage(p, Format::Encoded);
  auto raw = bootenv::EncodeImage(p, Format::Plain);
  // "mm" is stored as a NUL pair: a reader ignoring the transform would
  // take it for the end of a list.
  EXPECT_EQ(bootenv::DetectFormat(enc), Format::Encoded);
  EXPECT_EQ(bootenv::DetectFormat(raw), Format::Plain);
  EXPECT_EQ(bootenv::DetectFormat(std::vector<uint8_t>(64, 0xFF)), Format::Encoded);

  bootenv::Decoded d;
  std::string err;
  ASSERT_TRUE(bootenv::DecodeImage(enc, Format::Encoded, &d, &err));
  EXPECT_TRUE(d.crc_ok && d.has_end);
  EXPECT_TRUE(std::equal(p.begin() + 4, p.end(), d.plain.begin() + 4));
  enc[20] ^= 1;
  ASSERT_TRUE(bootenv::DecodeImage(enc, Format::Encoded, &d, &err));
  EXPECT_FALSE(d.crc_ok);
  EXPECT_FALSE(bootenv::DecodeImage(std::vector<uint8_t>(5, 0), Format::Encoded, &d, &err));
  EXPECT_NE(err.find("too small"), std::string::npos);
}

TEST(EnvImage, PickCopyPrefersTheMainCopyThenTheFirstValidBackup) {
  using C = bootenv::CopyState;
  struct Case {
    const char* what;
    std::vector<C> copies;
    int pick;
  } cases[] = {
      {"main valid", {{true, true, true}, {true, true, true}}, 0},
      {"main torn", {{true, false, true}, {true, true, true}}, 1},
      {"main unreadable", {{false, false, false}, {true, true, true}}, 1},
      {"main full: crc ok, no end", {{true, true, false}, {true, true, true}}, 0},
      {"main torn, backup full", {{true, false, true}, {true, true, false}}, 1},
      {"first backup torn too", {{true, false, false}, {true, false, true}, {true, true, true}}, 2},
      {"nothing valid", {{true, false, true}, {true, false, true}}, -1},
      {"no backup, main torn", {{true, false, true}}, -1},
  };
  for (auto& c : cases) EXPECT_EQ(bootenv::PickCopy(c.copies), c.pick) << c.what;
}

TEST(EnvImage, FullListReadsAsWellFormed) {
  // Entries up to the last byte: no NUL pair, yet every entry is readable
  // and the format is recognised either way.
  auto p = plain(std::string("comm=mm\0eth=12\0", 15), 4 + 15);
  EXPECT_EQ(bootenv::UsedSize(p), p.size());
  size_t pos = 0;
  EXPECT_EQ(bootenv::MatchEntry(p, p.size(), "eth", &pos), Match::Found);
  EXPECT_EQ(pos, 12u);
  EXPECT_EQ(bootenv::MatchEntry(p, p.size(), "x", &pos), Match::NoEnd);
  EXPECT_EQ(bootenv::Entries(p, p.size()), (std::vector<std::string_view>{"comm=mm", "eth=12"}));
  auto enc = bootenv::EncodeImage(p, Format::Encoded);
  auto raw = bootenv::EncodeImage(p, Format::Plain);
  EXPECT_EQ(bootenv::DetectFormat(enc), Format::Encoded);
  EXPECT_EQ(bootenv::DetectFormat(raw), Format::Plain);
  bootenv::Decoded d;
  std::string err;
  ASSERT_TRUE(bootenv::DecodeImage(enc, Format::Encoded, &d, &err));
  EXPECT_TRUE(d.crc_ok);
  EXPECT_FALSE(d.has_end);
  EXPECT_EQ(d.used, p.size());
}

TEST(EnvImage, ForTerminalShowsControlBytes) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"ipaddr=10.0.0.1", "ipaddr=10.0.0.1"},
      {"x=\x1b[2J\x1b]0;owned\x07", "x=\\x1b[2J\\x1b]0;owned\\x07"},
      {"a\tb\rc\nd\x7f", "a\\x09b\\x0dc\\x0ad\\x7f"},
      {"back\\x1b", "back\\\\x1b"},  // a stored backslash cannot pose as an escape
      {"utf8 \xc3\xa9 ok", "utf8 \xc3\xa9 ok"},  // e-acute passes
      {"c1 \xc2\x9b" "31m", "c1 \\xc2\\x9b31m"},  // U+009B, the 8-bit CSI
      {"nbsp \xc2\xa0", "nbsp \xc2\xa0"},
      {"gbk \xa3\xac", "gbk \xa3\xac"},
      {"end \xc2", "end \xc2"},
  };
  for (auto& c : cases) EXPECT_EQ(bootenv::ForTerminal(c.in), c.out) << c.in;
}

TEST(EnvImage, EntriesStopAtTheEmptyEntry) {
  auto p = plain(std::string("a=1\0b=2\0\0junk=3\0", 17));
  auto e = bootenv::Entries(p, bootenv::UsedSize(p));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], "a=1");
  EXPECT_EQ(e[1], "b=2");
}

}  // namespace
