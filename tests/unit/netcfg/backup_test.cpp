// eth0's backup on the three kinds of memory: SRAM and RTC blocks with a
// CRC-32 (checked with zlib on the memory's own bytes) and the CMOS record
// with its CRC-8, verify flag and reset mark.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "netcfg/netcfg.h"
#include "sim/sim.h"
#include "support/board.h"

using testsupport::ReadFile;

namespace {

// A board description like the default one with another backup store.
std::string BoardWith(const std::string& store) {
  std::ifstream in(sim::BoardsDir() + "/default.json");
  auto d = nlohmann::json::parse(in);
  if (store.empty()) d.erase("netbackup");
  else d["netbackup"] = {{"store", store}, {"cmos", {{"start", 100}, {"end", 111}}}};
  std::string path = testing::TempDir() + "/netbackup-" + (store.empty() ? "none" : store) + ".json";
  std::ofstream(path) << d.dump();
  return path;
}

class Backup : public testing::TestWithParam<const char*> {
 protected:
  Backup() : board(BoardWith(GetParam())) { netcfg::BackupForget(); }
  ~Backup() override { netcfg::BackupForget(); }
  std::string mem() {
    std::string s = GetParam();
    return board.file(s == "cmos" ? "dev/vs_cmos" : s == "sram" ? "dev/pdcSramFile" : "dev/pdcRtc");
  }
  bool cmos() const { return std::string(GetParam()) == "cmos"; }
  testsupport::TempBoard board;
};

TEST_P(Backup, RoundTripAfterReset) {
  ASSERT_EQ(CheckDeviceType(), cmos() ? 2 : 1);
  ASSERT_EQ(RestBackup(), 1);
  if (cmos()) {
    ASSERT_EQ(setCmosVerifyFlag(), 1);
  }
  EXPECT_EQ(CheckCrc(), 1);
  char out[16];
  testing::internal::CaptureStdout();
  EXPECT_EQ(RestoreIP("eth0", out), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("ip is zero."), std::string::npos);

  ASSERT_EQ(BackupIP("eth0", "192.168.7.20"), 1);
  ASSERT_EQ(BackupMask("eth0", "255.0.255.0"), 1);
  ASSERT_EQ(BackupGateway("eth0", "192.168.7.1"), 1);
  ASSERT_EQ(RestoreIP("eth0", out), 1);
  EXPECT_STREQ(out, "192.168.7.20");
  ASSERT_EQ(RestoreGateway("eth0", out), 1);
  EXPECT_STREQ(out, "192.168.7.1");
  ASSERT_EQ(RestoreMask("eth0", out), 1);
  // CMOS keeps only the prefix length: a non-contiguous mask comes back contiguous.
  EXPECT_STREQ(out, cmos() ? "255.255.0.0" : "255.0.255.0");

  // Another interface is never backed up, and nothing changes.
  std::string before = ReadFile(mem());
  EXPECT_EQ(BackupIP("eth1", "10.0.0.1"), 0);
  EXPECT_EQ(BackupIP("eth0:poe", "10.0.0.1"), 0);
  EXPECT_EQ(RestoreIP("eth1", out), 0);
  EXPECT_EQ(BackupIP("eth0", "10.0.0"), 0);
  EXPECT_EQ(ReadFile(mem()), before);
}

TEST_P(Backup, StoredLayoutAndChecksums) {
  ASSERT_EQ(RestBackup(), 1);
  if (cmos()) setCmosVerifyFlag();
  ASSERT_EQ(BackupIP("eth0", "10.1.2.3"), 1);
  ASSERT_EQ(BackupMask("eth0", "255.255.255.0"), 1);
  ASSERT_EQ(BackupGateway("eth0", "10.1.2.1"), 1);
  std::string m = ReadFile(mem());
  auto* u = reinterpret_cast<const unsigned char*>(m.data());
  if (cmos()) {
    const unsigned char* r = u + 100;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), 4), std::string("\x0a\x01\x02\x03", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 4), 4), std::string("\x0a\x01\x02\x01", 4));
    EXPECT_EQ(r[8], 24);
    EXPECT_EQ(r[9] >> 4, 0xA);
    EXPECT_EQ(r[10], netcfg::Crc8Maxim(r, 9));
  } else {
    const unsigned char* b = u + 40;
    uint32_t crc = (uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    EXPECT_EQ(crc, crc32(0L, b + 4, 12));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 4), 12),
              std::string("\x0a\x01\x02\x03\xff\xff\xff\x00\x0a\x01\x02\x01", 12));
  }
  // One flipped bit of the address makes the whole block fail its check.
  m[cmos() ? 101 : 45] ^= 0x10;
  testsupport::WriteFile(mem(), m);
  testing::internal::CaptureStdout();
  EXPECT_EQ(CheckCrc(), 0);
  char out[16];
  EXPECT_EQ(RestoreIP("eth0", out), 0);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(cmos() ? "crc check error." : "crc error ."), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Stores, Backup, testing::Values("sram", "rtc", "cmos"));

TEST(BackupCmos, FreshRecordNeedsTheVerifyFlagAndKeepsTheResetMark) {
  testsupport::TempBoard board(BoardWith("cmos"));
  netcfg::BackupForget();
  testing::internal::CaptureStdout();
  EXPECT_EQ(CheckCrc(), 0);
  EXPECT_EQ(BackupIP("eth0", "10.0.0.2"), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("cmos verify flag error. must update netinit!!"),
            std::string::npos);
  ASSERT_EQ(setCmosVerifyFlag(), 1);
  EXPECT_EQ(CheckCrc(), 1);
  ASSERT_EQ(setBeenResetFlag(), 1);
  std::string m = ReadFile(board.file("dev/vs_cmos"));
  EXPECT_EQ(static_cast<unsigned char>(m[111]), 102);
  EXPECT_EQ(CheckCrc(), 1);
  netcfg::BackupForget();
}

TEST(BackupNone, BoardWithoutAnyStoreFailsCleanly) {
  testsupport::TempBoard board(BoardWith(""));
  netcfg::BackupForget();
  EXPECT_EQ(CheckDeviceType(), 2);
  EXPECT_EQ(CheckCrc(), 0);
  EXPECT_EQ(BackupIP("eth0", "10.0.0.2"), 0);
  char out[16];
  EXPECT_EQ(RestoreIP("eth0", out), 0);
  EXPECT_EQ(setBeenResetFlag(), 0);
  netcfg::BackupForget();
}

}  // namespace
