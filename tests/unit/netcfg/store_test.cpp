// The configuration store on a simulated board: rewrites, limits, typed
// accessors, locking between processes and failed writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "netcfg/netcfg.h"
#include "support/board.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

class Store : public testing::Test {
 protected:
  testsupport::TempBoard board;
  std::string cfg(const std::string& f) { return board.file("mnt/mtd/Config/" + f); }
  std::string get(const char* ifname, const char* key) {
    char p[64], v[256];
    if (!GetConfigFilePath(ifname, p, sizeof p) || !GetValueByKey(p, key, v, sizeof v)) return "<none>";
    return v;
  }
};

TEST_F(Store, FileNamesFollowTheInterface) {
  struct Case {
    const char* ifname;
    const char* path;
  } cases[] = {{"eth0", "/mnt/mtd/Config/network"},        {"eth1", "/mnt/mtd/Config/network1"},
               {"eth2", "/mnt/mtd/Config/networketh2"},    {"bond0", "/mnt/mtd/Config/networkbond0"},
               {"eth0:poe", "/mnt/mtd/Config/networketh0:poe"}, {"eth10", "/mnt/mtd/Config/networketh10"}};
  for (auto& c : cases) {
    char p[64];
    ASSERT_EQ(GetConfigFilePath(c.ifname, p, sizeof p), 1) << c.ifname;
    EXPECT_STREQ(p, c.path);
  }
  char p[64];
  for (const char* bad : {"../../etc/passwd", "eth0;reboot", "", "a/b"}) EXPECT_EQ(GetConfigFilePath(bad, p, sizeof p), 0) << bad;
}

TEST_F(Store, RewriteDropsUnknownLinesKeepsOrderAppendsNewKeys) {
  WriteFile(cfg("network1"), "# written by hand\nMTU = 1500\nNOISE = 1\nHOSTIP = 10.0.0.9");
  ASSERT_EQ(SetValueByKey("/mnt/mtd/Config/network1", "PRIO", "1"), 1);
  EXPECT_EQ(ReadFile(cfg("network1")), "MTU = 1500\nHOSTIP = 10.0.0.9\nPRIO = 1\n");
  ASSERT_EQ(SetValueByKey("/mnt/mtd/Config/network1", "MTU", "9000"), 1);
  EXPECT_EQ(ReadFile(cfg("network1")), "MTU = 9000\nHOSTIP = 10.0.0.9\nPRIO = 1\n");
  // A missing file is created with the one line.
  ASSERT_EQ(SetValueByKey("/mnt/mtd/Config/networketh5", "WORKMODE", "0"), 1);
  EXPECT_EQ(ReadFile(cfg("networketh5")), "WORKMODE = 0\n");
  // No temporary files are left beside them.
  NetFileName files[16];
  int n = 16;
  ASSERT_EQ(GetAllNetworkFile(files, &n), 1);
  EXPECT_EQ(n, 2);
}

TEST_F(Store, SixteenKnownLinesRefuseASeventeenthKey) {
  const char* keys[] = {"HOSTIP", "SUBMASK", "GATEWAYIP", "PRIO", "WORKMODE", "BONDED", "BONDNAME", "BONDMODE",
                        "ROUTE", "BONDPRIMARY", "MTU", "ACTIVE_ETH", "DEFAULT_ETH", "BRIDGEEDED", "BRIDGENAME",
                        "BONDMEMBERS"};
  std::string text;
  for (auto k : keys) text += std::string(k) + " = x\n";
  WriteFile(cfg("network"), text);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SetValueByKey("/mnt/mtd/Config/network", "LACP", "1"), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("can not set LACP = 1, too many lines [16] max line num is 16"),
            std::string::npos);
  EXPECT_EQ(ReadFile(cfg("network")), text);
  EXPECT_EQ(SetValueByKey("/mnt/mtd/Config/network", "MTU", "1400"), 1);
  EXPECT_EQ(get("eth0", "MTU"), "1400");
}

TEST_F(Store, TypedAccessorsCheckTheirValues) {
  EXPECT_EQ(SetIPByConfig("eth1", "10.1.1.5", "255.255.0.0"), 1);
  EXPECT_EQ(SetIPByConfig("eth1", "10.1.1", "255.255.0.0"), 0);
  char ip[16], mask[16];
  ASSERT_EQ(GetIPByConfig("eth1", ip, mask), 1);
  EXPECT_STREQ(ip, "10.1.1.5");
  EXPECT_STREQ(mask, "255.255.0.0");
  WriteFile(cfg("network1"), "HOSTIP = 999.1.1.1\nSUBMASK = 255.0.0.0\n");
  EXPECT_EQ(GetIPByConfig("eth1", ip, mask), 0);

  int mtu = 0;
  EXPECT_EQ(SetMtuByConfig("eth1", 0), 0);
  EXPECT_EQ(SetMtuByConfig("eth1", -5), 0);
  WriteFile(cfg("network1"), "MTU = 15x\n");
  EXPECT_EQ(GetMtuByConfig("eth1", &mtu), 0);

  int mode = 7;
  ASSERT_EQ(SetBondModeByConfig("bond0", -1), 1);
  EXPECT_EQ(ReadFile(cfg("networkbond0")), "BONDMODE = \n");
  EXPECT_EQ(GetBondModeByConfig("bond0", &mode), 0);
  EXPECT_EQ(mode, -1);
  EXPECT_EQ(SetBondModeByConfig("bond0", 9), 0);

  unsigned char lacp = 9;
  WriteFile(cfg("networkbond0"), "LACP = 5\n");
  EXPECT_EQ(GetLacpByConfig("bond0", &lacp), 0);
  EXPECT_EQ(lacp, 0);

  // A garbled work mode reads as independent and is written back so.
  WriteFile(cfg("networketh2"), "WORKMODE = x\n");
  ASSERT_EQ(GetWorkModeByConfig("eth2", &mode), 1);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(get("eth2", "WORKMODE"), "0");
  EXPECT_EQ(SetWorkModeByConfig("eth2", 4), 0);

  // Names that reach commands are refused when written and when read.
  EXPECT_EQ(SetBondNameByConfig("eth2", "bond0;reboot"), 0);
  WriteFile(cfg("networketh2"), "BONDNAME = bond0$(reboot)\n");
  char bn[16];
  EXPECT_EQ(GetBondNameByConfig("eth2", bn, sizeof bn), 0);
}

TEST_F(Store, MemberListsRoundTripAndHaveALimit) {
  NetName m[3] = {"eth0", "eth1", "eth2"};
  ASSERT_EQ(SetBondMemberByConfig("bond0", m, 3), 1);
  EXPECT_EQ(get("bond0", "BONDMEMBERS"), "eth0,eth1,eth2");
  NetName out[32];
  int n = 2;
  ASSERT_EQ(GetBondMemberByConfig("bond0", out, &n), 1);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(out[1], "eth1");
  ASSERT_EQ(SetBridgeMemberByConfig("br0", nullptr, 0), 1);
  EXPECT_EQ(ReadFile(cfg("networkbr0")), "BRIDGEMEMBERS = \n");
  NetName many[32];
  for (int i = 0; i < 32; ++i) snprintf(many[i], sizeof many[i], "ethernet%02d", i);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SetBridgeMemberByConfig("br0", many, 32), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("to many eths in br0"), std::string::npos);
  WriteFile(cfg("networkbr0"), "BRIDGEMEMBERS = eth1,,eth2;id,eth3\n");
  n = 32;
  ASSERT_EQ(GetBridgeMemberByConfig("br0", out, &n), 1);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(out[0], "eth1");
  EXPECT_STREQ(out[1], "eth3");
}

TEST_F(Store, NetworkFilesAndTheDefaultInterface) {
  WriteFile(cfg("network"), "PRIO = 1\n");
  WriteFile(cfg("network1"), "PRIO = 0\n");
  WriteFile(cfg("networkip6eth1"), "PRIO = 0\n");
  WriteFile(cfg("network" + std::string(60, 'x')), "PRIO = 1\n");
  WriteFile(cfg("resolv.conf"), "");
  NetFileName files[16];
  int n = 16;
  ASSERT_EQ(GetAllNetworkFile(files, &n), 1);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(files[0], "network");
  EXPECT_STREQ(files[1], "network1");
  char def[16];
  ASSERT_EQ(GetDefaultEthByConfig(def, sizeof def), 1);
  EXPECT_STREQ(def, "eth1");  // from PRIO, eth0's file has no DEFAULT_ETH
  ASSERT_EQ(SetDefaultEthByConfig("eth0"), 1);
  EXPECT_EQ(get("eth0", "DEFAULT_ETH"), "eth0");
  EXPECT_EQ(get("eth0", "PRIO"), "0");
  EXPECT_EQ(get("eth1", "PRIO"), "1");
  EXPECT_EQ(IsTrunkBondConfig("eth1"), 1);
  WriteFile(cfg("networkbond0"), "BONDMODE = 2\nBONDMEMBERS = \n");
  EXPECT_EQ(IsTrunkBondConfig("bond0"), 0);
}

// Several processes add keys to one file at the same time; with the lock
// every update survives.
TEST_F(Store, ConcurrentWritersLoseNothing) {
  const char* keys[] = {"HOSTIP", "SUBMASK", "GATEWAYIP", "PRIO", "WORKMODE", "BONDED", "MTU", "LACP"};
  std::vector<pid_t> kids;
  for (int k = 0; k < 8; ++k) {
    pid_t pid = fork();
    if (pid == 0) {
      int ok = 1;
      for (int i = 0; i < 25; ++i) ok &= SetValueByKey("/mnt/mtd/Config/network", keys[k], std::to_string(i).c_str());
      _exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t p : kids) {
    int st = 0;
    waitpid(p, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  for (auto k : keys) EXPECT_EQ(get("eth0", k), "24") << k;
}

ino_t Inode(const std::string& p) {
  struct stat st{};
  return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The legacy name kept as a hard link reads what the new name holds after
// every rewrite, whichever of the two names the writer used.
TEST_F(Store, LegacyHardLinkFollowsEveryRewrite) {
  WriteFile(cfg("networketh2"), "HOSTIP = 10.0.0.1\n");
  ASSERT_EQ(link(cfg("networketh2").c_str(), cfg("network2").c_str()), 0);
  ASSERT_EQ(SetIPByConfig("eth2", "10.0.0.2", "255.255.255.0"), 1);
  EXPECT_EQ(ReadFile(cfg("network2")), "HOSTIP = 10.0.0.2\nSUBMASK = 255.255.255.0\n");
  ASSERT_EQ(SetValueByKey("/mnt/mtd/Config/network2", "PRIO", "1"), 1);
  EXPECT_EQ(get("eth2", "PRIO"), "1");
  EXPECT_EQ(Inode(cfg("network2")), Inode(cfg("networketh2")));
  // Nothing but the two names is left in the folder.
  NetFileName files[16];
  int n = 16;
  ASSERT_EQ(GetAllNetworkFile(files, &n), 1);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(files[0], "network2");
  EXPECT_STREQ(files[1], "networketh2");
}

// A rewrite that cannot be written leaves the old file whole.
TEST_F(Store, FailedWriteLeavesTheFileIntact) {
  std::string old = "HOSTIP = 10.0.0.1\nSUBMASK = 255.0.0.0\n";
  WriteFile(cfg("network"), old);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {16, 16};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(SetValueByKey("/mnt/mtd/Config/network", "GATEWAYIP", "10.0.0.254") == 0 ? 0 : 1);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the write should have failed";
  EXPECT_EQ(ReadFile(cfg("network")), old);
}

}  // namespace
