// Real mounts on a simulated board: the board's disks and partition windows
// mount in the sandbox's own namespace (as root), /proc/mounts shows them in
// board paths, and nothing reaches the host's mount table or keeps a loop
// device once the program has gone.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>

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

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

// Loop devices whose backing file lies in the board directory (the
// broker takes its mounts down after the program ends: give it a moment).
int loops_now(const TempBoard& b);
int loops_on(const TempBoard& b) {
  int n = loops_now(b);
  for (int i = 0; i < 50 && n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    n = loops_now(b);
  }
  return n;
}
int loops_now(const TempBoard& b) {
  int n = 0;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator("/sys/block", ec)) {
    std::ifstream f(e.path() / "loop/backing_file");
    std::string back;
    if (f >> back && back.find(std::filesystem::canonical(b.dir()).string()) == 0) ++n;
  }
  return n;
}

class Mounts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "real mounts need root";
  }
};

TEST_F(Mounts, DisksMountInTheBoardNamespaceOnly) {
  TempBoard b;
  ASSERT_EQ(sh("mkfs.ext4 -q -F " + b.file("dev/sdb")), 0);
  ASSERT_EQ(sh("mkfs.xfs -q -f " + b.file("dev/sdc")), 0);
  testsupport::WriteFile(b.file("proc/mounts"), "rootfs / rootfs rw 0 0\n");
  auto r = testsupport::Run({Bin("hdctl"), "ext4_mount", "/dev/sdb", "/mnt/disk0", "--", "xfs_mount", "/dev/sdc",
                             "/mnt/disk1", "--", "mounts", "--", "umount", "/mnt/disk1", "--", "mounts", "--",
                             "ext4_mount", "/dev/sdd", "/mnt/usb"},
                            &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ext4_mount rc=0\nxfs_mount rc=0\nmounts rc=0\nrootfs / rootfs rw 0 0\n/dev/sdb /mnt/disk0 ext4 "))
      << r.out;
  EXPECT_TRUE(has(r.out, "\n/dev/sdc /mnt/disk1 xfs rw,")) << r.out;
  EXPECT_TRUE(has(r.out, "umount rc=0\nmounts rc=0\nrootfs / rootfs rw 0 0\n/dev/sdb /mnt/disk0 ext4 ")) << r.out;
  EXPECT_FALSE(has(r.out.substr(r.out.find("umount rc=0")), "/mnt/disk1")) << r.out;
  // The stick holds no file system: the kernel refuses it.
  EXPECT_TRUE(has(r.out, "ext4_mount rc=-1\n")) << r.out;
  EXPECT_TRUE(has_event(b, "mount /dev/sdb /mnt/disk0 ext4 0x86 -"));
  EXPECT_TRUE(has_event(b, "mount-result /mnt/disk0 0"));
  EXPECT_TRUE(has_event(b, "mount /dev/sdc /mnt/disk1 xfs 0xc00 -"));
  EXPECT_TRUE(has_event(b, "umount-result /mnt/disk1 0"));
  EXPECT_TRUE(has_event(b, "mount-result /mnt/usb EINVAL"));
  // Nothing in the host's table, no loop device left behind.
  EXPECT_FALSE(has(testsupport::ReadFile("/proc/self/mounts"), b.dir()));
  EXPECT_EQ(loops_on(b), 0);
  EXPECT_EQ(sh("e2fsck -fn " + b.file("dev/sdb")), 0);
}

TEST_F(Mounts, PartitionWindowsMountAndWrongRequestsAreRefused) {
  TempBoard b;
  // sdf starts unplugged: give its image a GPT with two partitions first.
  std::string img = b.file("dev/sdf");
  ASSERT_EQ(sh("truncate -s 1G " + img + " && parted -s " + img +
               " mklabel gpt mkpart a 1MiB 101MiB mkpart b 101MiB 301MiB"),
            0);
  ASSERT_EQ(sh("mkfs.ext4 -q -F -E offset=" + std::to_string(101 << 20) + " " + img + " 200M"), 0);
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "plug", b.dir(), "sdf"}).status, 0);
  EXPECT_TRUE(has(testsupport::ReadFile(b.file("proc/partitions")), " sdf2\n"));
  EXPECT_EQ(testsupport::ReadFile(b.file("sys/block/sdf/sdf2/start")), std::to_string((101 << 20) / 512) + "\n");
  auto r = testsupport::Run({Bin("hdctl"), "ext4_mount", "/dev/sdf2", "/mnt/p2", "--", "mounts", "--", "fstype",
                             "/dev/sdf2", "--", "ext4_mount", "/dev/sdf3", "/mnt/p3", "--", "ext4_mount", "/dev/sdf2",
                             "/dev"},
                            &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ext4_mount rc=0\nmounts rc=0\n/dev/sdf2 /mnt/p2 ext4 ")) << r.out;
  EXPECT_TRUE(has(r.out, "ext4=1\n")) << r.out;
  EXPECT_TRUE(has_event(b, "mount-result /mnt/p3 ENXIO"));
  EXPECT_TRUE(has_event(b, "mount-result /dev ENOENT")) << "the simulator's own folders are no mount points";
  EXPECT_EQ(loops_on(b), 0);
  EXPECT_EQ(sh("e2fsck -fn " + img + "?offset=" + std::to_string(101 << 20)), 0);
}

}  // namespace
