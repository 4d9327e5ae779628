// The multiplexed line's frames: found in a byte stream, and routed to a
// channel's rings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uart/uart.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A frame with sync AA 55 and `len` payload bytes of `fill`.
Bytes Frame(uint8_t chn, uint8_t type, uint8_t len, uint8_t fill) {
  Bytes f(5u + len, fill);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = chn;
  f[3] = type;
  f[4] = len;
  return f;
}

std::vector<Bytes> Frames(const Bytes& stream, uint8_t s1 = 0xAA, uint8_t s2 = 0x55) {
  UartMuxParser p(s1, s2);
  std::vector<Bytes> out;
  for (uint8_t b : stream)
    if (p.Feed(b)) out.emplace_back(p.frame(), p.frame() + p.frame_len());
  return out;
}

TEST(UartMuxParser, FindsFramesInTheStream) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
  };
  const Case cases[] = {
      {"one frame", {0xAA, 0x55, 1, 1, 2, 0x11, 0x22}, {{0xAA, 0x55, 1, 1, 2, 0x11, 0x22}}},
      {"noise first, empty payload", {0, 0xAA, 0, 0xAA, 0x55, 3, 2, 0}, {{0xAA, 0x55, 3, 2, 0}}},
      {"first sync byte repeated", {0xAA, 0xAA, 0x55, 1, 4, 1, 0x7F}, {{0xAA, 0x55, 1, 4, 1, 0x7F}}},
      {"sync bytes inside a payload are data",
       {0xAA, 0x55, 1, 1, 2, 0xAA, 0x55, 0xAA, 0x55, 2, 1, 0},
       {{0xAA, 0x55, 1, 1, 2, 0xAA, 0x55}, {0xAA, 0x55, 2, 1, 0}}},
      {"a frame's last byte never pairs with the next",
       {0xAA, 0x55, 1, 1, 1, 0xAA, 0x55, 9, 9, 0},
       {{0xAA, 0x55, 1, 1, 1, 0xAA}}},
      {"incomplete frame", {0xAA, 0x55, 1, 1, 3, 1, 2}, {}},
      {"header cut short", {0xAA, 0x55, 1}, {}},
      {"no sync at all", {0x55, 0xAA, 1, 2, 3}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Frames(c.stream), c.frames);
  }
}

TEST(UartMuxParser, TakesTheLongestPayloadAndTellsWhenInsideAFrame) {
  Bytes s = Frame(13, 1, 255, 0xEE);
  UartMuxParser p(0xAA, 0x55);
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    ASSERT_FALSE(p.Feed(s[i])) << i;
    EXPECT_EQ(p.in_frame(), i >= 1) << i;
  }
  ASSERT_TRUE(p.Feed(s.back()));
  EXPECT_FALSE(p.in_frame());
  EXPECT_EQ(p.frame_len(), UartMuxParser::kMaxFrame);
  EXPECT_EQ(Bytes(p.frame(), p.frame() + p.frame_len()), s);
}

TEST(UartMuxRouteOf, SendsEachTypeToItsRingOrRefusesIt) {
  struct Case {
    uint8_t chn, type, len;
    int ring;
    uint32_t off, part;
    std::string message;  // the failure line, or the refusal
  };
  const Case cases[] = {
      {1, 1, 2, 0, 5, 2, "Date_WriteBuf failed\n"},
      {13, 4, 0, 0, 5, 0, "Trans_SetAttr failed\n"},
      {2, 2, 3, 1, 0, 8, "Module_WriteUart failed\n"},
      {7, 3, 1, 1, 0, 6, "Trans_SetAttr failed\n"},
      {14, 1, 1, -1, 0, 0, "unknow uart protocol\n"},
      {0, 1, 1, -1, 0, 0, "unknow uart protocol\n"},
      {1, 5, 1, -1, 0, 0, "type match failed\n"},
      {1, 0, 1, -1, 0, 0, "type match failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "channel " << int(c.chn) << " type " << int(c.type));
    Bytes f = Frame(c.chn, c.type, c.len, 0x42);
    UartMuxRoute r = UartMuxRouteOf(f.data(), static_cast<uint32_t>(f.size()));
    EXPECT_EQ(r.ring, c.ring);
    EXPECT_EQ(r.ring < 0 ? r.error : r.fail, c.message);
    if (c.ring >= 0) {
      EXPECT_EQ(r.error, nullptr);
      EXPECT_EQ(r.part_off, c.off);
      EXPECT_EQ(r.part_len, c.part);
    }
  }
}

TEST(UartMuxRouteOf, RefusesAFrameWhoseLengthDoesNotAddUp) {
  Bytes f = {0xAA, 0x55, 1, 1, 4, 0, 0};
  EXPECT_STREQ(UartMuxRouteOf(f.data(), static_cast<uint32_t>(f.size())).error, "unknow uart protocol\n");
  EXPECT_STREQ(UartMuxRouteOf(f.data(), 4).error, "unknow uart protocol\n");
  EXPECT_STREQ(UartMuxRouteOf(nullptr, 5).error, "unknow uart protocol\n");
}

}  // namespace
