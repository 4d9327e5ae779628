// File system recognition and our own FAT32, checked by the standard
// checker on sparse images in a temporary folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;

struct Image {
  explicit Image(uint64_t bytes) {
    char tmpl[] = "/tmp/hdfs.XXXXXX";
    int fd = mkstemp(tmpl);
    path = tmpl;
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
    close(fd);
  }
  ~Image() { fs::remove(path); }
  std::string path;
};

int sh(const std::string& cmd) { return std::system((cmd + " > /dev/null 2>&1").c_str()); }

TEST(HdFat32, GeometryCoversEveryClusterAndRefusesWhatIsNotFat32) {
  hd::Fat32Layout l;
  for (uint64_t gib : {7ull, 8ull, 40ull, 64ull, 1024ull}) {
    ASSERT_TRUE(hd::Fat32Geometry(gib << 21, 512, &l)) << gib;
    EXPECT_GE(uint64_t{l.fatSectors} * 128, uint64_t{l.clusters} + 2) << gib;
  }
  ASSERT_TRUE(hd::Fat32Geometry((7ull << 21), 512, &l));
  EXPECT_EQ(l.spc, 8u);
  ASSERT_TRUE(hd::Fat32Geometry((8ull << 21), 512, &l));
  EXPECT_EQ(l.spc, 16u);
  ASSERT_TRUE(hd::Fat32Geometry((40ull << 21), 512, &l));
  EXPECT_EQ(l.spc, 64u);
  EXPECT_FALSE(hd::Fat32Geometry(1ull << 32, 512, &l));
  EXPECT_FALSE(hd::Fat32Geometry(100000, 512, &l)) << "too few clusters for FAT32";
}

TEST(HdFat32, FormatPassesTheChecker) {
  if (sh("command -v fsck.vfat") != 0) GTEST_SKIP() << "no fsck.vfat";
  // 64 GiB is where a FAT sized by the plain formula falls short.
  for (uint64_t gib : {7ull, 8ull, 40ull, 64ull}) {
    Image img(gib << 30);
    ASSERT_EQ(fat_disk_format(img.path.c_str()), 0) << gib;
    EXPECT_EQ(sh("fsck.vfat -n " + img.path), 0) << gib << " GiB";
    if (sh("command -v minfo") == 0) {
      EXPECT_EQ(sh("minfo -i " + img.path + " ::"), 0) << gib << " GiB";
    }
    EXPECT_EQ(fat_get_type(img.path.c_str()), 1);
    EXPECT_EQ(ext4_type(img.path.c_str()), -1);
  }
  Image small(64 << 20);
  EXPECT_EQ(fat_disk_format(small.path.c_str()), -1);
}

TEST(HdDetect, ImagesMadeByTheRealTools) {
  if (sh("command -v mke2fs") != 0) GTEST_SKIP() << "no mke2fs";
  Image img(64 << 20);
  struct Want {
    const char* type;
    int e2, e3, e4;
  };
  for (Want w : {Want{"ext2", 1, -1, -1}, Want{"ext3", -1, 1, -1}, Want{"ext4", -1, -1, 1}}) {
    ASSERT_EQ(sh(std::string("mke2fs -q -F -t ") + w.type + " " + img.path), 0);
    EXPECT_EQ(ext2_type(img.path.c_str()), w.e2) << w.type;
    EXPECT_EQ(ext3_type(img.path.c_str()), w.e3) << w.type;
    EXPECT_EQ(ext4_type(img.path.c_str()), w.e4) << w.type;
    EXPECT_EQ(fat_get_type(img.path.c_str()), -1);
  }
  if (sh("command -v mkfs.vfat") == 0) {
    ASSERT_EQ(sh("mkfs.vfat -F 16 " + img.path), 0);
    EXPECT_EQ(fat_get_type(img.path.c_str()), 2);
  }
}

TEST(HdDetect, BootSectorsByTheirBytes) {
  uint8_t b[2048] = {};
  b[510] = 0x55, b[511] = 0xAA;
  EXPECT_EQ(hd::FatTypeOf(b, sizeof b), 3) << "zeros after the jump: exFAT";
  b[20] = 1;
  EXPECT_EQ(hd::FatTypeOf(b, sizeof b), -1);
  std::memcpy(b + 3, "NTFS    ", 8);
  EXPECT_TRUE(hd::IsNtfs(b, sizeof b));
  EXPECT_EQ(hd::FatTypeOf(b, 100), -1);
  b[1080] = 0x53, b[1081] = 0xEF;
  b[1024 + 92] = 4;   // journal
  b[1024 + 96] = 8;   // external journal device
  EXPECT_EQ(hd::ExtKindOf(b, sizeof b), -1);
  b[1024 + 96] = 0x40;  // extents
  EXPECT_EQ(hd::ExtKindOf(b, sizeof b), 4);
  EXPECT_EQ(hd::ExtKindOf(b, 1500), -1);
  EXPECT_FALSE(hd::IsXfs(b, sizeof b));
}

TEST(HdParted, SmallPartitionsThatAlignToNothingAreRefused) {
  EXPECT_EQ(Parted_MakePart("/dev/sdb", "p1", 0, 0x400000 - 1), -1);
  EXPECT_EQ(Parted_MakePart("/dev/sdb", "p1", 0, 0x400000), -1) << "aligned to an empty range";
  EXPECT_EQ(Parted_MakePart("/dev/sdb;reboot", "p1", 0, 1ull << 30), -1);
  EXPECT_EQ(Parted_MakePart("/dev/sdb", "p 1", 0, 1ull << 30), -1);
  EXPECT_EQ(ext4_format("/dev/sdb > /x"), -1);
}

}  // namespace
