// The kernel's USB device list as the scan reads it.
#include <gtest/gtest.h>

#include "cellular/scan.h"

namespace {

using cellular::ParseProcUsbDevices;

const char kList[] =
    "T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480  MxCh= 2\n"
    "P:  Vendor=1d6b ProdID=0002 Rev= 3.18\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
    "\n"
    "T:  Bus=01 Lev=01 Prnt=01 Port=01 Cnt=01 Dev#=  3 Spd=480  MxCh= 4\n"
    "P:  Vendor=05e3 ProdID=0608 Rev= 6.0a\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
    "\n"
    "T:  Bus=01 Lev=02 Prnt=03 Port=02 Cnt=01 Dev#=  4 Spd=480  MxCh= 0\n"
    "P:  Vendor=05c6 ProdID=9215 Rev= 3.18\n"
    "S:  Manufacturer=Quec\xe9tel\n"
    "S:  Product=Quectel LTE Module\n"
    "I:* If#= 0 Alt= 0 #EPs= 2 Cls=ff(vend.) Sub=ff Prot=ff Driver=option\n"
    "I:* If#= 4 Alt= 0 #EPs= 3 Cls=ff(vend.) Sub=ff Prot=ff Driver=(none)\n"
    "\n"
    "T:  Bus=01 Lev=01 Prnt=01 Port=02 Cnt=02 Dev#=  5 Spd=480  MxCh= 0\n"
    "P:  Vendor=19d2 ProdID=2000 Rev= 0.00\n"
    "I:* If#= 0 Alt= 0 #EPs= 2 Cls=08(stor.) Sub=06 Prot=50 Driver=usb-storage\n";

TEST(UsbList, TopologyIdsStringsAndDrivers) {
  std::vector<std::string> problems;
  auto devs = ParseProcUsbDevices(kList, &problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(devs.size(), 4u);
  EXPECT_EQ(devs[0].level, 0);
  EXPECT_EQ(devs[0].sysname, "");
  EXPECT_EQ(devs[1].sysname, "1-2");
  // Behind the hub on port 2: its sysfs name and its own port.
  EXPECT_EQ(devs[2].sysname, "1-2.3");
  EXPECT_EQ(devs[2].port, 2);
  EXPECT_EQ(devs[2].vendor, 0x05c6);
  EXPECT_EQ(devs[2].product, 0x9215);
  EXPECT_EQ(devs[2].manufacturer, "Quectel");  // the byte above 127 is gone
  EXPECT_EQ(devs[2].product_name, "Quectel LTE Module");
  ASSERT_EQ(devs[2].interfaces.size(), 2u);
  EXPECT_EQ(devs[2].interfaces[0].driver, "option");
  EXPECT_EQ(devs[2].interfaces[1].driver, "");
  EXPECT_EQ(cellular::DriverType(devs[2]), 0);
  EXPECT_EQ(devs[3].sysname, "1-3");
  EXPECT_EQ(cellular::DriverType(devs[3]), 2);
}

TEST(UsbList, BadBlocksAreSkippedWithAReason) {
  std::vector<std::string> problems;
  // An orphan (unknown parent), a block without ids, a garbled topology,
  // bad ids, then a good device.
  std::string text =
      "T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480  MxCh= 2\n"
      "P:  Vendor=1d6b ProdID=0002 Rev= 3.18\n"
      "T:  Bus=01 Lev=02 Prnt=09 Port=00 Cnt=01 Dev#=  7 Spd=480  MxCh= 0\n"
      "P:  Vendor=1234 ProdID=5678 Rev= 1.00\n"
      "T:  Bus=01 Lev=01 Prnt=01 Port=03 Cnt=01 Dev#=  8 Spd=480  MxCh= 0\n"
      "T:  Bus=xx Lev=01\n"
      "P:  Vendor=ffff ProdID=1111\n"
      "T:  Bus=01 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=480  MxCh= 0\n"
      "P:  Vendor=12345 ProdID=zz\n"
      "T:  Bus=01 Lev=01 Prnt=01 Port=01 Cnt=01 Dev#=  3 Spd=480  MxCh= 0\n"
      "P:  Vendor=12d1 ProdID=1506 Rev= 1.00\n"
      "S:  Product=" + std::string(4000, 'x') + "\n";
  auto devs = ParseProcUsbDevices(text, &problems);
  ASSERT_EQ(devs.size(), 2u);  // the root hub and the good one
  EXPECT_EQ(devs[1].vendor, 0x12d1);
  EXPECT_EQ(devs[1].sysname, "1-2");
  EXPECT_EQ(devs[1].product_name.size(), 255u);
  EXPECT_EQ(problems.size(), 3u);
  // Nothing usable at all.
  problems.clear();
  EXPECT_TRUE(ParseProcUsbDevices(std::string("\0\xff\n:\nT:\n", 8), &problems).empty());
}

}  // namespace
