// RAID state read from md sysfs files the test writes, and the rebuild
// policy for a member that keeps coming back, on a simulated board.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "osa/singleton.h"
#include "storage/storage.h"
#include "support/board.h"
#include "support/board_edit.h"

using testsupport::Bin;
using testsupport::CaptureOut;
using testsupport::TempBoard;
using testsupport::WriteFile;

namespace {

namespace fs = std::filesystem;

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

struct Member {
  const char* disk;
  const char* state;
  int slot;
  const char* recovery = "none";
};

void write_array(const TempBoard& b, const std::string& md, const std::string& level, int raid_disks,
                 const std::vector<Member>& members, const std::string& degraded = "0",
                 const std::string& action = "idle") {
  std::string d = b.file("sys/block/" + md);
  fs::remove_all(d);
  fs::create_directories(d + "/md");
  WriteFile(d + "/size", "2097152\n");
  WriteFile(d + "/md/level", level + "\n");
  WriteFile(d + "/md/raid_disks", std::to_string(raid_disks) + "\n");
  WriteFile(d + "/md/degraded", degraded + "\n");
  WriteFile(d + "/md/sync_action", action + "\n");
  WriteFile(d + "/md/array_state", "clean\n");
  WriteFile(d + "/md/chunk_size", "65536\n");
  WriteFile(d + "/md/code_disks", "2\n");
  WriteFile(d + "/md/md_uuid", "01234567:89abcdef:01234567:89abcdef\n");
  for (auto& m : members) {
    std::string e = d + "/md/dev-" + m.disk;
    fs::create_directories(e);
    WriteFile(e + "/state", std::string(m.state) + "\n");
    WriteFile(e + "/slot", m.slot < 0 ? "none\n" : std::to_string(m.slot) + "\n");
    WriteFile(e + "/recovery_start", std::string(m.recovery) + "\n");
    fs::create_symlink("../../../" + std::string(m.disk), e + "/block");
  }
}

class RaidBoard : public ::testing::Test {
 protected:
  void SetUp() override { osa::ResetSingletonsForTest(); }
  RaidInfo info(const char* md) {
    RaidInfo i{};
    out_ = CaptureOut([&] { rc_ = Raid_GetRaidInfo(md, &i); });
    return i;
  }
  TempBoard b_{"sata3"};
  std::string out_;
  int rc_ = 0;
};

TEST_F(RaidBoard, LevelRulesDecideActiveAndDegraded) {
  // RAID 5 of 4 disks: 3 in sync is active and degraded (17), 2 is inactive.
  write_array(b_, "md5", "raid5", 4,
              {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}, {"sdd", "in_sync", 2}, {"sde", "faulty", -1}});
  RaidInfo i = info("/dev/md5");
  ASSERT_EQ(rc_, 0);
  EXPECT_EQ(i.state, 17u) << "degraded file 0, yet one member short";
  EXPECT_EQ(i.inSync, 3);
  EXPECT_EQ(i.faulty, 1);
  EXPECT_EQ(i.members, 4);
  EXPECT_EQ(i.chunk, 64u);
  EXPECT_EQ(i.size, 2097152ull * 512);
  write_array(b_, "md5", "raid5", 4, {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}}, "2");
  EXPECT_EQ(info("/dev/md5").state, static_cast<uint32_t>(RAID_INACTIVE));
  // RAID 10: losing one of each pair keeps it; losing a whole pair does not.
  write_array(b_, "md6", "raid10", 4, {{"sdc", "in_sync", 1}, {"sde", "in_sync", 3}}, "2");
  EXPECT_EQ(info("/dev/md6").state, RAID_NORMAL | RAID_DEGRADED);
  write_array(b_, "md6", "raid10", 4, {{"sdd", "in_sync", 2}, {"sde", "in_sync", 3}}, "2");
  EXPECT_EQ(info("/dev/md6").state, static_cast<uint32_t>(RAID_INACTIVE));
  // RAID 0 needs every member; linear one with a spare is inactive too.
  write_array(b_, "md7", "raid0", 2, {{"sdb", "in_sync", 0}});
  EXPECT_EQ(info("/dev/md7").state, static_cast<uint32_t>(RAID_INACTIVE));
  write_array(b_, "md7", "linear", 2, {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}, {"sdd", "spare", -1, "0"}});
  EXPECT_EQ(info("/dev/md7").state, static_cast<uint32_t>(RAID_INACTIVE));
  // Level 9 counts its code disks; 6 tolerates two missing.
  write_array(b_, "md8", "raid9", 5, {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}, {"sdd", "in_sync", 2}});
  EXPECT_EQ(info("/dev/md8").state, 17u);
  write_array(b_, "md8", "raid6", 5, {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}}, "3");
  EXPECT_EQ(info("/dev/md8").state, static_cast<uint32_t>(RAID_INACTIVE));
}

TEST_F(RaidBoard, RebuildProgressComesFromMdstatAndBadTextIsRefused) {
  write_array(b_, "md0", "raid1", 2, {{"sdb", "in_sync", 0}, {"sdc", "spare", 1, "4096"}}, "1", "recover");
  WriteFile(b_.file("proc/mdstat"),
            "Personalities : [raid1]\nmd0 : active raid1 sdc[2] sdb[0]\n      1047552 blocks super 1.0 [2/1] [U_]\n"
            "      [====>................]  recovery = 22.5% (235904/1047552) finish=2.4min speed=5120K/sec\n\n");
  RaidInfo i = info("/dev/md0");
  EXPECT_EQ(i.state, RAID_NORMAL | RAID_DEGRADED | RAID_RECOVER);
  EXPECT_EQ(i.active, 2);
  EXPECT_EQ(i.spares, 0);
  EXPECT_FLOAT_EQ(i.progress, 22.5f);
  EXPECT_EQ(i.finish, 2);
  EXPECT_FLOAT_EQ(i.speed, 5.0f);
  // The section ends at the blank line: md1's figures are not md0's.
  WriteFile(b_.file("proc/mdstat"),
            "md0 : active raid1 sdc[2] sdb[0]\n\nmd1 : active\n"
            "      [====>................]  recovery = 22.5% (235904/1047552) finish=2.4min speed=5120K/sec\n");
  EXPECT_EQ(info("/dev/md0").progress, 0.0f);
  // Non-digit counts: the array is inactive, with the line that says why.
  WriteFile(b_.file("sys/block/md0/md/raid_disks"), "two\n");
  EXPECT_EQ(info("/dev/md0").state, static_cast<uint32_t>(RAID_INACTIVE));
  EXPECT_TRUE(has(out_, "Invalid acRaidDiskNum\n")) << out_;
  WriteFile(b_.file("sys/block/md0/md/raid_disks"), "2\n");
  WriteFile(b_.file("sys/block/md0/md/degraded"), "x\n");
  info("/dev/md0");
  EXPECT_TRUE(has(out_, "Invalid szDegrade\n")) << out_;
  fs::remove(b_.file("sys/block/md0/md/array_state"));
  EXPECT_EQ(info("/dev/md0").state, static_cast<uint32_t>(RAID_INACTIVE));
  EXPECT_TRUE(has(out_, "get file:[/sys/block/md0/md/array_state] content failded!\n")) << out_;
  // An unreadable level falls back to the configuration files.
  WriteFile(b_.file("sys/block/md0/md/level"), "\n");
  WriteFile(b_.file("var/mdadm.conf"), "ARRAY /dev/md0 level=raid6 num-devices=4\n");
  EXPECT_EQ(Raid_GetLevel("/dev/md0"), 6);
  EXPECT_EQ(Raid_GetLevel("/dev/md0;reboot"), -1);
}

// Returns the output of one hotplug scan after `dvrsim unplug|plug`.
std::string cycle(const TempBoard& b, const char* action) {
  auto r = testsupport::Run({Bin("dvrsim"), action, b.dir(), "sdd"});
  EXPECT_EQ(r.status, 0) << r.err;
  usleep(1100 * 1000);  // the scan tells a missing disk by its second
  return CaptureOut([] { Hd_DetectHotpluged(); });
}

TEST_F(RaidBoard, AReturningMemberIsReAddedTwiceAnHourNotThrice) {
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "5", "/dev/sdb", "/dev/sdc", "/dev/sdd"}, &b_);
  ASSERT_EQ(r.status, 0) << r.err;
  CaptureOut([] { ASSERT_EQ(ide_init(), 0); });
  std::string out;
  for (int i = 1; i <= 3; ++i) {
    cycle(b_, "unplug");
    out = cycle(b_, "plug");
    SCOPED_TRACE(i);
    EXPECT_TRUE(has(out, "a device(/dev/sdd) on.\n")) << out;
    EXPECT_TRUE(has(out, "/dev/md0 degraded times 24hour=" + std::to_string(i) + ", 1hour=" + std::to_string(i) + ".\n"))
        << out;
    EXPECT_EQ(has(out, "Raid /dev/md0 degraded times exceed limit, 24hour=3, 1hour=3.\n"), i == 3) << out;
  }
  int adds = 0;
  for (auto& e : b_.events()) adds += e == "sh mdadm --manage /dev/md0 --add /dev/sdd > /dev/null";
  EXPECT_EQ(adds, 2);
  // A disk whose array is whole again is left alone, and so is a stranger.
  RaidInfo i{};
  ASSERT_EQ(Raid_GetRaidInfo("/dev/md0", &i), 0);
  EXPECT_EQ(i.inSync, 2);
  Hd_StopHotplugThread();
}

TEST_F(RaidBoard, HealthyOrRecoveringArraysGetNothingAndStrangersAreIgnored) {
  testsupport::EditBoard(b_, [](nlohmann::json& d) { d["md"]["rebuild"] = "instant"; });
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "1", "/dev/sdb", "/dev/sdc", "--", "Raid_SetFaultyDisk",
                             "/dev/md0", "/dev/sdc", "--", "Raid_RemoveDisk", "/dev/md0", "/dev/sdc", "--", "Raid_AddDisk",
                             "/dev/md0", "/dev/sdd"},
                            &b_);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string out = CaptureOut([] {
    hd::RefreshDegradeHistory(hd::DegradeClock());
    EXPECT_EQ(hd::CheckIfRebuildRaid("sdc"), 0);
    EXPECT_EQ(Raid_ClearRaidInfo("/dev/sdc"), 0);
    EXPECT_EQ(hd::CheckIfRebuildRaid("sdc"), 0);
  });
  EXPECT_TRUE(has(out, "Raid /dev/md0(level 1) is not degraded or is recovering.\n")) << out;
  EXPECT_TRUE(has(out, "There is no superblock in /dev/sdc.\n")) << out;
  for (auto& e : b_.events()) EXPECT_FALSE(has(e, "--add /dev/sdc")) << e;
}

}  // namespace

namespace {

TEST_F(RaidBoard, AddDiskRefusalsCarryTheirErrnoValues) {
  write_array(b_, "md7", "raid0", 2, {{"sdb", "in_sync", 0}, {"sdc", "in_sync", 1}});
  write_array(b_, "md5", "raid5", 4, {{"sdb", "in_sync", 0}}, "3");
  std::string out = CaptureOut([] {
    EXPECT_EQ(Raid_AddDisk("/dev/md7", "/dev/sdd"), -EINTR);
    EXPECT_EQ(Raid_AddDisk("/dev/md5", "/dev/sdd"), -ESRCH);
    EXPECT_EQ(Raid_AddDisk("/dev/md9", "/dev/sdd"), -ENOENT);
    EXPECT_EQ(Raid_AddDisk("/dev/md7;reboot", "/dev/sdd"), -ENOENT);
  });
  EXPECT_TRUE(has(out, "Raid level 0 not support!\n")) << out;
  EXPECT_TRUE(has(out, "info.state:2!\n")) << out;
  EXPECT_TRUE(has(out, "getInfo Failed\n")) << out;
  for (auto& e : b_.events()) EXPECT_FALSE(has(e, "mdadm")) << e;
}

TEST_F(RaidBoard, StandbyOfAnArrayOfSixtyFiveRefusesAndStatsAreRead) {
  std::vector<Member> many;
  std::vector<std::string> names;
  for (int i = 0; i < 65; ++i) names.push_back(std::string("sd") + static_cast<char>('a' + i / 26) + static_cast<char>('a' + i % 26));
  for (int i = 0; i < 65; ++i) many.push_back({names[i].c_str(), "in_sync", i});
  write_array(b_, "md9", "raid6", 65, many);
  WriteFile(b_.file("dev/md9"), std::string(4096, '\0'));
  WriteFile(b_.file("sys/block/sdb/stat"), "     10  0  800  5  20  1  1600  9  0  14  14\n");
  std::string out = CaptureOut([] {
    ASSERT_EQ(ide_init(), 0);
    int logic = ide_get_no("/dev/md9");
    ASSERT_GE(logic, 0);
    EXPECT_EQ(ide_setstandby(logic, 0), -1);
    HdIoStat s{};
    EXPECT_EQ(ide_get_iostat(ide_get_no("/dev/sdb"), &s), 0);
    EXPECT_EQ(s.writeSectors, 1600u);
    EXPECT_EQ(ide_get_iostat(ide_get_no("/dev/sdc"), &s), -1);
  });
  EXPECT_TRUE(has(out, "Too much disks to op at the same time, 64 supported.\n")) << out;
  EXPECT_TRUE(has(out, "get file:[/sys/block/sdc/stat] content failded!\n")) << out;
  Hd_StopHotplugThread();
}

}  // namespace
