// The flash set on simulated boards, in this process: flat addresses and
// the logo window, verified writes, erasing partitions by name, the
// restore flag, the dual-backup boot fail count and preparing to rewrite
// flash.  State that lives once per process (the restore flag, the
// dual-backup device) is checked in a forked child.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "platform/env/bootenv.h"
#include "platform/flashset/flashset.h"
#include "platform/res/res.h"
#include "sim/models/flash.h"
#include "support/board.h"
#include "support/board_edit.h"
#include "support/bootflash.h"

namespace {

using testsupport::CaptureOut;
using testsupport::ReadFile;
using testsupport::TempBoard;

bool has(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

// Equal bytes, or where they first differ (flash images are too long to print).
testing::AssertionResult Same(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return testing::AssertionFailure() << "sizes " << got.size() << "/" << want.size() << ", first difference at 0x"
                                     << std::hex << i;
}

// Runs fn in a forked child and fails when any expectation in it failed.
void isolated(const std::function<void()>& fn) {
  fflush(stdout);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    fn();
    fflush(stdout);
    _exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "expectations failed in the child (see above)";
}

class FlashSet : public testing::Test {
 protected:
  void TearDown() override { release(); }
  static void release() {
    flash::MtdDevReleaseAll();
    flash::EmmcDevReleaseAll();
  }
  void open(const std::string& board) {
    release();
    board_.reset();  // before the next board names itself in DVR_BOARD
    board_ = std::make_unique<TempBoard>(board);
    set_ = std::make_unique<Flashs>();
    ASSERT_EQ(FlashGetRes(&set_->res), 0);
    ASSERT_EQ(FlashsCreate(set_.get()), 0);
  }
  // Flat address of a partition on the first chip that has it.
  uint32_t addr(const char* name) {
    for (uint32_t c = 0; c < set_->count; ++c) {
      FlashDev& d = set_->devs[c];
      for (auto* p : d.mtd)
        if (!std::strcmp(p->name(), name)) return d.chip.Base + static_cast<uint32_t>(p->start());
      for (auto* p : d.emmc)
        if (!std::strcmp(p->name(), name)) return d.chip.Base + static_cast<uint32_t>(p->start());
    }
    ADD_FAILURE() << "no partition " << name;
    return 0;
  }
  std::string image(const std::string& rel) { return ReadFile(board_->file(rel)); }
  sim::FlashState state() {
    sim::FlashState st;
    sim::ReadFlashState(board_->dir(), &st);
    return st;
  }
  void fill(const std::string& rel, size_t off, const std::string& bytes) {
    std::fstream f(board_->file(rel), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(off));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string env(const char* name) {
    char v[64] = {};
    return BootEnvGetValue(name, v, sizeof v) == 0 ? v : "<unset>";
  }

  std::unique_ptr<TempBoard> board_;
  std::unique_ptr<Flashs> set_;
};

constexpr uint32_t kNorBlock = 0x10000;

TEST_F(FlashSet, FlatAddressesAndTheLogoWindow) {
  open("default");
  std::string data = testsupport::TestData(2 * kNorBlock, 1);
  // Two blocks into the kernel partition land at its start.
  ASSERT_EQ(FlashsWrite(data.data(), addr("kernel"), static_cast<uint32_t>(data.size()), set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mtd2").substr(0, data.size()), data));

  // The window reaches "logo" at its own offsets, and so does its flat address.
  std::string logo = testsupport::TestData(kNorBlock, 2);
  ASSERT_EQ(FlashsWrite(logo.data(), kLogoBase + kNorBlock, kNorBlock, set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mtd4").substr(kNorBlock, kNorBlock), logo));
  std::string back(kNorBlock, '\0');
  ASSERT_EQ(FlashsRead(back.data(), addr("logo") + kNorBlock, kNorBlock, set_.get()), 0);
  EXPECT_TRUE(Same(back, logo));

  // An unaligned erase in the window succeeds and erases nothing; an
  // aligned one erases the block.
  uint64_t erases = state().erases;
  EXPECT_EQ(FlashsErase(kLogoBase + kNorBlock + 0x123, set_.get()), 0);
  EXPECT_EQ(state().erases, erases);
  EXPECT_EQ(FlashsErase(kLogoBase + kNorBlock, set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mtd4").substr(kNorBlock, kNorBlock), std::string(kNorBlock, '\xFF')));

  // Outside every chip, and unaligned outside the window: refused.
  std::string out = CaptureOut([&] { EXPECT_EQ(FlashsRead(back.data(), 0x2000000, kNorBlock, set_.get()), -1); });
  EXPECT_TRUE(has(out, "searched all flashs but unlikely invalid address")) << out;
  EXPECT_EQ(FlashsWrite(logo.data(), addr("kernel") + 0x100, kNorBlock, set_.get()), -1);
  EXPECT_EQ(FlashsErase(addr("kernel") + 0x100, set_.get()), -1);
  // A write past the end of the last partition stops with an error, not short.
  EXPECT_EQ(FlashsWrite(data.data(), addr("updateflag") + kNorBlock, 2 * kNorBlock, set_.get()), -1);
}

TEST_F(FlashSet, WritesAreVerifiedAndRetried) {
  open("default");
  std::string data = testsupport::TestData(kNorBlock, 3);
  ASSERT_TRUE(sim::SetBlockFlag(board_->dir(), 5, 0, sim::kBlockFlipOnce, true));
  std::string out = CaptureOut([&] { EXPECT_EQ(FlashsWrite(data.data(), addr("config"), kNorBlock, set_.get()), 0); });
  EXPECT_TRUE(has(out, "mtd[config] addr(0x0) len(0x10000) data not equal, try again.")) << out;
  EXPECT_TRUE(Same(image("dev/mtd5").substr(0, kNorBlock), data));
  EXPECT_EQ(set_->stats.written, 2u * kNorBlock);
  EXPECT_EQ(set_->stats.erased, 2u * kNorBlock);

  // A block that cannot be written ends the write at once with a failure.
  ASSERT_TRUE(sim::SetBlockFlag(board_->dir(), 5, 1, sim::kBlockFailWrite, true));
  uint64_t written = set_->stats.written;
  out = CaptureOut([&] { EXPECT_EQ(FlashsWrite(data.data(), addr("config") + kNorBlock, kNorBlock, set_.get()), -1); });
  EXPECT_TRUE(has(out, "mtd write failed, mtdname[config]")) << out;
  EXPECT_TRUE(has(out, "FlashWriteReadCompare failed")) << out;
  EXPECT_EQ(set_->stats.written, written);
}

TEST_F(FlashSet, ErasePartitionByName) {
  open("default");
  uint64_t erases = state().erases;
  EXPECT_EQ(FlashsErasePartition("nosuch", set_.get()), 0);
  EXPECT_EQ(state().erases, erases);
  // NOR: the whole partition.
  fill("dev/mtd6", 0, std::string(0x80000, 'x'));
  EXPECT_EQ(FlashsErasePartition("Log", set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mtd6"), std::string(0x80000, '\xFF')));

  // NAND: every good block, the bad one left as it is.
  open("nand");
  const uint32_t eb = 0x20000, size = 0x200000;
  fill("dev/mtd6", 0, std::string(size, 'x'));
  erases = state().erases;
  EXPECT_EQ(FlashsErasePartition("config", set_.get()), 0);
  EXPECT_EQ(state().erases - erases, size / eb - 1);
  std::string img = image("dev/mtd6");
  for (uint32_t b = 0; b < size / eb; ++b)
    EXPECT_TRUE(Same(img.substr(b * eb, eb), std::string(eb, b == 3 ? 'x' : '\xFF'))) << "block " << b;
}

TEST_F(FlashSet, EmmcChipBehindTheMtdChip) {
  open("emmc");
  ASSERT_EQ(set_->count, 2u);
  std::string data = testsupport::TestData(0x1000, 4);
  uint32_t kernel = addr("kernel");
  EXPECT_GE(kernel, 0x1000000u);
  ASSERT_EQ(FlashsWrite(data.data(), kernel + 0x200, 0x1000, set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mmcblk0p3").substr(0x200, 0x1000), data));
  // The logo window finds the eMMC "logo" even though the first chip has none.
  ASSERT_EQ(FlashsWrite(data.data(), kLogoBase, 0x1000, set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mmcblk0p4").substr(0, 0x1000), data));
  // eMMC needs no erase: success, the data stays.
  EXPECT_EQ(FlashsErase(kernel, set_.get()), 0);
  EXPECT_TRUE(Same(image("dev/mmcblk0p3").substr(0x200, 0x1000), data));
}

TEST_F(FlashSet, RestoreIsRaisedOncePerProcessAndFamily) {
  isolated([&] {
    open("default");
    std::string block(kNorBlock, 'b');
    // NOR "boot" does not count, the environment's own partition does.
    ASSERT_EQ(FlashsWrite(block.data(), addr("boot"), kNorBlock, set_.get()), 0);
    EXPECT_EQ(env("restore"), "<unset>");
    std::string out = CaptureOut([&] { EXPECT_EQ(FlashsWrite(block.data(), addr("env"), kNorBlock, set_.get()), 0); });
    EXPECT_TRUE(has(out, "set env restore 1")) << out;
    EXPECT_EQ(env("restore"), "1");
    ASSERT_EQ(BootSetPara("restore", "0"), 0);
    out = CaptureOut([&] { EXPECT_EQ(FlashsWrite(block.data(), addr("env"), kNorBlock, set_.get()), 0); });
    EXPECT_FALSE(has(out, "set env restore 1")) << out;
    EXPECT_EQ(env("restore"), "0");
  });
  isolated([&] {
    open("nand");
    std::string block(0x20000, 'b');
    ASSERT_EQ(FlashsWrite(block.data(), addr("boot"), 0x20000, set_.get()), 0);
    EXPECT_EQ(env("restore"), "1");
  });
  isolated([&] {
    open("emmc");
    std::string sector(0x200, 'e');
    ASSERT_EQ(FlashsWrite(sector.data(), addr("kernel"), 0x200, set_.get()), 0);
    EXPECT_EQ(env("restore"), "<unset>");
    ASSERT_EQ(FlashsWrite(sector.data(), addr("env") + 0x10000, 0x200, set_.get()), 0);
    EXPECT_EQ(env("restore"), "1");
  });
}

TEST_F(FlashSet, BootFailCountIsClearedOnce) {
  isolated([&] {
    open("default");
    std::string out = CaptureOut([] { EXPECT_EQ(DulBackupClearBootFailCount(), -1); });
    EXPECT_TRUE(has(out, "DulBakupDev.Inited")) << out;
    fill("dev/mtd7", kNorBlock, std::string(kNorBlock, '\x03'));
    ASSERT_EQ(DulBackupDevInit(), 0);
    out = CaptureOut([] { EXPECT_EQ(DulBackupDevInit(), -1); });
    EXPECT_TRUE(has(out, "DulBackupDev already inited")) << out;
    EXPECT_EQ(DulBackupClearBootFailCount(), 0);
    std::string want(kNorBlock, '\xFF');
    want[0] = '\0';
    EXPECT_TRUE(Same(image("dev/mtd7").substr(kNorBlock), want));
    uint64_t ops = state().writes + state().erases;
    EXPECT_EQ(DulBackupClearBootFailCount(), 0);
    EXPECT_EQ(state().writes + state().erases, ops);
  });
  isolated([&] {
    open("default");
    testsupport::EditBoard(*board_, [](auto& j) {
      auto& parts = j["resource"]["records"]["FlashGetRes"]["Chip"][0]["Mtd"];
      parts.erase(parts.size() - 1);
    });
    std::string out = CaptureOut([] { EXPECT_EQ(DulBackupDevInit(), 0); });
    EXPECT_TRUE(has(out, "dul-backup: DO NOT SUPPORT.")) << out;
    uint64_t writes = state().writes;
    EXPECT_EQ(DulBackupClearBootFailCount(), 0);
    EXPECT_EQ(state().writes, writes);
  });
}

// Stand-in processes for the services that hold flash open.
pid_t start(const char* name, bool on_board) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!on_board) unsetenv("DVR_BOARD");
    execl("/bin/sleep", name, "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}
int reap(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFSIGNALED(st) ? WTERMSIG(st) : -1;
}

TEST_F(FlashSet, PreparingToRewriteStopsTheBoardsServices) {
  open("default");
  pid_t net3g = start("net3g", true), sshd = start("/usr/sbin/sshd", true), other = start("recorder", true),
        host = start("telnetd", false);
  usleep(100000);  // until each has exec'ed
  std::string out = CaptureOut([] { EXPECT_EQ(FlashsInit(), 0); });
  EXPECT_TRUE(has(out, "\"net3g\"")) << out;
  kill(other, SIGTERM);
  kill(host, SIGTERM);
  EXPECT_EQ(reap(net3g), SIGKILL);
  EXPECT_EQ(reap(sshd), SIGKILL);
  EXPECT_EQ(reap(other), SIGTERM);
  EXPECT_EQ(reap(host), SIGTERM);  // a host process is out of the board's reach
  auto ev = board_->events();
  std::string all;
  for (auto& e : ev) all += e + "\n";
  for (const char* m : {"umount /mnt/mtd/Log 2\n", "umount /mnt/mtd 2\n", "umount /mnt/web 2\n"})
    EXPECT_TRUE(has(all, m)) << all;
  EXPECT_FALSE(has(all, "/data/lib")) << all;

  // With the eMMC decode control the library is unmounted and the control
  // written; the host has no such driver, so the write fails and says so.
  testsupport::WriteFile(board_->file("proc/zq_emmc_ctrl"), "0\n");
  out = CaptureOut([] { EXPECT_EQ(FlashsInit(), -1); });
  EXPECT_TRUE(has(out, "run_cmd [echo 1 > /proc/zq_emmc_ctrl\n] fail")) << out;
  all.clear();
  for (auto& e : board_->events()) all += e + "\n";
  EXPECT_TRUE(has(all, "umount /data/lib 2\n")) << all;
  EXPECT_TRUE(has(all, "sh echo 1 > /proc/zq_emmc_ctrl")) << all;
}

}  // namespace
