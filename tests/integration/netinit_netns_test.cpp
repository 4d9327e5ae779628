// netinit on a real network stack: each boot runs in a fresh network
// namespace made by `dvrsim run --netns` with the board's interfaces as
// veth pairs; what the kernel then holds is read back inside the same
// namespace with iproute2's `ip -j` and bridge-utils' `brctl`.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "support/board.h"

using nlohmann::json;
using testsupport::Bin;
using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

#define NEED_ROOT()                                                                                        \
  if (geteuid() != 0) GTEST_SKIP() << "needs root: runs netinit in a network namespace of its own (CI runs " \
                                      "as root)"

struct Kernel {
  testsupport::RunResult run;
  int status = -1;  // netinit's own
  std::string log;
  json addr, route, link;
  std::string brctl;
};

// Boots the board in a new namespace and reads the kernel's state back.
Kernel Boot(const testsupport::TempBoard& b, const std::string& cmd = "netinit", const std::string& before = "") {
  const std::string& d = b.dir();
  std::string script = before + "{ " + cmd + "; } > " + d + "/netinit.out 2>&1; echo $? > " + d +
                       "/status; ip -j addr > " + d + "/addr.json; ip -j route > " +
                       d + "/route.json; ip -j link > " + d + "/link.json; brctl show > " + d + "/brctl.txt";
  Kernel k;
  k.run = testsupport::Run({Bin("dvrsim"), "run", "--netns", d, "sh", "-c", script});
  k.log = ReadFile(d + "/netinit.out");
  k.status = std::atoi(ReadFile(d + "/status").c_str());
  k.addr = json::parse(ReadFile(d + "/addr.json"), nullptr, false);
  k.route = json::parse(ReadFile(d + "/route.json"), nullptr, false);
  k.link = json::parse(ReadFile(d + "/link.json"), nullptr, false);
  k.brctl = ReadFile(d + "/brctl.txt");
  return k;
}

const json* Iface(const json& addr, const std::string& name) {
  for (auto& i : addr)
    if (i.value("ifname", "") == name) return &i;
  return nullptr;
}

// "ADDR/PREFIX" of every IPv4 address of an interface.
std::set<std::string> V4(const json& addr, const std::string& name) {
  std::set<std::string> s;
  if (auto* i = Iface(addr, name))
    for (auto& a : i->value("addr_info", json::array()))
      if (a.value("family", "") == "inet") s.insert(a.value("local", "") + "/" + std::to_string(a.value("prefixlen", 0)));
  return s;
}

std::set<std::string> Routes(const json& route) {
  std::set<std::string> s;
  for (auto& r : route) s.insert(r.value("dst", "") + " via " + r.value("gateway", "-") + " dev " + r.value("dev", ""));
  return s;
}

std::string HostState() {
  auto a = testsupport::Run({"/usr/sbin/ip", "-j", "addr"});
  auto r = testsupport::Run({"/usr/sbin/ip", "-j", "route"});
  auto l = testsupport::Run({"/usr/sbin/ip", "-j", "link"});
  return a.out + r.out + l.out;
}

class NetnsBoot : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() == 0) host_before = HostState();
  }
  void TearDown() override {
    if (geteuid() == 0) {
      EXPECT_EQ(HostState(), host_before) << "the host's network changed";
    }
  }
  void put(const std::string& f, const std::string& text) { WriteFile(board.file("mnt/mtd/Config/" + f), text); }
  std::string cfg(const std::string& f) { return ReadFile(board.file("mnt/mtd/Config/" + f)); }
  testsupport::TempBoard board{"netns"};
  std::string host_before;
};

TEST_F(NetnsBoot, AppliesAddressesRoutesMtuAndABridge) {
  NEED_ROOT();
  put("network", "HOSTIP = 10.20.0.5\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.20.0.1\nMTU = 1400\nDEFAULT_ETH = eth0\n");
  put("network1", "BRIDGEEDED = 1\nBRIDGENAME = br0\nMTU = 1500\n");
  put("networketh2", "BRIDGEEDED = 1\nBRIDGENAME = br0\n");
  put("networkbr0", "HOSTIP = 10.30.0.1\nSUBMASK = 255.255.0.0\nGATEWAYIP = 10.30.0.254\nMTU = 1500\n");
  Kernel k = Boot(board);
  ASSERT_EQ(k.run.status, 0) << k.run.err;
  EXPECT_EQ(k.status, 255);  // CommonMain answers 1, which the entry reports as failure
  ASSERT_TRUE(k.addr.is_array()) << k.log;
  EXPECT_NE(k.log.find("[Sysnet@3735] netinit is finished."), std::string::npos) << k.log;

  EXPECT_EQ(V4(k.addr, "eth0"), std::set<std::string>{"10.20.0.5/24"});
  EXPECT_EQ(V4(k.addr, "br0"), std::set<std::string>{"10.30.0.1/16"});
  EXPECT_TRUE(V4(k.addr, "eth1").empty());
  EXPECT_TRUE(V4(k.addr, "eth2").empty());
  ASSERT_NE(Iface(k.addr, "eth0"), nullptr);
  EXPECT_EQ((*Iface(k.addr, "eth0"))["mtu"], 1400);
  EXPECT_EQ((*Iface(k.addr, "br0"))["mtu"], 1500);
  for (const char* n : {"eth0", "eth1", "eth2", "br0"}) {
    auto* i = Iface(k.link, n);
    ASSERT_NE(i, nullptr) << n;
    auto flags = (*i)["flags"].dump();
    EXPECT_NE(flags.find("\"UP\""), std::string::npos) << n << " " << flags;
  }
  // MAC addresses from the boot environment (ethaddr, eth1addr, eth2addr).
  EXPECT_EQ((*Iface(k.link, "eth0")).value("address", ""), "00:12:34:56:78:9a");
  EXPECT_EQ((*Iface(k.link, "eth1")).value("address", ""), "00:12:34:56:78:9b");
  EXPECT_EQ((*Iface(k.link, "eth2")).value("address", ""), "00:12:34:56:78:9c");
  EXPECT_EQ((*Iface(k.link, "eth1")).value("master", ""), "br0");
  EXPECT_EQ((*Iface(k.link, "eth2")).value("master", ""), "br0");

  EXPECT_EQ(Routes(k.route), (std::set<std::string>{"default via 10.20.0.1 dev eth0", "10.20.0.0/24 via - dev eth0",
                                                     "10.30.0.0/16 via - dev br0"}))
      << k.route.dump();
  EXPECT_NE(k.brctl.find("br0"), std::string::npos) << k.brctl;
  EXPECT_NE(k.brctl.find("eth1"), std::string::npos) << k.brctl;
  EXPECT_NE(k.brctl.find("eth2"), std::string::npos) << k.brctl;

  // The repaired files: work modes, members, defaults for the rest.
  EXPECT_NE(cfg("networkbr0").find("BRIDGEMEMBERS = eth1,eth2\n"), std::string::npos);
  EXPECT_NE(cfg("network1").find("WORKMODE = 3\n"), std::string::npos);
  EXPECT_NE(cfg("network").find("WORKMODE = 0\n"), std::string::npos);
  EXPECT_NE(cfg("resolv.conf").find("nameserver 8.8.8.8\n"), std::string::npos);
  // The bridge is made by commands; everything else through ioctls.
  std::vector<std::string> sh;
  for (auto& e : board.events())
    if (e.rfind("sh ", 0) == 0) sh.push_back(e);
  EXPECT_EQ(sh, (std::vector<std::string>{"sh brctl addbr br0", "sh brctl addif br0 eth1", "sh brctl addif br0 eth2",
                                          "sh ifconfig eth1 down", "sh ifconfig eth2 down", "sh ifconfig eth1 0.0.0.0 up",
                                          "sh ifconfig eth2 0.0.0.0 up", "sh ifconfig br0 up"}));

  // A second boot on a fresh namespace gives the same kernel state.
  Kernel again = Boot(board);
  EXPECT_EQ(V4(again.addr, "eth0"), V4(k.addr, "eth0"));
  EXPECT_EQ(Routes(again.route), Routes(k.route));
}

TEST_F(NetnsBoot, BackupRestoresEth0AfterItsFileIsLost) {
  NEED_ROOT();
  put("network", "HOSTIP = 10.50.1.9\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.50.1.1\nMTU = 1500\n");
  Kernel first = Boot(board);
  ASSERT_EQ(V4(first.addr, "eth0"), std::set<std::string>{"10.50.1.9/24"}) << first.log;
  ASSERT_EQ(unlink(board.file("mnt/mtd/Config/network").c_str()), 0);
  Kernel second = Boot(board);
  EXPECT_EQ(V4(second.addr, "eth0"), std::set<std::string>{"10.50.1.9/24"}) << second.log;
  EXPECT_TRUE(Routes(second.route).count("default via 10.50.1.1 dev eth0")) << second.route.dump();
  EXPECT_NE(cfg("network").find("HOSTIP = 10.50.1.9\n"), std::string::npos);
  // With both lost, the factory address.
  ASSERT_EQ(unlink(board.file("mnt/mtd/Config/network").c_str()), 0);
  WriteFile(board.file("dev/pdcSramFile"), std::string(512, '\0'));
  Kernel third = Boot(board);
  EXPECT_EQ(V4(third.addr, "eth0"), std::set<std::string>{"192.168.1.108/24"}) << third.log;
}

TEST_F(NetnsBoot, SingleInterfaceAndDefaultInterfaceModes) {
  NEED_ROOT();
  Kernel k = Boot(board, "netinit eth1 10.60.0.2 255.255.255.0 10.60.0.1; netinit setdef eth1");
  EXPECT_EQ(V4(k.addr, "eth1"), std::set<std::string>{"10.60.0.2/24"}) << k.log;
  EXPECT_TRUE(Routes(k.route).count("default via 10.60.0.1 dev eth1")) << k.route.dump() << k.log;
  EXPECT_NE(k.log.find("[Sysnet@3735] netinit for eth1 is finished."), std::string::npos);
  EXPECT_NE(k.log.find("[Sysnet@3735] set default card is eth1"), std::string::npos);
  EXPECT_NE(cfg("network").find("DEFAULT_ETH = eth1\n"), std::string::npos);
  // A gateway outside the subnet stops before anything is touched.
  Kernel bad = Boot(board, "netinit eth2 10.61.0.2 255.255.255.0 10.62.0.1");
  EXPECT_NE(bad.log.find("ip 10.61.0.2 and gateway 10.62.0.1 is not in same net"), std::string::npos);
  EXPECT_TRUE(V4(bad.addr, "eth2").empty());
  EXPECT_EQ(cfg("networketh2").find("HOSTIP"), std::string::npos);
}

TEST_F(NetnsBoot, HostileNamesNeverReachAShell) {
  NEED_ROOT();
  std::string mark = board.file("pwned");
  put("network1", "BRIDGEEDED = 1\nBRIDGENAME = br0;touch " + mark + "\n");
  put("networketh2", "BRIDGEEDED = 1\nBRIDGENAME = br0\nBONDED = 1\nBONDNAME = bond0$(touch " + mark + ")\n");
  put("networkbr1", "BRIDGEMEMBERS = eth1,eth2;touch " + mark + ",$(touch " + mark + ")\n");
  put("networkbond0", "BONDMODE = 1\nBONDMEMBERS = eth1,eth2`touch " + mark + "`\n");
  // An interface name the kernel takes but a shell would not.
  Kernel k = Boot(board, "netinit", "ip link add 'eth9;id' type veth peer name veth9; ");
  EXPECT_EQ(access(mark.c_str(), F_OK), -1) << "a command ran from a configuration file";
  for (auto& e : board.events())
    if (e.rfind("sh ", 0) == 0) {
      EXPECT_EQ(e.find_first_of(";$`|&"), std::string::npos) << e;
    }
  EXPECT_NE(k.log.find("eth9;id is not a safe interface name"), std::string::npos) << k.log;
  EXPECT_TRUE(V4(k.addr, "eth0").count("192.168.1.108/24"));  // the others still come up
  EXPECT_TRUE(V4(k.addr, "eth1").count("192.168.2.108/24"));
}

TEST_F(NetnsBoot, BondGoesThroughTheBondingFilesAndIfenslave) {
  NEED_ROOT();
  put("network1", "BONDED = 1\nBONDNAME = bond0\n");
  put("networketh2", "BONDED = 1\nBONDNAME = bond0\n");
  put("networkbond0", "BONDMODE = 1\nHOSTIP = 10.40.0.1\nSUBMASK = 255.255.255.0\nGATEWAYIP = 10.40.0.254\nMTU = 1500\n");
  Kernel k = Boot(board);
  std::string bonding = board.file("sys/class/net/bond0/bonding/");
  EXPECT_EQ(ReadFile(bonding + "slaves"), "eth1 eth2\n");
  EXPECT_EQ(ReadFile(bonding + "mode"), std::string("active-backup") + '\0');
  EXPECT_EQ(ReadFile(bonding + "miimon"), std::string("100") + '\0');
  bool enslaved = false;
  for (auto& e : board.events()) enslaved = enslaved || e == "tool ifenslave bond0 eth1 eth2";
  EXPECT_TRUE(enslaved);
  EXPECT_EQ(V4(k.addr, "bond0"), std::set<std::string>{"10.40.0.1/24"}) << k.log;
  EXPECT_TRUE(V4(k.addr, "eth1").empty());
  EXPECT_NE(cfg("networkbond0").find("BONDMEMBERS = eth1,eth2\n"), std::string::npos);
  EXPECT_NE(cfg("network1").find("WORKMODE = 1\n"), std::string::npos);
}

// The old names network2 and networkip62 stay hard links of the renamed
// files through a whole boot, in which eth2's file is rewritten several times.
TEST_F(NetnsBoot, LegacyNamesStayOnTheRewrittenFiles) {
  NEED_ROOT();
  put("network2", "HOSTIP = 10.2.0.1\n");
  put("networkip62", "x\n");
  for (int boot = 0; boot < 2; ++boot) {
    Kernel k = Boot(board);
    EXPECT_NE(k.log.find("[Sysnet@3735] netinit is finished."), std::string::npos) << k.log;
    std::string eth2 = cfg("networketh2");
    EXPECT_NE(eth2.find("WORKMODE = 0\n"), std::string::npos) << eth2;
    EXPECT_NE(eth2.find("HOSTIP = 192.168.3.108\n"), std::string::npos) << eth2;
    EXPECT_EQ(cfg("network2"), eth2) << boot;
    struct stat a{}, b{};
    ASSERT_EQ(stat(board.file("mnt/mtd/Config/network2").c_str(), &a), 0);
    ASSERT_EQ(stat(board.file("mnt/mtd/Config/networketh2").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << boot;
    EXPECT_EQ(cfg("networkip62"), "x\n");
    EXPECT_EQ(cfg("networkip6eth2"), "x\n");
  }
}

TEST(NetnsFence, RealToolBoardRefusesToRunOutsideItsNamespace) {
  testsupport::TempBoard board("netns");
  auto r = testsupport::Run({"netinit"}, &board);
  EXPECT_EQ(r.status, 126);
  EXPECT_NE(r.err.find("use dvrsim run --netns"), std::string::npos) << r.err;
}

}  // namespace
