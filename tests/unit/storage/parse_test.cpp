// The disk library's parsers of kernel text and disk data, the listener's
// burst decision and the board model table.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "storage/storage.h"

namespace {

TEST(HdParse, ScsiAddressesAreFourDecimalNumbers) {
  hd::ScsiAddr a;
  ASSERT_TRUE(hd::ParseScsiAddr("3:0:12:7", &a));
  EXPECT_EQ(a.host, 3);
  EXPECT_EQ(a.target, 12);
  EXPECT_EQ(a.lun, 7);
  for (const char* bad : {"", "3:0:0", "3:0:0:0:0", "a:0:0:0", "3::0:0", "-1:0:0:0", "99999999999:0:0:0", "1:2:3:4 "})
    EXPECT_FALSE(hd::ParseScsiAddr(bad, &a)) << bad;
  EXPECT_EQ(a.target, 12) << "a refused text leaves the output alone";
  ASSERT_TRUE(hd::FindScsiAddr("../devices/platform/ahci/ata1/host0/target0:0:0/0:1:0:0/block/sdb", &a));
  EXPECT_EQ(a.channel, 1);
  EXPECT_FALSE(hd::FindScsiAddr("../devices/platform/ahci/ata1/host0/target0:0:0", &a));
}

TEST(HdParse, SysfsNumbersRejectNonDigits) {
  uint64_t v = 0;
  EXPECT_TRUE(hd::ParseSysU64("2097152\n", &v));
  EXPECT_EQ(v, 2097152u);
  EXPECT_TRUE(hd::ParseSysU64("18446744073709551615", &v));
  for (const char* bad : {"", "\n", "12 \n", "0x10", "-5", "18446744073709551616", "1\n\n"})
    EXPECT_FALSE(hd::ParseSysU64(bad, &v)) << bad;
}

TEST(HdParse, UsbPositionFromTheDeviceLink) {
  int b = 0, p = 0, s = 0;
  ASSERT_TRUE(hd::ParseUsbPosition("../../devices/platform/ehci/usb1/1-1/1-1.2/1-1.2:1.0/host4/target4:0:0/4:0:0:0",
                                   &b, &p, &s));
  EXPECT_EQ(b, 1);
  EXPECT_EQ(p, 1);
  EXPECT_EQ(s, 2);
  ASSERT_TRUE(hd::ParseUsbPosition("/devices/platform/ehci/usb2/2-1/2-1:1.0/host5/target5:0:0/5:0:0:0", &b, &p, &s));
  EXPECT_EQ(b, 2);
  EXPECT_EQ(s, 1);
  for (const char* bad : {"", "/devices/platform/ahci/host0", "/usb1/1-1", "/usb1/1-1/x-y.z/", "/usb1/1-1/1-1/"})
    EXPECT_FALSE(hd::ParseUsbPosition(bad, &b, &p, &s)) << bad;
}

TEST(HdParse, OnlyPlainBlockNamesReachPathsAndCommands) {
  for (const char* ok : {"sda", "sdab", "sr0", "mmcblk0", "md127", "nvme0n1"}) EXPECT_TRUE(hd::ValidBlockName(ok)) << ok;
  for (const char* bad : {"", "sd", "sdb1", "sd;b", "../sdb", "mmcblk", "md0x", "sdb c", "eth0", "nvme"})
    EXPECT_FALSE(hd::ValidBlockName(bad)) << bad;
}

TEST(HdParse, SerialsAreTrimmedPrintableAndBounded) {
  uint8_t id[512] = {};
  const char serial[] = "  WD-123456789      ";  // 20 bytes, swapped per word on the wire
  for (int i = 0; i < 20; ++i) id[20 + (i ^ 1)] = static_cast<uint8_t>(serial[i]);
  std::string s;
  ASSERT_TRUE(hd::AtaSerial(id, sizeof id, &s));
  EXPECT_EQ(s, "WD-123456789");
  std::memset(id + 20, ' ', 20);
  EXPECT_FALSE(hd::AtaSerial(id, sizeof id, &s));
  EXPECT_FALSE(hd::AtaSerial(id, 30, &s));

  uint8_t page[8] = {0, 0x80, 0, 200, 'A', '\x01', 'B', 'C'};  // length past the buffer, a control byte
  ASSERT_TRUE(hd::InquirySerial(page, sizeof page, &s));
  EXPECT_EQ(s, "A BC");
  page[1] = 0x83;
  EXPECT_FALSE(hd::InquirySerial(page, sizeof page, &s));
}

std::string msg(const std::string& header) { return header + std::string("\0ACTION=add\0", 12); }

TEST(HdBurst, APairOfDiskEventsIsOneHotplugAndPartitionsAreIgnored) {
  hd::HotplugBurst b;
  std::string line;
  EXPECT_EQ(b.Quiet(&line), 0);
  EXPECT_EQ(line, "");
  EXPECT_EQ(b.Feed(msg("add@/devices/x/host2/target2:0:0/2:0:0:0/scsi_device/2:0:0:0")), 0);
  EXPECT_EQ(b.Feed(msg("add@/devices/x/2:0:0:0/block/sdf")), 0);
  EXPECT_EQ(b.Feed(msg("add@/devices/x/2:0:0:0/block/sdf/sdf1")), 1);
  EXPECT_EQ(b.Feed(msg("change@/devices/x/2:0:0:0/block/sdf")), 0);
  EXPECT_EQ(b.scsi(), 2);
  EXPECT_EQ(b.Quiet(&line), 1);
  EXPECT_EQ(line, "scsi disk hotplug...\n");
  EXPECT_EQ(b.Quiet(&line), 0) << "the burst was consumed";
}

TEST(HdBurst, ALoneEventIsReportedAfterTheLastQuietPeriod) {
  hd::HotplugBurst b;
  std::string line;
  b.Feed(msg("remove@/devices/x/2:0:0:0/block/sdf"));
  for (int i = 1; i < hd::HotplugBurst::kMaxQuiet; ++i) {
    ASSERT_EQ(b.Quiet(&line), 0) << i;
    EXPECT_EQ(line, "waiting for rest hotplug messege...\n");
  }
  EXPECT_EQ(b.Quiet(&line), 1);
  EXPECT_EQ(line, "scsi disk hotplug with some hotplug messege timeout...\n");
  b.Feed(msg("add@/x/block/sdg"));
  b.Feed(msg("add@/x/block/mmcblk0"));
  b.Feed(msg("add@/x/scsi_device/3:0:0:0"));
  EXPECT_EQ(b.Quiet(&line), 3) << "MMC and SCSI together";
}

TEST(HdBurst, GarbageNeverCounts) {
  hd::HotplugBurst b;
  std::string line;
  b.Feed(std::string("\0block/sdb", 10));
  b.Feed("");
  b.Feed(std::string(256, 'x'));
  EXPECT_EQ(b.Quiet(&line), 0);
}

TEST(HdParse, PartedListingsAndBadOnes) {
  hd::PartedTable t;
  std::string err;
  ASSERT_TRUE(hd::ParsePartedPrint("BYT;\n/dev/sdc:10737418240B:scsi:512:512:gpt:ATA SIM DISK:;\n"
                                   "1:1048576B:8589934591B:8588886016B:xfs:RXFS_META:;\n"
                                   "2:8589934592B:10737400831B:2147466240B::RXFS_DATA:msftdata;\n",
                                   &t, &err))
      << err;
  EXPECT_EQ(t.label, "gpt");
  ASSERT_EQ(t.parts.size(), 2u);
  EXPECT_EQ(t.parts[0].name, "RXFS_META");
  EXPECT_EQ(t.parts[0].fs, "xfs");
  EXPECT_EQ(t.parts[1].number, 2);
  EXPECT_EQ(t.parts[1].fs, "");  // an empty file system field keeps the name in place
  EXPECT_EQ(t.parts[1].name, "RXFS_DATA");
  EXPECT_EQ(t.parts[1].flags, "msftdata");
  for (const char* bad : {"", "garbage\n", "BYT;\n", "BYT;\n/dev/sdc:1B:scsi:512:512:gpt:m:;\nx:1B:2B:1B::n:;\n",
                          "BYT;\n/dev/sdc:1B:scsi:512:512:gpt:m:;\n1:1B:2B\n",
                          "BYT;\n/dev/sdc:1B:scsi:512:512:gpt:m:;\n0:1B:2B:1B::n:;\n"}) {
    err.clear();
    EXPECT_FALSE(hd::ParsePartedPrint(bad, &t, &err)) << bad;
    EXPECT_FALSE(err.empty()) << bad;
  }
}

TEST(HdParse, NvmeIdentityFromTheWwid) {
  std::string id;
  ASSERT_TRUE(hd::ParseNvmeWwid("eui.0025388b71b12345\n", &id));
  EXPECT_EQ(id, "0025388b71b12345");
  EXPECT_FALSE(hd::ParseNvmeWwid("nvme.144d-5330\n", &id));
  EXPECT_FALSE(hd::ParseNvmeWwid("eui.\n", &id));
  EXPECT_FALSE(hd::ParseNvmeWwid("eui.00 25", &id));
}

TEST(HdModels, RowsByProduct) {
  PlatformCfg a = HdSelectPlatformCfg(6, "NVR3536C-8");
  EXPECT_EQ(a.iPortType, 3);
  EXPECT_EQ(a.iPortNum, 8);
  EXPECT_EQ(a.iRaidType, 1);
  EXPECT_EQ(a.iHotspareType, 1);
  EXPECT_EQ(a.iCleanParity, 0);
  EXPECT_EQ(a.iUsbDefaultUse, 2);
  EXPECT_EQ(a.iDirectIO, 0);
  EXPECT_EQ(a.iFeature, 3);
  EXPECT_EQ(a.iPosixFs, 1);
  PlatformCfg p = HdSelectPlatformCfg(6, "NVR3536C-8P");
  EXPECT_EQ(p.iCleanParity, 1);
  EXPECT_EQ(p.iDirectIO, 1);
  for (auto [t, n] : {std::pair{7, "NVR3536C-8"}, std::pair{6, "NVR3536C-8PX"}, std::pair{-1, ""}}) {
    PlatformCfg o = HdSelectPlatformCfg(t, n);
    EXPECT_EQ(o.iPortNum, 16) << n;
    EXPECT_EQ(o.iRaidType, 0);
    EXPECT_EQ(o.iHotspareType, 0);
    EXPECT_EQ(o.iUsbDefaultUse, 6);
    EXPECT_EQ(o.iFeature, 1);
  }
}

}  // namespace
