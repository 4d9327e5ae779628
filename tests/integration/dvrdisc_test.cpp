// Discs burnt through dvrdisc on the simulated recorder, judged by udfinfo
// (udftools) and by a reader written from ECMA-167 alone.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "support/board.h"
#include "unit/optical/ecma_walker.h"

using testsupport::Bin;
using testsupport::Run;
using testsupport::RunResult;
using testsupport::TempBoard;

namespace {

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

std::string Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(g());
  return s;
}

struct Disc {
  TempBoard b;
  std::string image() const { return testsupport::ReadFile(b.file("dev/sr0.img")); }
  RunResult insert(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Bin("dvrsim"), "disc", b.dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
  }
  // A file in the board's folder, which the sandbox leaves writable.
  std::string put(const std::string& name, const std::string& data) {
    testsupport::WriteFile(b.file(name), data);
    return b.file(name);
  }
  RunResult disc(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {Bin("dvrdisc")};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, &b);
  }
  int writes() const {
    int n = 0;
    for (auto& e : b.events()) n += e.rfind("mmc /dev/sg0 2a", 0) == 0;
    return n;
  }
  // Clears the drive's write faults, as a fresh drive would behave.
  void heal() {
    std::string path = b.file("dev/sr0.state");
    nlohmann::json j = nlohmann::json::parse(testsupport::ReadFile(path));
    j["fail_write"] = 0;
    testsupport::WriteFile(path, j.dump());
  }
};

struct Udfinfo {
  int status = -1;
  std::string out;
};

Udfinfo RunUdfinfo(const std::string& image, uint32_t start, uint32_t last) {
  Udfinfo r;
  std::string cmd = "udfinfo --blocksize=2048 --startblock=" + std::to_string(start) +
                    (last ? " --lastblock=" + std::to_string(last) : "") + " " + image + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// The end anchor the writer announced.
uint32_t EndAnchor(const std::string& out) {
  size_t at = out.find("udf end anchor vd at ");
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(out.substr(at + 21)));
}

// The header start the writer announced.
uint32_t HeaderStart(const std::string& out) {
  size_t at = out.find("udf header will start at ");
  return at == std::string::npos ? UINT32_MAX : static_cast<uint32_t>(std::stoul(out.substr(at + 25)));
}

// `last`: the recording's end anchor when later ones follow it on the disc.
void ExpectRecording(Disc& d, uint32_t start, const std::map<std::string, std::string>& files, uint32_t last = 0) {
  Udfinfo u = RunUdfinfo(d.b.file("dev/sr0.img"), start, last);
  EXPECT_EQ(u.status, 0) << u.out;
  EXPECT_TRUE(has(u.out, "numfiles=" + std::to_string(files.size()) + "\n")) << u.out;
  EXPECT_FALSE(has(u.out, "Warning")) << u.out;
  optest::Walked w = optest::WalkUdf(d.image(), start);
  ASSERT_EQ(w.error, "");
  ASSERT_EQ(w.files.size(), files.size());
  for (auto& [name, data] : files) EXPECT_TRUE(w.files[name] == data) << name;
}

TEST(Dvrdisc, DvdPlusRwTakesTwoFilesAndASecondRecording) {
  Disc d;
  ASSERT_EQ(d.insert({"1A"}).status, 0);
  std::string big = Random(100001, 1), small = "hello, disc\n";
  RunResult r = d.disc({"burn", "/dev/sg0", d.put("a.bin", big), d.put("b.txt", small)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(HeaderStart(r.out), 288u);
  ExpectRecording(d, 288, {{"a.bin", big}, {"b.txt", small}});

  RunResult s = d.disc({"scan", "/dev/sg0"});
  ASSERT_EQ(s.status, 0) << s.out;
  EXPECT_TRUE(has(s.out, "\na.bin 100001\nb.txt 12\n")) << s.out;

  std::string third = Random(70000, 2);
  RunResult again = d.disc({"burn", "/dev/sg0", d.put("c.bin", third)});
  ASSERT_EQ(again.status, 0) << again.out;
  uint32_t second = HeaderStart(again.out);
  EXPECT_GT(second, 288u + 64u);
  EXPECT_EQ(second % 32, 0u);
  ExpectRecording(d, second, {{"c.bin", third}});
  ExpectRecording(d, 288, {{"a.bin", big}, {"b.txt", small}}, EndAnchor(r.out));
}

struct Family {
  const char* name;
  const char* profile;
};

class DvrdiscFamilies : public ::testing::TestWithParam<Family> {};

// Sequential discs: the header is the reserved first track of each
// session; rewritable BD-RE is formatted first and starts at 288.
TEST_P(DvrdiscFamilies, RecordingLiesWhereTheHeaderSays) {
  Disc d;
  ASSERT_EQ(d.insert({GetParam().profile}).status, 0);
  std::string one = Random(150000, 3), two = Random(5, 4);
  RunResult r = d.disc({"burn", "/dev/sg0", d.put("one.mp4", one), d.put("two", two)});
  ASSERT_EQ(r.status, 0) << r.out;
  const bool bdre = std::string(GetParam().profile) == "43";
  uint32_t start = HeaderStart(r.out);
  EXPECT_EQ(start, bdre ? 288u : 0u);
  ExpectRecording(d, start, {{"one.mp4", one}, {"two", two}});
  if (!bdre) {
    EXPECT_TRUE(has(testsupport::ReadFile(d.b.file("events.log")), "mmc /dev/sg0 53000000000000012000 -> ok"))
        << "RESERVE TRACK of 288 blocks";
    std::string later = Random(40000, 5);
    RunResult r2 = d.disc({"burn", "/dev/sg0", d.put("later", later)});
    ASSERT_EQ(r2.status, 0) << r2.out;
    uint32_t next = HeaderStart(r2.out);
    EXPECT_GT(next, start);
    ExpectRecording(d, next, {{"later", later}});
    ExpectRecording(d, start, {{"one.mp4", one}, {"two", two}}, EndAnchor(r.out));
    RunResult s = d.disc({"scan", "/dev/sg0"});
    EXPECT_TRUE(has(s.out, "\nlater 40000\n")) << s.out;
  } else {
    EXPECT_TRUE(has(r.out, "BD-RE format: type[30]")) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, DvrdiscFamilies,
                         ::testing::Values(Family{"DvdMinusR", "11"}, Family{"BdR", "41"}, Family{"BdRe", "43"},
                                           Family{"DvdPlusR", "1B"}, Family{"HdDvdR", "51"}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(Dvrdisc, RecoveredWriteOnDvdMinusRIsDoneOnce) {
  Disc d;
  ASSERT_EQ(d.insert({"11", "--recovered-write", "2"}).status, 0);
  std::string data = Random(200000, 6);
  RunResult r = d.disc({"burn", "/dev/sg0", d.put("rec.bin", data)});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(testsupport::ReadFile(d.b.file("events.log")), "-> 1/17/01"));
  ExpectRecording(d, 0, {{"rec.bin", data}});
}

TEST(Dvrdisc, WriteFailuresFailTheBurn) {
  std::string data = Random(300000, 7);
  int total;
  {
    Disc clean;
    ASSERT_EQ(clean.insert({"11"}).status, 0);
    ASSERT_EQ(clean.disc({"burn", "/dev/sg0", clean.put("f", data)}).status, 0);
    total = clean.writes();
    ASSERT_GT(total, 6);
  }
  for (int fail : {1, total / 2, total}) {  // the first, a middle and the last WRITE
    SCOPED_TRACE(fail);
    Disc d;
    ASSERT_EQ(d.insert({"11", "--fail-write", std::to_string(fail)}).status, 0);
    RunResult r = d.disc({"burn", "/dev/sg0", d.put("f", data)});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(testsupport::ReadFile(d.b.file("events.log")), "-> 3/0c/00"));
  }
}

TEST(Dvrdisc, RestoreFinishesARecordingWhoseHeaderFailed) {
  for (const char* profile : {"1A", "11"}) {
    SCOPED_TRACE(profile);
    std::string data = Random(120000, 8);
    int total;
    {
      Disc clean;
      ASSERT_EQ(clean.insert({profile}).status, 0);
      ASSERT_EQ(clean.disc({"burn", "/dev/sg0", clean.put("f.bin", data)}).status, 0);
      total = clean.writes();
    }
    Disc d;
    ASSERT_EQ(d.insert({profile, "--fail-write", std::to_string(total - 2)}).status, 0);
    RunResult r = d.disc({"burn", "-s", d.b.file("restore.cfg"), "/dev/sg0", d.put("f.bin", data)});
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "write udf header failed!!!, retrying...")) << r.out;
    std::string cfg = testsupport::ReadFile(d.b.file("restore.cfg"));
    EXPECT_TRUE(has(cfg, "dvr-udf-restore 1\n")) << cfg;
    EXPECT_TRUE(has(cfg, "\nfile 31 120000 f.bin\n")) << cfg;
    d.heal();
    RunResult rr = d.disc({"restore", "/dev/sg0", d.b.file("restore.cfg")});
    ASSERT_EQ(rr.status, 0) << rr.out;
    EXPECT_TRUE(has(rr.out, "udf restore record...")) << rr.out;
    uint32_t start = std::string(profile) == "1A" ? 288 : 0;
    ExpectRecording(d, start, {{"f.bin", data}});
    // A configuration that does not fit the disc is refused.
    RunResult twice = d.disc({"restore", "/dev/sg0", d.b.file("restore.cfg")});
    if (std::string(profile) == "11") {
      EXPECT_EQ(twice.status, 1);
      EXPECT_TRUE(has(twice.out, "check restore config failed.")) << twice.out;
    }
  }
}

TEST(Dvrdisc, TrayStatesAndDriveReplies) {
  Disc d;
  ASSERT_EQ(d.insert({"none"}).status, 0);
  RunResult none = d.disc({"info", "/dev/sg0"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(has(none.out, "Disc type      : No disk!")) << none.out;
  EXPECT_TRUE(has(none.out, "cdrw_init -> -8\n")) << none.out;

  ASSERT_EQ(d.insert({"1B", "--bad"}).status, 0);
  RunResult bad = d.disc({"info", "/dev/sg0"});
  EXPECT_TRUE(has(bad.out, "Bad disk or Disk may be upside down!")) << bad.out;
  EXPECT_TRUE(has(bad.out, "cdrw_init -> -9\n")) << bad.out;

  for (const char* speeds : {"0", ""}) {
    ASSERT_EQ(d.insert({"1B", "--speeds", speeds}).status, 0);
    RunResult info = d.disc({"info", "/dev/sg0"});
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_TRUE(has(info.out, "sn : SIMDRV0001")) << info.out;
    std::string data = Random(40000, 9);
    EXPECT_EQ(d.disc({"burn", "/dev/sg0", d.put("x", data)}).status, 0) << "no speed list still writes";
  }
  ASSERT_EQ(d.insert({"41"}).status, 0);
  RunResult info = d.disc({"info", "/dev/sg0"});
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_TRUE(has(info.out, "speeds: 6X 12X \n")) << info.out;
  EXPECT_TRUE(has(info.out, "remain: 12219392\n")) << info.out;
  EXPECT_TRUE(has(info.out, "Disc type      : BD-R SRM")) << info.out;

  RunResult ej = d.disc({"eject", "/dev/sg0"});
  EXPECT_EQ(ej.status, 0) << ej.out;
  EXPECT_TRUE(has(testsupport::ReadFile(d.b.file("events.log")), "cdrom sr0 eject -> ok"));
  EXPECT_TRUE(has(d.disc({"info", "/dev/sg0"}).out, "No disk!"));
}

TEST(Dvrdisc, ErasingARewritableDvdMakesItBlank) {
  Disc d;
  ASSERT_EQ(d.insert({"13"}).status, 0);
  std::string data = Random(50000, 10);
  ASSERT_EQ(d.disc({"burn", "/dev/sg0", d.put("x", data)}).status, 0);
  RunResult e = d.disc({"erase", "/dev/sg0"});
  EXPECT_EQ(e.status, 0) << e.out;
  EXPECT_TRUE(has(e.out, "Erase OK.")) << e.out;
  EXPECT_TRUE(has(e.out, "Disc type      : DVD-RW Sequential")) << e.out;
  // Option 2 erases first: the new recording is the only one.
  ASSERT_EQ(d.insert({"1A"}).status, 0);
  ASSERT_EQ(d.disc({"burn", "/dev/sg0", d.put("old", data)}).status, 0);
  RunResult fresh = d.disc({"burn", "-o", "2", "/dev/sg0", d.put("new", data)});
  ASSERT_EQ(fresh.status, 0) << fresh.out;
  EXPECT_EQ(HeaderStart(fresh.out), 288u);
  ExpectRecording(d, 288, {{"new", data}});
  // Option 4 closes a DVD-R for good: nothing more is recorded on it.
  ASSERT_EQ(d.insert({"11"}).status, 0);
  RunResult closed = d.disc({"burn", "-o", "4", "/dev/sg0", d.put("last", data)});
  ASSERT_EQ(closed.status, 0) << closed.out;
  EXPECT_TRUE(has(closed.out, "close disc, will not allow adding new data.")) << closed.out;
  ExpectRecording(d, 0, {{"last", data}});
  EXPECT_EQ(d.disc({"burn", "/dev/sg0", d.put("more", data)}).status, 1);
  // A DVD+R cannot be erased.
  ASSERT_EQ(d.insert({"1B"}).status, 0);
  RunResult no = d.disc({"erase", "/dev/sg0"});
  EXPECT_EQ(no.status, 1);
  EXPECT_TRUE(has(no.out, "NO supported disc!")) << no.out;
}

}  // namespace
