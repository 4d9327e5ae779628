// bootenv and eracfg on fresh simulated boards, one process per command,
// as on the board.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "integration/env_support.h"
#include "sim/models/flash.h"

namespace {

using envtest::Contains;
using RunArgs = std::vector<std::string>;
testsupport::RunResult Run(const RunArgs& argv, const testsupport::TempBoard* b) { return testsupport::Run(argv, b); }
using testsupport::TempBoard;

struct Where {
  const char* board;
  const char* file;  // image holding the main copy
  size_t off, size;
};
const Where kBoards[] = {
    {"default", "dev/mtd1", 0, 0x10000},
    {"nand", "dev/mtd1", 0, 0x20000},
    {"emmc", "dev/mmcblk0p1", 0, 0x10000},
};

class Bootenv : public testing::TestWithParam<Where> {};

TEST_P(Bootenv, PrintsSetsAndGetsAcrossProcesses) {
  const Where& w = GetParam();
  TempBoard b(w.board);
  auto all = ::Run({"bootenv"}, &b);
  EXPECT_EQ(all.status, 0);
  EXPECT_TRUE(Contains(all.out, "Usage: bootenv [name value]\n"));
  EXPECT_TRUE(Contains(all.out, "current boot environment is:\n"));
  EXPECT_TRUE(Contains(all.out, "\nethaddr=00:12:34:56:78:9a\n"));

  EXPECT_EQ(::Run({"bootenv", "foo", "bar"}, &b).status, 0);
  auto got = ::Run({"bootenv", "foo"}, &b);
  EXPECT_EQ(got.status, 0);
  EXPECT_TRUE(Contains(got.out, "foo is bar\n")) << got.out;
  auto none = ::Run({"bootenv", "nosuch"}, &b);
  EXPECT_EQ(none.status, 0);
  EXPECT_TRUE(Contains(none.out, "get env err")) << none.out;

  // The stored image, read without the product's code: CRC holds, the
  // changed entry is last, the list is ended.
  auto im = envtest::Decode(envtest::Slice(b.file(w.file), w.off, w.size));
  EXPECT_TRUE(im.crc_ok);
  EXPECT_TRUE(im.has_end);
  ASSERT_FALSE(im.entries.empty());
  EXPECT_EQ(im.entries.back(), "foo=bar");
  EXPECT_EQ(im.entries.front().rfind("bootargs=", 0), 0u);
}

TEST_P(Bootenv, BadInputFailsAndLeavesTheMediumAlone) {
  const Where& w = GetParam();
  TempBoard b(w.board);
  std::string before = testsupport::ReadFile(b.file(w.file));
  struct Case {
    const char* what;
    std::vector<std::string> argv;
    int status;
    const char* out;
  } cases[] = {
      {"name with =", {"bootenv", "a=b", "1"}, 255, "invalid param"},
      {"empty name", {"bootenv", "", "1"}, 255, "invalid param"},
      {"value longer than the image", {"bootenv", "big", std::string(w.size - 16, 'v')}, 255, "!new env is to larger"},
      {"too many arguments", {"bootenv", "a", "b", "c"}, 0, "invalid argument\n"},
  };
  for (auto& c : cases) {
    auto r = ::Run(c.argv, &b);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_TRUE(Contains(r.out, c.out)) << c.what << ": " << r.out;
    EXPECT_TRUE(testsupport::ReadFile(b.file(w.file)) == before) << c.what << ": medium changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, Bootenv, testing::ValuesIn(kBoards),
                         [](const auto& i) { return std::string(i.param.board); });

TEST(BootenvGet, ValueFillingTheBufferComesBackTerminated) {
  TempBoard b;
  std::string v(300, 'x');
  ASSERT_EQ(::Run({"bootenv", "long", v}, &b).status, 0);
  auto r = ::Run({"bootenv", "long"}, &b);
  EXPECT_TRUE(Contains(r.out, "long is " + std::string(255, 'x') + "\n")) << r.out;
}

TEST(BootenvCopies, DamagedMainCopyFallsBackToTheBackup) {
  TempBoard b;
  ASSERT_EQ(::Run({"bootenv", "foo", "bar"}, &b).status, 0);
  std::string img = testsupport::ReadFile(b.file("dev/mtd1"));
  img[100] = static_cast<char>(img[100] & 0x0F);  // bits only clear, as a torn write leaves them
  testsupport::WriteFile(b.file("dev/mtd1"), img);
  auto r = ::Run({"bootenv", "foo"}, &b);
  EXPECT_TRUE(Contains(r.out, "foo is bar\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "using backup 1")) << r.out;
  // The next change rewrites both copies.
  ASSERT_EQ(::Run({"bootenv", "foo", "baz"}, &b).status, 0);
  auto main = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0, 0x10000));
  auto backup = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0x10000, 0x10000));
  EXPECT_TRUE(main.crc_ok && backup.crc_ok);
  EXPECT_EQ(main.entries, backup.entries);
  EXPECT_EQ(main.entries.back(), "foo=baz");
}

TEST(BootenvCopies, DamageWithoutBackupIsReported) {
  TempBoard b(envtest::Variant("default", "nobackup", envtest::NoBackup));
  std::string img = testsupport::ReadFile(b.file("dev/mtd1"));
  img[100] = static_cast<char>(img[100] & 0x0F);
  testsupport::WriteFile(b.file("dev/mtd1"), img);
  auto r = ::Run({"bootenv", "ethaddr"}, &b);
  EXPECT_TRUE(Contains(r.out, "fails its CRC")) << r.out;
  auto s = ::Run({"bootenv", "x", "1"}, &b);
  EXPECT_TRUE(Contains(s.out, "rebuilt from a damaged copy")) << s.out;
}

TEST(BootenvCopies, ErasedEnvironmentStartsEmpty) {
  TempBoard b(envtest::Variant("default", "nobackup", envtest::NoBackup));
  testsupport::WriteFile(b.file("dev/mtd1"), std::string(0x20000, '\xFF'));
  auto r = ::Run({"bootenv", "a", "1"}, &b);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "boot environment lost")) << r.out;
  auto im = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0, 0x10000));
  EXPECT_TRUE(im.crc_ok);
  EXPECT_EQ(im.entries, std::vector<std::string>{"a=1"});
}

// A NAND environment of three blocks, with bad blocks where the region
// starts, in its middle and at its end.
TEST(BootenvNand, BadBlocksInTheRegionAreSteppedOver) {
  const std::vector<std::vector<int>> cases = {{0}, {1}, {2}, {0, 2, 3}};
  for (auto& bad : cases) {
    std::string tag = "bad";
    for (int x : bad) tag += std::to_string(x);
    TempBoard b(envtest::Variant("nand", tag, [&](nlohmann::json& j) {
      j["mtd"]["chips"][0]["parts"][1]["bad"] = bad;
      j["resource"]["records"]["EnvGetRes"]["Main"]["Size"] = 3 * 0x20000;
      j["resource"]["records"]["EnvGetRes"]["Backup"][0]["Size"] = 3 * 0x20000;
    }));
    auto r = ::Run({"bootenv", "foo", "bar"}, &b);
    EXPECT_EQ(r.status, 0) << tag << r.out;
    EXPECT_TRUE(Contains(::Run({"bootenv", "foo"}, &b).out, "foo is bar\n")) << tag;
    // Gather the region from the good blocks, as the boot loader would.
    std::string img = testsupport::ReadFile(b.file("dev/mtd1")), region;
    for (int blk = 0; blk < 8 && region.size() < 3 * 0x20000u; ++blk)
      if (std::find(bad.begin(), bad.end(), blk) == bad.end()) region += img.substr(blk * 0x20000, 0x20000);
    auto im = envtest::Decode(region);
    EXPECT_TRUE(im.crc_ok) << tag;
    ASSERT_FALSE(im.entries.empty()) << tag;
    EXPECT_EQ(im.entries.back(), "foo=bar") << tag;
    for (int blk : bad) EXPECT_EQ(img.substr(blk * 0x20000, 0x20000), std::string(0x20000, '\xFF')) << tag;
  }
}

// ------------------------------------------------------------------ eracfg

bool all_ff(const std::string& s) { return s.find_first_not_of('\xFF') == std::string::npos; }

TEST(Eracfg, ConfigErasesThePartitionAndRaisesTheFlag) {
  for (const char* arg : {"config", ""}) {
    TempBoard b;
    testsupport::WriteFile(b.file("dev/mtd5"), std::string(0x100000, '\0'));
    std::vector<std::string> argv = {"eracfg"};
    if (*arg) argv.push_back(arg);
    auto r = ::Run(argv, &b);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "erase_config:config\nerase config mtd start!!\nerase config mtd finished!!\n"))
        << r.out;
    EXPECT_TRUE(all_ff(testsupport::ReadFile(b.file("dev/mtd5"))));
    EXPECT_TRUE(Contains(::Run({"bootenv", "eracfg_flag"}, &b).out, "eracfg_flag is 1\n"));
    // Set twice: the entry moves to the end, once.
    ASSERT_EQ(::Run({"bootenv", "x", "1"}, &b).status, 0);
    ASSERT_EQ(::Run(argv, &b).status, 0);
    auto im = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0, 0x10000));
    EXPECT_TRUE(im.crc_ok);
    ASSERT_GE(im.entries.size(), 2u);
    EXPECT_EQ(im.entries.back(), "eracfg_flag=1");
    EXPECT_EQ(std::count(im.entries.begin(), im.entries.end(), "eracfg_flag=1"), 1);
  }
}

TEST(Eracfg, CommandLines) {
  struct Case {
    const char* what;
    std::vector<std::string> argv;
    int status;
    const char* out;
  } cases[] = {
      {"unknown keyword", {"eracfg", "nosuch"}, 255, "Usage:\n\teracfg              :erase config partition!\n"},
      {"help", {"eracfg", "help"}, 0, "\teracfg help         :help infomation!\n"},
      {"help with more", {"eracfg", "help", "extra"}, 255, "Usage:\n"},
      {"over 32 characters", {"eracfg", "config" + std::string(27, 'x')}, 255, "Usage:\n"},
      {"keyword prefix, no partition", {"eracfg", "Logs2"}, 255, "MtdGetName failed  retVal = -1\n"},
      {"configuration is looked up", {"eracfg", "configuration"}, 255, "erase_config:configuration\n"},
      {"Log", {"eracfg", "Log"}, 0, "erase config mtd finished!!\n"},
  };
  TempBoard b;
  std::string env = testsupport::ReadFile(b.file("dev/mtd1"));
  for (auto& c : cases) {
    testsupport::WriteFile(b.file("dev/mtd5"), std::string(0x100000, '\0'));
    auto r = ::Run(c.argv, &b);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_TRUE(Contains(r.out, c.out)) << c.what << ": " << r.out;
    EXPECT_EQ(testsupport::ReadFile(b.file("dev/mtd5")), std::string(0x100000, '\0')) << c.what << ": config touched";
    EXPECT_TRUE(testsupport::ReadFile(b.file("dev/mtd1")) == env) << c.what << ": environment touched";
  }
}

TEST(Eracfg, NandSkipsBadBlocksOfThePartitionAndOfTheEnvironment) {
  // config's block 3 is bad; so is the block where the environment starts.
  TempBoard b(envtest::Variant("nand", "envbad0", [](nlohmann::json& j) { j["mtd"]["chips"][0]["parts"][1]["bad"] = {0}; }));
  auto r = ::Run({"eracfg", "config"}, &b);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "zq_mtd_erase, skip bad block, Address:0x60000\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "zq_mtd_erase, skip bad block, Address:0x0\n")) << r.out;
  EXPECT_TRUE(Contains(::Run({"bootenv", "eracfg_flag"}, &b).out, "eracfg_flag is 1\n"));
  std::string env = testsupport::ReadFile(b.file("dev/mtd1"));
  EXPECT_TRUE(all_ff(env.substr(0, 0x20000))) << "written to the bad block";
  EXPECT_TRUE(envtest::Decode(env.substr(0x20000, 0x20000)).crc_ok);
}

TEST(Eracfg, DamagedEnvironmentIsNotWrittenBack) {
  TempBoard b;
  std::string img = testsupport::ReadFile(b.file("dev/mtd1"));
  img[200] = static_cast<char>(img[200] & 0x0F);
  testsupport::WriteFile(b.file("dev/mtd1"), img);
  auto r = ::Run({"eracfg", "config"}, &b);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(Contains(r.out, "eracfg_flag not set")) << r.out;
  EXPECT_TRUE(Contains(r.out, "zq_mtd_set_env error!\n")) << r.out;
  EXPECT_TRUE(testsupport::ReadFile(b.file("dev/mtd1")) == img);
}

TEST(Eracfg, RawEnvironmentStaysRaw) {
  // A boot loader environment without the byte transform at env_off; the
  // store's own copy lives elsewhere.
  TempBoard b(envtest::Variant("default", "plain", [](nlohmann::json& j) {
    j["resource"]["records"]["EnvGetRes"]["Main"]["Offset"] = 0x10000;
    j["resource"]["records"]["EnvGetRes"].erase("Backup");
  }));
  std::string raw(0x10000, '\0');
  static const char kBody[] = "ethaddr=00:12:34:56:78:9a\0comm=mm\0";
  static const char kAfter[] = "ethaddr=00:12:34:56:78:9a\0comm=mm\0eracfg_flag=1\0";
  std::string body(kBody, sizeof kBody);  // with the terminating NUL: the end of the list
  raw.replace(4, body.size(), body);
  uint32_t c = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(raw.data()) + 4, 0x10000 - 4));
  for (int i = 0; i < 4; ++i) raw[i] = static_cast<char>(c >> (8 * i));
  std::string img = testsupport::ReadFile(b.file("dev/mtd1"));
  img.replace(0, raw.size(), raw);
  testsupport::WriteFile(b.file("dev/mtd1"), img);
  auto r = ::Run({"eracfg", "config"}, &b);
  ASSERT_EQ(r.status, 0) << r.out;
  std::string now = envtest::Slice(b.file("dev/mtd1"), 0, 0x10000);
  EXPECT_EQ(now.substr(4, sizeof kAfter), std::string(kAfter, sizeof kAfter));
  c = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(now.data()) + 4, 0x10000 - 4));
  EXPECT_EQ(static_cast<uint8_t>(now[0]), c & 0xFF);
}

}  // namespace

namespace {

void set_main(nlohmann::json& j, nlohmann::json main) {
  j["resource"]["records"]["EnvGetRes"] = {{"Main", std::move(main)}};
}

TEST(BootenvFile, MissingFileIsCreatedWithTheDefaultsAndKeepsChanges) {
  TempBoard b(envtest::Variant("default", "file", [](nlohmann::json& j) { set_main(j, {{"Type", 5}, {"Size", 4096}}); }));
  std::remove(b.file("mnt/env").c_str());
  auto all = ::Run({"bootenv"}, &b);
  EXPECT_TRUE(Contains(all.out, "deviceid=0000000000000000\nID=0000000000000000\nvs_board=HI3536\ncustom_board=HI3536\n"))
      << all.out;
  ASSERT_EQ(::Run({"bootenv", "ID", "0123456789abcdef"}, &b).status, 0);
  EXPECT_TRUE(Contains(::Run({"bootenv", "ID"}, &b).out, "ID is 0123456789abcdef\n"));
  auto im = envtest::Decode(testsupport::ReadFile(b.file("mnt/env")));
  EXPECT_TRUE(im.crc_ok);
  ASSERT_EQ(im.entries.size(), 4u);
  EXPECT_EQ(im.entries.back(), "ID=0123456789abcdef");
  for (auto& e : std::filesystem::directory_iterator(b.file("mnt")))
    EXPECT_NE(e.path().filename().string().rfind(".tmp.", 0), 0u) << "temporary left: " << e.path();
}

TEST(BootenvReadOnly, EepromAndBiosAnswerGetOnly) {
  TempBoard e(envtest::Variant("default", "eeprom", [](nlohmann::json& j) {
    set_main(j, {{"Type", 2}, {"Size", 256}, {"I2c", {{"Bus", 1}, {"Addr", 80}, {"RegWidth", 2}, {"RegOffset", 0}}}});
    j["eeprom"] = {{"bus", 1}, {"addr", 80}, {"text", "ID=EE0042\n"}};
  }));
  EXPECT_TRUE(Contains(::Run({"bootenv", "ID"}, &e).out, "ID is EE0042\n"));
  EXPECT_TRUE(Contains(::Run({"bootenv", "SN"}, &e).out, "key=SN not found!"));
  auto set = ::Run({"bootenv", "ID", "x"}, &e);
  EXPECT_EQ(set.status, 255);
  EXPECT_TRUE(Contains(set.out, "EnvDev has no Set fun or Set failed"));

  TempBoard silent(envtest::Variant("default", "eeprom-silent", [](nlohmann::json& j) {
    set_main(j, {{"Type", 2}, {"Size", 256}, {"I2c", {{"Bus", 1}, {"Addr", 81}, {"RegWidth", 2}}}});
    j["eeprom"] = {{"bus", 1}, {"addr", 80}, {"text", "ID=EE0042\n"}};
  }));
  auto r = ::Run({"bootenv", "ID"}, &silent);
  EXPECT_TRUE(Contains(r.out, "Thiz->pI2cDev->ReadByte failed")) << r.out;
  EXPECT_TRUE(Contains(r.out, "get env err"));

  TempBoard bios(envtest::Variant("default", "bios", [](nlohmann::json& j) { set_main(j, {{"Type", 3}, {"Size", 64}}); }));
  EXPECT_TRUE(Contains(::Run({"bootenv", "ID"}, &bios).out, "ID is NVR3536C0000001\n"));
  EXPECT_TRUE(Contains(::Run({"bootenv", "SN"}, &bios).out, "unknow key(SN), return -1."));
}

TEST(BootenvRecord, BrokenDescriptionsFailCleanly) {
  struct Case {
    const char* what;
    nlohmann::json main;
    const char* out;
  } cases[] = {
      {"unknown type", {{"Type", 9}, {"Size", 4096}}, "invalid EnvDev type"},
      {"partition too small", {{"Type", 1}, {"Offset", 0x10000}, {"Size", 0x20000}, {"Mtd", {{"MtdNum", 1}, {"Name", "env"}}}},
       "0x20000 0x10000 0x20000"},
      {"offset off a block", {{"Type", 1}, {"Offset", 0x100}, {"Size", 0x1000}, {"Mtd", {{"MtdNum", 1}, {"Name", "env"}}}},
       "0x20000 0x100 0x1000"},
      {"no such partition", {{"Type", 1}, {"Size", 0x1000}, {"Mtd", {{"MtdNum", 1}, {"Name", "nosuch"}}}},
       "MtdDevRecInit  failed"},
  };
  for (auto& c : cases) {
    TempBoard b(envtest::Variant("default", "broken", [&](nlohmann::json& j) { set_main(j, c.main); }));
    std::string before = testsupport::ReadFile(b.file("dev/mtd1"));
    auto r = ::Run({"bootenv", "a", "1"}, &b);
    EXPECT_EQ(r.status, 255) << c.what;
    EXPECT_TRUE(Contains(r.out, c.out)) << c.what << ": " << r.out;
    EXPECT_TRUE(testsupport::ReadFile(b.file("dev/mtd1")) == before) << c.what;
  }
  TempBoard none(envtest::Variant("default", "nodriver", [](nlohmann::json& j) { j["resource"]["node"] = false; }));
  auto r = ::Run({"bootenv", "a"}, &none);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "EnvGetRes failed")) << r.out;
  EXPECT_TRUE(Contains(r.out, "get env err"));
}

}  // namespace

namespace {

// The description's erase unit applies to the main copy's erases only, and
// a failed erase leaves the board on the copy written before it.
TEST(BootenvErase, OverrideUnitAndFailedErase) {
  TempBoard b(envtest::Variant("default", "sector", [](nlohmann::json& j) {
    j["resource"]["records"]["EnvGetRes"]["Main"]["EraseSize"] = 4096;
  }));
  sim::FlashState before, after;
  sim::ReadFlashState(b.dir(), &before);
  ASSERT_EQ(::Run({"bootenv", "foo", "bar"}, &b).status, 0);
  sim::ReadFlashState(b.dir(), &after);
  EXPECT_EQ(after.erases - before.erases, 1u + 16u);  // backup: one 64 KiB block; main: 16 sectors

  ASSERT_TRUE(sim::SetBlockFlag(b.dir(), 1, 0, sim::kBlockFailErase, true));
  auto r = ::Run({"bootenv", "foo", "baz"}, &b);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(Contains(r.out, "Erase failed, func[")) << r.out;
  EXPECT_TRUE(Contains(r.out, "mtdname[env]")) << r.out;
  // The backup already holds the new value; the main copy is untouched.
  EXPECT_TRUE(Contains(::Run({"bootenv", "foo"}, &b).out, "foo is bar\n"));
  auto backup = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0x10000, 0x10000));
  EXPECT_EQ(backup.entries.back(), "foo=baz");
}

}  // namespace
