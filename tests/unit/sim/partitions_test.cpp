// Partition tables of disk images as the simulated kernel reads them:
// tables made by the real parted, names, and damaged tables.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "sim/models/partitions.h"

namespace {

TEST(SimPartitions, TablesMadeByParted) {
  std::string img = (std::filesystem::temp_directory_path() / "sim_parts.img").string();
  ASSERT_EQ(std::system(("truncate -s 64M " + img + " && parted -s " + img +
                         " mklabel gpt mkpart META 1MiB 9MiB mkpart DATA 9MiB 60MiB > /dev/null 2>&1").c_str()),
            0);
  std::vector<sim::PartWindow> parts;
  std::string err;
  ASSERT_TRUE(sim::ReadPartitions(img, &parts, &err)) << err;
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].number, 1);
  EXPECT_EQ(parts[0].start, 2048u);
  EXPECT_EQ(parts[0].sectors, 8u * 2048);
  EXPECT_EQ(parts[0].name, "META");
  EXPECT_EQ(parts[1].name, "DATA");
  ASSERT_EQ(std::system(("parted -s " + img + " mklabel msdos mkpart primary 1MiB 5MiB > /dev/null 2>&1").c_str()), 0);
  ASSERT_TRUE(sim::ReadPartitions(img, &parts, &err)) << err;
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].start, 2048u);
  std::filesystem::remove(img);
}

TEST(SimPartitions, DamagedTablesAndBootSectors) {
  std::vector<uint8_t> head(64 * 1024, 0);
  std::vector<sim::PartWindow> parts;
  std::string err;
  EXPECT_TRUE(sim::ParsePartitions(head, 1000, &parts, &err));  // no table at all
  EXPECT_TRUE(parts.empty());
  head[510] = 0x55, head[511] = 0xAA;
  head[446] = 0xEB;  // a boot sector's code, not a status byte: no table
  EXPECT_TRUE(sim::ParsePartitions(head, 1000, &parts, &err));
  EXPECT_TRUE(parts.empty());
  head[446] = 0;
  head[450] = 0x83;
  head[454] = 10;    // start 10
  head[458] = 0xF0;  // 240 sectors: past a disk of 200
  EXPECT_FALSE(sim::ParsePartitions(head, 200, &parts, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_TRUE(sim::ParsePartitions(head, 1000, &parts, &err));
  ASSERT_EQ(parts.size(), 1u);
  head[450] = 0xEE;  // protective MBR without a GPT header
  EXPECT_FALSE(sim::ParsePartitions(head, 1000, &parts, &err));
  std::memcpy(&head[512], "EFI PART", 8);
  head[512 + 72] = 2;                     // entries at LBA 2
  head[512 + 80] = 0xFF, head[512 + 81] = 0xFF;  // 65535 entries
  head[512 + 84] = 128;
  EXPECT_FALSE(sim::ParsePartitions(head, 1000, &parts, &err)) << "entries beyond what was read";
}

TEST(SimPartitions, KernelNames) {
  std::string d;
  int n = 0;
  EXPECT_TRUE(sim::SplitPartName("sdb12", &d, &n));
  EXPECT_EQ(d, "sdb");
  EXPECT_EQ(n, 12);
  EXPECT_TRUE(sim::SplitPartName("mmcblk0p2", &d, &n));
  EXPECT_EQ(d, "mmcblk0");
  EXPECT_TRUE(sim::SplitPartName("nvme0n1p1", &d, &n));
  EXPECT_EQ(d, "nvme0n1");
  EXPECT_FALSE(sim::SplitPartName("mmcblk0", &d, &n));
  EXPECT_FALSE(sim::SplitPartName("nvme0n1", &d, &n));
  EXPECT_FALSE(sim::SplitPartName("sdb", &d, &n));
  EXPECT_FALSE(sim::SplitPartName("sdb0", &d, &n));
  EXPECT_EQ(sim::PartName("sdb", 3), "sdb3");
  EXPECT_EQ(sim::PartName("mmcblk1", 3), "mmcblk1p3");
}

}  // namespace
