// Backup media mounted for real in the board's private namespace: dvrbackup
// puts files on the USB stick's image as ext3, FAT32 and exFAT, and the
// standard checkers and readers judge the image afterwards; dvrhelper's
// USB debug capture lands on the same disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "integration/backup_support.h"

namespace {

using namespace backuptest;

TEST(BackupMount, PutsOnExt3NumberClashesAndReplaceIniFiles) {
  NEED_ROOT();
  UsbBoard u("mkfs.ext3 -q -F");
  std::string rec = u.put("rec.sav", Random(300000, 1));
  std::string ini1 = u.put("setup.ini", "first\n");
  auto r = u.backup({"put", "/dev/sdd", rec, "--", "put", "/dev/sdd", rec, "--", "put", "/dev/sdd", rec, "--", "put",
                     "/dev/sdd", ini1});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::string ini2 = u.put("setup.ini", "second\n");
  r = u.backup({"put", "/dev/sdd", ini2, "--", "mount", "/dev/sdd", "--", "ls", "/dev/sdd", ".*"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "rec.sav\n") && has(r.out, "rec_1.sav\n") && has(r.out, "rec_2.sav\n")) << r.out;
  EXPECT_TRUE(has(r.out, "FileName: /mnt/backup/sdd/rec_2.sav\n") || has(r.out, "rec_2.sav")) << r.out;
  // The mount ended with the process: the image is judged by the host's tools.
  EXPECT_EQ(sh("e2fsck -fn " + u.img), 0);
  std::string ls = sh_out("debugfs -R 'ls -p /' " + u.img + " 2>/dev/null");
  for (const char* n : {"/rec.sav/", "/rec_1.sav/", "/rec_2.sav/", "/setup.ini/"}) EXPECT_TRUE(has(ls, n)) << n << ls;
  EXPECT_FALSE(has(ls, "/setup_1.ini/")) << ls;
  EXPECT_EQ(sh_out("debugfs -R 'cat /setup.ini' " + u.img + " 2>/dev/null"), "second\n");
  EXPECT_EQ(sh_out("debugfs -R 'cat /rec_2.sav' " + u.img + " 2>/dev/null"), ReadFile(rec));
  bool mounted = false;
  for (auto& e : u.b.events()) mounted |= e.rfind("mount /dev/sdd /mnt/backup/sdd ext3", 0) == 0;
  EXPECT_TRUE(mounted);
}

TEST(BackupMount, Fat32ImagePassesTheCheckerAndReadsBackIdentical) {
  NEED_ROOT();
  UsbBoard u("mkfs.vfat -F 32");
  std::string data = Random(1500000, 2);
  std::string rec = u.put("rec.sav", data);
  auto r = u.backup({"cd", "/dev/sdd", "/mnt/backup/sdd", "--", "put", "/dev/sdd", rec, "--", "put", "/dev/sdd", rec,
                     "--", "space", "/dev/sdd"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "mount -t vfat /dev/sdd /mnt/backup/sdd usefree,codepage=936,iocharset=cp936,utf8=1\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "total=262144 free=")) << r.out;
  EXPECT_EQ(sh("fsck.vfat -n " + u.img), 0) << sh_out("fsck.vfat -n " + u.img);
  EXPECT_EQ(sh_out("mtype -i " + u.img + " ::rec.sav"), data);
  EXPECT_EQ(sh_out("mtype -i " + u.img + " ::rec_1.sav"), data);
}

TEST(BackupMount, ExfatImagePassesTheChecker) {
  NEED_ROOT();
  UsbBoard u("mkfs.exfat");
  std::string data = Random(700000, 3);
  auto r = u.backup({"put", "/dev/sdd", u.put("a.sav", data), u.put("b.sav", "b")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "mount -t exfat /dev/sdd /mnt/backup/sdd codepage=936,iocharset=cp936\n")) << r.out;
  EXPECT_EQ(sh("fsck.exfat -n " + u.img), 0) << sh_out("fsck.exfat -n " + u.img);
}

TEST(BackupMount, AFullFileSystemFailsThePutAndLeavesItConsistent) {
  NEED_ROOT();
  UsbBoard u("");
  // An 8 MiB file system on the 256 MiB stick.
  ASSERT_EQ(sh("mkfs.ext3 -q -F " + u.img + " 8M"), 0);
  auto r = u.backup({"put", "/dev/sdd", u.put("big.sav", Random(12 << 20, 4))});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "No space left on device")) << r.out;
  EXPECT_EQ(sh("e2fsck -fn " + u.img), 0);
}

TEST(BackupMount, UsbDebugCaptureStartsWithTheAddressLine) {
  NEED_ROOT();
  UsbBoard u("mkfs.ext3 -q -F", "netns");
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "run", "--netns", u.b.dir(), "bootenv", "enprint", "1"}).status, 0);
  // The gateway comes from the network configuration.
  WriteFile(u.b.file("mnt/mtd/Config/network"),
            "HOSTIP = 10.9.8.7\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.9.8.1\nDEFAULT_ETH = eth0\n");
  setenv("DEMOAPP_STATE", u.b.file("var/run/demoapp.starts").c_str(), 1);
  setenv("DEMOAPP_CODES", "0", 1);
  std::string script = "ip addr add 10.9.8.7/24 dev eth0 && ip link set eth0 up && ip route add default via 10.9.8.1 && " +
                       Bin("dvrhelper") + " " + Bin("demoapp") + "; echo status=$?";
  auto r = testsupport::Run({Bin("dvrsim"), "run", "--netns", u.b.dir(), "sh", "-c", script});
  unsetenv("DEMOAPP_CODES");
  Settle(u.img);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "dvrhelper: starting usb debug")) << r.out;
  EXPECT_FALSE(has(r.out, "dvrhelper: father process")) << "the console went to the disk";
  std::string ls = sh_out("debugfs -R 'ls -p /' " + u.img + " 2>/dev/null");
  size_t at = ls.find("/printf_");
  ASSERT_NE(at, std::string::npos) << ls << r.out;
  std::string name = ls.substr(at + 1, ls.find('/', at + 1) - at - 1);
  EXPECT_TRUE(has(ls, "/kmsg_printf_")) << ls;
  std::string cap = sh_out("debugfs -R 'cat /" + name + "' " + u.img + " 2>/dev/null");
  std::string line = "ip = 10.9.8.7, netmask = 255.255.255.0, gateway = 10.9.8.1\n";
  ASSERT_EQ(cap.substr(0, line.size() + 1), line + std::string(1, '\0')) << cap;
  EXPECT_TRUE(has(cap, "dvrhelper: father process(dvrhelper) waitting for State = 0...\n")) << cap;
  EXPECT_TRUE(has(cap, "dvrhelper: unsupported Status(enum=0)\n")) << cap;
  bool lbuf = false;
  for (auto& e : u.b.events()) lbuf |= e == "exec " + Bin("demoapp") + " lbuf";
  EXPECT_TRUE(lbuf);
}

TEST(BackupMount, ToIdeMarksTheStickAsStorageUnlessItIsMounted) {
  UsbBoard u("mkfs.vfat -F 32");
  if (geteuid() == 0) {
    auto busy = u.backup({"mount", "/dev/sdd", "--", "to-ide", "/dev/sdd"});
    EXPECT_EQ(busy.status, 1) << busy.out;
    EXPECT_TRUE(has(busy.out, "/dev/sdd is mounted on /mnt/backup/sdd, not turned to storage.\n")) << busy.out;
  }
  auto r = u.backup({"to-ide", "/dev/sdd", "--", "list"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "Turn backup device \"/dev/sdd\" to storage device.\n")) << r.out;
  EXPECT_EQ(ReadFile(u.img).substr(0, 6), std::string("ZQFS\0\0", 6));
  r = u.backup({"list"});
  EXPECT_TRUE(has(r.out, "/dev/sdd 0 0 ")) << "now a storage disk: " << r.out;
}


// A stick brought as the test's own partitioned image, used in place: the
// 300 MiB FAT32 partition is listed and written, the 100 MiB one is not
// listed, and the result is read from the same file.
TEST(BackupMount, OwnPartitionedImageIsUsedInPlace) {
  NEED_ROOT();
  char tmpl[] = "/tmp/backupimg.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::string img = dir + "/stick.img", desc = dir + "/board.json";
  ASSERT_EQ(sh("truncate -s 420M " + img + " && parted -s " + img +
               " mklabel msdos mkpart primary fat32 1MiB 301MiB mkpart primary fat32 301MiB 401MiB"
               " && mkfs.vfat -F 32 --offset=2048 " + img + " 307200"),
            0);
  WriteFile(desc, R"({"base": "default", "disks": [{"name": "sdd", "bus": "usb", "scsi": "4:0:0:0", "serial": "U1",
                     "usb": "1-1.2", "image": ")" + img + R"("}]})");
  {
    TempBoard b(desc);
    std::string data = Random(400000, 7);
    WriteFile(b.dir() + "/rec.sav", data);
    auto r = testsupport::Run({Bin("dvrbackup"), "list", "--", "put", "/dev/sdd1", b.dir() + "/rec.sav"}, &b);
    Settle(img);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "/dev/sdd1 1 0 /mnt/backup/sdd1\n")) << r.out;
    EXPECT_FALSE(has(r.out, "/dev/sdd2 ")) << "under 200 MiB: " << r.out;
    EXPECT_EQ(sh_out("mtype -i " + img + "@@1M ::rec.sav"), data);
    EXPECT_EQ(sh("dd if=" + img + " of=" + dir + "/p1 bs=1M skip=1 count=300 status=none && fsck.vfat -n " + dir + "/p1"), 0);
  }
  sh("rm -rf " + dir);
}

// Formatting unmounts first and runs the file system's tool on the stick;
// the new file system then takes a put.
TEST(BackupMount, FormatThenPut) {
  NEED_ROOT();
  UsbBoard u("mkfs.vfat -F 32");
  auto r = u.backup({"mount", "/dev/sdd", "--", "format", "/dev/sdd", "ext3", "--", "put", "/dev/sdd",
                     u.put("after.sav", "after\n")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "umount /dev/sdd before format.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "BackupFormatDisk /dev/sdd fs ext3 \n")) << r.out;
  EXPECT_EQ(sh("e2fsck -fn " + u.img), 0);
  EXPECT_EQ(sh_out("debugfs -R 'cat /after.sav' " + u.img + " 2>/dev/null"), "after\n");
  EXPECT_EQ(u.backup({"format", "/dev/sdd", "nosuchfs"}).status, 1);
}

// This board's kernel reads neither iso9660 nor udf: a disc does not mount.
TEST(BackupMount, DiscMountFailsWithoutTheFileSystems) {
  NEED_ROOT();
  UsbBoard u("");
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "disc", u.b.dir(), "1A"}).status, 0);
  auto m = u.backup({"mount", "/dev/sg0"});
  EXPECT_EQ(m.status, 1);
  EXPECT_TRUE(has(m.out, "mount /dev/sr0 to /mnt/backup/sg0 faild, No such device!")) << m.out;
}

}  // namespace
