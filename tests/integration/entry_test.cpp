// The executable started under its names, and dvrsim itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "applets/applets.h"
#include "support/board.h"

namespace {

using testsupport::Bin;
using testsupport::TempBoard;  // (Run is spelt out: gtest tests have a Run() of their own)

TEST(Entry, UnknownNamesExit255WithTheWholeInvokedPath) {
  auto r = testsupport::Run({Bin("dvrhelper2")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "cann't find cmdstr:" + Bin("dvrhelper2") + "\n");

  TempBoard b;  // only for a scratch folder
  std::string upper = b.file("tmp/DVRHELPER");
  std::filesystem::create_symlink(Bin("dvrhelper"), upper);
  r = testsupport::Run({upper});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "cann't find cmdstr:" + upper + "\n");
}

// The build's links come from the same list as the dispatch table.
TEST(Entry, EveryAppletOfTheTableHasItsLinkBesideTheExecutable) {
  for (const auto& a : applets::Table()) {
    if (!a.name || std::string(a.name) == "dvrhelper") continue;
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(Bin(a.name), ec), "dvrhelper") << a.name << ": " << ec.message();
  }
}

// A board whose PPP daemon location is the board's own, so a test can make
// it missing, a link back to us, or a recording script.
std::string ppp_board_json(const TempBoard& scratch) {
  std::string json = scratch.file("tmp/ppp.json");
  testsupport::WriteFile(json, R"({"name": "ppp", "owns": ["/usr/sbin/pppd", "/var/*"], "tools": []})");
  return json;
}

TEST(Pppd, HandsItsArgumentsToTheInstalledDaemon) {
  auto r = testsupport::Run({Bin("pppd"), "--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE((r.out + r.err).find("pppd version"), std::string::npos) << r.out << r.err;
}

TEST(Pppd, MissingDaemonSelfLinkAndStandIn) {
  TempBoard scratch;
  TempBoard b(ppp_board_json(scratch));
  std::string daemon = b.file("usr/sbin/pppd");
  std::filesystem::create_directories(b.file("usr/sbin"));

  auto r = testsupport::Run({"pppd", "call", "x"}, &b);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("pppd: the PPP daemon /usr/sbin/pppd is not installed"), std::string::npos) << r.err;

  std::filesystem::create_symlink(Bin("dvrhelper"), daemon);
  r = testsupport::Run({"pppd", "call", "x"}, &b);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("is this executable, not the PPP daemon"), std::string::npos) << r.err;

  std::filesystem::remove(daemon);
  testsupport::WriteFile(daemon, "#!/bin/sh\necho \"daemon got: $*\"\nexit 3\n");
  std::filesystem::permissions(daemon, std::filesystem::perms::owner_all);
  r = testsupport::Run({"pppd", "nodetach", "plugin", "rp-pppoe.so"}, &b);
  EXPECT_EQ(r.out, "daemon got: nodetach plugin rp-pppoe.so\n");
  EXPECT_EQ(r.status, 3);  // the daemon replaced us, so its status is the process's
}

TEST(Dvrsim, NewRunEvents) {
  TempBoard b;
  auto r = testsupport::Run({Bin("dvrsim"), "run", b.dir(), "sh", "-c", "reboot -f; exit 4"});
  EXPECT_EQ(r.status, 4);
  r = testsupport::Run({Bin("dvrsim"), "events", b.dir()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tool reboot -f\n");
  // The applet links come first on PATH.
  r = testsupport::Run({Bin("dvrsim"), "run", b.dir(), "sh", "-c", "command -v bootenv"});
  EXPECT_EQ(r.out, Bin("bootenv") + "\n");

  std::string dir = b.file("tmp/second");
  r = testsupport::Run({Bin("dvrsim"), "new", dir, "nosuchboard"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no board description"), std::string::npos);
  r = testsupport::Run({Bin("dvrsim"), "new", dir});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir + "/board.json"));
  r = testsupport::Run({Bin("dvrsim"), "run", b.file("tmp/nothere"), "true"});
  EXPECT_EQ(r.status, 1);
  r = testsupport::Run({Bin("dvrsim"), "frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: dvrsim new DIR [BOARD]"), std::string::npos);
}

TEST(Dvrsim, NothingRunOnABoardReachesTheHostsTools) {
  if (geteuid() != 0) GTEST_SKIP() << "the tool overlays need root (mount namespace)";
  TempBoard b;
  auto r = testsupport::Run({"sh", "-c", "/sbin/reboot -f; /sbin/halt; /usr/sbin/dmidecode -s system-serial-number; "
                            "/etc/init.d/raid stop"},
               &b);
  EXPECT_EQ(r.status, 0) << r.err;
  auto ev = b.events();
  std::vector<std::string> want = {"tool reboot -f", "tool halt", "tool dmidecode -s system-serial-number",
                                   "tool raid stop"};
  EXPECT_EQ(ev, want);
}

}  // namespace
