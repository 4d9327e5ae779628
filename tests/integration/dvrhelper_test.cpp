// The supervisor as a real process on a fresh simulated board, with the
// demo application as the main application.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/board.h"
#include "support/board_edit.h"

using testsupport::Bin;
using testsupport::TempBoard;

namespace {

int count(const std::vector<std::string>& ev, const std::string& prefix) {
  return static_cast<int>(
      std::count_if(ev.begin(), ev.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// A board whose environment was made from an edited description.
struct Board {
  explicit Board(const std::string& appstart = "1") {
    char tmpl[] = "/tmp/dvrhelper.XXXXXX";
    dir = mkdtemp(tmpl);
    std::string desc = dir + "/desc.json";
    auto j = nlohmann::json::parse(testsupport::ReadFile(std::string(DVRSIM_BOARDS) + "/default.json"));
    auto& e = j["env"]["entries"];
    nlohmann::json kept = nlohmann::json::array();
    for (auto& x : e)
      if (x.get<std::string>().rfind("appstart=", 0) != 0) kept.push_back(x);
    if (appstart != "absent") kept.push_back("appstart=" + appstart);
    e = kept;
    testsupport::WriteFile(desc, j.dump());
    board = std::make_unique<TempBoard>(desc);
    // Inside the board: a program on a board writes nowhere else.
    setenv("DEMOAPP_STATE", board->file("var/run/demoapp.starts").c_str(), 1);
    setenv("DEMOAPP_RUN_MS", "10", 1);
  }
  ~Board() {
    board.reset();
    std::string cmd = "rm -rf " + dir;
    if (system(cmd.c_str()) != 0) {
    }
  }
  std::string dir;
  std::unique_ptr<TempBoard> board;
};

TEST(Dvrhelper, WithoutProgramPrintsHelpErrorAndExitsZero) {
  Board b;
  auto r = testsupport::Run({"dvrhelper"}, b.board.get());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("dvrhelper: dvrhelp err\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PRODUCT INFORMATION"), std::string::npos);
}

TEST(Dvrhelper, AppstartDecidesWhetherTheApplicationStarts) {
  struct Case {
    const char* appstart;
    int status;
    const char* line;
  };
  const Case cases[] = {
      {"absent", 255, "dvrhelper: get appstart err\n"},
      {"0", 0, "dvrhelper: appstart = 0, app will not auto start.\n"},
      {"3", 0, "dvrhelper: appstart = 0, app will not auto start.\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.appstart);
    Board b(c.appstart);
    auto r = testsupport::Run({"dvrhelper", Bin("demoapp")}, b.board.get());
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    EXPECT_EQ(count(b.board->events(), "exec "), 0);
  }
}

TEST(Dvrhelper, RestartsOnSixUntilAnUnsupportedCode) {
  Board b;
  setenv("DEMOAPP_CODES", "6,6,6,0", 1);
  auto r = testsupport::Run({"dvrhelper", Bin("demoapp")}, b.board.get());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count(b.board->events(), "exec " + Bin("demoapp") + " buf"), 4);
  EXPECT_NE(r.out.find("dvrhelper: unsupported Status(enum=0)\n"), std::string::npos) << r.out;
  auto restarts = r.out.find("dvrhelper: Restarting Applacatin.\n");
  EXPECT_NE(restarts, std::string::npos);
}

TEST(Dvrhelper, ProgramThatCannotRunIsReportedAsStatus255) {
  Board b;
  auto r = testsupport::Run({"dvrhelper", "/nonexistent/app"}, b.board.get());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("dvrhelper: execl failed, program(/nonexistent/app), BufMethod(buf)\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("dvrhelper: unsupported Status(enum=255)\n"), std::string::npos) << r.out;
}

// Exit 7, then the panel sends a frame that is not the release frame, some
// garbage, and the release frame: the application starts again only after
// the last, and ends the run with 0.
// Runs `fn` with the working directory and PATH given, restoring both.
template <typename Fn>
auto in_dir(const std::string& cwd, const std::string& path, Fn fn) {
  char old[4096];
  EXPECT_NE(getcwd(old, sizeof old), nullptr);
  std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  EXPECT_EQ(chdir(cwd.c_str()), 0);
  setenv("PATH", path.c_str(), 1);
  auto r = fn();
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(chdir(old), 0);
  return r;
}

TEST(Dvrhelper, BareNameIsAFileOfTheWorkingDirectoryNeverOneOnPath) {
  Board b;
  setenv("DEMOAPP_CODES", "0", 1);
  std::string app = b.dir + "/app", bin = b.dir + "/bin", elsewhere = b.dir + "/elsewhere";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(symlink(Bin("demoapp").c_str(), app.c_str()), 0);
  ASSERT_EQ(symlink(Bin("demoapp").c_str(), (bin + "/onpath").c_str()), 0);
  std::string path = bin + ":" + (getenv("PATH") ? getenv("PATH") : "");

  // cd DIR; dvrhelper app
  auto r = in_dir(b.dir, path, [&] { return testsupport::Run({"dvrhelper", "app"}, b.board.get()); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("execl failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dvrhelper: unsupported Status(enum=0)\n"), std::string::npos) << r.out;
  EXPECT_EQ(testsupport::ReadFile(b.board->file("var/run/demoapp.starts")).empty(), false) << "the application did not run";

  // A name found only on PATH does not start.
  r = in_dir(elsewhere, path, [&] { return testsupport::Run({"dvrhelper", "onpath"}, b.board.get()); });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("dvrhelper: execl failed, program(onpath), BufMethod(buf)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dvrhelper: unsupported Status(enum=255)\n"), std::string::npos) << r.out;
}

TEST(Dvrhelper, WaitsForTheReleaseFrameAfterSeven) {
  Board b;
  setenv("DEMOAPP_CODES", "7,0", 1);
  std::thread panel([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline &&
           testsupport::ReadFile(b.board->file("events.log")).find("exec ") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (auto args : {std::vector<std::string>{"frame", "FF", "09", "00", "01"},
                      std::vector<std::string>{"raw", "12", "34"}, std::vector<std::string>{"release"}}) {
      std::vector<std::string> argv = {Bin("dvrsim"), "panel", b.board->dir()};
      argv.insert(argv.end(), args.begin(), args.end());
      EXPECT_EQ(testsupport::Run(argv).status, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  auto r = testsupport::Run({"dvrhelper", Bin("demoapp")}, b.board.get());
  panel.join();
  EXPECT_EQ(r.status, 0) << r.out;
  auto ev = b.board->events();
  auto at = [&](const std::string& l) { return std::find(ev.begin(), ev.end(), l) - ev.begin(); };
  auto execs = count(ev, "exec ");
  EXPECT_EQ(execs, 2);
  EXPECT_LT(at("panel-send FF 09 00 00"), static_cast<long>(ev.size()));
  // The second start comes after the release frame.
  long last_exec = -1;
  for (size_t i = 0; i < ev.size(); ++i)
    if (ev[i].rfind("exec ", 0) == 0) last_exec = static_cast<long>(i);
  EXPECT_GT(last_exec, at("panel-send FF 09 00 00"));
  EXPECT_NE(r.out.find("dvrhelper: listening frontboard...\n"), std::string::npos);
}

TEST(Dvrhelper, BrokenResourceDriverEndsTheProcessAtTheHandshake) {
  Board b;
  testsupport::EditBoard(*b.board, [](nlohmann::json& j) { j["resource"]["version"] = "V0.0.3"; });
  auto r = testsupport::Run({"dvrhelper", Bin("demoapp")}, b.board.get());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("resource version match faild,exit the process"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("dvrhelper version:"), std::string::npos);
  EXPECT_EQ(count(b.board->events(), "exec "), 0);
}

TEST(DvrsimPanel, WithoutARunningPanelSaysSo) {
  TempBoard b;
  auto r = testsupport::Run({Bin("dvrsim"), "panel", b.dir(), "release"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no front panel is running"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::Run({Bin("dvrsim"), "panel", b.dir(), "frame", "FF", "1FF", "0", "0"}).status, 2);
}

}  // namespace
