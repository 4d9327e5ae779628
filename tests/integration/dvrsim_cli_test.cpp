// dvrsim as a new user meets it: help, usage errors, clear failures, a
// board that is never silently re-provisioned, and board descriptions with
// fields of the wrong type.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/board_edit.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

bool has(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

TEST(DvrsimCli, HelpUsageAndFailures) {
  for (const char* h : {"--help", "-h"}) {
    auto r = testsupport::Run({"dvrsim", h});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "usage: dvrsim new DIR [BOARD] [--force]")) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
  }
  for (std::vector<std::string> bad : {std::vector<std::string>{"dvrsim"}, {"dvrsim", "frobnicate"},
                                       {"dvrsim", "new"}, {"dvrsim", "events"}}) {
    auto r = testsupport::Run(bad);
    EXPECT_EQ(r.status, 2) << bad.back();
    EXPECT_TRUE(has(r.err, "usage: dvrsim")) << bad.back();
    EXPECT_TRUE(r.out.empty());
  }
  TempBoard b;
  // A process id that is not one is refused at once instead of waiting
  // for "process 0" to end.
  auto r = testsupport::Run({"/usr/bin/timeout", "20", Bin("dvrsim"), "peers", b.dir(), "abc"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(has(r.err, "PID must be a process id, not abc")) << r.err;
  r = testsupport::Run({"dvrsim", "flash", b.dir(), "bad", "99", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "has no MTD partition 99")) << r.err;
  r = testsupport::Run({"dvrsim", "flash", b.dir(), "bad", "0", "100000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "no block 100000")) << r.err;
  r = testsupport::Run({"dvrsim", "events", b.dir() + "/nothing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "no board.json")) << r.err;
}

TEST(DvrsimCli, AnExistingBoardIsRecreatedOnlyWhenForced) {
  TempBoard b;
  WriteFile(b.file("mnt/mtd/Config/network"), "old");
  WriteFile(b.file("dev/mtd0"), "old flash");
  auto r = testsupport::Run({"dvrsim", "new", b.dir()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "is a board already (--force re-creates it)")) << r.err;
  EXPECT_EQ(ReadFile(b.file("mnt/mtd/Config/network")), "old");
  EXPECT_EQ(ReadFile(b.file("dev/mtd0")), "old flash");

  r = testsupport::Run({"dvrsim", "new", b.dir(), "nand", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(b.file("mnt/mtd/Config/network")));
  EXPECT_NE(ReadFile(b.file("dev/mtd0")), "old flash");
  EXPECT_TRUE(has(ReadFile(b.file("board.json")), "\"nand\""));

  // A folder that holds something else is never taken over, forced or not.
  char tmpl[] = "/tmp/dvrnotboard.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  WriteFile(std::string(tmpl) + "/mine", "keep");
  r = testsupport::Run({"dvrsim", "new", tmpl, "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "is not empty and not a board")) << r.err;
  EXPECT_EQ(ReadFile(std::string(tmpl) + "/mine"), "keep");
  fs::remove_all(tmpl);
}

TEST(DvrsimCli, AFieldOfTheWrongTypeIsNamed) {
  struct Case {
    const char* what;
    std::function<void(nlohmann::json&)> edit;
    const char* message;
  } cases[] = {
      {"gpio", [](nlohmann::json& j) { j["gpio"] = "x"; }, "/gpio must be an object, but is string"},
      {"mtd chips", [](nlohmann::json& j) { j["mtd"]["chips"] = "x"; }, "/mtd/chips must be an array, but is string"},
      {"owns", [](nlohmann::json& j) { j["owns"] = 3; }, "/owns must be an array of strings, but is number"},
      {"a tool", [](nlohmann::json& j) { j["tools"][0] = false; }, "/tools/0 must be a string, but is boolean"},
  };
  for (auto& c : cases) {
    TempBoard b;
    EditBoard(b, c.edit);
    // Through dvrsim run, and an applet started with DVR_BOARD alone.
    for (auto& argv : {std::vector<std::string>{"dvrsim", "run", b.dir(), "bootenv"},
                       {"/usr/bin/env", "DVR_BOARD=" + b.dir(), Bin("bootenv")},
                       {"/usr/bin/env", "DVR_BOARD=" + b.dir(), Bin("netinit")}}) {
      auto r = testsupport::Run(argv);
      EXPECT_EQ(r.status, 1) << c.what << " " << argv.back();
      EXPECT_TRUE(has(r.err, c.message)) << c.what << ": " << r.err;
    }
  }
  // dvrsim itself refuses such a description when making a board.
  char tmpl[] = "/tmp/dvrdesc.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string desc = std::string(tmpl) + "/bad.json";
  WriteFile(desc, R"({"name": "bad", "gpio": [1], "mtd": {"chips": {}}})");
  auto r = testsupport::Run({"dvrsim", "new", std::string(tmpl) + "/board", desc});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "/gpio must be an object, but is array")) << r.err;
  fs::remove_all(tmpl);
}

}  // namespace
