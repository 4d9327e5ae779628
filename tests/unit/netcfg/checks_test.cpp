// The boot checks that repair the configuration files, on a simulated
// board with a given interface list (no kernel involved), and the DNS and
// switch DHCP files.
#include <gtest/gtest.h>

#include <string>

#include "netcfg/netcfg.h"
#include "support/board.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

class Checks : public testing::Test {
 protected:
  Checks() { netcfg::BackupForget(); }
  ~Checks() override { netcfg::BackupForget(); }
  testsupport::TempBoard board;
  void put(const std::string& f, const std::string& text) { WriteFile(board.file("mnt/mtd/Config/" + f), text); }
  bool exists(const std::string& f) { return access(board.file("mnt/mtd/Config/" + f).c_str(), F_OK) == 0; }
  std::string get(const char* ifname, const char* key) {
    char p[64], v[256];
    if (!GetConfigFilePath(ifname, p, sizeof p) || !GetValueByKey(p, key, v, sizeof v)) return "<none>";
    return v;
  }
  static netcfg::IfList list(std::vector<std::string> names) { return netcfg::IfList{std::move(names), ""}; }
  std::string quiet(void (*f)(const netcfg::IfList&), const netcfg::IfList& l) {
    testing::internal::CaptureStdout();
    f(l);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(Checks, TwoInterfacesClaimingBond0AreWrittenAsItsMembersEth0First) {
  put("network1", "BONDED = 1\nBONDNAME = bond0\n");
  put("network", "BONDED = 1\nBONDNAME = bond0\n");
  put("networketh2", "BONDED = 0\nBONDNAME = bond0\n");
  put("networkbond0", "BONDMODE = 1\nBONDMEMBERS = eth1\n");
  std::string log = quiet(netcfg::CheckBondConfig, list({"eth1", "eth0", "eth2", "bond0"}));
  EXPECT_NE(log.find("config from bondmember is different from eth config"), std::string::npos);
  EXPECT_EQ(get("bond0", "BONDMEMBERS"), "eth0,eth1");
  EXPECT_EQ(get("eth0", "WORKMODE"), "1");
  EXPECT_EQ(get("eth1", "WORKMODE"), "1");
  EXPECT_EQ(get("eth2", "BONDNAME"), "<none>");  // cleared: written empty
  // A matching list is left as it is, in its own order.
  put("networkbond0", "BONDMODE = 1\nBONDMEMBERS = eth1,eth0\n");
  quiet(netcfg::CheckBondConfig, list({"eth1", "eth0", "eth2", "bond0"}));
  EXPECT_EQ(get("bond0", "BONDMEMBERS"), "eth1,eth0");
}

TEST_F(Checks, BondMembersThatCannotFormABond) {
  struct Case {
    const char* name;
    const char* member_file;
    std::vector<std::string> ifaces;
    const char* log;
  } cases[] = {
      {"bond number beyond the groups", "BONDED = 1\nBONDNAME = bond40\n", {"eth1", "bond40"}, "can not handle bond40"},
      {"bond not present", "BONDED = 1\nBONDNAME = bond3\n", {"eth1", "bond0"}, ""},
      {"hostile bond name", "BONDED = 1\nBONDNAME = bond0;reboot\n", {"eth1", "bond0"}, "is not an interface name"},
      {"single member", "BONDED = 1\nBONDNAME = bond0\n", {"eth1", "bond0"}, "the bond0's member[eth1] from eth config is 1"},
  };
  for (auto& c : cases) {
    put("network1", c.member_file);
    put("networkbond0", "BONDMODE = 2\nBONDMEMBERS = eth1,eth2\n");
    std::string log = quiet(netcfg::CheckBondConfig, list(c.ifaces));
    EXPECT_NE(log.find(c.log), std::string::npos) << c.name << "\n" << log;
    EXPECT_EQ(get("eth1", "BONDED"), "0") << c.name;
    EXPECT_EQ(get("eth1", "BONDNAME"), "<none>") << c.name;
  }
  EXPECT_EQ(get("bond0", "BONDMEMBERS"), "<none>");  // one member: emptied
  EXPECT_EQ(get("bond0", "BONDMODE"), "<none>");
}

TEST_F(Checks, BothBondedAndBridgedEndsWithNeitherAndAnotherPass) {
  put("network1", "BONDED = 1\nBONDNAME = bond0\nBRIDGEEDED = 1\nBRIDGENAME = br0\n");
  put("networketh2", "BONDED = 1\nBONDNAME = bond0\n");
  put("networketh3", "BRIDGEEDED = 1\nBRIDGENAME = br0\n");
  auto l = list({"eth1", "eth2", "eth3", "bond0"});
  testing::internal::CaptureStdout();
  netcfg::CheckBondConfig(l);
  netcfg::CheckBridgeConfig(l);
  bool conflict = netcfg::CheckWorkmodeConfig(l);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(conflict);
  EXPECT_NE(log.find("cannot determine eth1 workmode.delete from both bond and bridge."), std::string::npos);
  EXPECT_EQ(get("eth1", "WORKMODE"), "0");
  EXPECT_EQ(get("eth1", "BONDED"), "0");
  EXPECT_EQ(get("eth1", "BRIDGEEDED"), "0");
  testing::internal::CaptureStdout();
  netcfg::CheckBondConfig(l);
  netcfg::CheckBridgeConfig(l);
  EXPECT_FALSE(netcfg::CheckWorkmodeConfig(l));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(get("eth2", "BONDED"), "0");  // bond0 and br0 lost their second members
  EXPECT_EQ(get("eth2", "WORKMODE"), "0");
  EXPECT_EQ(get("eth3", "BRIDGEEDED"), "0");
}

TEST_F(Checks, BridgeGroupsAreWrittenAndLoneOnesRemoved) {
  put("network1", "BRIDGEEDED = 1\nBRIDGENAME = br0\n");
  put("networketh2", "BRIDGEEDED = 1\nBRIDGENAME = br0\n");
  put("networketh3", "BRIDGEEDED = 1\nBRIDGENAME = br1\n");
  put("networkbr1", "HOSTIP = 10.0.0.1\n");
  put("networkbr5", "BRIDGEMEMBERS = eth7,eth8\n");
  put("networketh4", "BRIDGEEDED = 1\nBRIDGENAME = br99\n");
  std::string log = quiet(netcfg::CheckBridgeConfig, list({"eth1", "eth2", "eth3", "eth4"}));
  EXPECT_EQ(get("br0", "BRIDGEMEMBERS"), "eth1,eth2");
  EXPECT_EQ(get("eth1", "WORKMODE"), "3");
  EXPECT_FALSE(exists("networkbr1"));
  EXPECT_FALSE(exists("networkbr5"));
  EXPECT_EQ(get("eth3", "BRIDGEEDED"), "0");
  EXPECT_NE(log.find("the br1's member[eth3] from eth config is 1"), std::string::npos);
  EXPECT_NE(log.find("can not handle br99"), std::string::npos);
  EXPECT_EQ(get("eth4", "BRIDGEEDED"), "0");
}

TEST_F(Checks, OldTrunkBondModesAreRenumberedOnce) {
  struct Case {
    const char* file;
    const char* mode;
  } cases[] = {{"BONDMODE = 1\n", "1"}, {"BONDMODE = 2\n", "0"}, {"BONDMODE = 3\n", "6"}, {"BONDMODE = 4\n", "5"},
               {"BONDMODE = 5\n", "4"}, {"BONDMODE = 6\n", "2"}, {"BONDMODE = 7\n", "3"}, {"BONDMODE = 9\n", "9"},
               {"BONDMODE = 2\nBONDMEMBERS = eth0,eth1\n", "2"}};
  for (auto& c : cases) {
    put("networkbond0", c.file);
    quiet(netcfg::CheckTrunkBondConfig, list({"eth0", "bond0"}));
    EXPECT_EQ(get("bond0", "BONDMODE"), c.mode) << c.file;
  }
}

TEST_F(Checks, InvalidCardsGetTheirDefaultAddresses) {
  put("networketh2", "HOSTIP = 10.0.0.5\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.0.1.1\n");  // gateway outside
  put("networketh3", "HOSTIP = 10.0.0.5\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.0.0.1\nMTU = 9000\n");
  put("networketh4", "HOSTIP = 0.0.0.0\nSUBMASK = 255.255.255.0\nGATEWAYIP = 0.0.0.1\n");
  auto l = list({"eth0", "eth2", "eth3", "eth4", "wlan0", "wlan1", "bond0", "bond1", "bond2"});
  testing::internal::CaptureStdout();
  netcfg::CheckEthCardConfig(l);
  netcfg::CheckWlanCardConfig(l);
  netcfg::CheckBondCardConfig(l);
  testing::internal::GetCapturedStdout();
  struct Case {
    const char *ifname, *ip, *gw, *mtu;
  } cases[] = {{"eth2", "192.168.3.108", "192.168.3.1", "1500"}, {"eth3", "10.0.0.5", "10.0.0.1", "9000"},
               {"eth4", "192.168.5.108", "192.168.5.1", "1500"}, {"wlan1", "192.168.33.108", "192.168.33.1", "1500"},
               {"bond2", "192.168.66.108", "192.168.66.1", "1500"}};
  for (auto& c : cases) {
    EXPECT_EQ(get(c.ifname, "HOSTIP"), c.ip) << c.ifname;
    EXPECT_EQ(get(c.ifname, "SUBMASK"), "255.255.255.0") << c.ifname;
    EXPECT_EQ(get(c.ifname, "GATEWAYIP"), c.gw) << c.ifname;
    EXPECT_EQ(get(c.ifname, "MTU"), c.mtu) << c.ifname;
  }
  EXPECT_EQ(get("eth0", "HOSTIP"), "<none>");  // eth0 has its own check
}

TEST_F(Checks, Eth0ConfigurationAndBackupRepairEachOther) {
  auto l = list({"eth0"});
  const std::string good = "HOSTIP = 10.9.0.7\nSUBMASK = 255.255.0.0\nGATEWAYIP = 10.9.0.1\n";
  char ip[16];
  // Valid configuration, empty backup: the backup is filled.
  testing::internal::CaptureStdout();
  RestBackup();
  put("network", good);
  netcfg::CheckEth0Config(l);
  ASSERT_EQ(RestoreIP("eth0", ip), 1);
  EXPECT_STREQ(ip, "10.9.0.7");
  // Configuration damaged: the backup wins.
  put("network", "HOSTIP = 10.9.0.7x\nSUBMASK = 255.255.0.0\nGATEWAYIP = 10.9.0.1\n");
  netcfg::CheckEth0Config(l);
  EXPECT_EQ(get("eth0", "HOSTIP"), "10.9.0.7");
  EXPECT_EQ(get("eth0", "MTU"), "1500");
  // Configuration lost altogether: rebuilt from the backup.
  unlink(board.file("mnt/mtd/Config/network").c_str());
  netcfg::CheckEth0Config(l);
  EXPECT_EQ(get("eth0", "GATEWAYIP"), "10.9.0.1");
  EXPECT_EQ(get("eth0", "SUBMASK"), "255.255.0.0");
  // Both broken: the factory address in both.
  RestBackup();
  put("network", "HOSTIP = 10.9.0.7\nSUBMASK = 255.255.0.0\nGATEWAYIP = 10.8.0.1\n");
  netcfg::CheckEth0Config(l);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("eth0 in config and backup is not correct!"), std::string::npos);
  EXPECT_EQ(get("eth0", "HOSTIP"), "192.168.1.108");
  EXPECT_EQ(get("eth0", "GATEWAYIP"), "192.168.1.1");
  ASSERT_EQ(RestoreIP("eth0", ip), 1);
  EXPECT_STREQ(ip, "192.168.1.108");
}

TEST_F(Checks, DefaultInterfaceFallsBackToAListedOne) {
  put("network", "DEFAULT_ETH = eth9\nPRIO = 1\n");
  put("network1", "PRIO = 1\n");
  quiet(netcfg::CheckDefaultEthConfig, list({"eth1", "eth2"}));
  EXPECT_EQ(get("eth0", "DEFAULT_ETH"), "eth1");
  EXPECT_EQ(get("eth1", "PRIO"), "0");
  EXPECT_EQ(get("eth0", "PRIO"), "1");
}

TEST_F(Checks, HostileBridgeMembersNeverReachAShell) {
  put("networkbr0", "BRIDGEMEMBERS = eth1;touch /tmp/pwned,$(reboot)\n");
  put("networkbr1", "BRIDGEMEMBERS = eth1,eth2`id`\n");
  put("networkbr;id", "BRIDGEMEMBERS = eth1,eth2\n");
  testing::internal::CaptureStdout();
  netcfg::DoBridgeStuff();
  std::string log = testing::internal::GetCapturedStdout();
  for (auto& e : board.events()) EXPECT_NE(e.rfind("sh ", 0), 0u) << e;
  EXPECT_NE(log.find("skip invalid member"), std::string::npos);
}

TEST_F(Checks, DnsFilesKeepTheOtherFamily) {
  ASSERT_EQ(Dns_SetDnsAddress("1.1.1.1", "1.0.0.1", "2001:db8::1", "2001:db8::2"), 1);
  ASSERT_EQ(Dns_SetDnsServerIPv4("9.9.9.9", "149.112.112.112"), 1);
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/resolv.conf")),
            "nameserver 9.9.9.9\nnameserver 149.112.112.112\nnameserver 2001:db8::1\nnameserver 2001:db8::2\n");
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/resolvip6.conf")), "nameserver 2001:db8::1\nnameserver 2001:db8::2\n");
  char p[64], s[64];
  ASSERT_EQ(Dns_GetDnsServerIPv6(p, s, sizeof p), 1);
  EXPECT_STREQ(s, "2001:db8::2");
  EXPECT_EQ(Dns_SetDnsServerIPv4("9.9.9", "1.1.1.1"), 0);
  put("resolv.conf", "search lan\nnameserver 8.8.8.8\nnameserver 8.8.4.4\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(Dns_GetDnsServerIPv4(p, s), 0);
  netcfg::CheckDnsServer();
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(Dns_GetDnsServerIPv4(p, s), 1);
  EXPECT_STREQ(p, "8.8.8.8");
  EXPECT_STREQ(s, "8.8.4.4");
}

TEST_F(Checks, SwitchDhcpFile) {
  ASSERT_EQ(Switch_UpDateDhcpConf("eth0:poe", "10.1.1.128", "10.1.1.255", "255.255.255.0", "10.1.1.1"), 1);
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/udhcpd.conf")),
            "start 10.1.1.128\nend 10.1.1.255\ninterface eth0:poe\noption  subnet 255.255.255.0\n"
            "opt router 10.1.1.1\noption  lease 60\n");
}

}  // namespace
