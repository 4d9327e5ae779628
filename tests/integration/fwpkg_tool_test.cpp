// The package builder and inspector as a user runs it; containers checked
// against bzip2, whose block CRC is the same MSB-first CRC-32.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/fwpkg/fwpkg.h"
#include "support/board.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

class FwpkgTool : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/fwpkg.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string f(const std::string& n) const { return dir_ + "/" + n; }
  static std::string data(size_t n, unsigned seed) {
    std::string s(n, 0);
    for (auto& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
  }
  std::string dir_;
};

TEST_F(FwpkgTool, PackageRoundTrip) {
  WriteFile(f("kernel"), data(300000, 1));
  WriteFile(f("fw"), data(4000, 2));
  WriteFile(f("check.sh"), "#!/bin/sh\necho UpgradeSupport=1\n");
  auto r = testsupport::Run({"fwpkg", "build", "-o", f("p.pkg"), "--magic", "ZQI7", "--version", "V4.1", "--vendor", "acme",
                "--machine", "NVR-8", "--script", f("check.sh"), "--script-path", "/tmp/check.sh", "--item",
                "kernel:/mnt/dom_bin/bzImage:" + f("kernel") + ":K1", "--item",
                "firmware:/dev/mtdblock0/firmware/firmware:" + f("fw")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string pkg = ReadFile(f("p.pkg"));
  ASSERT_EQ(pkg.size(), 1548u + 300000 + 4000 + 32);

  // Decoded by the installer's own parser, the items point at the files.
  fwpkg::Header h;
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(pkg.data()), pkg.size());
  ASSERT_EQ(fwpkg::DecodeHeader(bytes, &h), 0);
  std::string err;
  EXPECT_EQ(fwpkg::CheckLayout(h, pkg.size(), &err), 0) << err;
  EXPECT_EQ(std::string(h.magic, 4), "ZQI7");
  EXPECT_EQ(h.script_flag, 1u);
  EXPECT_EQ(pkg.substr(h.script_start, h.script_len), ReadFile(f("check.sh")));
  EXPECT_EQ(pkg.substr(h.items[0].start, h.items[0].number), ReadFile(f("kernel")));
  EXPECT_EQ(h.items[0].version, "K1");
  EXPECT_EQ(pkg.substr(h.items[1].start, h.items[1].number), ReadFile(f("fw")));
  std::span<const uint8_t> blocks[] = {bytes};
  EXPECT_EQ(h.checksum, fwpkg::PackageChecksum(blocks));

  auto in = testsupport::Run({"fwpkg", "inspect", f("p.pkg")});
  EXPECT_EQ(in.status, 0);
  EXPECT_NE(in.out.find("item[0]: type kernel, path /mnt/dom_bin/bzImage, version K1, start 1580, length 300000"),
            std::string::npos)
      << in.out;
  EXPECT_NE(in.out.find("verdict: ok"), std::string::npos) << in.out;

  struct Case {
    const char* name;
    size_t at;
    const char* verdict;
  } cases[] = {
      {"body byte", 1548 + 100, "verdict: refused (-4, checksum mismatch)"},
      {"magic", 3, "verdict: refused (-3, bad magic)"},
      {"item length", 84 + 36 + 3, "verdict: refused (-3, item[0] (kernel) data 1580+"},
  };
  for (auto& c : cases) {
    std::string bad = pkg;
    bad[c.at] ^= 0x40;
    WriteFile(f("bad.pkg"), bad);
    auto b = testsupport::Run({"fwpkg", "inspect", f("bad.pkg")});
    EXPECT_EQ(b.status, 1) << c.name;
    EXPECT_NE(b.out.find(c.verdict), std::string::npos) << c.name << ": " << b.out;
  }
  WriteFile(f("short.pkg"), pkg.substr(0, 1547));
  auto s = testsupport::Run({"fwpkg", "inspect", f("short.pkg")});
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.out.find("verdict: refused (-2)"), std::string::npos) << s.out;
}

TEST_F(FwpkgTool, ContainerCrcAgreesWithBzip2) {
  for (size_t n : {size_t{1}, size_t{9}, size_t{4096}, size_t{100001}}) {
    std::string payload = data(n, static_cast<unsigned>(n));
    WriteFile(f("payload"), payload);
    auto r = testsupport::Run({"fwpkg", "container", "-s", "256K", "-o", f("c.img"), f("payload")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string c = ReadFile(f("c.img"));
    ASSERT_EQ(c.size(), 256u * 1024);
    std::string bz = testsupport::Run({"/bin/sh", "-c", "bzip2 -c < " + f("payload")}).out;
    ASSERT_GE(bz.size(), 14u) << "bzip2 missing?";
    EXPECT_EQ(c.substr(c.size() - 4), bz.substr(10, 4)) << n << " bytes";
    EXPECT_EQ(fwpkg::LoadBe32(reinterpret_cast<const uint8_t*>(c.data()) + c.size() - 8), n);
    EXPECT_EQ(testsupport::Run({"fwpkg", "inspect-container", f("c.img")}).status, 0);
  }
  WriteFile(f("payload"), data(256 * 1024 - 21, 5));
  auto r = testsupport::Run({"fwpkg", "container", "-s", "256K", "-o", f("c.img"), f("payload")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("do not fit a container of 262144 bytes (at most 262122)"), std::string::npos) << r.err;
}

TEST_F(FwpkgTool, FlashImageWithTable) {
  WriteFile(f("k"), data(5000, 7));
  auto r = testsupport::Run({"fwpkg", "flash", "-s", "8M", "-o", f("flash.img"), "--part", "linux-dev:0x20000:1M:" + f("k"),
                "--part", "firmware:0x120000:256K", "--part", "bootloader:0x160000:128K:" + f("k") + ":invalid"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto in = testsupport::Run({"fwpkg", "inspect-flash", f("flash.img")});
  EXPECT_EQ(in.status, 1);  // the invalid entry makes it damaged
  EXPECT_NE(in.out.find("table: size 0x20000, length 172"), std::string::npos) << in.out;
  EXPECT_NE(in.out.find("linux-dev        start 0x00020000 valid: size 0x100000, length 5000"), std::string::npos)
      << in.out;
  EXPECT_NE(in.out.find("firmware         start 0x00120000 valid: size 0x40000, length 4294967295, stored crc "
                        "0xffffffff: empty (erased)"),
            std::string::npos)
      << in.out;
  EXPECT_NE(in.out.find("bootloader       start 0x00160000 INVALID"), std::string::npos) << in.out;
  EXPECT_NE(in.out.find("verdict: damaged"), std::string::npos) << in.out;
}

TEST_F(FwpkgTool, CommandLineConventions) {
  for (const char* tool : {"fwpkg", "fwupdate"}) {
    for (const char* help : {"--help", "-h"}) {
      auto r = testsupport::Run({tool, help});
      EXPECT_EQ(r.status, 0) << tool << " " << help;
      EXPECT_NE(r.out.find(std::string("usage: ") + tool), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "") << tool;
    }
    auto r = testsupport::Run({tool, "no-such-command"});
    EXPECT_EQ(r.status, 2) << tool;
    EXPECT_EQ(r.out, "") << tool;
    EXPECT_NE(r.err.find(std::string("usage: ") + tool), std::string::npos) << r.err;
  }
  auto bad = testsupport::Run({"fwpkg", "flash", "-s", "8M", "-o", f("x"), "--part", "linux-dev:0x20000"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("is not NAME:START:SIZE"), std::string::npos) << bad.err;
  // A failure is one line on standard error.
  auto missing = testsupport::Run({"fwpkg", "inspect", f("nosuch")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "fwpkg: cannot open " + f("nosuch") + ": No such file or directory\n");
}

// The host tool judges a table as the installer on the board does.
TEST_F(FwpkgTool, TablesTheInstallerRefusesAreRefusedHere) {
  auto flash = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv = {"fwpkg", "flash", "-s", "8M", "-o", f("flash.img")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testsupport::Run(argv);
  };
  auto r = flash({"--part", "linux-dev:0x20000:256K", "--part", "firmware:0x40000:256K"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("partition [firmware] at 0x40000 size 0x40000 overlaps partition [linux-dev] at 0x20000"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(f("flash.img")));

  // An image written by other means is refused by the inspector too.
  std::string img(8u << 20, '\xFF');
  auto table = fwpkg::PartTable::Make({{0x20000, 0x40000, 1, "linux-dev"}, {0x40000, 0x40000, 1, "firmware"}});
  auto block = fwpkg::FlashPartCreateByBuf(table.Encode(), fwpkg::kTableBlockLen);
  img.replace(0, block.size(), std::string(block.begin(), block.end()));
  WriteFile(f("overlap.img"), img);
  auto in = testsupport::Run({"fwpkg", "inspect-flash", f("overlap.img")});
  EXPECT_EQ(in.status, 1);
  EXPECT_NE(in.out.find("overlaps partition [linux-dev]"), std::string::npos) << in.out;
  EXPECT_NE(in.out.find("verdict: bad table"), std::string::npos) << in.out;

  // Alignment is judged against the erase unit the board has.
  ASSERT_EQ(flash({"-e", "32K", "--part", "linux-dev:0x28000:0x38000"}).status, 0);
  in = testsupport::Run({"fwpkg", "inspect-flash", f("flash.img")});
  EXPECT_EQ(in.status, 1);
  EXPECT_NE(in.out.find("is not aligned to the erase unit 0x10000"), std::string::npos) << in.out;
  EXPECT_EQ(testsupport::Run({"fwpkg", "inspect-flash", "-e", "32K", f("flash.img")}).status, 0);
  EXPECT_EQ(flash({"--part", "linux-dev:0x28000:0x38000"}).status, 1);
  EXPECT_EQ(flash({"-e", "3K", "--part", "linux-dev:0x28000:0x38000"}).status, 2);

  // A boot flash the update does not work on.
  r = testsupport::Run({"fwpkg", "flash", "-s", "1M", "-o", f("small.img"), "--part", "linux-dev:0x20000:256K"});
  ASSERT_EQ(r.status, 0) << r.err;
  in = testsupport::Run({"fwpkg", "inspect-flash", f("small.img")});
  EXPECT_EQ(in.status, 1);
  EXPECT_NE(in.out.find("below the 8M the update works on"), std::string::npos) << in.out;
}

// Inputs that never end are refused at what could be valid, not read on
// until memory runs out.
TEST_F(FwpkgTool, EndlessInputsAreRefusedAtTheirBound) {
  auto r = testsupport::Run({"fwpkg", "container", "-s", "64K", "-o", f("c.img"), "/dev/zero"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/zero holds more than 65515 bytes"), std::string::npos) << r.err;
  r = testsupport::Run({"fwpkg", "flash", "-s", "8M", "-o", f("flash.img"), "--part", "linux-dev:0x20000:256K:/dev/zero"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/zero does not fit partition linux-dev"), std::string::npos) << r.err;
  r = testsupport::Run({"fwpkg", "flash", "-s", "1024M", "-o", f("flash.img")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("device size 1073741824 is outside"), std::string::npos) << r.err;
  r = testsupport::Run({"fwpkg", "build", "-o", f("p.pkg"), "--item", "bin:/a:/dev/zero"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/zero holds more than 268433908 bytes"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(f("p.pkg")));
}

}  // namespace
