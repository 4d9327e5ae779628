// Serial numbers: the environment key, the board's tools, the cache.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/env/bootenv.h"

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemSerial = SystemDev;

// --------------------------------------------------------- serial numbers

TEST_F(SystemSerial, SerialNumberFromTheEnvironmentIsCached) {
  char sn[128];
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "Thiz check fails, return OSA_EFAIL")) << out;
  ASSERT_EQ(SystemDevInit(), 0);
  out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, 129), -1); });
  EXPECT_TRUE(has(out, "The arg Length is too large !")) << out;
  out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0); });
  EXPECT_TRUE(has(out, "SerialIDKey=(SN)")) << out;
  EXPECT_STREQ(sn, "NVR3536C0000001");
  ASSERT_EQ(BootSetPara("SN", "CHANGED"), 0);
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "NVR3536C0000001") << "the cache is kept";
  // The setter writes "ID", not the key the getter reads.
  ASSERT_EQ(SystemSetSerialNumber("NEWSERIAL"), 0);
  char v[32];
  ASSERT_EQ(BootEnvGetValue("ID", v, sizeof v), 0);
  EXPECT_STREQ(v, "NEWSERIAL");
}

// A board with the serial-number tools: each is both a file the product
// can see and a program its shell runs.
class SerialTools : public SystemDev {
 protected:
  void AddTool(const std::string& path, const std::string& script) {
    EditBoard(board_, [&](auto& j) { j["owns"].push_back(path); });
    for (auto rel : {path.substr(1), "tools/root" + path}) {
      std::string f = board_.file(rel);
      std::string dirs = "mkdir -p " + f.substr(0, f.rfind('/'));
      ASSERT_EQ(system(dirs.c_str()), 0);
      unlink(f.c_str());
      testsupport::WriteFile(f, "#!/bin/sh\n" + script + "\n");
      ASSERT_EQ(chmod(f.c_str(), 0755), 0);
    }
  }
  void SetUp() override {
    SystemDev::SetUp();
    Edit([](auto& r) {
      r["SerialIDKey"] = "NOSUCHKEY";
      r["BeepType"] = 0;
    });
  }
};

TEST_F(SerialTools, Seq2devAnswers) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/seq2dev", "echo SEQ0001");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0); });
  EXPECT_TRUE(has(out, "Try to get SerialNumber from command:/usr/local/bin/seq2dev")) << out;
  EXPECT_STREQ(sn, "SEQ0001");
}

TEST_F(SerialTools, SerialgetTextAfterTheColon) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/serialget", "echo 'SerialNumber: SG-42'");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "SG-42");
  char bsn[128] = {};
  ASSERT_EQ(SystemGetBoardSerialNumber(bsn, sizeof bsn), 0);
  EXPECT_STREQ(bsn, "SG-42");
}

TEST_F(SerialTools, NothingAnswersIsAFailureAndIsAskedAgain) {
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128] = {};
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "SysGetSerialNumber failed")) << out;
  out = CaptureOut([&] { EXPECT_EQ(SystemGetBoardSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "can't get SerialNumber")) << out;
  Edit([](auto& r) { r["SerialIDKey"] = "SN"; });
  Forget();
  ASSERT_EQ(SystemDevInit(), 0);
  ASSERT_EQ(SystemGetSerialNumber(sn, sizeof sn), 0);
  EXPECT_STREQ(sn, "NVR3536C0000001");
}

TEST_F(SerialTools, Seq2devFailingWithoutSerialgetIsNoSerialNumber) {
  if (geteuid() != 0) GTEST_SKIP() << "the board's tools cover the host's only for root";
  AddTool("/usr/local/bin/seq2dev", "exit 1");
  ASSERT_EQ(SystemDevInit(), 0);
  char sn[128];
  std::memset(sn, 'x', sizeof sn);
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemGetSerialNumber(sn, sizeof sn), -1); });
  EXPECT_TRUE(has(out, "SysGetSerialNumber failed")) << out;
}

TEST_F(SystemSerial, BoardSerialNumberSetterChecksTheText) {
  // This board has no hwtool_tarn: the command runs and fails.
  std::string out = CaptureOut([] { EXPECT_EQ(SystemSetBoardSerialNumber("ABC-123"), -1); });
  EXPECT_TRUE(has(out, "run_cmd [hwtool_tarn w s ABC-123] fail")) << out;
  EXPECT_EQ(count_events(board_, "sh hwtool_tarn w s ABC-123"), 1);
  out = CaptureOut([] {
    EXPECT_EQ(SystemSetBoardSerialNumber("x; reboot"), -1);
    EXPECT_EQ(SystemSetBoardSerialNumber(""), -1);
  });
  EXPECT_TRUE(has(out, "sprintf fail")) << out;
  EXPECT_EQ(count_events(board_, "sh hwtool_tarn"), 1);
}

}  // namespace
