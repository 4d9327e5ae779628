// The disk library through hdctl on a simulated board: the inventory of the
// default board, identity fallbacks and a disk plugged while listening.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

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

TEST(Hdctl, DefaultBoardNumbersSataDisksThenTheStick) {
  TempBoard b;
  auto r = testsupport::Run({Bin("hdctl"), "ide_init", "--", "ide_get_no", "/dev/sdb", "--", "ide_get_no", "/dev/sdc", "--",
                "ide_get_no", "/dev/sdd", "--", "ide_get_no", "/dev/sdf", "--", "Hd_GetDevList"},
               &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "libhd version: 4457")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_init rc=0\nide_get_no rc=0\nide_get_no rc=1\nide_get_no rc=2\nide_get_no rc=-1\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "name=/dev/sdd\ntype=FLASH\nbus=USB\nlogic=2\n")) << r.out;
  EXPECT_TRUE(has(r.out, "[LIBHD@4457 ] | index 0, name /dev/sdb, layer=0, port=0, slot=0, logic=0, idy=S1\n"));
  EXPECT_TRUE(has(r.out, "identity=S2\n"));
  EXPECT_TRUE(has_event(b, "ata sdb cmd=ec feature=00 count=1 via=hdio"));
  EXPECT_TRUE(has_event(b, "ioctl sdb 0x12ea 1"));
  EXPECT_FALSE(has_event(b, "ioctl sdd 0x12ea 1")) << "only SATA and SAS disks get the switch";
}

TEST(Hdctl, IdentityFallsBackToPassThroughAndSpareAndSystemDisksAreKeptOut) {
  TempBoard b;
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["disks"][0]["faults"] = {"no_drive_cmd"};
    d["stand_ins"]["hotspare"] = {{{"match", "--list"}, {"exit", 0}, {"stdout", "md0: sdx\nsdc"}}};
  });
  testsupport::WriteFile(b.file("proc/mounts"), "/dev/sdd1 / ext4 rw 0 0\n");
  auto r = testsupport::Run({Bin("hdctl"), "ide_init", "--", "Hd_GetDevList"}, &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "HDIO_DRIVE_CMD failed, try SG_IO.\n")) << r.out;
  EXPECT_TRUE(has_event(b, "ata sdb cmd=ec feature=00 count=1 via=sgio"));
  EXPECT_TRUE(has(r.out, "name=/dev/sdb\ntype=DISK\nbus=SATA\nlogic=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "identity=S1\n"));
  EXPECT_TRUE(has(r.out, "Domdisk is sdd.\n"));
  EXPECT_FALSE(has(r.out, "name=/dev/sdd\n"));
  // A spare that ends the tool's output is still a spare.
  EXPECT_TRUE(has(r.out, "name=/dev/sdc\ntype=DISK\nbus=SATA\nlogic=-2\n")) << r.out;
}

TEST(Hdctl, PluggedDiskIsReportedOnceTheBurstEnds) {
  TempBoard b;
  testsupport::RunResult r;
  std::thread t([&] {
    r = testsupport::Run({Bin("hdctl"), "ide_init", "--", "sleep", "2000", "--", "ide_check_hotplug", "--", "ide_check_hotplug",
             "--", "ide_init", "--", "ide_get_no", "/dev/sdf"},
            &b);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto p = testsupport::Run({Bin("dvrsim"), "plug", b.dir(), "sdf"});
  t.join();
  ASSERT_EQ(p.status, 0) << p.err;
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "socket 3, scsi disk hotplug...\n") || has(r.out, " scsi disk hotplug...\n")) << r.out;
  EXPECT_TRUE(has(r.out, "a device(/dev/sdf) on.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_check_hotplug rc=1\nchanged=1\n"));
  EXPECT_TRUE(has(r.out, "ide_check_hotplug rc=0\nchanged=0\n")) << "reported once";
  EXPECT_TRUE(has(r.out, "ide_get_no rc=2\n")) << "the new disk sorts before the stick";
}

TEST(Hdctl, UnpluggedDiskIsReportedOff) {
  TempBoard b;
  testsupport::RunResult r;
  std::thread t([&] {
    r = testsupport::Run({Bin("hdctl"), "ide_init", "--", "sleep", "2000", "--", "ide_check_hotplug"}, &b);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto p = testsupport::Run({Bin("dvrsim"), "unplug", b.dir(), "sdc"});
  t.join();
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(has(r.out, "a device(/dev/sdc) off, logic 1.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ide_check_hotplug rc=1\n"));
  EXPECT_FALSE(has(testsupport::ReadFile(b.file("proc/partitions")), " sdc\n"));
}

TEST(Hdctl, FormatsAndDetectsOnTheBoardDisk) {
  TempBoard b;
  auto r = testsupport::Run({Bin("hdctl"), "fat_disk_format", "/dev/sdb", "--", "fstype", "/dev/sdb", "--",
                             "ext4_format", "/dev/sdc", "--", "fstype", "/dev/sdc", "--", "Parted_MakePart", "/dev/sdb",
                             "p1", "0", "4194304"},
                            &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "fat_disk_format rc=0\nfstype rc=0\nntfs=-1\next2=-1\next3=-1\next4=-1\nxfs=-1\nrxfs=-1\n"))
      << r.out;
  EXPECT_TRUE(has_event(b, "sh mke2fs -F -t ext4 /dev/sdc > /dev/null"));
  EXPECT_TRUE(has_event(b, "tool mke2fs -F -t ext4 /dev/sdc"));
  EXPECT_TRUE(has(r.out, "ext4_format rc=0\nfstype rc=0\nntfs=-1\next2=-1\next3=-1\next4=1\n")) << r.out;
  EXPECT_EQ(std::system(("e2fsck -fn " + b.file("dev/sdc") + " > /dev/null 2>&1").c_str()), 0);
  EXPECT_TRUE(has(r.out, "Parted_MakePart rc=-1\n"));
  EXPECT_EQ(std::system(("fsck.vfat -n " + b.file("dev/sdb") + " > /dev/null 2>&1").c_str()), 0);
}

TEST(Hdctl, BadCallsAreUsageErrors) {
  TempBoard b;
  EXPECT_EQ(testsupport::Run({Bin("hdctl"), "ide_get_no"}, &b).status, 2);
  EXPECT_EQ(testsupport::Run({Bin("hdctl"), "sleep", "x"}, &b).status, 2);
  EXPECT_EQ(testsupport::Run({Bin("hdctl"), "ide_init", "--"}, &b).status, 2);
  auto r = testsupport::Run({Bin("hdctl"), "GetPlatformCfg"}, &b);
  EXPECT_TRUE(has(r.out, "port_num=8\nraid_type=1\nhotspare_type=1\nclean_parity=0\nusb_default_use=2\n")) << r.out;
}

}  // namespace
