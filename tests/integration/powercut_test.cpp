// Power-cut sweep: the power goes off at every single erase and write of a
// change (bootenv NAME VALUE, eracfg config); after the restart the board
// must hold the old value or the new one, and where it has no backup copy
// a lost environment must be reported, never silently used.

#include <gtest/gtest.h>

#include <map>

#include "integration/env_support.h"
#include "sim/models/flash.h"

namespace {

using envtest::Contains;

struct Sweep {
  const char* name;
  const char* board;
  bool backup;
  bool eracfg;                      // else bootenv foo new
  std::vector<const char*> files;   // images the change may touch
};

const Sweep kSweeps[] = {
    {"nor_set", "default", true, false, {"dev/mtd1"}},
    {"nor_set_nobackup", "default", false, false, {"dev/mtd1"}},
    {"nor_eracfg", "default", true, true, {"dev/mtd1", "dev/mtd5"}},
    {"nor_eracfg_nobackup", "default", false, true, {"dev/mtd1", "dev/mtd5"}},
    {"nand_set", "nand", true, false, {"dev/mtd1", "dev/mtd2"}},
    {"nand_set_nobackup", "nand", false, false, {"dev/mtd1"}},
    {"nand_eracfg", "nand", true, true, {"dev/mtd1", "dev/mtd2", "dev/mtd6"}},
};

class PowerCut : public testing::TestWithParam<Sweep> {};

TEST_P(PowerCut, EveryCutLeavesTheOldOrTheNewValue) {
  const Sweep& s = GetParam();
  std::string desc = sim::BoardsDir() + "/" + s.board + ".json";
  if (!s.backup) desc = envtest::Variant(s.board, "nobackup", envtest::NoBackup);
  testsupport::TempBoard b(desc);
  const char* key = s.eracfg ? "eracfg_flag" : "foo";
  const std::string old_out = s.eracfg ? "get env err" : "foo is old\n";
  const std::string new_out = s.eracfg ? "eracfg_flag is 1\n" : "foo is new\n";
  if (!s.eracfg) {
    ASSERT_EQ(testsupport::Run({"bootenv", "foo", "old"}, &b).status, 0);
  }
  std::map<std::string, std::string> saved;
  for (auto* f : s.files) saved[f] = testsupport::ReadFile(b.file(f));
  std::vector<std::string> change = s.eracfg ? std::vector<std::string>{"eracfg", "config"}
                                             : std::vector<std::string>{"bootenv", "foo", "new"};

  int olds = 0, news = 0, losses = 0;
  for (int64_t k = 0;; ++k) {
    ASSERT_LT(k, 400) << "the change never completed";
    for (auto& [f, data] : saved) testsupport::WriteFile(b.file(f), data);
    ASSERT_TRUE(sim::FlashCutAfter(b.dir(), k));
    auto r = testsupport::Run(change, &b);
    sim::FlashState st;
    sim::ReadFlashState(b.dir(), &st);
    ASSERT_TRUE(sim::FlashRestart(b.dir()));
    auto after = testsupport::Run({"bootenv", key}, &b);
    if (!st.cut) {  // the change ran to its end before the cut
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_TRUE(Contains(after.out, new_out)) << after.out;
      break;
    }
    EXPECT_EQ(r.status, 255) << "cut after " << k << " yet reported success";
    bool lost = Contains(after.out, "fails its CRC") || Contains(after.out, "cannot be read");
    if (lost) {
      ++losses;
      EXPECT_FALSE(s.backup) << "cut after " << k << ": lost although a backup exists\n" << after.out;
    } else if (Contains(after.out, new_out)) {
      ++news;
    } else {
      EXPECT_TRUE(Contains(after.out, old_out)) << "cut after " << k << ": neither old nor new\n" << after.out;
      ++olds;
    }
  }
  if (s.backup || s.eracfg) {
    EXPECT_GT(olds, 0) << "no cut came before the first change";
  }
  if (s.backup) {
    EXPECT_EQ(losses, 0);
    if (!s.eracfg) {
      EXPECT_GT(news, 0) << "the backup never carried the new value";
    }
  } else {
    EXPECT_GT(losses, 0) << "the sweep never reached the window without a valid copy";
  }
  RecordProperty("old", olds);
  RecordProperty("new", news);
  RecordProperty("lost", losses);
}

INSTANTIATE_TEST_SUITE_P(Boards, PowerCut, testing::ValuesIn(kSweeps),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
