// Partition objects on simulated NAND and NOR, in this process.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/flash/flash.h"
#include "sim/models/flash.h"
#include "support/board.h"

namespace {

constexpr uint32_t kEb = 0x20000, kPage = 2048;

// A board with one NAND partition of 8 blocks whose third block is bad,
// and one NOR partition.
class FlashBoard : public testing::Test {
 protected:
  void SetUp() override {
    flash::MtdDevReleaseAll();
    path_ = testing::TempDir() + "/flash_test_board.json";
    std::ofstream(path_) << R"({"name": "t", "owns": ["/dev/mtd*", "/proc/mtd"],
      "mtd": {"chips": [
        {"type": "nand", "erasesize": 131072, "writesize": 2048, "parts": [{"name": "data", "size": 1048576, "bad": [2]}]},
        {"type": "nor", "erasesize": 65536, "parts": [{"name": "cfg", "size": 262144}]}]}})";
    board_ = std::make_unique<testsupport::TempBoard>(path_);
  }
  void TearDown() override { flash::MtdDevReleaseAll(); }

  flash::MtdDev* probe(int num, const char* name) {
    MtdPartEntry e{};
    e.MtdNum = num;
    std::strncpy(e.Name, name, sizeof e.Name - 1);
    flash::MtdDev* d = nullptr;
    EXPECT_EQ(flash::MtdDevProbe(e, &d), 0);
    return d;
  }
  std::string image(int num) { return testsupport::ReadFile(board_->file("dev/mtd" + std::to_string(num))); }
  sim::FlashState stats() {
    sim::FlashState st;
    sim::ReadFlashState(board_->dir(), &st);
    return st;
  }

  std::string path_;
  std::unique_ptr<testsupport::TempBoard> board_;
};

TEST_F(FlashBoard, ProbeReadsGeometryAndSharesTheObject) {
  auto* d = probe(0, "data");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->type(), flash::FlashType::Nand);
  EXPECT_EQ(d->size(), 8 * kEb);
  EXPECT_EQ(d->pagesize(), kPage);
  EXPECT_EQ(probe(0, "data"), d);
  auto* n = probe(1, "cfg");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->type(), flash::FlashType::Nor);
  EXPECT_EQ(n->start(), 8u * kEb);

  MtdPartEntry wrong{};
  wrong.MtdNum = 1;
  std::strcpy(wrong.Name, "data");  // the name is mtd0's
  flash::MtdDev* x = nullptr;
  EXPECT_EQ(flash::MtdDevProbe(wrong, &x), -1);
  std::strcpy(wrong.Name, "nosuch");
  EXPECT_EQ(flash::MtdDevProbe(wrong, &x), -1);
}

TEST_F(FlashBoard, GoodBlockTableSkipsTheBadBlock) {
  auto* d = probe(0, "data");
  uint32_t phys = 0, good = 0;
  ASSERT_EQ(d->LookupTab(2 * kEb + 10, &phys), 0);
  EXPECT_EQ(phys, 3 * kEb + 10);
  ASSERT_EQ(d->GoodBlocks(&good), 0);
  EXPECT_EQ(good, 7u);
  EXPECT_EQ(d->LookupTab(7 * kEb, &phys), -1);
  std::vector<uint8_t> buf(kPage);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->Read(buf.data(), 7 * kEb, kPage), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("read space not enouth because of NAND bad blocks."),
            std::string::npos);
}

TEST_F(FlashBoard, MappedWritesLandOnGoodBlocksAndPadThePage) {
  auto* d = probe(0, "data");
  ASSERT_EQ(d->Erase(2 * kEb), 0);  // logical block 2 is physical block 3
  std::vector<uint8_t> data(100, 0x5A);
  ASSERT_EQ(d->Write(data.data(), 2 * kEb, 100), 0);
  std::string img = image(0);
  EXPECT_EQ(img.substr(3 * kEb, 100), std::string(100, 0x5A));
  EXPECT_EQ(img.substr(3 * kEb + 100, kPage - 100), std::string(kPage - 100, '\xFF'));
  std::vector<uint8_t> back(100);
  ASSERT_EQ(d->Read(back.data(), 2 * kEb, 100), 0);
  EXPECT_EQ(back, data);
}

TEST_F(FlashBoard, UnalignedMappedReadFailsBeforeReading) {
  auto* d = probe(0, "data");
  uint64_t before = stats().reads;
  std::vector<uint8_t> buf(16);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->Read(buf.data(), 100, 16), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("NAND FLASH: mtd addr [0x00000064] doesn't page aligned."),
            std::string::npos);
  EXPECT_EQ(stats().reads, before);
}

TEST_F(FlashBoard, SkippingAccessStepsOverBadBlocksConsistently) {
  auto* d = probe(0, "data");
  sim::SetBlockFlag(board_->dir(), 0, 0, sim::kBlockBad, true);
  // A region of two blocks from offset 0: blocks 0 and 2 are bad, so it
  // lands on blocks 1 and 3, for erase, write and read alike.
  std::vector<uint8_t> data(2 * kEb);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(d->EraseEnv(0, 2 * kEb), 0);
  ASSERT_EQ(d->WriteEnv(data.data(), 0, 2 * kEb), 0);
  std::string img = image(0);
  EXPECT_EQ(img.substr(kEb, kEb), std::string(data.begin(), data.begin() + kEb));
  EXPECT_EQ(img.substr(3 * kEb, kEb), std::string(data.begin() + kEb, data.end()));
  std::vector<uint8_t> back(2 * kEb);
  ASSERT_EQ(d->ReadEnv(back.data(), 0, 2 * kEb), 0);
  EXPECT_EQ(back, data);
}

TEST_F(FlashBoard, SkippingPastTheEndFails) {
  auto* d = probe(0, "data");
  for (unsigned b = 5; b < 8; ++b) sim::SetBlockFlag(board_->dir(), 0, b, sim::kBlockBad, true);
  std::vector<uint8_t> buf(kPage);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->ReadEnv(buf.data(), 5 * kEb, kPage), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("offsetAddr is over Size"), std::string::npos);
}

TEST_F(FlashBoard, NorEraseSetsOnesAndWritesOnlyClearBits) {
  auto* d = probe(1, "cfg");
  ASSERT_EQ(d->Erase(0x10000), 0);
  uint8_t a = 0xF0, b = 0x3C, got = 0;
  ASSERT_EQ(d->Write(&a, 0x10000, 1), 0);
  ASSERT_EQ(d->Write(&b, 0x10000, 1), 0);
  ASSERT_EQ(d->Read(&got, 0x10000, 1), 0);
  EXPECT_EQ(got, 0x30);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->Erase(0x8000), -1);  // not on an erase block
  EXPECT_NE(testing::internal::GetCapturedStdout().find("erase failed(addr=0x8000, length=0x10000)"),
            std::string::npos);
}

TEST_F(FlashBoard, InjectedFailuresAndPowerCutNameTheBlock) {
  auto* d = probe(0, "data");
  sim::SetBlockFlag(board_->dir(), 0, 4, sim::kBlockFailErase, true);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->Erase(3 * kEb), -1);  // logical 3 is physical 4
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("MEMERASE failed on /dev/mtd0 block 0x00080000"), std::string::npos) << out;

  ASSERT_TRUE(sim::FlashCutAfter(board_->dir(), 1));
  std::vector<uint8_t> page(kPage, 0);
  EXPECT_EQ(d->Write(page.data(), 0, kPage), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(d->Write(page.data(), kPage, kPage), -1);  // torn
  EXPECT_EQ(d->Erase(0), -1);                          // the power stays off
  testing::internal::GetCapturedStdout();
  std::string img = image(0);
  EXPECT_EQ(img.substr(kPage, kPage / 2), std::string(kPage / 2, '\0'));
  EXPECT_EQ(img.substr(kPage + kPage / 2, kPage / 2), std::string(kPage / 2, '\xFF'));
  ASSERT_TRUE(sim::FlashRestart(board_->dir()));
  EXPECT_EQ(d->Erase(0), 0);
}

}  // namespace
