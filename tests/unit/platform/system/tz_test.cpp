// Time-zone texts, the zoneinfo rule and /proc readers (pure).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/system/system.h"

namespace {

TEST(Timezone, WholeOffsetRangeRoundTripsInMinuteSteps) {
  for (int off = -43200; off <= 46800; off += 60) {
    char t[32];
    ASSERT_TRUE(TzText(off, t, sizeof t)) << off;
    int back = 0;
    ASSERT_TRUE(TzParse(t, &back)) << t;
    EXPECT_EQ(back, off) << t;
  }
}

TEST(Timezone, TextsAndLimits) {
  struct Case {
    int offset;
    const char* text;  // nullptr: refused
  };
  const Case cases[] = {
      {46800, "GMT-13:00"}, {46801, nullptr},       {-43200, "GMT+12:00"}, {-43201, nullptr},
      {19800, "GMT-05:30"}, {-12600, "GMT+03:30"}, {0, "GMT+00:00"},      {-1800, "GMT+00:30"},
  };
  for (auto& c : cases) {
    char t[32] = {};
    EXPECT_EQ(TzText(c.offset, t, sizeof t), c.text != nullptr) << c.offset;
    if (c.text) {
      EXPECT_STREQ(t, c.text);
    }
  }
  int v;
  EXPECT_FALSE(TzParse("GMT-14:00", &v));
  EXPECT_FALSE(TzParse("GMT+01:60", &v));
  EXPECT_FALSE(TzParse("UTC", &v));
}

TEST(Zoneinfo, RuleIsReplacedAndTheLengthFollows) {
  std::string def(TzDefaultFile());
  ASSERT_EQ(def.size(), 407u);
  std::string out;
  ASSERT_TRUE(TzReplaceRule(def, -8 * 3600, &out));
  EXPECT_EQ(out.size(), def.size() - std::string("CST+0:0\n").size() + std::string("CST-8:0\n").size());
  EXPECT_EQ(out.substr(out.size() - 8), "CST-8:0\n");
  EXPECT_EQ(TzRule(19800 * -1), "CST-5:30\n");
  EXPECT_EQ(TzRule(12600), "CST+3:30\n");
  EXPECT_FALSE(TzReplaceRule("no rule here", 0, &out));
  EXPECT_EQ(out, def) << "falls back to the default file";
}

// zdump reads our default file as the Shanghai rules.
TEST(Zoneinfo, DefaultFileIsValidTzifForZdump) {
  char path[] = "/tmp/tzXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  auto def = TzDefaultFile();
  ASSERT_EQ(write(fd, def.data(), def.size()), static_cast<ssize_t>(def.size()));
  close(fd);
  std::string cmd = std::string("zdump -v -c 1985,1992 ") + path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  unlink(path);
  EXPECT_NE(out.find("Sat May  3 16:00:00 1986 UT = Sun May  4 01:00:00 1986 CDT"), std::string::npos) << out;
  EXPECT_NE(out.find("isdst=1 gmtoff=32400"), std::string::npos) << out;
  // After the last transition the footer rule, UTC, applies.
  EXPECT_NE(out.find("Sat Sep 14 15:00:00 1991 UT = Sat Sep 14 15:00:00 1991 CST isdst=0 gmtoff=0"), std::string::npos) << out;
}

TEST(ProcReaders, StatLinesAndCores) {
  const char stat[] =
      "cpu  200 10 100 1000 5 0 1 0 0 0\n"
      "cpu0 100 5 50 500 2 0 1 0 0 0\n"
      "cpu1 100 5 50 500 3 0 0 0 0 0\n"
      "intr 1\n";
  CpuSample s;
  ASSERT_TRUE(CpuParseStat(stat, -1, &s));
  EXPECT_EQ(s.user, 100u);
  EXPECT_EQ(s.idle, 500u);
  EXPECT_EQ(s.softirq, 1u);
  ASSERT_TRUE(CpuParseStat(stat, 1, &s));
  EXPECT_EQ(s.iowait, 3u);
  EXPECT_FALSE(CpuParseStat(stat, 2, &s));
  EXPECT_FALSE(CpuParseStat("cpu  1 2 3 4\n", -1, &s)) << "no per-core line";
  EXPECT_EQ(CpuCountCores(stat), 2);
  EXPECT_EQ(CpuCountCores("cpu  1 2 3 4\n"), -1);
}

TEST(ProcReaders, CpuModelAndCategories) {
  char m[16];
  ASSERT_TRUE(CpuParseModel("model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\n", m, sizeof m));
  EXPECT_STREQ(m, "i7-8700");
  ASSERT_TRUE(CpuParseModel("model name : Intel(R) Xeon(R) CPU E5-2680 v4\n", m, 4));
  EXPECT_STREQ(m, "CPU") << "two words after the vendor text";
  EXPECT_FALSE(CpuParseModel("model name : ARMv7 Processor rev 5 (v7l)\n", m, sizeof m));
  EXPECT_STREQ(DeviceCategory(6), "NVR");
  EXPECT_STREQ(DeviceCategory(35), "FSU");
  EXPECT_STREQ(DeviceCategory(10), "Unknow");
}

}  // namespace
