// File system calls through hdctl on a simulated board: the exact commands,
// the real tools' results on the board's images (checked by the tools
// themselves), partitioning, wipes, repairs and the tools' processes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/board.h"
#include "support/board_edit.h"

using testsupport::Bin;
using testsupport::TempBoard;

namespace {

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::string events(const TempBoard& b) {
  std::string all;
  for (auto& e : b.events()) all += e + "\n";
  return all;
}

std::string sh_out(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

testsupport::RunResult hdctl(const TempBoard& b, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {Bin("hdctl")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::Run(argv, &b);
}

void resize(const TempBoard& b, const std::string& disk, const std::string& size) {
  testsupport::EditBoard(b, [&](nlohmann::json& d) {
    for (auto& x : d["disks"])
      if (x["name"] == disk) x["size"] = size;
  });
  std::string img = b.file("dev/" + disk);
  ASSERT_EQ(std::system(("truncate -s " + size + " " + img).c_str()), 0);
  ASSERT_EQ(std::system(("echo $(($(stat -c %s " + img + ") / 512)) > " + b.file("sys/block/" + disk + "/size")).c_str()), 0);
}

TEST(HdFs, FormatsRunTheirCommandsAndTheToolsAgree) {
  TempBoard b;
  // The default xfs command asks for a 32 MiB log, which this host's
  // mkfs.xfs refuses (it wants 64 MiB); the board's tools take it.
  auto r = hdctl(b, {"ext4_format", "/dev/sdb", "--", "fstype", "/dev/sdb", "--", "xfs_format", "/dev/sdc", "--",
                     "xfs_format", "/dev/sdc", "-f", "--", "fstype", "/dev/sdc", "--", "ntfs_format", "/dev/sdd", "--",
                     "fstype", "/dev/sdd", "--", "ext3_format", "/dev/sdd;reboot"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string ev = events(b);
  EXPECT_TRUE(has(ev, "sh mke2fs -F -t ext4 /dev/sdb > /dev/null\n")) << ev;
  EXPECT_TRUE(has(ev, "sh mkfs.xfs -f -l size=32m /dev/sdc > /dev/null\n"));
  EXPECT_TRUE(has(ev, "sh mkfs.xfs -f /dev/sdc > /dev/null\n"));
  EXPECT_TRUE(has(ev, "sh mkfs.ntfs -f /dev/sdd > /dev/null\n"));
  EXPECT_TRUE(has(r.out, "ext4_format rc=0\nfstype rc=0\nntfs=-1\next2=-1\next3=-1\next4=1\nxfs=-1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "xfs_format rc=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "fstype rc=0\nntfs=-1\next2=-1\next3=-1\next4=-1\nxfs=1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ntfs_format rc=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "fstype rc=0\nntfs=1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "ext3_format rc=-1\n")) << "a name with shell text never reaches a command";
  EXPECT_FALSE(has(ev, "reboot"));
  EXPECT_EQ(std::system(("e2fsck -fn " + b.file("dev/sdb") + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(std::system(("xfs_repair -f -n " + b.file("dev/sdc") + " >/dev/null 2>&1").c_str()), 0);
}

TEST(HdFs, PartedCallsAndTheFourMiBRefusal) {
  TempBoard b;
  auto r = hdctl(b, {"Parted_MakeLabel", "/dev/sdb", "gpt", "--", "Parted_MakePart", "/dev/sdb", "gpt", "0", "4194304",
                     "--", "Parted_MakePart", "/dev/sdb", "gpt", "0", "4194303", "--", "Parted_MakePart", "/dev/sdb",
                     "gpt", "0", "67108864", "--", "Parted_MakePart", "/dev/sdb", "gpt", "67108864", "134217728", "--",
                     "Parted_SetMsdataFlag", "/dev/sdb", "1", "--", "Parted_Getlabel", "/dev/sdb", "--",
                     "Parted_GetPartName", "/dev/sdb", "2", "--", "Parted_RmPart", "/dev/sdb", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "align part[0, 4194304] to [2097152, 2097152] and mkpart.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "part size 4194303 is too small, the min size is 4194304.\n"));
  for (const char* line : {"Parted_MakeLabel rc=0\n", "part [2097152, 2097152] is empty after alignment.\n",
                           "Parted_SetMsdataFlag rc=0\n", "Parted_Getlabel rc=0\nlabel=gpt\n",
                           "Parted_GetPartName rc=0\npart_name=msftdata\n", "Parted_RmPart rc=0\n"})
    EXPECT_TRUE(has(r.out, line)) << line << r.out;
  std::string ev = events(b);
  EXPECT_TRUE(has(ev, "sh parted /dev/sdb mklabel gpt -s\n"));
  EXPECT_TRUE(has(ev, "sh parted /dev/sdb unit b mkpart msftdata 2097152 65011712 -s\n")) << ev;
  EXPECT_TRUE(has(ev, "sh parted /dev/sdb set 1 msftdata on -s\n"));
  EXPECT_TRUE(has(ev, "sh parted /dev/sdb rm 2 -s\n"));
  // The real parted's view of the image, and the board's partitions.
  std::string p = sh_out("parted -m -s " + b.file("dev/sdb") + " unit b print");
  EXPECT_TRUE(has(p, "\n1:2097152B:65012223B:")) << p;
  EXPECT_FALSE(has(p, "\n2:")) << p;
  std::string parts = testsupport::ReadFile(b.file("proc/partitions"));
  EXPECT_TRUE(has(parts, " sdb1\n"));
  EXPECT_FALSE(has(parts, " sdb2\n")) << parts;
}

TEST(HdFs, BackupDisksAreCutIntoGptPartitions) {
  TempBoard b;
  resize(b, "sdb", "3T");
  resize(b, "sdc", "3T");
  // The partitions' formats are recorded only: a real one would write
  // gigabytes of journals on the host.
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["stand_ins"]["mke2fs"] = {{{"match", ""}, {"exit", 0}}};
    d["stand_ins"]["mkfs.ntfs"] = {{{"match", ""}, {"exit", 0}}};
  });
  auto r = hdctl(b, {"BackupDiskPartitionAndFormat", "/dev/sdb", "ext3", "--", "BackupDiskPartitionAndFormat",
                     "/dev/sdc", "ntfs"});
  ASSERT_EQ(r.status, 0) << r.err;
  size_t first = r.out.find("BackupDiskPartitionAndFormat rc=0\n");
  ASSERT_NE(first, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("BackupDiskPartitionAndFormat rc=0\n", first + 1), std::string::npos) << r.out;
  std::string p = sh_out("parted -m -s " + b.file("dev/sdb") + " unit TiB print");
  EXPECT_TRUE(has(p, ":gpt:")) << p;
  EXPECT_TRUE(has(p, "\n3:")) << p;
  EXPECT_FALSE(has(p, "\n4:")) << p;
  p = sh_out("parted -m -s " + b.file("dev/sdc") + " print");
  EXPECT_TRUE(has(p, "\n1:")) << p;
  EXPECT_FALSE(has(p, "\n2:")) << p;
  std::string ev = events(b);
  EXPECT_TRUE(has(ev, "sh mke2fs -F -t ext3 -T largefile -i 67108864 /dev/sdb3 > /dev/null\n")) << ev;
  EXPECT_TRUE(has(ev, "sh mkfs.ntfs -f /dev/sdc1 > /dev/null\n"));
}

TEST(HdFs, WipesZeroTheirAreasOnly) {
  TempBoard b;
  std::string img = b.file("dev/sdb");
  const uint64_t size = 1ull << 30;
  auto fill = [&] { ASSERT_EQ(std::system(("tr '\\0' y < /dev/zero | head -c 16777216 > /tmp/hdfs.fill && dd if=/tmp/hdfs.fill of=" + img +
                                           " bs=1M seek=1008 conv=notrunc status=none && dd if=/tmp/hdfs.fill of=" +
                                           img + " conv=notrunc status=none").c_str()), 0); };
  auto byte_at = [&](uint64_t off) {
    std::ifstream f(img, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(off));
    return f.get();
  };
  fill();
  ASSERT_EQ(hdctl(b, {"disk_format", "/dev/sdb"}).status, 0);
  EXPECT_EQ(byte_at(size - 128 * 512), 0) << "the md 1.0 superblock area";
  EXPECT_EQ(byte_at(size - 12 * 1024), 0);
  EXPECT_EQ(byte_at(size - 1), 0);
  EXPECT_EQ(byte_at(size - 128 * 512 - 1), 'y');
  EXPECT_EQ(byte_at((4 << 20) - 1), 0);
  EXPECT_EQ(byte_at(4 << 20), 'y');
  fill();
  ASSERT_EQ(hdctl(b, {"clean_gpt_label", "/dev/sdb", "--", "clean_first_sector", "/dev/sdc"}).status, 0);
  EXPECT_EQ(byte_at(1023), 0);
  EXPECT_EQ(byte_at(1024), 'y');
  EXPECT_EQ(byte_at(size - 1024), 0);
  EXPECT_EQ(byte_at(size - 1025), 'y');
  fill();
  ASSERT_EQ(hdctl(b, {"clean_sectors_for_zqfs", "/dev/sdb"}).status, 0);
  EXPECT_EQ(byte_at((4 << 20) - 1), 0);
  EXPECT_EQ(byte_at(size - (4 << 20)), 0);
  EXPECT_EQ(byte_at(size - (4 << 20) - 1), 'y');
  auto r = hdctl(b, {"disk_format", ""});
  EXPECT_TRUE(has(r.out, "disk name must be specified!\n")) << r.out;
  std::remove("/tmp/hdfs.fill");
}

TEST(HdFs, XfsRepairZeroesTheLogOnlyLast) {
  TempBoard b;
  // A dirty log first (status 2), clean after the mount replayed it.
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["stand_ins"]["xfs_repair"] = {{{"match", "-v"}, {"exit", 2}, {"times", 1}}, {{"match", ""}, {"exit", 0}}};
  });
  ASSERT_EQ(hdctl(b, {"xfs_format", "/dev/sdc", "-f"}).status, 0);
  auto r = hdctl(b, {"xfs_repair", "/dev/sdc"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "xfs_repair rc=0\n")) << r.out;
  std::string ev = events(b);
  size_t first = ev.find("tool xfs_repair -v /dev/sdc\n");
  ASSERT_NE(first, std::string::npos) << ev;
  size_t again = ev.find("tool xfs_repair -v /dev/sdc\n", first + 1);
  EXPECT_NE(again, std::string::npos) << ev;
  EXPECT_NE(ev.find("\nmount /dev/sdc /tmp/xfs_check."), std::string::npos) << ev;
  EXPECT_FALSE(has(ev, "xfs_repair -L")) << ev;
  // Every run failing: the log is zeroed last, with a warning.
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["stand_ins"]["xfs_repair"] = {{{"match", "-v"}, {"exit", 1}}, {{"match", "-L"}, {"exit", 0}}};
  });
  r = hdctl(b, {"xfs_repair", "/dev/sdc"});
  EXPECT_TRUE(has(r.out, "zeroing the log")) << r.out;
  EXPECT_TRUE(has(events(b), "tool xfs_repair -L /dev/sdc\n"));
}

TEST(HdFs, DefragProgressAndKillFindTheBoardsOwnTool) {
  TempBoard b;
  testsupport::EditBoard(b, [](nlohmann::json& d) { d["stand_ins"]["xfs_fsr"] = {{{"match", ""}, {"sleep_s", 20}}}; });
  testsupport::RunResult defrag;
  std::thread t([&] { defrag = hdctl(b, {"xfs_defrag", "/dev/sdc", "1"}); });
  std::string out;
  for (int i = 0; i < 50 && !has(out, "xfs_getDefragProgress rc=0\n"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    out = hdctl(b, {"xfs_getDefragProgress", "/dev/sdc"}).out;
  }
  EXPECT_TRUE(has(out, "xfs_getDefragProgress rc=0\n")) << out;
  auto k = hdctl(b, {"xfs_killdefrag", "/dev/sdc", "--", "sleep", "300", "--", "xfs_getDefragProgress", "/dev/sdc"});
  t.join();
  EXPECT_TRUE(has(k.out, "xfs_killdefrag rc=0\nxfs_getDefragProgress rc=100\n")) << k.out;
  EXPECT_TRUE(has(defrag.out, "xfs_defrag rc=-1\n")) << defrag.out;
  EXPECT_TRUE(has(events(b), "sh xfs_fsr -S 10 /dev/sdc > /dev/null\n"));
}

TEST(HdFs, NtfsMountFallsBackInOrder) {
  TempBoard b;
  if (geteuid() != 0) GTEST_SKIP() << "FUSE mounts need root";
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["stand_ins"]["ntfs-3g"] = {{{"match", "big_writes"}, {"exit", 12}}};
  });
  auto r = hdctl(b, {"ntfs_format", "/dev/sdb", "--", "ntfs_mount", "/dev/sdb", "/mnt/nt", "--", "mounts", "--",
                     "umount", "/mnt/nt", "--", "ntfs3g_status_to_stderror", "17"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ntfs_mount rc=0\nmounts rc=0\n/dev/sdb /mnt/nt fuseblk ")) << r.out;
  EXPECT_TRUE(has(r.out, "umount rc=0\nntfs3g_status_to_stderror rc=6\n")) << r.out;
  std::string ev = events(b);
  size_t first = ev.find("sh ntfs-3g -o big_writes /dev/sdb /mnt/nt\n");
  EXPECT_NE(first, std::string::npos) << ev;
  EXPECT_NE(ev.find("sh ntfs-3g /dev/sdb /mnt/nt\n", first), std::string::npos) << ev;
  EXPECT_FALSE(has(ev, "tntfs"));
}

TEST(HdFs, RealtimeXfsLayout) {
  TempBoard b;
  resize(b, "sdc", "10G");
  auto r = hdctl(b, {"rxfs_format", "/dev/sdc1", "--", "rxfs_format", "/dev/sdc", "--", "disk_rxfs_type", "/dev/sdc",
                     "--", "disk_rxfs_type", "/dev/sdb", "--", "rxfs_mount", "/dev/sdc", "/mnt/rx"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "whole device only,not partition:/dev/sdc1.\n")) << r.out;
  EXPECT_TRUE(has(r.out, "rxfs_format rc=-1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "rxfs_format rc=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "disk_rxfs_type rc=1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "disk_rxfs_type rc=-1\n"));
  std::string p = sh_out("parted -m -s " + b.file("dev/sdc") + " unit b print");
  EXPECT_TRUE(has(p, "\n1:1048576B:8589934591B:8588886016B:xfs:RXFS_META:;\n")) << p;
  EXPECT_TRUE(has(p, "\n2:8589934592B:10737400831B:")) << p;
  std::string ev = events(b);
  EXPECT_TRUE(has(ev, "sh mkfs.xfs -f -n size=64k -r rtdev=/dev/sdc2,extsize=$((2*1024))k /dev/sdc1 > /dev/null\n"))
      << ev;
  // The mount asks for the realtime device (this host's kernel may lack
  // realtime XFS; the request is what the library owes).
  EXPECT_TRUE(has(ev, "mount /dev/sdc1 /mnt/rx xfs 0xc00 rtdev=/dev/sdc2\n")) << ev;
}

}  // namespace
