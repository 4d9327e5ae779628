#include <gtest/gtest.h>

#include "platform/flash/flash.h"

namespace {

TEST(ProcMtd, ParsesLinesAndAddsUpStarts) {
  std::vector<flash::MtdLine> v;
  std::string err;
  ASSERT_TRUE(flash::ParseProcMtd("dev:    size   erasesize  name\n"
                                  "mtd0: 00040000 00010000 \"boot\"\n"
                                  "mtd1: 00020000 00010000 \"env\"\n"
                                  "mtd12: 00100000 00020000 \"u boot\"\r\n",
                                  &v, &err))
      << err;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1].num, 1u);
  EXPECT_EQ(v[1].dev, "mtd1:");
  EXPECT_EQ(v[1].name, "env");
  EXPECT_EQ(v[1].start, 0x40000u);
  EXPECT_EQ(v[2].num, 12u);
  EXPECT_EQ(v[2].name, "u boot");
  EXPECT_EQ(v[2].start, 0x60000u);
  EXPECT_EQ(v[2].erasesize, 0x20000u);
}

TEST(ProcMtd, RejectsCorruptLines) {
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"no colon", "mtd0 00040000 00010000 \"boot\"\n"},
      {"no number", "mtd: 00040000 00010000 \"boot\"\n"},
      {"size not hex", "mtd0: 0004000g 00010000 \"boot\"\n"},
      {"size too long", "mtd0: 100040000 00010000 \"boot\"\n"},
      {"zero erase size", "mtd0: 00040000 00000000 \"boot\"\n"},
      {"missing erase size", "mtd0: 00040000\n"},
      {"unquoted name", "mtd0: 00040000 00010000 boot\n"},
      {"empty name", "mtd0: 00040000 00010000 \"\"\n"},
      {"name too long", "mtd0: 00040000 00010000 \"" + std::string(32, 'x') + "\"\n"},
      {"NUL inside", std::string("mtd0: 00040000 00010000 \"bo\0t\"\n", 31)},
  };
  for (auto& c : cases) {
    std::vector<flash::MtdLine> v;
    std::string err;
    EXPECT_FALSE(flash::ParseProcMtd("mtd9: 00001000 00001000 \"ok\"\n" + c.text, &v, &err)) << c.what;
    EXPECT_NE(err.find("line 2"), std::string::npos) << c.what << ": " << err;
    EXPECT_TRUE(v.empty()) << c.what;
  }
}

}  // namespace
