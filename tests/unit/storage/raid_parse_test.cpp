// The RAID side's pure parts: the creation table and its commands, the
// md text parsers and the re-add rate limit over simulated days.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

TEST(RaidTable, DiskCountsPerLevel) {
  struct Case {
    int level, disks, data, parity, spares;
    const char* msg;  // nullptr: accepted
  };
  const Case cases[] = {
      {1, 2, 0, 0, 0, nullptr},
      {1, 3, 0, 0, 0, "3 out of limit 2 -- 2\n"},
      {0, 1, 0, 0, 0, "1 out of limit 2 -- 64\n"},
      {5, 2, 0, 0, 0, "2 out of limit 3 -- 64\n"},
      {5, 65, 0, 0, 0, "65 out of limit 3 -- 64\n"},
      {6, 3, 0, 0, 0, "3 out of limit 4 -- 64\n"},
      {10, 5, 0, 0, 0, "Raid 10 must be even disks\n"},
      {10, 4, 0, 0, 0, nullptr},
      {9, 12, 10, 2, 0, nullptr},
      {9, 12, 10, 3, 0, "wrong disk num (12 10 3)."},
      {9, 17, 15, 2, 0, "17 out of limit 3 -- 16\n"},
      {9, 16, 16, 0, 0, "datadisks 16 out of limit 2 -- 15\n"},
      {9, 12, 3, 9, 0, "paritydisks 9 out of limit 1 -- 8\n"},
      {20, 12, 8, 2, 3, "spare disks more than required!\n"},
      {20, 12, 8, 2, 2, nullptr},
      {20, 11, 8, 2, 0, "11 out of limit 12 -- 48\n"},
      {76, 2, 0, 0, 0, nullptr},
      {18, 3, 0, 0, 0, nullptr},
  };
  for (auto& c : cases) {
    std::string msg;
    bool ok = hd::RaidCountOk(c.level, c.disks, c.data, c.parity, c.spares, &msg);
    SCOPED_TRACE(std::to_string(c.level) + "/" + std::to_string(c.disks));
    EXPECT_EQ(ok, c.msg == nullptr) << msg;
    if (c.msg) {
      EXPECT_EQ(msg, c.msg);
    }
  }
}

TEST(RaidTable, CreateCommandsPerLevel) {
  std::vector<std::string> m3 = {"/dev/sdb", "/dev/sdc", "/dev/sdd"};
  auto cmd = [&](int level, const std::string& alias = "", bool clean = false, int chunk = 0) {
    return hd::RaidCreateCommand("md0", level, chunk, m3, alias, clean, 3, 1, 8, 2);
  };
  EXPECT_EQ(cmd(5), "mdadm -C --bitmap=internal --chunk=32 --metadata=1.0 /dev/md0 -l 5 -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null");
  EXPECT_EQ(cmd(5, "cam", true, 64),
            "mdadm -C --bitmap=internal --chunk=64 --metadata=1.0 /dev/md0 -l 5 -n 3 -R /dev/sdb /dev/sdc /dev/sdd  --name 'cam'  --assume-clean > /dev/null");
  EXPECT_EQ(cmd(18), "mdadm -C --bitmap=internal --chunk=32 --metadata=1.0 --assume-clean /dev/md0 -l s -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null");
  EXPECT_EQ(cmd(3, "ignored"), "mdadm -C --bitmap=internal --chunk=16 --metadata=1.0 /dev/md0 -l 5 -n 3  -p  parity-last -R /dev/sdb /dev/sdc /dev/sdd  > /dev/null");
  EXPECT_EQ(cmd(0), "mdadm -C --chunk=32 --metadata=1.0 /dev/md0 -l 0 -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null");
  EXPECT_EQ(cmd(76), "mdadm -C /dev/md0 -l linear -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null");
  EXPECT_EQ(cmd(20, "", false, 0), "mdadm -C -l 20 --bitmap=internal --chunk=0 --delay=60 --metadata=1.0 --layout 1,10 /dev/md0 -n 3 -x 3 -R /dev/sdb /dev/sdc /dev/sdd  > /dev/null");
  EXPECT_EQ(cmd(9, "", false, 128), "mdadm -C --bitmap=internal --chunk=32 --metadata=1.0 --assume-clean /dev/md0 -l 9 -n 3 --code-disks=2 -R /dev/sdb /dev/sdc /dev/sdd  > /dev/null");
  EXPECT_EQ(cmd(7), "mdadm -C /dev/md0 -l 7 -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null");
  EXPECT_EQ(cmd(1, "a"), "mdadm -C --bitmap=internal --chunk=32 --metadata=1.0 /dev/md0 -l 1 -n 3 -R /dev/sdb /dev/sdc /dev/sdd  --name 'a' > /dev/null");
}

TEST(RaidParse, LevelsUuidsAndMdadmOutput) {
  int level = -1;
  EXPECT_TRUE(hd::ParseMdLevel("raid5\n", &level));
  EXPECT_EQ(level, 5);
  EXPECT_TRUE(hd::ParseMdLevel("linear\n", &level));
  EXPECT_EQ(level, 76);
  EXPECT_TRUE(hd::ParseMdLevel("sraid", &level));
  EXPECT_EQ(level, 18);
  for (const char* bad : {"", "raid", "raidx", "raid999", "raid-1", "multipath", "raid5 extra"})
    EXPECT_FALSE(hd::ParseMdLevel(bad, &level)) << bad;
  uint32_t u[4] = {};
  ASSERT_TRUE(hd::ParseMdUuid("8c838d07:5584f394:97401712:a7810cc1\n", u));
  EXPECT_EQ(u[0], 0x8c838d07u);
  EXPECT_EQ(u[3], 0xa7810cc1u);
  ASSERT_TRUE(hd::ParseMdUuid("8c838d07-5584-f394-9740-1712a7810cc1", u));
  EXPECT_EQ(u[1], 0x5584f394u);
  for (const char* bad : {"", "8c838d07", "8c838d07:5584f394:97401712:a7810cc1:00", "zz838d07:5584f394:97401712:a7810cc1"})
    EXPECT_FALSE(hd::ParseMdUuid(bad, u)) << bad;
  ASSERT_TRUE(hd::ParseMdadmUuid("ARRAY /dev/md/0  metadata=1.0 UUID=01234567:89abcdef:00000000:ffffffff name=x\n", u));
  EXPECT_EQ(u[1], 0x89abcdefu);
  EXPECT_FALSE(hd::ParseMdadmUuid("mdadm: No md superblock detected on /dev/sdb.\n", u));
  EXPECT_FALSE(hd::ParseMdadmUuid("ARRAY UUID=0123456789abcdef0000000", u));
}

TEST(RaidParse, MdstatProgressOfTheNamedArrayOnly) {
  const std::string mdstat =
      "Personalities : [raid5]\n"
      "md1 : active raid1 sde[1] sdf[0]\n"
      "      1047552 blocks super 1.0 [2/2] [UU]\n"
      "      [=>...................]  resync = 7.5% (1/2) finish=3.0min speed=1024K/sec\n"
      "\n"
      "md0 : active raid5 sdd[3] sdc[1] sdb[0]\n"
      "      2096960 blocks super 1.0 level 5, 32k chunk, algorithm 2 [3/2] [UU_]\n"
      "      [==>..................]  recovery = 12.6% (132096/1048480) finish=0.7min speed=21504K/sec\n"
      "      bitmap: 0/1 pages [0KB], 65536KB chunk\n"
      "\n"
      "unused devices: <none>\n";
  float p = 0;
  int finish = 0, speed = 0;
  ASSERT_TRUE(hd::ParseMdstatProgress(mdstat, "md0", false, &p, &finish, &speed));
  EXPECT_FLOAT_EQ(p, 12.6f);
  EXPECT_EQ(finish, 0);
  EXPECT_EQ(speed, 21504);
  EXPECT_FALSE(hd::ParseMdstatProgress(mdstat, "md0", true, &p, &finish, &speed)) << "md0 has no resync line";
  ASSERT_TRUE(hd::ParseMdstatProgress(mdstat, "md1", true, &p, &finish, &speed));
  EXPECT_EQ(finish, 3);
  EXPECT_FALSE(hd::ParseMdstatProgress(mdstat, "md2", false, &p, &finish, &speed));
  EXPECT_FALSE(hd::ParseMdstatProgress(mdstat, "md", false, &p, &finish, &speed));
  // A progress line cut short by the reader's limit gives nothing.
  std::string cut = mdstat.substr(0, mdstat.find("finish=0.7"));
  EXPECT_FALSE(hd::ParseMdstatProgress(cut, "md0", false, &p, &finish, &speed));
}

TEST(RaidDegrade, ReAddsAreLimitedPerHourAndPerDay) {
  std::vector<int64_t> times;
  int64_t t = 1000000;
  // Within one hour: the first two arrivals may be added, the third not.
  EXPECT_TRUE(hd::UpdateDegradeTimes(&times, t).allowed());
  EXPECT_TRUE(hd::UpdateDegradeTimes(&times, t + 60).allowed());
  hd::DegradeCounts c = hd::UpdateDegradeTimes(&times, t + 120);
  EXPECT_EQ(c.hour, 3u);
  EXPECT_FALSE(c.allowed());
  // A day later all of that is forgotten.
  times.clear();
  t += 10 * 86400;
  for (int i = 0; i < 5; ++i) {
    c = hd::UpdateDegradeTimes(&times, t + i * 7200);  // two hours apart
    EXPECT_TRUE(c.allowed()) << i;
    EXPECT_EQ(c.day, static_cast<unsigned>(i + 1));
    EXPECT_EQ(c.hour, 1u);
  }
  c = hd::UpdateDegradeTimes(&times, t + 5 * 7200);
  EXPECT_EQ(c.day, 6u);
  EXPECT_FALSE(c.allowed()) << "the sixth arrival within 24 hours";
  // Times 86400 s old are dropped; 86399 s old still count.
  times = {t, t + 1};
  c = hd::UpdateDegradeTimes(&times, t + 86400);
  EXPECT_EQ(c.day, 2u);
  EXPECT_EQ(times.size(), 2u);
  // A clock that went backwards does not count a future time.
  times = {t + 100};
  EXPECT_EQ(hd::UpdateDegradeTimes(&times, t).day, 1u);
}

}  // namespace
