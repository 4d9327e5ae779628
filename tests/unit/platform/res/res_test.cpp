// The resource driver's client against the simulated driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/res/res.h"
#include "support/board_edit.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::TempBoard;

namespace {

struct HandshakeCase {
  const char* name;
  std::function<void(const TempBoard&)> spoil;
  int result;
  std::vector<std::string> lines;  // in this order
};

TEST(ResHandshake, VersionAndSizeMustMatchExactly) {
  const HandshakeCase cases[] = {
      {"default board", [](const TempBoard&) {}, 0, {"libres version:    4517 - "}},
      {"size one short",
       [](const TempBoard& b) { EditBoard(b, [](auto& j) { j["resource"]["size"] = 94975; }); },
       -1,
       {"resource version match faild,exit the process", "drvbox ressize=94975, libdvr ressize=94976",
        "drvbox version=V0.0.2, libdvr version=V0.0.2"}},
      {"version one character longer",
       [](const TempBoard& b) { EditBoard(b, [](auto& j) { j["resource"]["version"] = "V0.0.2a"; }); },
       -1,
       {"resource version match faild", "drvbox version=V0.0.2a, libdvr version=V0.0.2"}},
      {"version filling the field without terminator",
       [](const TempBoard& b) { EditBoard(b, [](auto& j) { j["resource"]["version"] = "V0.0.2abcdef"; }); },
       -1,
       {"drvbox version=V0.0.2ab, libdvr"}},
      {"driver refuses the version record",
       [](const TempBoard& b) { EditBoard(b, [](auto& j) { j["resource"]["fail"] = {"ResInit"}; }); },
       -1,
       {"ioctl failed in [ResInit].", "resource init faild,exit the process"}},
      {"no driver node", [](const TempBoard& b) { unlink(b.file("dev/vs_resource").c_str()); }, -1,
       {"open /dev/vs_resource failed", "resource init faild,exit the process"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempBoard b;
    c.spoil(b);
    int rc = 99;
    std::string out = CaptureOut([&] { rc = ResHandshake(); });
    EXPECT_EQ(rc, c.result);
    size_t at = 0;
    for (auto& l : c.lines) {
      size_t p = out.find(l, at);
      EXPECT_NE(p, std::string::npos) << "missing or out of order: " << l << "\n" << out;
      if (p != std::string::npos) at = p;
    }
  }
}

TEST(ResInitDeathTest, MismatchEndsTheProcessWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempBoard b;
  EditBoard(b, [](auto& j) { j["resource"]["size"] = 1; });
  EXPECT_EXIT(ResInit(), testing::ExitedWithCode(0), "");
}

TEST(ResHwid, CachedForCommandsUpTo56Only) {
  TempBoard b;
  EditBoard(b, [](auto& j) { j["resource"]["hwid"] = {{"56", 3}, {"57", 3}}; });
  EXPECT_EQ(DvrGetHwidInformation(56), 3);
  EXPECT_EQ(DvrGetHwidInformation(57), 3);
  EditBoard(b, [](auto& j) { j["resource"]["hwid"] = {{"56", 4}, {"57", 4}}; });
  EXPECT_EQ(DvrGetHwidInformation(56), 3) << "cached answer";
  EXPECT_EQ(DvrGetHwidInformation(57), 4) << "asked again";
  EXPECT_EQ(SysGetHwidInfo(56), 4) << "the uncached query always asks";
}

TEST(ResHwid, FailedQueryIsAskedAgain) {
  TempBoard b;
  EditBoard(b, [](auto& j) { j["resource"]["hwid"] = nlohmann::json::object(); });
  std::string out = CaptureOut([] { EXPECT_EQ(DvrGetHwidInformation(40), -1); });
  EXPECT_NE(out.find("get hwid cmd:40 failed."), std::string::npos) << out;
  EditBoard(b, [](auto& j) { j["resource"]["hwid"] = {{"40", 12}}; });
  EXPECT_EQ(DvrGetHwidInformation(40), 12);
  out = CaptureOut([] { EXPECT_EQ(SysGetHwidInfo(41), -1); });
  EXPECT_NE(out.find("cmd:41."), std::string::npos) << out;
}

TEST(ResHwid, SetAnswerIsKeptByTheDriver) {
  TempBoard b;
  ResHwid_t q{};
  q.Cmd = 1006;
  q.Value = 5;
  ASSERT_EQ(ResSetHwid(&q), 0);
  EXPECT_EQ(DvrGetHwidInformation(1006), 5);
}

TEST(ResRecords, SystemRecordCarriesTheBoardFieldsAtTheirOffsets) {
  TempBoard b;
  uint8_t raw[RES_SIZE_SYSTEM];
  std::memset(raw, 0xEE, sizeof raw);
  ASSERT_EQ(SystemGetRes(raw), 0);
  auto u32 = [&](size_t at) { return raw[at] | raw[at + 1] << 8 | raw[at + 2] << 16 | uint32_t(raw[at + 3]) << 24; };
  EXPECT_STREQ(reinterpret_cast<char*>(raw), "NVR3536C-8");
  EXPECT_STREQ(reinterpret_cast<char*>(raw + 28), "SN");
  EXPECT_EQ(u32(96), 1u);   // reboot command
  EXPECT_EQ(u32(100), 2u);  // halt
  EXPECT_EQ(raw[104], 7);
  EXPECT_EQ(raw[105], 4);
  EXPECT_EQ(raw[106], 1);
  EXPECT_EQ(u32(108), 1u);  // GPIO buzzer
  EXPECT_EQ(raw[112], 5);
  EXPECT_EQ(u32(1056), 1u);
  EXPECT_STREQ(reinterpret_cast<char*>(raw + 1176), "NVR3536C-8-S");
  EXPECT_EQ(raw[1247], 0) << "undescribed bytes come back zeroed";
}

TEST(ResRecords, ProductTypeAndDeviceInfo) {
  TempBoard b;
  int t = -5;
  EXPECT_EQ(CFG_HWID_GetProductType(&t), 0);
  EXPECT_EQ(t, 6);
  EXPECT_EQ(CFG_HWID_GetProductType(nullptr), -1);
  EditBoard(b, [](auto& j) { j["resource"]["fail"] = {"ProductIdGetRes", "BoardGetRes"}; });
  EXPECT_EQ(CFG_HWID_GetProductType(&t), -2);
  uint8_t info[RES_SIZE_BOARD];
  EXPECT_EQ(GetDeviceInfo(info), -1);
  EXPECT_EQ(GetDeviceInfo(nullptr), -1);
}

TEST(ResRecords, BadArgumentsAndRequests) {
  TempBoard b;
  std::string out = CaptureOut([] { EXPECT_EQ(ResIoctl(RES_IOC_SYSTEM, nullptr, "x"), -1); });
  EXPECT_NE(out.find("Invaled param"), std::string::npos);
  uint8_t buf[16];
  EXPECT_EQ(ResIoctl(RES_IOC_SYSTEM, buf, nullptr), -1);
  out = CaptureOut([&] { EXPECT_EQ(ResIoctl(ResRequest(77, 16), buf, "Nothing"), -1); });
  EXPECT_NE(out.find("ioctl failed in [Nothing]."), std::string::npos) << out;
}

}  // namespace
