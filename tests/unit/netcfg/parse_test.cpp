// The library's pure parsers: configuration lines, member lists, the
// kernel's route table and interface list, names, masks and CRCs.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "netcfg/netcfg.h"

using namespace netcfg;

namespace {

uint32_t A(const char* s) { return inet_addr(s); }

TEST(NetcfgNames, KernelAndShellSafeNamesOnly) {
  struct Case {
    const char* name;
    bool alias, ok;
  } cases[] = {
      {"eth0", false, true},         {"bond15", false, true},       {"br0", false, true},
      {"wlan-0.1_x", false, true},   {"eth0:poe", true, true},      {"eth0:poe", false, false},
      {"", false, false},            {".", false, false},           {"..", false, false},
      {"abcdefghijklmnop", false, false} /* 16 bytes */,            {"abcdefghijklmno", false, true},
      {"eth0;reboot", false, false}, {"eth0 up", false, false},     {"$(reboot)", false, false},
      {"eth0/../x", false, false},   {"eth0:", true, false},        {":poe", true, false},
      {"a:b:c", true, false},        {"eth`id`", false, false},     {"eth0\n", false, false},
  };
  for (auto& c : cases) EXPECT_EQ(ValidIfName(c.name, c.alias), c.ok) << c.name;
}

TEST(NetcfgAddresses, StrictDottedQuadOnly) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {{"192.168.1.108", true}, {"0.0.0.0", true},  {"255.255.255.255", true}, {"192.168.1", false},
               {"1", false},            {"0x7f.0.0.1", false}, {"256.1.1.1", false},   {"1.2.3.4 ", false},
               {"", false},             {"1.2.3.4.5", false}, {"01.2.3.4", false}};
  for (auto& c : cases) EXPECT_EQ(ParseIPv4(c.text, nullptr), c.ok) << c.text;
  uint32_t a = 0;
  ASSERT_TRUE(ParseIPv4("10.1.2.3", &a));
  EXPECT_EQ(a, A("10.1.2.3"));
  EXPECT_EQ(FormatIPv4(a), "10.1.2.3");
}

TEST(NetcfgConfigFile, ValueLookupAsTheStoreReadsIt) {
  struct Case {
    const char* name;
    const char* file;
    const char* key;
    ValueStatus st;
    const char* value;
  } cases[] = {
      {"plain", "HOSTIP = 10.0.0.2\nSUBMASK = 255.0.0.0\n", "SUBMASK", ValueStatus::Found, "255.0.0.0"},
      {"tabs and newline trimmed", "MTU=\t 1500 \t\n", "MTU", ValueStatus::Found, "1500"},
      {"first containing line wins", "SSIF_EDGE = 7\nSSIF = 3\n", "SSIF", ValueStatus::Found, "7"},
      {"blanks only is empty", "HOSTIP =    \n", "HOSTIP", ValueStatus::Empty, ""},
      {"no equals sign", "HOSTIP 10.0.0.1\n", "HOSTIP", ValueStatus::NoEquals, ""},
      {"missing", "MTU = 1\n", "HOSTIP", ValueStatus::Missing, ""},
      {"value keeps inner equals", "BONDMEMBERS = a=b\n", "BONDMEMBERS", ValueStatus::Found, "a=b"},
      {"no final newline", "PRIO = 0", "PRIO", ValueStatus::Found, "0"},
      {"beyond 32 lines is not seen", nullptr, "HOSTIP", ValueStatus::Missing, ""},
      {"text after a NUL is not seen", nullptr, "MTU", ValueStatus::Missing, ""},
  };
  std::string many;
  for (int i = 0; i < 32; ++i) many += "# comment\n";
  many += "HOSTIP = 1.2.3.4\n";
  std::string nul = std::string("PRIO = 1") + '\0' + "MTU = 9\n";
  for (auto& c : cases) {
    std::string file = c.file ? c.file : (std::string(c.name).find("NUL") != std::string::npos ? nul : many);
    std::string v;
    EXPECT_EQ(FindConfigValue(file, c.key, &v), c.st) << c.name;
    if (c.st == ValueStatus::Found) {
      EXPECT_EQ(v, c.value) << c.name;
    }
  }
}

TEST(NetcfgConfigFile, RewriteKeepsKnownLinesInOrderAndAtMostSixteen) {
  auto kept = KeptConfigLines("# a comment\nHOSTIP = 1.1.1.1\nFOO = bar\nstp_state = 1\nMTU = 1500\n");
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], "HOSTIP = 1.1.1.1\n");
  EXPECT_EQ(kept[1], "stp_state = 1\n");
  EXPECT_EQ(kept[2], "MTU = 1500\n");
  std::string big;
  for (int i = 0; i < 20; ++i) big += "MTU = " + std::to_string(i) + "\n";
  EXPECT_EQ(KeptConfigLines(big).size(), 16u);
  // A member list of 254 characters with its key still reads back whole.
  std::string list(254, 'e');
  std::string line = "BONDMEMBERS = " + list + "\n";
  std::string v;
  ASSERT_EQ(FindConfigValue(line, "BONDMEMBERS", &v), ValueStatus::Found);
  EXPECT_EQ(v, list);
  EXPECT_EQ(KeptConfigLines(line).size(), 1u);
}

TEST(NetcfgConfigFile, MemberListsSkipEmptyAndHostileItems) {
  std::vector<std::string> bad;
  auto m = SplitMembers("eth0,,eth1,eth2;reboot,$(id),eth3,", 32, &bad);
  EXPECT_EQ(m, (std::vector<std::string>{"eth0", "eth1", "eth3"}));
  EXPECT_EQ(bad, (std::vector<std::string>{"eth2;reboot", "$(id)"}));
  EXPECT_EQ(SplitMembers("a,b,c,d", 2).size(), 2u);
  EXPECT_TRUE(SplitMembers(",,,", 32).empty());
}

TEST(NetcfgRouteTable, ParsesTheKernelsTable) {
  const char* text =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
      "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
      "etx1\t0000000A\t00000000\t0001\t0\t0\t0\t000000FF\t0\t0\t0\n"
      "Eth9\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"  // not a lower-case name: skipped
      "eth1\tZZZZ\t00000000\n"                                            // garbled
      "averyveryverylongname\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
  auto t = ParseRouteTable(text, 32);
  ASSERT_EQ(t.items.size(), 3u);
  EXPECT_EQ(t.bad_lines, 2);
  EXPECT_STREQ(t.items[0].dev, "eth0");
  EXPECT_EQ(t.items[0].dst, 0u);
  EXPECT_EQ(t.items[0].gw, A("192.168.1.1"));
  EXPECT_EQ(t.items[1].dst, A("192.168.1.0"));
  EXPECT_EQ(t.items[1].mask, A("255.255.255.0"));
  EXPECT_STREQ(t.items[2].dev, "etx1");
  EXPECT_EQ(ParseRouteTable(text, 1).items.size(), 1u);
  EXPECT_TRUE(ParseRouteTable("", 32).items.empty());
}

TEST(NetcfgInterfaceList, AcceptsTheBoardsKindsOnly) {
  const char* dev =
      "Inter-|   Receive                            |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes\n"
      "    lo: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      "  eth0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      " veth0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      "br-fabedge: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      "   br0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      " bond0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      " wlan0 : 0 0 0 0\n"
      "eth_very_long_name0: 0 0\n"
      "  ppp0: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
      "  docker0: 0 0\n";
  std::vector<std::string> rejected;
  auto n = ParseNetDev(dev, 32, &rejected);
  EXPECT_EQ(n, (std::vector<std::string>{"eth0", "br0", "bond0", "ppp0"}));
  EXPECT_EQ(rejected, (std::vector<std::string>{"eth_very_long_name0"}));
  EXPECT_EQ(ParseNetDev(dev, 2, nullptr).size(), 2u);
}

TEST(NetcfgSwitch, DhcpPoolIsTheOtherHalf) {
  struct Case {
    const char *addr, *start, *end;
  } cases[] = {{"10.1.1.1", "10.1.1.128", "10.1.1.255"}, {"10.1.1.200", "10.1.1.1", "10.1.1.127"},
               {"10.1.1.127", "10.1.1.128", "10.1.1.255"}, {"10.1.1.128", "10.1.1.1", "10.1.1.127"}};
  for (auto& c : cases) {
    uint32_t s, e;
    SwitchDhcpPool(A(c.addr), &s, &e);
    EXPECT_EQ(FormatIPv4(s), c.start) << c.addr;
    EXPECT_EQ(FormatIPv4(e), c.end) << c.addr;
  }
}

TEST(NetcfgBackupCodec, Crc8MaximAndPrefixes) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc8Maxim(check, sizeof check), 0xA1);  // the published check value of CRC-8/MAXIM
  const uint8_t zeros[9] = {};
  EXPECT_EQ(Crc8Maxim(zeros, sizeof zeros), 0);
  struct Case {
    const char *mask;
    int prefix;
    const char* back;
  } cases[] = {{"255.255.255.0", 24, "255.255.255.0"}, {"255.0.255.0", 16, "255.255.0.0"},
               {"0.0.0.0", 0, "0.0.0.0"},             {"255.255.255.255", 32, "255.255.255.255"}};
  for (auto& c : cases) {
    EXPECT_EQ(MaskToPrefix(A(c.mask)), c.prefix) << c.mask;
    EXPECT_EQ(FormatIPv4(PrefixToMask(c.prefix)), c.back) << c.mask;
  }
}

}  // namespace
