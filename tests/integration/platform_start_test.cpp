// Platform start in the real executable: a family whose record the driver
// refuses is reported and the rest of the sequence still runs.
#include <gtest/gtest.h>

#include "support/board.h"
#include "support/board_edit.h"

using testsupport::TempBoard;

namespace {
bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

TEST(PlatformStart, AFailingFamilyDoesNotStopTheOthers) {
  struct Case {
    const char* record;
    const char* line;          // the error line of the failed initialiser
    const char* still;         // printed only if the families after it ran
    const char* gone;          // missing because of the failure (nullptr: nothing)
  };
  const Case cases[] = {
      {"SystemGetRes", "SystemDevInit init error\r\n", "SystemDev Not Inited.", "PRODUCT INFORMATION"},
      {"SerialGetRes", "SerialDevInit init error\r\n", "PRODUCT INFORMATION", nullptr},
      {"TransComsGetRes", "TransComDevInit init error\r\n", "PRODUCT INFORMATION", nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.record);
    TempBoard b;
    testsupport::EditBoard(b, [&](auto& j) { j["resource"]["fail"] = {c.record}; });
    auto r = testsupport::Run({"dvrhelper"}, &b);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, c.line)) << r.out;
    EXPECT_TRUE(has(r.out, "dvrhelper: dvrhelp err\n")) << r.out;
    if (c.gone) {
      EXPECT_FALSE(has(r.out, c.gone)) << r.out;
    }
    EXPECT_TRUE(has(r.out, c.still)) << r.out;
  }
}

TEST(PlatformStart, FrontBoardFailureLogsOnlyItsName) {
  TempBoard b;
  testsupport::EditBoard(b, [](auto& j) { j["resource"]["fail"] = {"FbdGetRes"}; });
  auto r = testsupport::Run({"dvrhelper"}, &b);
  EXPECT_TRUE(has(r.out, "): FbdDevInit\r\n")) << r.out;
  EXPECT_FALSE(has(r.out, "FbdDevInit init error")) << r.out;
  // The dump still runs; the front-board count cannot be read.
  EXPECT_TRUE(has(r.out, "|                 4.Frontboard information\n")) << r.out;
  EXPECT_FALSE(has(r.out, "FrontboardNum")) << r.out;
}

TEST(PlatformStart, BannerThenProductInformation) {
  TempBoard b;
  auto r = testsupport::Run({"dvrhelper"}, &b);
  const char* in_order[] = {
      "\n\n---------------------------------------------------------\n",
      "|       libdvr.a   version:  4517 - ",
      "|       libsysbase version:  4517 - ",
      "---------------------------------------------------------\n",
      "system using reboot() to reboot.",
      "system using system cmd(/sbin/halt) to shutdown.",
      "system beep type: GPIO.",
      "PRODUCT INFORMATION",
      "|         ProductName:    NVR3536C-8\n",
      "|       FrontboardNum:    1\n",
  };
  size_t at = 0;
  for (auto l : in_order) {
    size_t p = r.out.find(l, at);
    EXPECT_NE(p, std::string::npos) << "missing or out of order: " << l << "\n" << r.out;
    if (p != std::string::npos) at = p;
  }
}

}  // namespace
