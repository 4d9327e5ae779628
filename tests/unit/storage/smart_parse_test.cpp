// Pure parts of disk access: the standby timer map, attribute names and
// the parsers of SMART sectors, IDENTIFY data, sense data and statistics.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

void seal(uint8_t* s) {
  uint8_t sum = 0;
  for (int i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + s[i]);
  s[511] = static_cast<uint8_t>(-sum);
}

TEST(SmartParse, StandbyMinutesMapToTheTimerCount) {
  const std::pair<int, int> cases[] = {{0, 0},    {1, 12},    {20, 240},  {21, 252},  {25, 254},  {29, 254},
                                       {30, 241}, {59, 241},  {60, 242},  {330, 251}, {331, 254}, {479, 254},
                                       {480, 253}, {600, 253}, {720, 253}, {721, 254}, {-5, 254}};
  for (auto [m, c] : cases) EXPECT_EQ(hd::StandbyCount(m), c) << m;
}

TEST(SmartParse, NamesIncludingSharedIdsAndTheMisspelledFallback) {
  EXPECT_STREQ(hd::SmartAttrName(2), "Through Put Perfromance");
  EXPECT_STREQ(hd::SmartAttrName(231), "Temperature");
  EXPECT_STREQ(hd::SmartAttrName(221), "G-Sense Error Rate");
  EXPECT_STREQ(hd::SmartAttrName(228), "Power_Off Rectract Count");
  EXPECT_STREQ(hd::SmartAttrName(100), "Unkown Attribute");
  EXPECT_STREQ(hd::SmartAttrName(0), "Unkown Attribute");
}

TEST(SmartParse, AttributesNeedGoodChecksumsAndTakeThresholds) {
  uint8_t d[512] = {}, t[512] = {};
  const uint8_t a9[12] = {9, 0x32, 0, 98, 97, 0xd2, 0x04, 0, 0, 0, 0x01, 0};
  std::memcpy(d + 2 + 12, a9, sizeof a9);  // the second slot; the first is empty
  seal(d);
  t[2] = 9, t[3] = 5;
  seal(t);
  std::vector<HdSmartAttr> v;
  ASSERT_TRUE(hd::ParseSmartAttrs(d, t, &v));
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].value, 98);
  EXPECT_EQ(v[0].worst, 97);
  EXPECT_EQ(v[0].threshold, 5);
  EXPECT_EQ(v[0].raw, 0x0100000004d2ull);
  EXPECT_STREQ(v[0].name, "Power On Hours Count");
  d[40] ^= 1;
  EXPECT_FALSE(hd::ParseSmartAttrs(d, t, &v));
  d[40] ^= 1;
  t[100] = 1;
  EXPECT_FALSE(hd::ParseSmartAttrs(d, t, &v)) << "thresholds are checked too";
}

TEST(SmartParse, ErrorLogRingChecksumAndIndex) {
  uint8_t s[512] = {};
  s[0] = 1;
  s[1] = 1;  // newest in slot 0
  for (int slot = 0; slot < 5; ++slot) s[2 + 90 * slot + 60 + 3] = static_cast<uint8_t>(slot + 10);
  s[452] = 6;
  seal(s);
  HdSmartErrLog log;
  std::string msg;
  ASSERT_TRUE(hd::ParseSmartErrlog(s, &log, &msg));
  EXPECT_EQ(log.entries, 5);
  EXPECT_EQ(log.err[0].lba, 10u);
  EXPECT_EQ(log.err[1].lba, 14u) << "wraps to slot 4";
  s[1] = 6;
  seal(s);
  EXPECT_FALSE(hd::ParseSmartErrlog(s, &log, &msg));
  EXPECT_EQ(msg, "log_index exceed 5.\n");
  s[1] = 0;
  s[7] ^= 0xff;
  EXPECT_FALSE(hd::ParseSmartErrlog(s, &log, &msg));
  seal(s);
  ASSERT_TRUE(hd::ParseSmartErrlog(s, &log, &msg));
  EXPECT_EQ(log.entries, 0);
}

TEST(SmartParse, IdentifyStringsSizesAndIntegrityWord) {
  uint8_t id[512] = {};
  const char* serial = "ZA1234";  // bytes swapped per word
  for (int i = 0; i < 20; ++i) id[20 + (i ^ 1)] = i < 6 ? static_cast<uint8_t>(serial[i]) : ' ';
  id[164] = 1, id[166] = 0, id[167] = 0x04, id[170] = 1;
  id[200] = 0x00, id[201] = 0x00, id[202] = 0x00, id[203] = 0x80, id[204] = 0x01;  // 0x180000000 sectors
  id[510] = 0xa5;
  seal(id);
  HdDiskDetail d;
  ASSERT_TRUE(hd::ParseIdentify(id, &d));
  EXPECT_STREQ(d.serial, "ZA1234");
  EXPECT_EQ(d.sectors, 0x180000000ull);
  EXPECT_TRUE(d.smartSupported && d.smartEnabled && d.lba48);
  id[30] = 'X';
  EXPECT_FALSE(hd::ParseIdentify(id, &d)) << "signature A5h with a wrong checksum";
  id[510] = 0;
  EXPECT_TRUE(hd::ParseIdentify(id, &d)) << "no integrity word: nothing to check";
}

TEST(SmartParse, SenseDataDescriptorsAndBounds) {
  const uint8_t desc[22] = {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 14, 0x09, 0x0c, 0, 0x00, 0, 0x80, 0, 0x00, 0, 0x4f, 0, 0xc2, 0x40, 0x50};
  hd::AtaRegs r;
  ASSERT_EQ(hd::ParseAtaSense(desc, sizeof desc, &r), 1);
  EXPECT_EQ(r.count, 0x80);
  EXPECT_EQ(r.lba, 0xc24f00u);
  EXPECT_EQ(r.status, 0x50);
  EXPECT_EQ(hd::ParseAtaSense(desc, 0, &r), 0);
  EXPECT_EQ(hd::ParseAtaSense(desc, 5, &r), -1);
  EXPECT_EQ(hd::ParseAtaSense(desc, 15, &r), -1) << "descriptor cut by the copied length";
  uint8_t lying[22];
  std::memcpy(lying, desc, sizeof lying);
  lying[9] = 200;  // a descriptor longer than the data
  EXPECT_EQ(hd::ParseAtaSense(lying, sizeof lying, &r), -1);
  const uint8_t fixed[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10};
  EXPECT_EQ(hd::ParseAtaSense(fixed, sizeof fixed, &r), 0);
  const uint8_t junk[4] = {0x12, 1, 2, 3};
  EXPECT_EQ(hd::ParseAtaSense(junk, sizeof junk, &r), -1);
}

TEST(SmartParse, BlockStatistics) {
  HdIoStat s;
  ASSERT_TRUE(hd::ParseDiskStat("  120  3 9000 40 7 1 5000000000 70 0 110 150\n", &s));
  EXPECT_EQ(s.readIos, 120u);
  EXPECT_EQ(s.writeSectors, 5000000000ull);
  EXPECT_EQ(s.timeInQueue, 150u);
  EXPECT_FALSE(hd::ParseDiskStat("1 2 3", &s));
  EXPECT_FALSE(hd::ParseDiskStat("1 2 -3 4 5 6 7 8 9 10 11", &s));
  EXPECT_FALSE(hd::ParseDiskStat("", &s));
}

}  // namespace
