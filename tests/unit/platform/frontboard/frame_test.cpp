// Front-panel frames out of the bytes the boards deliver.
#include <gtest/gtest.h>

#include <vector>

#include "platform/frontboard/frontboard.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FbdSplitFrames, SkipsToTheNextFFAndKeepsAnIncompleteFrame) {
  struct Case {
    const char* name;
    Bytes in;
    std::vector<FbdFrame> frames;
    size_t used;
  };
  const Case cases[] = {
      {"release frame", {0xFF, 9, 0, 0}, {{0xFF, 9, 0, 0}}, 4},
      {"garbage first", {0x12, 0x34, 0xFF, 9, 0, 0}, {{0xFF, 9, 0, 0}}, 6},
      {"a frame may hold FF", {0xFF, 1, 0xFF, 9, 0, 0}, {{0xFF, 1, 0xFF, 9}}, 6},
      {"two frames", {0xFF, 9, 0, 1, 0xFF, 9, 0, 0}, {{0xFF, 9, 0, 1}, {0xFF, 9, 0, 0}}, 8},
      {"incomplete frame waits", {0xFF, 9}, {}, 0},
      {"garbage, then the start of a frame", {1, 2, 0xFF, 9}, {}, 2},
      {"garbage only", {1, 2, 3, 4, 5}, {}, 5},
      {"nothing", {}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FbdFrame> got;
    EXPECT_EQ(FbdSplitFrames(c.in.data(), c.in.size(), &got), c.used);
    EXPECT_EQ(got, c.frames);
  }
}

// The panel's frame may come in pieces: FF 09 in one read, 00 00 later.
TEST(FbdSplitFrames, AFrameInTwoReadsIsFoundOnceComplete) {
  Bytes buf = {0xFF, 9};
  std::vector<FbdFrame> got;
  ASSERT_EQ(FbdSplitFrames(buf.data(), buf.size(), &got), 0u);
  buf.insert(buf.end(), {0, 0});
  ASSERT_EQ(FbdSplitFrames(buf.data(), buf.size(), &got), 4u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(FbdIsRelease(got[0]));
  EXPECT_FALSE(FbdIsRelease({0xFF, 9, 0, 1}));
  EXPECT_FALSE(FbdIsRelease({0xFF, 0x0A, 0, 0}));
  EXPECT_EQ(FbdSplitFrames(nullptr, 4, &got), 0u);
}

}  // namespace
