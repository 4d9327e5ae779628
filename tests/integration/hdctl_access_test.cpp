// Disk access, power management and SMART through hdctl on simulated SATA
// disks: the commands the disks see, every SMART fault, I/O bounds past
// 2 TiB, slow disks, and standby of an array with a failing member.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/board.h"
#include "support/board_edit.h"

using testsupport::Bin;
using testsupport::TempBoard;

namespace {

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

bool has_event(const TempBoard& b, const std::string& line) {
  for (auto& e : b.events())
    if (e == line) return true;
  return false;
}

std::string plain(const std::string& s) {
  std::string o;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\x1b') {
      std::size_t m = s.find('m', i);
      if (m != std::string::npos) {
        i = m;
        continue;
      }
    }
    o += s[i];
  }
  return o;
}

testsupport::RunResult hdctl(const TempBoard& b, std::vector<std::string> args) {
  args.insert(args.begin(), Bin("hdctl"));
  auto r = testsupport::Run(args, &b);
  r.out = plain(r.out);
  return r;
}

TEST(HdctlAccess, StandbyTimerCountsAndPowerStates) {
  TempBoard b("sata3");
  auto r = hdctl(b, {"ide_init", "--", "ide_setstandby", "0", "20", "--", "ide_setstandby", "0", "30", "--", "ide_setstandby",
                     "0", "330", "--", "ide_setstandby", "0", "21", "--", "ide_setstandby", "0", "600", "--",
                     "ide_setstandby", "0", "25", "--", "ide_get_disk_powermode", "sdb", "--", "scsi_setstandbyname",
                     "sdb", "0", "--", "ide_get_disk_powermode", "/dev/sdb", "--", "scsi_wakeup_byname", "/dev/sdb", "--",
                     "ide_get_disk_powermode", "sdb", "--", "ide_setstandby", "7", "1", "--", "scsi_wakeup_byname", "sdq",
                     "--", "ide_setstandby", "0", "-1"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int count : {240, 241, 251, 252, 253, 254})
    EXPECT_TRUE(has_event(b, "ata sdb cmd=e3 feature=00 count=" + std::to_string(count) + " via=sgio")) << count;
  EXPECT_TRUE(has_event(b, "ata sdb cmd=e0 feature=00 count=0 via=sgio"));
  EXPECT_TRUE(has_event(b, "ata sdb cmd=e1 feature=00 count=0 via=sgio"));
  EXPECT_TRUE(has(r.out, "ide_get_disk_powermode rc=255\nmode=0xff\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_get_disk_powermode rc=0\nmode=0x00\n")) << r.out;
  EXPECT_TRUE(has(r.out, "/dev/sdb read front\n"));
  EXPECT_TRUE(has(r.out, "wakeup ide_no:0, disk:/dev/sdb, costed: ")) << r.out;
  EXPECT_TRUE(has(r.out, "No such device, logic number: 7!\n"));
  EXPECT_TRUE(has(r.out, "No such device, device name: sdq.\n"));
  EXPECT_TRUE(has(r.out, "ide_setstandby rc=-1\n"));
}

TEST(HdctlAccess, SmartAttributesErrorLogAndEveryFault) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["disks"][0]["smart"] = {{"attrs", {{"9", 1234}, {"194", 35}, {"5", 5000}}}, {"errors", 7}};
    d["disks"][1]["faults"] = {"smart_checksum"};
    d["disks"][2]["faults"] = {"no_smart"};
  });
  auto r = hdctl(b, {"ide_init", "--", "ide_get_smart_attr", "0", "--", "ide_get_threshold_attr", "0", "--", "ide_get_errlog",
                     "0", "--", "ide_get_smart_status", "0", "--", "ide_get_smart_attr", "1", "--", "ide_get_smart_attr",
                     "2", "--", "ide_get_smart_status", "2", "--", "ide_get_detail", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ide_get_smart_attr rc=3\nid=5 name=\"Reallocated Sector Count\" value=10 worst=10 raw=5000\n"
                         "id=9 name=\"Power On Hours Count\" value=100 worst=100 raw=1234\n"
                         "id=194 name=\"Temperature\" value=100 worst=100 raw=35\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "id=9 name=\"Power On Hours Count\" threshold=10\n")) << r.out;
  // Seven errors in a ring of five: the newest (the 7th, in slot 2) first.
  EXPECT_TRUE(has(r.out, "ide_get_errlog rc=0\nindex=2\nentries=5\ndevice_errors=7\nerror=0x40 status=0x51 count=1 lba=2 "))
      << r.out;
  EXPECT_TRUE(has(r.out, "ide_get_smart_status rc=1\n")) << "value 10 at threshold 10: exceeded\n" << r.out;
  EXPECT_TRUE(has_event(b, "ata sdb cmd=b0 feature=d0 count=1 via=sgio"));
  EXPECT_TRUE(has_event(b, "ata sdb cmd=b0 feature=d5 count=1 via=sgio"));
  EXPECT_TRUE(has(r.out, "ata_read_smart_data:check sum failed\nide_get_smart_attr rc=-1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "disk not support smart\nide_get_smart_attr rc=-1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "smart_supported=0\n")) << r.out;
}

TEST(HdctlAccess, CommandsAbortedUnderSgioSuccessAndGoneDisksFail) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["disks"][0]["faults"] = {"aborted"};
    d["disks"][1]["faults"] = {"io_error@100"};
  });
  auto r = hdctl(b, {"ide_init", "--", "ide_setstandby", "0", "20", "--", "ide_get_disk_powermode", "sdb", "--",
                     "ide_get_smart_attr", "0", "--", "ide_verify", "0", "8", "0", "--", "ide_read64", "1", "8", "96", "--",
                     "ide_verify", "1", "8", "96", "--", "ide_read64", "1", "4", "0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "setstandby disk /dev/sdb failed. logic number: 0.\nide_setstandby rc=-1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_get_disk_powermode rc=-1\n"));
  EXPECT_TRUE(has(r.out, "ide_get_smart_attr rc=-1\n"));
  EXPECT_TRUE(has(r.out, "ide_verify rc=-1\n"));
  EXPECT_TRUE(has(r.out, "r/w failed, Input/output error. logic: 1")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_read64 rc=-5\n")) << "three attempts, then -EIO";
  EXPECT_TRUE(has(r.out, "ide_read64 rc=0\n"));
  testsupport::EditBoard(b, [](nlohmann::json& d) { d["disks"][1]["faults"] = {"gone"}; });
  r = hdctl(b, {"ide_init", "--", "ide_write64", "1", "1", "0", "--", "ide_wakeup", "1"});
  EXPECT_TRUE(has(r.out, "ide_write64 rc=-6\n")) << r.out;  // -ENXIO at once
  EXPECT_TRUE(has(r.out, "ide_wakeup rc=-1\n"));
}

TEST(HdctlAccess, TransfersAreBoundedAndWork64BitOffsets) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) { d["disks"][2]["size"] = "3T"; });
  auto p = testsupport::Run({Bin("dvrsim"), "unplug", b.dir(), "sdd"});
  std::remove(b.file("dev/sdd").c_str());
  p = testsupport::Run({Bin("dvrsim"), "plug", b.dir(), "sdd"});
  ASSERT_EQ(p.status, 0) << p.err;
  const std::string cap = std::to_string(3ull << 31);  // sectors of 3 TiB
  const std::string past2t = std::to_string((1ull << 32) + 5);
  auto r = hdctl(b, {"ide_init", "--", "ide_write64", "2", "2", past2t, "--", "ide_read64", "2", "1", past2t, "--",
                     "ide_write64", "2", "1", cap, "--", "ide_read64", "2", "2", std::to_string((3ull << 31) - 1), "--",
                     "ide_verify", "2", "300", "10", "--", "ide_verify", "2", "300", std::to_string((1ull << 28) - 10),
                     "--", "ide_setRWmode", "0", "1", "--", "ide_write64", "0", "1", "0", "--", "ide_read64", "0", "1",
                     "0", "--", "ide_write_dma", "0", "8", "16", "0", "--", "ide_read_dma", "0", "8", "16", "1", "--",
                     "ide_read_dma", "1", "8", "16", "0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ide_write64 rc=0\nide_read64 rc=0\nhex=0500000001000000050000000100000005000000010000000500"))
      << r.out;
  EXPECT_TRUE(has(r.out, "Invalid para. logic: 2, offs: 0x180000000, cap: 0x180000000, sectors: 0x1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "Invalid para. logic: 2, offs: 0x17fffffff, cap: 0x180000000, sectors: 0x2\n")) << "reads too";
  // 300 sectors do not fit the 28-bit count: 256 (written 0), then 44;
  // a range that ends past 0x0FFFFFFF takes the 48-bit form.
  EXPECT_TRUE(has_event(b, "ata sdd cmd=40 feature=00 count=0 via=sgio"));
  EXPECT_TRUE(has_event(b, "ata sdd cmd=40 feature=00 count=44 via=sgio"));
  EXPECT_TRUE(has_event(b, "ata sdd cmd=42 feature=00 count=300 via=sgio"));
  EXPECT_TRUE(has(r.out, "disk 0 is a read only disk!\nide_write64 rc=-1\nide_read64 rc=0\n")) << r.out;
  EXPECT_TRUE(has_event(b, "dma sdb write 16 8"));
  EXPECT_TRUE(has(r.out, "Invalid para.\nide_read_dma rc=-1\n")) << r.out;
  EXPECT_TRUE(has_event(b, "dma sdc read 16 8"));
}

TEST(HdctlAccess, TwentySlowWritesInARowMarkABadDisk) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) { d["disks"][0]["faults"] = {"slow_ms=3"}; });
  std::vector<std::string> args = {"ide_init"};
  auto write = [&](const char* sectors) {
    for (const char* a : {"--", "ide_write64", "0", sectors, "0"}) args.push_back(a);
  };
  for (int i = 0; i < 19; ++i) write("1");
  write("4096");  // 2 MiB in a few ms: fast, the count starts again
  for (int i = 0; i < 20; ++i) write("1");
  args.insert(args.end(), {"--", "speedcheck", "0", "--", "ide_write64", "0", "1", "0"});
  auto r = hdctl(b, args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "this 0 disk speed ")) << r.out;
  EXPECT_TRUE(has(r.out, " count:19\n"));
  std::size_t bad = r.out.find("there have bad disk\nide_write64 rc=-2\n");
  ASSERT_NE(bad, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("there have bad disk"), bad) << "only the 20th in a row";
  EXPECT_TRUE(has(r.out.substr(bad), "speedcheck rc=0\nide_write64 rc=0\n"));
}

TEST(HdctlAccess, ArrayStandbyFailsWhenAnyMemberFails) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) { d["disks"][2]["faults"] = {"standby_fail"}; });
  auto r = hdctl(b, {"Raid_MakeRaid", "/dev/md0", "5", "/dev/sdb", "/dev/sdc", "/dev/sdd", "--", "ide_init", "--",
                     "ide_setstandby", "0", "0", "--", "ide_wakeup", "0", "--", "ide_get_smart_attr_raid", "0", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has_event(b, "ata sdb cmd=e0 feature=00 count=0 via=sgio"));
  EXPECT_TRUE(has_event(b, "ata sdc cmd=e0 feature=00 count=0 via=sgio"));
  EXPECT_TRUE(has(r.out, "setstandby disk /dev/sdd failed. logic number: -3.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "setstandby disk /dev/md0 failed. logic number: 0.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_setstandby rc=-1\n"));
  EXPECT_TRUE(has(r.out, "ide_wakeup rc=0\n"));
  EXPECT_TRUE(has(r.out, "ide_get_smart_attr_raid rc=6\n")) << r.out;
}

}  // namespace
