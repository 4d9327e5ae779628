// Power cut at every single erase and write of a partition update and of a
// package install, on NOR and on NAND with bad blocks.  After each cut the
// board comes back and the boot flash is read as the boot loader reads it:
// no partition may be marked valid unless it holds a whole image (the old
// or the new one), nothing outside the update may change, the update
// markers must say "under way" whenever the boot flash is not whole, and an
// update interrupted while the partition was marked invalid completes when
// run again.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <vector>
#include <fstream>

#include "sim/models/flash.h"
#include "support/bootflash.h"

namespace {

using namespace testsupport;

std::string data(size_t n, unsigned seed) { return TestData(n, seed); }

#if DVR_SANITIZE
constexpr uint64_t kEvery = 8;  // the sanitizer build samples the cut points
#else
constexpr uint64_t kEvery = 1;  // every cut point
#endif

// What the boot loader finds for the partitions being rewritten.
enum class Found { Old, New, Invalid, NoTable, Damaged };
char letter(Found f) { return "ONITD"[static_cast<int>(f)]; }

class BootFlashPowerCut : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/powercut.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    BootFlashSpec spec;
    spec.nand = GetParam();
    if (spec.nand) spec.bad = {1, 4};  // inside the firmware and bootloader partitions' reach
    board_ = std::make_unique<TempBoard>(BootFlashBoard(spec, dir_));
    old_ = {{"linux-dev", data(60000, 1)}, {"firmware", data(5000, 2)}, {"bootloader", data(3000, 3)}};
    WriteLogical(*board_, MakeBootImage(old_, spec.device, dir_));
    std::filesystem::create_directories(board_->file("mnt/dom_bin"));
    snapshot_ = ReadFile(board_->file("dev/mtd0"));
  }
  void TearDown() override {
    board_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The tool straight on the board (no command sandbox: it runs no shell).
  RunResult tool(const std::string& args) {
    return testsupport::Run({"/bin/sh", "-c", "DVR_BOARD=" + board_->dir() + " exec " + Bin("fwupdate") + " " + args + " 2>&1"});
  }
  uint64_t ops() {
    sim::FlashState st;
    sim::ReadFlashState(board_->dir(), &st);
    return st.writes + st.erases;
  }
  // The updates touch only the first megabytes; the rest never changes.
  void reset_flash() {
    std::fstream f(board_->file("dev/mtd0"), std::ios::in | std::ios::out | std::ios::binary);
    f.write(snapshot_.data(), std::min<std::streamsize>(2 << 20, static_cast<std::streamsize>(snapshot_.size())));
    f.close();
    std::ofstream flag(board_->file("dev/mtd2"), std::ios::in | std::ios::out | std::ios::binary);
    std::string blank(ReadFile(board_->file("dev/mtd2")).size(), '\xFF');
    flag.write(blank.data(), static_cast<std::streamsize>(blank.size()));
    flag.close();
    sim::FlashRestart(board_->dir());
  }
  Found found(const BootView& v, const std::map<std::string, std::string>& fresh) {
    if (!v.table_ok) return Found::NoTable;
    bool any_invalid = false, all_new = true;
    for (auto& [name, img] : old_) {
      const auto& p = v.parts.at(name);
      auto it = fresh.find(name);
      if (p.valid == 0) {
        if (it == fresh.end()) return Found::Damaged;  // only a partition being rewritten may be marked
        any_invalid = true;
        all_new = false;
        continue;
      }
      if (p.valid != 1 || p.state != fwpkg::Container::Valid) return Found::Damaged;
      if (it == fresh.end()) {
        if (p.payload != img) return Found::Damaged;
      } else if (p.payload == it->second) {
      } else if (p.payload == img) {
        all_new = false;
      } else {
        return Found::Damaged;
      }
    }
    if (any_invalid) return Found::Invalid;
    return all_new ? Found::New : Found::Old;
  }

  // One cut after `n` writes and erases of `args`: what the boot loader
  // then finds, checked.
  Found cut(uint64_t n, const std::string& args, const std::map<std::string, std::string>& fresh, bool rerun) {
    reset_flash();
    sim::FlashCutAfter(board_->dir(), static_cast<int64_t>(n));
    auto r = tool(args);
    Found f = found(ViewBootFlash(ReadLogical(*board_)), fresh);
    EXPECT_NE(r.status, 0) << "cut " << n << " reported success";
    EXPECT_NE(f, Found::Damaged) << "cut " << n << ":\n" << r.out;
    // Whenever the boot flash is not whole, the markers say an update
    // was under way, so the boot loader takes its backup copy.
    UpdateMarks m = ReadUpdateMarks(*board_);
    if (f == Found::NoTable || f == Found::Invalid) {
      EXPECT_TRUE(m.started && !m.ended) << "cut " << n << " (" << letter(f) << ") unmarked";
    }
    if (rerun && f == Found::Invalid) {
      sim::FlashRestart(board_->dir());
      auto again = tool(args);
      EXPECT_EQ(again.status, 0) << "rerun after cut " << n << ":\n" << again.out;
      EXPECT_EQ(found(ViewBootFlash(ReadLogical(*board_)), fresh), Found::New) << "rerun after cut " << n;
    }
    return f;
  }

  // Cuts the power after 0, 1, ... N-1 writes and erases of `args`, where N
  // is what the whole run takes; returns the letters of what was found, in
  // cut order.  The sanitizer build takes every kEvery-th cut, the last,
  // and the first and last cut of each phase (found by bisecting between
  // samples that differ), so each kind of state is still reached.
  std::string sweep(const std::string& args, const std::map<std::string, std::string>& fresh, bool rerun) {
    reset_flash();
    uint64_t before = ops();
    auto whole = tool(args);
    EXPECT_EQ(whole.status, 0) << whole.out;
    uint64_t total = ops() - before;
    EXPECT_EQ(found(ViewBootFlash(ReadLogical(*board_)), fresh), Found::New);
    EXPECT_TRUE(ReadUpdateMarks(*board_).ended);
    std::map<uint64_t, Found> at;
    auto visit = [&](uint64_t n) {
      auto it = at.find(n);
      return it != at.end() ? it->second : at[n] = cut(n, args, fresh, rerun);
    };
    for (uint64_t n = 0; n < total; n += kEvery) visit(n);
    if (total > 0) visit(total - 1);
    std::vector<uint64_t> samples;
    for (auto& [n, f] : at) samples.push_back(n);
    for (size_t i = 1; i < samples.size(); ++i) {
      uint64_t a = samples[i - 1], b = samples[i];
      while (b - a > 1 && visit(a) != visit(b)) {
        uint64_t lo = a, hi = b;
        while (hi - lo > 1) {
          uint64_t mid = lo + (hi - lo) / 2;
          (visit(mid) == visit(lo) ? lo : hi) = mid;
        }
        a = hi;  // the first cut of the next phase
      }
    }
    std::string seen;
    for (auto& [n, f] : at) seen += letter(f);
    return seen;
  }

  std::string dir_;
  std::unique_ptr<TempBoard> board_;
  std::map<std::string, std::string> old_;
  std::string snapshot_;
};

// The runs of one letter, in order: "TTIII" -> "TI".
std::string runs(const std::string& s) {
  std::string r;
  for (char c : s)
    if (r.empty() || r.back() != c) r += c;
  return r;
}

// The phases seen against those expected: all of them when every cut was
// taken; in a sample, a short phase between two samples of one letter may
// be passed over, so those seen must come in the expected order, from the
// first to the last.
testing::AssertionResult Phases(const std::string& seen, const std::string& want) {
  std::string got = runs(seen);
  bool ok = got == want;
  if (!ok && kEvery > 1 && !got.empty() && got.front() == want.front() && got.back() == want.back()) {
    size_t at = 0;
    ok = true;
    for (char c : got) {
      at = want.find(c, at);
      if (at == std::string::npos) {
        ok = false;
        break;
      }
      ++at;
    }
  }
  if (ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "phases " << got << " (" << seen << "), expected " << want;
}

TEST_P(BootFlashPowerCut, PartitionUpdate) {
  std::string img = data(70000, 7);
  WriteFile(dir_ + "/img", img);
  std::string seen = sweep("part --operator bootloader " + dir_ + "/img", {{"bootloader", img}}, true);
  // Update marked started, table marked, partition written while marked
  // invalid, table restored, update marked ended.  The table itself is lost
  // while its own block is rewritten, and then the markers cover it.
  EXPECT_TRUE(Phases(seen, "OTITN"));
  size_t torn = std::count(seen.begin(), seen.end(), 'T');
  RecordProperty("cuts", static_cast<int>(seen.size()));
  RecordProperty("table_block_cuts", static_cast<int>(torn));
  printf("%zu cuts: %s\n", seen.size(), seen.c_str());
}

TEST_P(BootFlashPowerCut, PackageInstall) {
  std::string fw = data(9000, 8), bl = data(20000, 9);
  auto b = testsupport::Run({"fwpkg", "build", "-o", dir_ + "/p.pkg", "--item",
                "firmware:/dev/mtdblock0/firmware/firmware:" + [&] {
                  WriteFile(dir_ + "/fw", fw);
                  return dir_ + "/fw";
                }(),
                "--item", "bootloader:/dev/mtdblock0/bootloader/bootloader:" + [&] {
                  WriteFile(dir_ + "/bl", bl);
                  return dir_ + "/bl";
                }()});
  ASSERT_EQ(b.status, 0) << b.err;
  std::string seen = sweep("package --settle 0 " + dir_ + "/p.pkg", {{"firmware", fw}, {"bootloader", bl}}, false);
  // Two partitions, each bracketed by its own markers and table rewrites;
  // between them the first is new and the second still old.
  EXPECT_TRUE(Phases(seen, "OTITOTITN"));
  printf("%zu cuts: %s\n", seen.size(), seen.c_str());
}

INSTANTIATE_TEST_SUITE_P(Flash, BootFlashPowerCut, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "NandWithBadBlocks" : "Nor"; });

}  // namespace
