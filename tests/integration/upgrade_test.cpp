// The partition image update and the package install on simulated NOR and
// NAND boot flash, through the fwupdate board tool, with packages built by
// the fwpkg host tool.  What the boot loader finds is read straight from
// the board's image files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "sim/models/flash.h"
#include "support/bootflash.h"

namespace {

using namespace testsupport;

std::string data(size_t n, unsigned seed) { return TestData(n, seed); }

class BootFlash : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bootflash.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    BootFlashSpec spec;
    spec.nand = GetParam();
    if (spec.nand) spec.bad = {2, 40};  // inside linux-dev, and in the free space
    board_ = std::make_unique<TempBoard>(BootFlashBoard(spec, dir_));
    old_ = {{"linux-dev", data(100000, 1)}, {"firmware", data(5000, 2)}, {"bootloader", data(3000, 3)}};
    WriteLogical(*board_, MakeBootImage(old_, spec.device, dir_));
    std::filesystem::create_directories(board_->file("mnt/dom_bin"));
  }
  void TearDown() override {
    board_.reset();
    std::filesystem::remove_all(dir_);
  }

  std::string file(const std::string& name, const std::string& content) {
    std::string f = dir_ + "/" + name;
    WriteFile(f, content);
    return f;
  }
  RunResult update(std::vector<std::string> args) {
    args.insert(args.begin(), "fwupdate");
    return testsupport::Run(args, board_.get());
  }
  sim::FlashState state() {
    sim::FlashState st;
    sim::ReadFlashState(board_->dir(), &st);
    return st;
  }
  BootView view() { return ViewBootFlash(ReadLogical(*board_)); }
  void expect_untouched(const BootView& v, const char* except) {
    for (auto& [name, img] : old_) {
      if (name == except) continue;
      EXPECT_EQ(v.parts.at(name).valid, 1u) << name;
      EXPECT_EQ(v.parts.at(name).payload, img) << name;
    }
  }

  std::string dir_;
  std::unique_ptr<TempBoard> board_;
  std::map<std::string, std::string> old_;
};

TEST_P(BootFlash, PartitionUpdateLeavesTheNewImageValid) {
  std::string img = data(200000, 9);
  auto r = update({"part", "linux-dev", file("k", img)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto v = view();
  ASSERT_TRUE(v.table_ok);
  EXPECT_EQ(v.parts["linux-dev"].valid, 1u);
  EXPECT_EQ(v.parts["linux-dev"].payload, img);
  expect_untouched(v, "linux-dev");

  // The same image again: nothing erased or written, the table untouched.
  auto before = state();
  r = update({"part", "linux-dev", file("k", img)});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(state().erases, before.erases);
  EXPECT_EQ(state().writes, before.writes);
}

TEST_P(BootFlash, RefusalsChangeNothing) {
  uint32_t fw_size = 0x20000;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {"restricted partition", {"part", "firmware", file("f", "new")}, "you are updating to restricted/unknown partition: [firmware]"},
      {"unknown partition", {"part", "--operator", "nosuch", file("f", "new")}, "can not find entry with partition_name [nosuch]"},
      {"image one byte too long", {"part", "--operator", "firmware", file("big", data(fw_size - 21, 4))},
       "big holds more than the 131050 bytes partition firmware can take"},
      // Inputs that never end are refused at the bound, not read on.
      {"endless image", {"part", "linux-dev", "/dev/zero"}, "/dev/zero holds more than the 262122 bytes partition linux-dev"},
      {"endless package", {"package", "--settle", "0", "/dev/zero"},
       "/dev/zero holds more than the 1548 bytes its header describes"},
      {"device too small", {"part", "--device", "/dev/mtdblock1", "linux-dev", file("f", "new")},
       "device/file size 1310720 too small (supported min: 8388608)"},
  };
  for (auto& c : cases) {
    auto before = state();
    auto r = update(c.args);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << c.name << ":\n" << r.out << r.err;
    EXPECT_EQ(state().erases, before.erases) << c.name;
    EXPECT_EQ(state().writes, before.writes) << c.name;
  }
  expect_untouched(view(), "");
  // The largest image that fits is taken.
  auto r = update({"part", "--operator", "firmware", file("fits", data(fw_size - 22, 5))});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(view().parts["firmware"].payload, data(fw_size - 22, 5));
}

// A table the flash set cannot write as it stands is refused before the
// update marker or the table's invalid flag is written.
TEST_P(BootFlash, MisplacedEntriesAreRefusedBeforeTheFirstWrite) {
  using E = fwpkg::TableEntry;
  const uint32_t es = GetParam() ? 0x20000 : 0x10000;
  std::string kernel = data(1000, 41);
  struct Case {
    const char* name;
    std::vector<E> entries;
    const char* says;
  } cases[] = {
      {"start off the erase unit", {{0x28000, 0x38000, 1, "linux-dev"}, {0x60000, 0x20000, 1, "firmware"}},
       "partition [linux-dev] at 0x28000 size 0x38000 is not aligned to the erase unit"},
      {"end off the erase unit", {{0x20000, 0x38000, 1, "linux-dev"}, {0x60000, 0x20000, 1, "firmware"}},
       "partition [linux-dev] at 0x20000 size 0x38000 is not aligned to the erase unit"},
      {"neighbour off the erase unit", {{0x20000, 0x40000, 1, "linux-dev"}, {0x68000, 0x18000, 1, "firmware"}},
       "partition [firmware] at 0x68000 size 0x18000 is not aligned"},
      {"overlapping neighbours", {{0x20000, 0x40000, 1, "linux-dev"}, {0x40000, 0x40000, 1, "firmware"}},
       "partition [firmware] at 0x40000 size 0x40000 overlaps partition [linux-dev] at 0x20000"},
      {"a name twice", {{0x20000, 0x40000, 1, "linux-dev"}, {0x60000, 0x20000, 1, "linux-dev"}},
       "has the name of entry 0x0"},
  };
  for (auto& c : cases) {
    std::string logical(8u << 20, '\xFF');
    auto payload = fwpkg::PartTable::Make(c.entries).Encode();
    auto block = fwpkg::FlashPartCreateByBuf(payload, fwpkg::kTableBlockLen);
    logical.replace(0, block.size(), std::string(block.begin(), block.end()));
    auto part = fwpkg::FlashPartCreateByBuf({reinterpret_cast<const uint8_t*>(kernel.data()), kernel.size()}, es);
    logical.replace(c.entries[0].start, part.size(), std::string(part.begin(), part.end()));
    WriteLogical(*board_, logical);
    std::string written = ReadLogical(*board_);
    auto before = state();
    auto r = update({"part", "--operator", "linux-dev", file("k", data(2000, 42))});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.name << ":\n" << r.out;
    EXPECT_EQ(state().erases, before.erases) << c.name;
    EXPECT_EQ(state().writes, before.writes) << c.name;
    EXPECT_FALSE(ReadUpdateMarks(*board_).started) << c.name;
    EXPECT_TRUE(ReadLogical(*board_) == written) << c.name;
  }
}

TEST_P(BootFlash, DamagedTableIsNotTakenForEntries) {
  std::string logical = ReadLogical(*board_);
  logical[20] ^= 0x01;  // inside the first entry, under the table's CRC
  WriteLogical(*board_, logical);
  auto before = state();
  auto r = update({"part", "linux-dev", file("k", "new kernel")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("partition table at offset 0 is CRC mismatch, not updating"), std::string::npos) << r.out;
  EXPECT_EQ(state().erases, before.erases);
}

TEST_P(BootFlash, WriteThatReadsBackWrongIsRetried) {
  uint32_t es = GetParam() ? 0x20000 : 0x10000;
  unsigned block = 0x20000 / es;  // first block of linux-dev
  if (GetParam() && block >= 2) ++block;  // past the bad block
  ASSERT_TRUE(sim::SetBlockFlag(board_->dir(), 0, block, sim::kBlockFlipOnce, true));
  std::string img = data(50000, 11);
  auto r = update({"part", "linux-dev", file("k", img)});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("data not equal, try again."), std::string::npos) << r.out;
  EXPECT_EQ(view().parts["linux-dev"].payload, img);
}

TEST_P(BootFlash, PackageInstallsFilesAndPartitions) {
  std::string kernel = data(150000, 21), vmlinuz = data(120000, 22), fw = data(7000, 23);
  auto b = testsupport::Run({"fwpkg", "build", "-o", dir_ + "/p.pkg", "--item",
                "kernel:/mnt/dom_bin/bzImage:" + file("kernel", kernel), "--item",
                "kernel:/dev/mtdblock0/linux-dev/vmlinuz:" + file("vmlinuz", vmlinuz), "--item",
                "firmware:/dev/mtdblock0/firmware/firmware:" + file("fw", fw)});
  ASSERT_EQ(b.status, 0) << b.err;
  auto r = update({"package", "--settle", "0", "--mode", "1", "--block", "70000", dir_ + "/p.pkg"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("fwupdate: result 0, progress 99"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("System upgrade done! Leave upgradeV"), std::string::npos);
  EXPECT_EQ(ReadFile(board_->file("mnt/dom_bin/bzImage")), kernel);
  auto v = view();
  EXPECT_EQ(v.parts["linux-dev"].payload, vmlinuz);
  EXPECT_EQ(v.parts["linux-dev"].valid, 1u);
  EXPECT_EQ(v.parts["firmware"].payload, fw);
  EXPECT_EQ(v.parts["bootloader"].payload, old_["bootloader"]);
}

TEST_P(BootFlash, BadPackagesAreRefusedBeforeAnythingIsErased) {
  std::string vmlinuz = data(120000, 31);
  auto build = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> argv = {"fwpkg", "build", "-o", dir_ + "/" + out};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto b = testsupport::Run(argv);
    EXPECT_EQ(b.status, 0) << b.err;
    return ReadFile(dir_ + "/" + out);
  };
  std::string kernel_item = "kernel:/dev/mtdblock0/linux-dev/vmlinuz:" + file("v", vmlinuz);
  std::string good = build("good.pkg", {"--item", kernel_item});
  std::string corrupt = good;
  corrupt[2000] ^= 0x10;
  std::string too_big = build("big.pkg", {"--item", kernel_item, "--item",
                                          "bootloader:/dev/mtdblock0/bootloader/bootloader:" + file("bl", data(0x20000, 3))});
  std::string wrong_path = build("path.pkg", {"--item", kernel_item, "--item",
                                              "firmware:/dev/mtdblock0/firmware/fw:" + file("fw", "x")});
  std::string old_version = build("old.pkg", {"--version", "V3.2", "--item", kernel_item});
  std::string magic = good;
  magic[3] = '8';
  struct Case {
    const char* name;
    std::string pkg;
    int result;
    const char* says;
  } cases[] = {
      {"truncated header", good.substr(0, 1547), -2, ""},
      {"wrong magic", magic, -3, "Check header failed"},
      {"one byte corrupted", corrupt, -4, "File checksum invalid"},
      {"item past the end", good.substr(0, good.size() - 1), -3, "lies outside the package"},
      {"image larger than its partition", too_big, -5, "buffer too larget"},
      {"unknown partition path", wrong_path, -5, "item[1].path /dev/mtdblock0/firmware/fw is wrong"},
      {"version below V4", old_version, -6, "Sorry, Upgrade is not allowed if NVR version number is less than V4!"},
  };
  for (auto& c : cases) {
    WriteFile(dir_ + "/case.pkg", c.pkg);
    auto before = state();
    auto r = update({"package", "--settle", "0", dir_ + "/case.pkg"});
    EXPECT_NE(r.out.find("fwupdate: result " + std::to_string(c.result)), std::string::npos) << c.name << ":\n"
                                                                                            << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.name;
    EXPECT_EQ(state().erases, before.erases) << c.name;
    EXPECT_EQ(state().writes, before.writes) << c.name;
  }
  expect_untouched(view(), "");
}

INSTANTIATE_TEST_SUITE_P(Flash, BootFlash, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "NandWithBadBlocks" : "Nor"; });

}  // namespace
