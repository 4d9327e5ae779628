#include <gtest/gtest.h>

#include <set>
#include <string>

#include "cellular/cellular.h"
#include "cellular/scan.h"

namespace {

using cellular::DeviceMatch;
using cellular::kModuleTable;
using cellular::UsbDevice;

UsbDevice Dev(uint16_t v, uint16_t p, std::string man, std::string prod, int ports, int iface = 0) {
  UsbDevice d;
  d.vendor = v;
  d.product = p;
  d.manufacturer = std::move(man);
  d.product_name = std::move(prod);
  d.interface = iface;
  for (int i = 0; i < ports; ++i) d.subdevs.push_back("ttyUSB" + std::to_string(10 - i));  // unsorted on purpose
  return d;
}

TEST(ModuleTable, RowsAnchoredAtKnownPositions) {
  EXPECT_STREQ(kModuleTable[0].name, "HUAWEI_WCDMA_E303C");
  EXPECT_STREQ(kModuleTable[48].name, "QUECTEL_LTE_EC20");
  EXPECT_EQ(kModuleTable[48].mask, 0x680u);
  EXPECT_EQ(kModuleTable[48].at_port, 3);
  EXPECT_STREQ(kModuleTable[52].tty_prefix, "/dev/ttyACM");
  EXPECT_STREQ(kModuleTable[70].tty_prefix, "/dev/mux");
  EXPECT_STREQ(kModuleTable[67].manufacturer, "LeaDcore\t Technology");
  EXPECT_STREQ(kModuleTable[cellular::kFallbackRow].name, "UNKNOWN_DEVICE");
  EXPECT_EQ(kModuleTable[cellular::kFallbackRow].type, 77);
  for (const auto& r : kModuleTable) {
    EXPECT_GE(r.at_port, 0);
    EXPECT_LE(r.at_port, 3) << r.name;
  }
}

TEST(ModuleMatch, CollidingIdsResolveByStringsAndOrder) {
  // 2c7c:0125 "Android"/"Android" is in rows 74, 96, 98 and 99: the first wins.
  EXPECT_EQ(cellular::FindRow(0x2c7c, 0x0125, "Android", "Android"), 74);
  EXPECT_EQ(cellular::FindRow(0x2c7c, 0x0125, "andorid", "andorid"), 95);
  EXPECT_EQ(cellular::FindRow(0x12d1, 0x1506, "HUAWEI", "HUAWEI MOBILE"), 26);
  EXPECT_EQ(cellular::FindRow(0x12d1, 0x1506, "Huawei Technologies", "HUAWEI Mobile"), 1);
  EXPECT_EQ(cellular::FindRow(0x12d1, 0x140c, "someone", "HUAWEI Mobile"), 72);  // any manufacturer
  EXPECT_EQ(cellular::FindRow(0x19d2, 0xffd6, "x", "y"), 68);
  EXPECT_EQ(cellular::FindRow(0x1c9e, 0x9b05, "USB Modem", "whatever"), 50);
  EXPECT_EQ(cellular::FindRow(0x05c6, 0x9215, "Quectel", "Quectel LTE Modulx"), -1);
}

TEST(ModuleMatch, PortRulesArePerDeviceAndNeverChangeTheTable) {
  std::string why;
  // Three ports: AT on port 1, PPP on port 0; five ports: the row's own positions.
  auto three = cellular::MatchDevice(Dev(0x12d1, 0x1506, "HUAWEI", "HUAWEI Mobile", 3), &why);
  ASSERT_TRUE(three);
  EXPECT_EQ(three->row, 0);
  EXPECT_EQ(three->at_port, 9);  // sorted 8, 9, 10
  EXPECT_EQ(three->ppp_port, 8);
  auto five = cellular::MatchDevice(Dev(0x12d1, 0x1506, "HUAWEI", "HUAWEI Mobile", 5), &why);
  ASSERT_TRUE(five);
  EXPECT_EQ(five->at_port, 8);  // position 2 of 6..10
  EXPECT_EQ(five->ppp_port, 6);
  EXPECT_EQ(kModuleTable[0].at_port, 2);
  auto e1550 = cellular::MatchDevice(Dev(0x12d1, 0x140c, "HUAWEI", "HUAWEI Mobile", 2), &why);
  ASSERT_TRUE(e1550);
  EXPECT_EQ(e1550->at_port, 10);  // the last port
  EXPECT_EQ(kModuleTable[15].at_port, 3);
}

TEST(ModuleMatch, FallbackCarriesTheDevicesOwnStrings) {
  std::string why;
  auto a = cellular::MatchDevice(Dev(0x1234, 0x5678, "Acme", "Modem A", 2, 4), &why);
  auto b = cellular::MatchDevice(Dev(0x1234, 0x5679, "Other", "Modem B", 1, 5), &why);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(why, "current module do not support it,try default product!");
  EXPECT_EQ(a->info.type, 77);
  EXPECT_EQ(a->manufacturer, "Acme");
  EXPECT_EQ(b->manufacturer, "Other");
  EXPECT_EQ(a->slot, 4);
  EXPECT_EQ(a->at_port, 9);
  EXPECT_EQ(kModuleTable[cellular::kFallbackRow].vendor, 0);
}

TEST(ModuleMatch, SkipsUnusableDevices) {
  std::string why;
  EXPECT_FALSE(cellular::MatchDevice(Dev(0x05c6, 0x9215, "Quectel", "Quectel LTE Module", 0), &why));
  EXPECT_NE(why.find("subdev_count = 0"), std::string::npos);
  // EC20 wants port position 3: with only 2 ports it is skipped.
  EXPECT_FALSE(cellular::MatchDevice(Dev(0x05c6, 0x9215, "Quectel", "Quectel LTE Module", 2), &why));
  EXPECT_FALSE(cellular::MatchDevice(Dev(0x05c6, 0x9215, "Quectel", "Quectel LTE Module", 4, 16), &why));
  EXPECT_FALSE(cellular::MatchDevice(Dev(0x04e2, 0x1410, "", "", 4), &why));
  auto ec20 = cellular::MatchDevice(Dev(0x05c6, 0x9215, "Quectel", "Quectel LTE Module", 4, 15), &why);
  ASSERT_TRUE(ec20);
  EXPECT_EQ(ec20->slot, 15);
  EXPECT_EQ(cellular::CleanUsbText("Qu\xe9\xff" "ctel"), "Quctel");
}

TEST(ModeSwitch, ArgumentsAndEjectList) {
  auto zte = cellular::ModeSwitchCommands(0x19d2, 0x2000);
  ASSERT_EQ(zte.size(), 1u);
  EXPECT_EQ(zte[0], (std::vector<std::string>{"usb_modeswitch", "-v", "0x19d2", "-p", "0x2000", "-V", "0x19d2", "-K",
                                              "-M", "55534243123456702000000080000c85010101180101010101000000000000"}));
  auto huawei = cellular::ModeSwitchCommands(0x12d1, 0x1446);
  ASSERT_EQ(huawei.size(), 1u);
  EXPECT_EQ(huawei[0].back(), "-J");
  EXPECT_TRUE(cellular::ModeSwitchCommands(0x19d2, 0x0117).empty());
  EXPECT_TRUE(cellular::EjectListed(0x2020));
  EXPECT_FALSE(cellular::EjectListed(0x12d1));
  EXPECT_EQ(cellular::PortFromDevpath("1"), 0);
  EXPECT_EQ(cellular::PortFromDevpath("1.3"), 2);
  EXPECT_FALSE(cellular::PortFromDevpath("0"));
  EXPECT_FALSE(cellular::PortFromDevpath("1.x"));
  EXPECT_FALSE(cellular::PortFromDevpath(""));
}

TEST(Timing, DefaultsValuesAndBadInput) {
  std::vector<std::string> problems;
  auto t = cellular::ParseTiming("", &problems);
  EXPECT_EQ(t.no_service_srst_time1, 90);
  EXPECT_EQ(t.cc_lcp_echo_fails, 6);
  t = cellular::ParseTiming("no_module_hrst_time=  120\nno_service_srst_count=5\r\nunknown=3\nnoequals\n", &problems);
  EXPECT_EQ(t.no_module_hrst_time, 120);
  EXPECT_EQ(t.no_service_srst_count, 5);
  EXPECT_TRUE(problems.empty());
  t = cellular::ParseTiming("no_service_srst_time1=abc\nno_module_hrst_time=0\nno_service_srst_time2=-4\n"
                            "cc_lcp_echo_interval=99999999999\n",
                            &problems);
  EXPECT_EQ(t.no_service_srst_time1, 90);
  EXPECT_EQ(t.no_module_hrst_time, 90);
  EXPECT_EQ(t.no_service_srst_time2, 90);
  EXPECT_EQ(t.cc_lcp_echo_interval, 10);
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_NE(problems[0].find("no_service_srst_time1"), std::string::npos);
  // Windows shorter than a poll still give at least one poll.
  t = cellular::ParseTiming("no_service_srst_time1=1\n", &problems);
  EXPECT_EQ(cellular::PollsIn(t.no_service_srst_time1), 1);
  EXPECT_EQ(cellular::PassesIn(1), 1);
  EXPECT_EQ(cellular::PollsIn(90), 3);
}

TEST(AtReplies, Parsers) {
  EXPECT_EQ(cellular::ParseCpin("+CPIN: READY"), 2);
  EXPECT_EQ(cellular::ParseCpin("+CPIN: SIM PIN"), 3);
  EXPECT_EQ(cellular::ParseCpin("+CPIN: SIM PUK"), 4);
  EXPECT_EQ(cellular::ParseCpin("+CPIN: NOT INSERTED"), 1);
  EXPECT_EQ(cellular::ParseCpin("OK"), -1);
  EXPECT_EQ(cellular::ParseCgreg("+CGREG: 0,1"), 1);
  EXPECT_EQ(cellular::ParseCgreg("+CGREG: 2,5,\"1A2B\""), 5);
  EXPECT_FALSE(cellular::ParseCgreg("+CGREG: 3"));
  EXPECT_FALSE(cellular::ParseCgreg("+CGREG: 0,"));
  EXPECT_EQ(cellular::ParseImsi("460001234567890"), "460001234567890");
  EXPECT_FALSE(cellular::ParseImsi("46000123456789"));     // 14 digits
  EXPECT_FALSE(cellular::ParseImsi("4600012345678901"));  // 16 digits
  EXPECT_EQ(cellular::ParseCsq("+CSQ: 20,99"), 20);
  EXPECT_EQ(cellular::ParseCsq("+CSQ: 99,99"), 99);
  EXPECT_FALSE(cellular::ParseCsq("+CSQ: 20"));
  EXPECT_FALSE(cellular::ParseCsq("+CSQ: x,1"));
  EXPECT_FALSE(cellular::ParseCsq("+CSQ: 123456789012,1"));
  EXPECT_EQ(cellular::CsqToSignal(20), 63);
  EXPECT_EQ(cellular::CsqToSignal(31), 99);
  EXPECT_TRUE(cellular::IsErrorReply("ERROR"));
  EXPECT_TRUE(cellular::IsErrorReply("+CMS ERROR: 500"));
  EXPECT_FALSE(cellular::IsErrorReply("+CME ERROR: 10"));
}

TEST(AtReplies, AtiNeedsImeiAndBoundsFields) {
  cellular::AtiInfo info;
  EXPECT_TRUE(cellular::ParseAti("Quectel\r\nManufacturer: Quectel\r\nModel: EC20F\r\nRevision: EC20\r\n"
                                 "IMEI: 861234567890123\r\nOK\r\n",
                                 &info));
  EXPECT_EQ(info.manufacturer, "Quectel");
  EXPECT_EQ(info.model, "EC20F");
  EXPECT_EQ(info.imei, "861234567890123");
  EXPECT_FALSE(cellular::ParseAti("Manufacturer: Quectel\r\nModel: EC20F\r\n", &info));
  std::string longline = "IMEI: 1\r\nModel: " + std::string(500, 'M');
  ASSERT_TRUE(cellular::ParseAti(longline, &info));
  EXPECT_EQ(info.model.size(), 63u);
}

TEST(DebugFifo, LinesSplitIntoCommandAndArguments) {
  std::string err;
  auto c = cellular::ParseFifoLine("at_cmd 0 \"AT+CSQ\"", &err);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->name, "at_cmd");
  EXPECT_EQ(c->args, (std::vector<std::string>{"0", "AT+CSQ"}));
  c = cellular::ParseFifoLine("  set_debug_level\t5\r", &err);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->args, (std::vector<std::string>{"5"}));
  EXPECT_FALSE(cellular::ParseFifoLine("at_cmd 0 \"AT", &err));
  EXPECT_EQ(err, "unterminated quote");
  EXPECT_FALSE(cellular::ParseFifoLine("   ", &err));
  EXPECT_FALSE(cellular::ParseFifoLine("x 1 2 3 4 5 6 7 8 9", &err));
  EXPECT_EQ(err, "Too many parameters!");
  EXPECT_TRUE(cellular::ParseFifoLine("x 1 2 3 4 5 6 7 8", &err));
}

TEST(AtReplies, QuotedArgumentsRefuseInjection) {
  EXPECT_TRUE(cellular::AtArgSafe("cmnet", 31));
  EXPECT_TRUE(cellular::AtArgSafe("*99#", 31));
  EXPECT_FALSE(cellular::AtArgSafe("a\"b", 31));
  EXPECT_FALSE(cellular::AtArgSafe("a\rAT+CFUN=0", 31));
  EXPECT_FALSE(cellular::AtArgSafe("123;", 31));
  EXPECT_FALSE(cellular::AtArgSafe(std::string(32, 'a'), 31));
}

}  // namespace
