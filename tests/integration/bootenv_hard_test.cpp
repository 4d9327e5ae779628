// The boot environment under pressure: a store filled to its last byte,
// writers racing from several processes, and stored bytes shown on a
// terminal.

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "integration/env_support.h"
#include "support/pty_child.h"

namespace {

using envtest::Contains;
using testsupport::TempBoard;

struct Layout {
  const char* board;
  const char* main;  // image holding the main copy, at offset 0
  const char* backup;
  size_t backup_off, size;
};
const Layout kLayouts[] = {
    {"default", "dev/mtd1", "dev/mtd1", 0x10000, 0x10000},
    {"nand", "dev/mtd1", "dev/mtd2", 0x20000, 0x20000},  // envbak's block 0 is bad
    {"emmc", "dev/mmcblk0p1", "dev/mmcblk0p2", 0, 0x10000},
};

// A stored image of `size` bytes whose entries run to its last byte: no
// room and no empty entry, but a CRC that holds.
std::string full_image(size_t size, std::vector<std::string>* entries) {
  std::string body;
  for (int i = 0; body.size() + 40 < size - 4; ++i) {
    entries->push_back("k" + std::to_string(i) + "=" + std::string(8, 'v'));
    body += entries->back() + '\0';
  }
  entries->push_back("z=" + std::string(size - 4 - body.size() - 3, 'w'));
  body += entries->back() + '\0';
  std::string stored(4, '\0');
  for (char c : body) stored += static_cast<char>((256 - (static_cast<unsigned char>(c) ^ 0x6D)) & 0xFF);
  uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(stored.data()) + 4, static_cast<uInt>(size - 4)));
  for (int i = 0; i < 4; ++i) stored[i] = static_cast<char>(crc >> (8 * i));
  return stored;
}

void put(const std::string& file, size_t off, const std::string& bytes) {
  std::string img = testsupport::ReadFile(file);
  img.replace(off, bytes.size(), bytes);
  testsupport::WriteFile(file, img);
}

TEST(BootenvFull, FullStoreIsReadAndRefusesSetsUntouched) {
  for (const Layout& l : kLayouts) {
    for (bool backup : {true, false}) {
      std::string tag = std::string(l.board) + (backup ? "+backup" : "");
      TempBoard b(backup ? sim::BoardsDir() + "/" + l.board + ".json" : envtest::Variant(l.board, "nobackup", envtest::NoBackup));
      std::vector<std::string> entries;
      std::string img = full_image(l.size, &entries);
      ASSERT_TRUE(envtest::Decode(img).crc_ok);
      ASSERT_FALSE(envtest::Decode(img).has_end);
      put(b.file(l.main), 0, img);
      if (backup) put(b.file(l.backup), l.backup_off, img);
      std::string main_before = testsupport::ReadFile(b.file(l.main));
      std::string backup_before = testsupport::ReadFile(b.file(l.backup));

      auto got = testsupport::Run({"bootenv", "k3"}, &b);
      EXPECT_TRUE(Contains(got.out, "k3 is vvvvvvvv\n")) << tag << got.out;
      for (const char* bad : {"CRC", "damaged", "lost", "backup 1"})
        EXPECT_FALSE(Contains(got.out + got.err, bad)) << tag << ": " << got.out << got.err;
      auto all = testsupport::Run({"bootenv"}, &b);
      EXPECT_TRUE(Contains(all.out, "\n" + entries.back() + "\n")) << tag;

      struct Case {
        const char* name;
        const char* message;
      } cases[] = {{"newname", "MatchNoLock() failed\xA3\xACno such key(newname)"},
                   {"k3", "!new env is to larger"},
                   {"z", "!new env is to larger"}};
      for (auto& c : cases) {
        auto r = testsupport::Run({"bootenv", c.name, "x"}, &b);
        EXPECT_EQ(r.status, 255) << tag << " " << c.name;
        EXPECT_TRUE(Contains(r.out, c.message)) << tag << " " << c.name << ": " << r.out;
        EXPECT_TRUE(Contains(r.out, "EnvDev has no Set fun or Set failed")) << tag;
        EXPECT_TRUE(testsupport::ReadFile(b.file(l.main)) == main_before) << tag << " " << c.name << ": main touched";
        EXPECT_TRUE(testsupport::ReadFile(b.file(l.backup)) == backup_before) << tag << " " << c.name << ": backup touched";
      }
    }
  }
}

// Starts every command at once, each in its own process on the board.
std::vector<testsupport::RunResult> run_together(const std::vector<std::vector<std::string>>& cmds, const TempBoard& b) {
  std::vector<testsupport::RunResult> out(cmds.size());
  std::latch go(static_cast<std::ptrdiff_t>(cmds.size()));
  std::vector<std::thread> ts;
  for (size_t i = 0; i < cmds.size(); ++i)
    ts.emplace_back([&, i] {
      go.arrive_and_wait();
      out[i] = testsupport::Run(cmds[i], &b);
    });
  for (auto& t : ts) t.join();
  return out;
}

TEST(BootenvConcurrent, TenSetsStartedTogetherAllSurviveAndReadersSeeWholeCopies) {
  for (const Layout& l : kLayouts) {
    TempBoard b(l.board);
    std::vector<std::vector<std::string>> cmds;
    for (int i = 0; i < 10; ++i) cmds.push_back({"bootenv", "race" + std::to_string(i), "v" + std::to_string(i)});
    for (int i = 0; i < 4; ++i) cmds.push_back({"bootenv"});
    auto rs = run_together(cmds, b);
    for (size_t i = 0; i < rs.size(); ++i) {
      EXPECT_EQ(rs[i].status, 0) << l.board << " command " << i << ": " << rs[i].out << rs[i].err;
      for (const char* bad : {"CRC", "damaged", "lost", "using backup"})
        EXPECT_FALSE(Contains(rs[i].out + rs[i].err, bad)) << l.board << " command " << i << ": " << rs[i].out;
    }
    auto main = envtest::Decode(envtest::Slice(b.file(l.main), 0, l.size));
    auto backup = envtest::Decode(envtest::Slice(b.file(l.backup), l.backup_off, l.size));
    EXPECT_TRUE(main.crc_ok && backup.crc_ok) << l.board;
    EXPECT_EQ(main.entries, backup.entries) << l.board;
    for (int i = 0; i < 10; ++i) {
      std::string e = "race" + std::to_string(i) + "=v" + std::to_string(i);
      EXPECT_EQ(std::count(main.entries.begin(), main.entries.end(), e), 1) << l.board << " lost " << e;
    }
  }
}

TEST(BootenvConcurrent, EracfgAndSetsDoNotLoseEachOther) {
  TempBoard b;
  std::vector<std::vector<std::string>> cmds = {{"eracfg", "config"}};
  for (int i = 0; i < 5; ++i) cmds.push_back({"bootenv", "mix" + std::to_string(i), "1"});
  auto rs = run_together(cmds, b);
  for (size_t i = 0; i < rs.size(); ++i) EXPECT_EQ(rs[i].status, 0) << cmds[i][0] << " " << cmds[i][1] << ": " << rs[i].out;
  auto im = envtest::Decode(envtest::Slice(b.file("dev/mtd1"), 0, 0x10000));
  EXPECT_TRUE(im.crc_ok);
  EXPECT_EQ(std::count(im.entries.begin(), im.entries.end(), "eracfg_flag=1"), 1);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(std::count(im.entries.begin(), im.entries.end(), "mix" + std::to_string(i) + "=1"), 1) << i;
}

// ---------------------------------------------------------------- terminal

TEST(BootenvTerminal, ControlBytesAreShownOnATerminalAndKeptForPipes) {
  TempBoard b;
  const std::string evil = "x\x1b[2J\x1b]0;owned\x07y";
  ASSERT_EQ(testsupport::Run({"bootenv", "evil", evil}, &b).status, 0);
  // Pipes and files get the stored bytes.
  EXPECT_TRUE(Contains(testsupport::Run({"bootenv", "evil"}, &b).out, "evil is " + evil + "\n"));
  EXPECT_TRUE(Contains(testsupport::Run({"bootenv"}, &b).out, "\nevil=" + evil + "\n"));

  const std::string shown = "x\\x1b[2J\\x1b]0;owned\\x07y";
  {
    testsupport::PtyChild p({testsupport::Bin("dvrsim"), "run", b.dir(), "bootenv", "evil"}, b.dir());
    p.ReadUntil("owned\\x07y", 20000);
    EXPECT_EQ(p.Wait(20000), 0);
    EXPECT_TRUE(Contains(p.output(), "evil is " + shown)) << p.output();
    EXPECT_FALSE(Contains(p.output(), "\x1b[2J")) << p.output();
  }
  {
    testsupport::PtyChild p({testsupport::Bin("dvrsim"), "run", b.dir(), "bootenv"}, b.dir());
    p.ReadUntil("owned\\x07y", 20000);
    EXPECT_EQ(p.Wait(20000), 0);
    EXPECT_TRUE(Contains(p.output(), "evil=" + shown)) << p.output();
    EXPECT_FALSE(Contains(p.output(), "\x1b]0;owned")) << p.output();
  }
}

}  // namespace
