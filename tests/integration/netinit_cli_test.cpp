// netinit's command line on the default board, without a network
// namespace: usage, argument checks that stop before anything is touched.
#include <gtest/gtest.h>

#include <string>

#include "support/board.h"

using testsupport::ReadFile;

namespace {

const char kUsage[] =
    "-----------------------------------------------------------------\n"
    "Usage:netinit <ethname> <Ipaddress> <Netmask> <Gateway>\n"
    "      netinit setdef <ethname> -- change default card\n"
    "Example:\n"
    "eg.   netinit eth0 192.168.1.100 255.255.0.0 192.168.1.1\n"
    "eg.   netinit setdef eth1 \n"
    "-----------------------------------------------------------------\n";

std::string Plain(std::string s) {  // without colour prefixes
  for (size_t p; (p = s.find("\033[")) != std::string::npos;) s.erase(p, s.find('m', p) - p + 1);
  return s;
}

TEST(NetinitCli, ArgumentErrorsStopBeforeAnyChange) {
  struct Case {
    std::vector<std::string> argv;
    const char* message;
  } cases[] = {
      {{"netinit", "eth0"}, "WARN  (CommonMain|"},
      {{"netinit", "eth0", "1.2.3.4", "255.255.255.0"}, "Please check your command for netinit."},
      {{"netinit", "eth0", "1.2.3", "255.255.255.0", "1.2.3.1"}, "ERROR  (SingleInterface|"},
      {{"netinit", "eth0", "10.0.0.2", "255.255.255.0", "10.0.1.1"}, "ip 10.0.0.2 and gateway 10.0.1.1 is not in same net"},
      {{"netinit", "eth0", "10.0.0.2", "255.255.x.0", "10.0.0.1"}, "mask error 255.255.x.0"},
      {{"netinit", "eth0", "10.0.0.2", "255.255.255.0", "10.0.0.256"}, "gateway error 10.0.0.256"},
      {{"netinit", "setdef", "dvrnosuch9"}, "dvrnosuch9 not exist"},
      {{"netinit", "setdefault", "eth0"}, "error command, please input again."},
  };
  for (auto& c : cases) {
    testsupport::TempBoard board;
    auto r = testsupport::Run(c.argv, &board);
    std::string out = Plain(r.out);
    EXPECT_EQ(r.status, 255) << c.message;
    EXPECT_EQ(out.find(kUsage), 0u) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/network")).find("HOSTIP"), std::string::npos) << c.message;
    EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/network")).find("DEFAULT_ETH"), std::string::npos) << c.message;
  }
}

TEST(NetinitCli, LegacyEth2FilesAreRenamedAndLinkedBack) {
  testsupport::TempBoard board;
  testsupport::WriteFile(board.file("mnt/mtd/Config/network2"), "HOSTIP = 10.2.0.1\n");
  testsupport::WriteFile(board.file("mnt/mtd/Config/networkip62"), "x\n");
  auto r = testsupport::Run({"netinit", "a", "b"}, &board);
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/networketh2")), "HOSTIP = 10.2.0.1\n");
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/network2")), "HOSTIP = 10.2.0.1\n");
  EXPECT_EQ(ReadFile(board.file("mnt/mtd/Config/networkip6eth2")), "x\n");
}

}  // namespace
