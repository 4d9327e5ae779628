// Backup devices on a simulated board through dvrbackup: the listing, the
// optical drive judged by udfinfo, and dvrhelper's capture without a disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "integration/backup_support.h"

namespace {

using namespace backuptest;

TEST(Backup, ListsTheUsbStickAndNotTheSataDisks) {
  UsbBoard u("");
  auto r = u.backup({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "/dev/sdd 1 0 ")) << r.out;
  EXPECT_FALSE(has(r.out, "/dev/sdb ")) << r.out;
  EXPECT_FALSE(has(r.out, "/dev/sdc ")) << r.out;
  EXPECT_EQ(u.backup({}).status, 2);
  EXPECT_EQ(u.backup({"put", "/dev/sdd"}).status, 2);
  EXPECT_EQ(u.backup({"list", "--"}).status, 2);
  EXPECT_EQ(u.backup({"mount", "/dev/nosuch"}).status, 1);
  auto unformatted = u.backup({"mount", "/dev/sdd"});
  EXPECT_EQ(unformatted.status, 1);
  EXPECT_TRUE(has(unformatted.out, "the filesystem can't identify\n")) << unformatted.out;
}

TEST(Backup, PutToABlankDvdPlusRwGivesADiscUdfinfoAccepts) {
  UsbBoard u("");
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "disc", u.b.dir(), "1A"}).status, 0);
  std::string a = Random(300001, 5);
  auto r = u.backup({"list", "--", "put", "/dev/sg0", u.put("a.sav", a), u.put("b.txt", "hello\n"), "--", "space",
                     "/dev/sg0"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "/dev/sg0 2 3 /mnt/backup/sg0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "udf header will start at 288")) << r.out;
  std::string info = sh_out("udfinfo --blocksize=2048 --startblock=288 " + u.b.file("dev/sr0.img") + " 2>&1");
  EXPECT_TRUE(has(info, "numfiles=2\n")) << info;
  EXPECT_FALSE(has(info, "Warning")) << info;
  EXPECT_TRUE(has(r.out, "total=")) << r.out;
}

TEST(Backup, AFailedDiscWriteFailsThePut) {
  UsbBoard u("");
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "disc", u.b.dir(), "1A", "--fail-write", "3"}).status, 0);
  auto r = u.backup({"put", "/dev/sg0", u.put("a.sav", Random(2000000, 6))});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "failed to write all data to device\n")) << r.out;
  // Nothing more after the failure: the stop ran and the tool said which command failed.
  EXPECT_TRUE(has(r.err, "dvrbackup: put failed")) << r.err;
}

TEST(Backup, KernelMessagesOnTheBoardAreTheBoards) {
  NEED_ROOT();
  TempBoard b;
  WriteFile(b.file("proc/kmsg"), "<6>board message\n");
  auto r = testsupport::Run({"/bin/sh", "-c", "cat /proc/kmsg"}, &b);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<6>board message\n");
}

TEST(Backup, UsbDebugWithoutADiskKeepsTheConsole) {
  UsbBoard u("");
  ASSERT_EQ(testsupport::Run({"bootenv", "enprint", "1"}, &u.b).status, 0);
  setenv("DEMOAPP_STATE", u.b.file("var/run/demoapp.starts").c_str(), 1);
  setenv("DEMOAPP_CODES", "0", 1);
  auto r = testsupport::Run({"dvrhelper", Bin("demoapp")}, &u.b);
  unsetenv("DEMOAPP_CODES");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out, "no usb disk\n")) << r.out;
  EXPECT_TRUE(has(r.out, "dvrhelper: try enter usb debug mode failed, no disk dectected..\n")) << r.out;
  bool buf = false;
  for (auto& e : u.b.events()) buf |= e == "exec " + Bin("demoapp") + " buf";
  EXPECT_TRUE(buf);
}



}  // namespace
