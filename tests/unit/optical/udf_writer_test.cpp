// The UDF writer on image files, judged by udfinfo and by a reader of our
// own written from the standard's offsets.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "optical/udf_desc.h"
#include "unit/optical/ecma_walker.h"
#include "unit/optical/image_dev.h"

namespace fs = std::filesystem;
using optest::ImageDev;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "udfXXXXXX").string();
    path_ = mkdtemp(t.data()) ? t : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& n) const { return path_ + "/" + n; }

 private:
  std::string path_;
};

std::string Slurp(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 11)) & 0xFF);
  return s;
}

// Records `files` in pieces of `piece` bytes; the first failing call's result.
int Record(ImageDev& dev, const std::vector<std::pair<std::string, std::string>>& files, size_t piece = 100000,
           int option = 0) {
  if (int r = cdrw_udf_hdr_start(&dev, option); r != 0) return r;
  for (const auto& [name, data] : files) {
    if (int r = cdrw_udf_open_file(&dev, name.c_str()); r != 0) return r;
    for (size_t off = 0; off < data.size(); off += piece)
      if (int r = cdrw_udf_filedata(&dev, data.data() + off, std::min(piece, data.size() - off)); r != 0) return r;
    if (int r = cdrw_udf_close_file(&dev); r != 0) return r;
  }
  if (int r = cdrw_udf_hdr_end(&dev, nullptr, 0); r != 0) return r;
  return cdrw_udf_end(&dev);
}

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun Udfinfo(const std::string& image, uint32_t start) {
  ToolRun r;
  std::string cmd = "udfinfo --blocksize=2048 --startblock=" + std::to_string(start) + " " + image + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

bool HaveUdfinfo() { return std::system("command -v udfinfo >/dev/null 2>&1") == 0; }

struct ProfileCase {
  const char* name;
  int profile;
  uint32_t nwa;         // sequential: where the session's free space starts
  uint32_t hdr_start;   // where the header must land
};

class UdfProfiles : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(UdfProfiles, RecordingIsReadBackByBothWitnesses) {
  const ProfileCase& c = GetParam();
  TempDir dir;
  ImageDev dev(dir / "disc.img", c.profile);
  dev.nwa = c.nwa;
  std::vector<std::pair<std::string, std::string>> files = {
      {"ch01_0001.mp4", Pattern(250001, 1)}, {"index.dat", Pattern(777, 2)}, {"empty", ""}};
  ASSERT_EQ(Record(dev, files), 0);
  EXPECT_EQ(dev.udf.files.size(), 0u) << "the writer is reset by cdrw_udf_end";

  std::string img = Slurp(dir / "disc.img");
  optest::Walked w = optest::WalkUdf(img, c.hdr_start);
  ASSERT_EQ(w.error, "");
  EXPECT_EQ(w.partition_start, c.hdr_start + 257);
  ASSERT_EQ(w.files.size(), files.size());
  for (const auto& [name, data] : files) EXPECT_TRUE(w.files[name] == data) << name;
  // Every data unit starts on a unit boundary of the medium.
  uint32_t unit = cdrw_write_unit(c.profile);
  EXPECT_EQ(img.size() % (size_t{unit} * 2048), (size_t{c.hdr_start} * 2048) % (size_t{unit} * 2048));

  UdfScan scan;
  auto reader = [&dev](uint32_t lba, uint8_t* b) { return dev.ReadBlocks(lba, b, 1); };
  ASSERT_EQ(udf_scan_session(reader, c.hdr_start, uint32_t(img.size() / 2048 - 1), &scan), 0);
  EXPECT_EQ(scan.anchor, c.hdr_start + 256);
  EXPECT_EQ(scan.end_anchor, img.size() / 2048 - 1);
  ASSERT_EQ(scan.files.size(), 3u);
  EXPECT_EQ(scan.files[0].name, "ch01_0001.mp4");
  EXPECT_EQ(scan.files[0].length, 250001u);
  EXPECT_EQ(scan.files[0].start, 288u - 257u);

  if (!HaveUdfinfo()) GTEST_SKIP() << "udfinfo not installed (scripts/deps.sh)";
  ToolRun u = Udfinfo(dir / "disc.img", c.hdr_start);
  EXPECT_EQ(u.status, 0) << u.out;
  EXPECT_EQ(u.out.find("Warning"), std::string::npos) << u.out;
  EXPECT_NE(u.out.find("label=DVR_BACKUP"), std::string::npos) << u.out;
}

INSTANTIATE_TEST_SUITE_P(Families, UdfProfiles,
                         ::testing::Values(ProfileCase{"DvdPlusRw", 0x1A, 0, 288},
                                           ProfileCase{"DvdMinusR", 0x11, 0, 0},
                                           ProfileCase{"DvdMinusRSecondSession", 0x11, 5008, 5008},
                                           ProfileCase{"BdR", 0x41, 0, 0}, ProfileCase{"BdRe", 0x43, 0, 288}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST(UdfWriter, SequentialDiscReservesTheHeaderAndClosesItsTracks) {
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x41);
  ASSERT_EQ(Record(dev, {{"a", Pattern(70000, 3)}}, 4096, kUdfOptCloseDisc), 0);
  std::vector<std::string> want = {"reserve 288", "flush", "close track 2", "flush", "close track 1",
                                   "close session", "close disc"};
  EXPECT_EQ(dev.calls, want);
}

TEST(UdfWriter, PiecesSmallerThanAUnitLeaveNoGaps) {
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x1A);
  std::string data = Pattern(3 * 32768 + 5, 4);
  ASSERT_EQ(Record(dev, {{"f", data}}, 1000), 0);
  optest::Walked w = optest::WalkUdf(Slurp(dir / "disc.img"), 288);
  ASSERT_EQ(w.error, "");
  EXPECT_TRUE(w.files["f"] == data);
  // 3 whole units and one padded: the end anchor closes the fifth unit.
  EXPECT_EQ(Slurp(dir / "disc.img").size(), size_t(576 + 5 * 16) * 2048);
}

TEST(UdfWriter, SecondRecordingOnRewritableFollowsTheFirst) {
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x1A);
  ASSERT_EQ(Record(dev, {{"one", Pattern(40000, 5)}}), 0);
  uint32_t last = dev.last_used;
  ASSERT_EQ(Record(dev, {{"two", Pattern(50000, 6)}}), 0);
  uint32_t second = (std::max<uint32_t>(last, 31) + 288) & ~31u;
  EXPECT_GT(second, last);
  std::string img = Slurp(dir / "disc.img");
  optest::Walked w1 = optest::WalkUdf(img, 288), w2 = optest::WalkUdf(img, second);
  ASSERT_EQ(w1.error, "");
  ASSERT_EQ(w2.error, "");
  EXPECT_TRUE(w1.files["one"] == Pattern(40000, 5));
  EXPECT_EQ(w2.files.count("one"), 0u);
  EXPECT_TRUE(w2.files["two"] == Pattern(50000, 6));
  if (HaveUdfinfo()) {
    EXPECT_EQ(Udfinfo(dir / "disc.img", second).status, 0);
  }
}

// Write failures at the first, a middle and the last write reach the
// caller, and no header ever lists a file that was not fully written.
TEST(UdfWriter, WriteFailuresReachTheCaller) {
  for (int fail : {1, 3, 6}) {
    SCOPED_TRACE(fail);
    TempDir dir;
    ImageDev dev(dir / "disc.img", 0x1A);
    dev.fail_from = fail;  // 4 data writes of a 100000-byte file in pieces of 40000, anchor, header
    EXPECT_LT(Record(dev, {{"f", Pattern(100000, 7)}}, 40000), 0);
    cdrw_udf_end(&dev);
  }
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x1A);
  ASSERT_EQ(cdrw_udf_hdr_start(&dev, 0), 0);
  ASSERT_EQ(cdrw_udf_open_file(&dev, "bad"), 0);
  dev.fail_from = 1;
  std::string d = Pattern(40000, 8);
  EXPECT_EQ(cdrw_udf_filedata(&dev, d.data(), d.size()), -EIO);
  EXPECT_EQ(cdrw_udf_close_file(&dev), -EIO);
  dev.fail_from = 0;
  ASSERT_EQ(cdrw_udf_open_file(&dev, "good"), 0);
  ASSERT_EQ(cdrw_udf_filedata(&dev, d.data(), d.size()), 0);
  ASSERT_EQ(cdrw_udf_close_file(&dev), 0);
  ASSERT_EQ(cdrw_udf_hdr_end(&dev, nullptr, 0), 0);
  optest::Walked w = optest::WalkUdf(Slurp(dir / "disc.img"), 288);
  ASSERT_EQ(w.error, "");
  EXPECT_EQ(w.files.size(), 1u);
  EXPECT_TRUE(w.files["good"] == d);
}

TEST(UdfWriter, HeaderWriteIsRetriedOnce) {
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x1A);
  ASSERT_EQ(cdrw_udf_hdr_start(&dev, 0), 0);
  ASSERT_EQ(cdrw_udf_open_file(&dev, "f"), 0);
  ASSERT_EQ(cdrw_udf_filedata(&dev, "abc", 3), 0);
  ASSERT_EQ(cdrw_udf_close_file(&dev), 0);
  dev.fail_from = dev.writes + 2;  // anchor passes, the first header write fails
  EXPECT_LT(cdrw_udf_hdr_end(&dev, nullptr, 0), 0) << "every later write fails too";
}

TEST(UdfWriter, DirectoryOverflowIsRefusedAtOpen) {
  TempDir dir;
  ImageDev dev(dir / "disc.img", 0x1A);
  ASSERT_EQ(cdrw_udf_hdr_start(&dev, 0), 0);
  int opened = 0;
  for (;; ++opened) {
    std::string name = "file_" + std::to_string(opened);
    int r = cdrw_udf_open_file(&dev, name.c_str());
    if (r != 0) {
      EXPECT_EQ(r, -ENOSPC);
      break;
    }
    ASSERT_EQ(cdrw_udf_close_file(&dev), 0);
  }
  EXPECT_EQ(opened, 287 - 260 - 1 + 1);  // 260 the directory, then one entry per file up to 287
  int before = dev.writes;
  ASSERT_EQ(cdrw_udf_hdr_end(&dev, nullptr, 0), 0);
  EXPECT_GT(dev.writes, before);
  optest::Walked w = optest::WalkUdf(Slurp(dir / "disc.img"), 288);
  EXPECT_EQ(w.error, "");
  EXPECT_EQ(w.files.size(), size_t(opened));
}

TEST(UdfWriter, ArgumentChecksAndUnsupportedDiscs) {
  TempDir dir;
  EXPECT_EQ(cdrw_udf_hdr_start(nullptr, 0), -ESRCH);
  ImageDev cd(dir / "cd.img", 0x09);
  EXPECT_EQ(cdrw_udf_hdr_start(&cd, 0), -1);
  ImageDev dev(dir / "disc.img", 0x1A);
  EXPECT_EQ(cdrw_udf_open_file(&dev, "x"), -ESRCH) << "not started";
  ASSERT_EQ(cdrw_udf_hdr_start(&dev, 0), 0);
  EXPECT_EQ(cdrw_udf_filedata(&dev, "x", 1), -ESRCH) << "no file open";
  EXPECT_EQ(cdrw_udf_open_file(&dev, ""), -ESRCH);
  EXPECT_EQ(cdrw_udf_open_file(&dev, "bad\xff"), -EINVAL);
}

}  // namespace
