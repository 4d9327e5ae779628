// The saved configuration of a recording and restoring from it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "optical/cdrw.h"
#include "unit/optical/ecma_walker.h"
#include "unit/optical/image_dev.h"

namespace fs = std::filesystem;

namespace {

const char kGood[] =
    "dvr-udf-restore 1\nprofile 26\noption 4\nunit 16\nheader 288\ndata 31\nnext 672\nsession 1\n"
    "udf_track 1\ndata_track 1\nend_anchor 0\ndata_closed 0\nvolume DVR_BACKUP\nfile 31 100001 a b.bin\nend\n";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(UdfRestoreConfig, ParsesWhatItWritesAndRefusesTheRest) {
  UdfRestoreConfig c;
  std::string err;
  ASSERT_EQ(cdrw_udf_parse_config(kGood, &c, &err), 0) << err;
  EXPECT_EQ(c.profile, 0x1A);
  EXPECT_EQ(c.option, 4);
  EXPECT_EQ(c.next, 672u);
  ASSERT_EQ(c.files.size(), 1u);
  EXPECT_EQ(c.files[0].name, "a b.bin") << "names keep their blanks";
  EXPECT_EQ(c.files[0].length, 100001u);

  struct Bad {
    const char* name;
    std::string text;
    const char* says;
  };
  const std::string g = kGood;
  const std::vector<Bad> bad = {
      {"empty", "", "empty"},
      {"other text", "hello\n", "not a restore configuration"},
      {"newer version", Replace(g, "restore 1", "restore 2"), "version 2 not supported"},
      {"unknown field", Replace(g, "option 4", "colour 4"), "bad or repeated field colour"},
      {"repeated field", Replace(g, "option 4", "unit 16"), "repeated"},
      {"negative number", Replace(g, "next 672", "next -1"), "bad or repeated field next"},
      {"number past 32 bits", Replace(g, "next 672", "next 4294967296"), "next"},
      {"file without a name", Replace(g, "a b.bin", ""), "bad file line"},
      {"missing field", Replace(g, "session 1\n", ""), "incomplete"},
      {"no end", Replace(g, "end\n", ""), "incomplete"},
      {"unterminated line", Replace(g, "end\n", "end"), "no line end"},
      {"long volume", Replace(g, "DVR_BACKUP", std::string(40, 'v')), "volume name too long"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    err.clear();
    EXPECT_EQ(cdrw_udf_parse_config(b.text, &c, &err), -1);
    EXPECT_NE(err.find(b.says), std::string::npos) << err;
  }
}

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "udfrXXXXXX").string();
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

TEST(UdfRestore, HeaderFailureIsFinishedFromTheSavedConfiguration) {
  TempDir dir;
  optest::ImageDev dev(dir / "disc.img", 0x1A);
  const std::string data(70000, 'r');
  ASSERT_EQ(cdrw_udf_hdr_start(&dev, 0), 0);
  ASSERT_EQ(cdrw_udf_open_file(&dev, "r.bin"), 0);
  ASSERT_EQ(cdrw_udf_filedata(&dev, data.data(), data.size()), 0);
  ASSERT_EQ(cdrw_udf_close_file(&dev), 0);
  dev.fail_from = dev.writes + 2;  // the end anchor passes, the header does not
  ASSERT_LT(cdrw_udf_hdr_end(&dev, nullptr, 0), 0);
  std::string text = cdrw_udf_save_config(&dev);
  EXPECT_NE(text.find("\nend_anchor "), std::string::npos);
  cdrw_udf_end(&dev);

  UdfRestoreConfig cfg;
  std::string err;
  ASSERT_EQ(cdrw_udf_parse_config(text, &cfg, &err), 0) << err;
  EXPECT_NE(cfg.end_anchor, 0u) << "the end anchor was written before the failure";

  // A configuration for another disc, or one whose files lie past its data, is refused.
  optest::ImageDev other(dir / "other.img", 0x43);
  EXPECT_EQ(cdrw_udf_restore(&other, cfg), -EINVAL);
  UdfRestoreConfig past = cfg;
  past.files[0].length = 1ull << 33;
  EXPECT_EQ(cdrw_udf_restore(&dev, past), -EINVAL);
  // Sequential discs need the drive to show where its tracks stand.
  optest::ImageDev seq(dir / "seq.img", 0x11);
  UdfRestoreConfig s = cfg;
  s.profile = 0x11;
  EXPECT_EQ(cdrw_udf_restore(&seq, s), -EINVAL);

  dev.fail_from = 0;
  int before = dev.writes;
  ASSERT_EQ(cdrw_udf_restore(&dev, cfg), 0);
  EXPECT_EQ(dev.writes - before, 1) << "only the header, no second end anchor";
  cdrw_udf_end(&dev);
  optest::Walked w = optest::WalkUdf(Slurp(dir / "disc.img"), 288);
  ASSERT_EQ(w.error, "");
  EXPECT_TRUE(w.files["r.bin"] == data);
}

TEST(UdfRestore, OneShotRecordingOfKnownFiles) {
  TempDir dir;
  optest::ImageDev dev(dir / "disc.img", 0x41);
  std::vector<UdfFile> files = {{"x", 0, 100000}, {"y", 0, 3}};
  auto source = [](const UdfFile& f, uint64_t off, uint8_t* buf, size_t len) -> long {
    for (size_t i = 0; i < len; ++i) buf[i] = static_cast<uint8_t>(f.name[0] + off + i);
    return static_cast<long>(len);
  };
  ASSERT_EQ(cdrw_udf_hdr(&dev, files.data(), 2, 0, source), 0);
  optest::Walked w = optest::WalkUdf(Slurp(dir / "disc.img"), 0);
  ASSERT_EQ(w.error, "");
  ASSERT_EQ(w.files.size(), 2u);
  EXPECT_EQ(w.files["x"].size(), 100000u);
  EXPECT_EQ(static_cast<uint8_t>(w.files["x"][99999]), static_cast<uint8_t>('x' + 99999));
  auto failing = [](const UdfFile&, uint64_t, uint8_t*, size_t) -> long { return -1; };
  optest::ImageDev dev2(dir / "disc2.img", 0x1A);
  EXPECT_EQ(cdrw_udf_hdr(&dev2, files.data(), 2, 0, failing), -EIO);
}

}  // namespace
