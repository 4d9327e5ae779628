// The backup layer's rules: which candidates are listed and as which
// records, the mount table's lines, path confinement and file naming.

#include <gtest/gtest.h>

#include <cstring>

#include "storage/backup/backup_internal.h"

namespace {

using hd::BackupCandidate;

PlatformCfg Cfg(int feature) {
  PlatformCfg c{};
  c.iFeature = feature;
  return c;
}

BackupCandidate Disk(int bus, int type, int use = 2) {
  BackupCandidate c;
  c.name = "sdb";
  c.bus = bus;
  c.type = type;
  c.useType = use;
  c.bytes = 1ull << 30;
  return c;
}

TEST(BackupListing, RulesByBusTypeAndUseType) {
  struct Case {
    const char* what;
    int feature;
    BackupCandidate c;
    bool listed;
  };
  BackupCandidate unreadable = Disk(HD_BUS_USB, 1);
  unreadable.useTypeOk = false;
  BackupCandidate sys = Disk(HD_BUS_USB, 1);
  sys.systemDisk = true;
  BackupCandidate empty_reader = Disk(HD_BUS_USB, 3);
  empty_reader.bytes = 0;
  BackupCandidate unsized_reader = Disk(HD_BUS_USB, 11);
  unsized_reader.sizeOk = false;
  BackupCandidate mmc_backup = Disk(HD_BUS_USB, 10), mmc_other = Disk(HD_BUS_USB, 10);
  mmc_backup.mmcUseType = 1;
  mmc_other.mmcUseType = 2;
  BackupCandidate optical = Disk(HD_BUS_SATA, 2), no_sg = Disk(HD_BUS_SATA, 2);
  optical.sg = 1;
  const Case cases[] = {
      {"usb backup disk", 3, Disk(HD_BUS_USB, 1), true},
      {"usb disk on a recording port", 3, Disk(HD_BUS_USB, 1, 4), false},
      {"usb storage disk, use 3", 3, Disk(HD_BUS_USB, 0, 3), false},
      {"usb storage disk, use 2", 3, Disk(HD_BUS_USB, 0, 2), true},
      {"use type unreadable", 3, unreadable, false},
      {"system disk", 3, sys, false},
      {"iscsi", 3, Disk(HD_BUS_ISCSI, 1), false},
      {"internal sata", 3, Disk(HD_BUS_SATA, 1), false},
      {"internal sas", 3, Disk(HD_BUS_SAS, 1), false},
      {"esata without the backup flag", 2, Disk(HD_BUS_ESATA, 1), false},
      {"esata backup disk", 1, Disk(HD_BUS_ESATA, 1), true},
      {"esata storage disk, both uses", 3, Disk(HD_BUS_ESATA, 0), false},
      {"esata storage disk, backup only", 1, Disk(HD_BUS_ESATA, 0), true},
      {"card reader with a card", 3, Disk(HD_BUS_USB, 3), true},
      {"card reader without a card", 3, empty_reader, false},
      {"reader whose size is unreadable", 3, unsized_reader, false},
      {"mmc card for backup", 3, mmc_backup, true},
      {"mmc card for something else", 3, mmc_other, false},
      {"optical drive on sata", 0, optical, true},
      {"optical drive without sg", 0, no_sg, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(hd::BackupSkipReason(Cfg(c.feature), c.c) == nullptr, c.listed) << c.what;
}

TEST(BackupListing, RecordsPerPartitionFromTwoHundredMib) {
  BackupCandidate c = Disk(HD_BUS_USB, 1);
  c.parts = {{"sdb1", 0xC800000}, {"sdb2", 0xC7FFFFF}, {"sdb3", 4ull << 30}};
  auto r = hd::BackupRecordsOf(c, "/nfs");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_STREQ(r[0].name, "/dev/sdb1");
  EXPECT_STREQ(r[0].mountDir, "/nfs/sdb1");
  EXPECT_STREQ(r[1].name, "/dev/sdb3");
  EXPECT_EQ(r[1].type, 1u);
  EXPECT_EQ(r[1].bus, 0u);
  EXPECT_EQ(r[1].priv, nullptr);

  BackupCandidate whole = Disk(HD_BUS_USB, 1);
  r = hd::BackupRecordsOf(whole, "/media/usb");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_STREQ(r[0].name, "/dev/sdb");
  EXPECT_STREQ(r[0].mountDir, "/media/usb/sdb");

  BackupCandidate mmc = Disk(HD_BUS_SATA, 10);
  mmc.name = "mmcblk0";
  mmc.parts = {{"mmcblk0p1", 1ull << 30}};
  r = hd::BackupRecordsOf(mmc, "/nfs");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_STREQ(r[0].name, "/dev/mmcblk0p1");
  EXPECT_EQ(r[0].type, 3u) << "a card is listed as a reader";
  EXPECT_EQ(r[0].bus, 0u) << "on the USB bus";

  BackupCandidate cd = Disk(HD_BUS_SATA, 2);
  cd.name = "sr0";
  cd.sg = 2;
  r = hd::BackupRecordsOf(cd, "/nfs");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_STREQ(r[0].name, "/dev/sg2");
  EXPECT_STREQ(r[0].mountDir, "/nfs/sg2");

  // Names that do not fit the record are left out, not cut.
  BackupCandidate longname = Disk(HD_BUS_USB, 1);
  longname.name = std::string(40, 'a');
  EXPECT_TRUE(hd::BackupRecordsOf(longname, "/nfs").empty());
  EXPECT_TRUE(hd::BackupRecordsOf(Disk(HD_BUS_USB, 1), std::string(130, 'r')).empty());
}

TEST(BackupListing, MountRootDefaultsToNfs) {
  PlatformCfg c{};
  EXPECT_EQ(hd::BackupRoot(c), "/nfs");
  std::snprintf(c.szBackupRoot, sizeof c.szBackupRoot, "/media/");
  EXPECT_EQ(hd::BackupRoot(c), "/media");
  std::memset(c.szBackupRoot, 'x', sizeof c.szBackupRoot);
  EXPECT_EQ(hd::BackupRoot(c), "/nfs") << "an unterminated root is not used";
}

TEST(BackupMounts, ParsesLinesAndSkipsGarbage) {
  int bad = 0;
  auto m = hd::ParseMounts(
      "/dev/sdb1 /nfs/sdb1 vfat rw,noatime 0 0\n"
      "\n"
      "garbage\n"
      "/dev/sdc1 /nfs/with\\040space ext3 rw 0 0\n"
      "/dev/x /nfs/nul\\000 ext3 rw 0 0\n"
      "a b c\n"
      "/dev/sdd1\t/nfs/sdd1\texfat\trw",
      &bad);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(bad, 3);
  EXPECT_EQ(m[0].source, "/dev/sdb1");
  EXPECT_EQ(m[0].type, "vfat");
  EXPECT_EQ(m[1].dir, "/nfs/with space");
  EXPECT_EQ(m[2].dir, "/nfs/sdd1");
  EXPECT_EQ(m[2].options, "rw");
}

TEST(BackupPaths, NormalFormAndInside) {
  EXPECT_EQ(hd::NormalPath("/nfs/sdb1/a/../b/./c//"), "/nfs/sdb1/b/c");
  EXPECT_EQ(hd::NormalPath("/nfs/sdb1/../../.."), "/");
  EXPECT_EQ(hd::NormalPath("/"), "/");
  EXPECT_TRUE(hd::PathInside("/nfs/sdb1", "/nfs/sdb1"));
  EXPECT_TRUE(hd::PathInside("/nfs/sdb1/x", "/nfs/sdb1"));
  EXPECT_FALSE(hd::PathInside("/nfs/sdb10", "/nfs/sdb1"));
  EXPECT_FALSE(hd::PathInside("/nfs", "/nfs/sdb1"));
}

TEST(BackupNaming, ClashNamesRaiseTheirOwnNumber) {
  EXPECT_EQ(hd::BackupClashName("/m/rec.sav", 1), "/m/rec_1.sav");
  EXPECT_EQ(hd::BackupClashName("/m/rec.sav", 2), "/m/rec_2.sav");
  EXPECT_EQ(hd::BackupClashName("/m/noext", 1), "/m/noext1");
  EXPECT_EQ(hd::BackupClashName("/m/noext", 2), "/m/noext2");
  EXPECT_EQ(hd::BackupClashName("/m/cam_5.sav", 1), "/m/cam_5_1.sav");
  EXPECT_EQ(hd::BackupClashName("/m.d/noext", 3), "/m.d/noext3") << "a dot in a folder is no extension";
  EXPECT_EQ(hd::BackupClashName("/m/a.b.sav", 1), "/m/a.b_1.sav");
}

TEST(BackupNaming, OverwriteList) {
  for (const char* n : {"/m/setup.ini", "/m/A.EXE", "/m/x.dll", "/m/readme.txt", "/m/a.CAB", "/m/d.inf", "/m/Config/a.sav"})
    EXPECT_TRUE(hd::BackupOverwrites(n)) << n;
  for (const char* n : {"/m/rec.sav", "/m/noext", "/m/config/a.sav", "/m/a.ini.sav"})
    EXPECT_FALSE(hd::BackupOverwrites(n)) << n;
}

TEST(BackupNaming, DiskOfAPartition) {
  EXPECT_EQ(hd::BackupDiskOf("/dev/sdb1"), "sdb");
  EXPECT_EQ(hd::BackupDiskOf("sdb"), "sdb");
  EXPECT_EQ(hd::BackupDiskOf("/dev/mmcblk0p1"), "mmcblk0");
  EXPECT_EQ(hd::BackupDiskOf("mmcblk0"), "mmcblk0");
}

}  // namespace
