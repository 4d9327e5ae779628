// Building the system device from the System record.
#include <gtest/gtest.h>

#include "unit/platform/system/board_fixture.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using namespace systest;

namespace {

using SystemDevice = SystemDev;

// ------------------------------------------------------------ building

TEST_F(SystemDevice, TypesOfTheRecordChooseTheVariants) {
  struct Case {
    const char* name;
    uint32_t reboot, shutdown, beep;
    int result;
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {"watchdog both", 0, 0, 0, 0, {"system using watchdog to reboot.", "system using watchdog to shutdown."}},
      {"reboot command, power-off", 1, 1, 0, 0, {"system using reboot() to reboot.", "system using reboot() to shutdown."}},
      {"no reboot, halt", 3, 2, 0, 0, {"system does not support reboot.", "system using system cmd(/sbin/halt) to shutdown."}},
      {"gpio reboot, no shutdown", 4, 3, 1, 0, {"system does reboot by reset gpio.", "system does not support shutdown.",
                                                "system beep type: GPIO."}},
      {"reboot type 2", 2, 0, 0, -1, {"system reboot type error."}},
      {"reboot type 5", 5, 0, 0, -1, {"system reboot type error."}},
      {"shutdown type 4", 0, 4, 0, -1, {"system shutdown type error."}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    Forget();
    Edit([&](auto& r) {
      r["RebootType"] = c.reboot;
      r["ShutdownType"] = c.shutdown;
      r["BeepType"] = c.beep;
    });
    int rc = 99;
    std::string out = CaptureOut([&] { rc = SystemDevInit(); });
    EXPECT_EQ(rc, c.result);
    for (auto l : c.lines) EXPECT_TRUE(has(out, l)) << l << "\n" << out;
    EXPECT_EQ(SystemGetRecord() != nullptr, c.result == 0);
  }
}

TEST_F(SystemDevice, SecondInitReturnsAtOnceAndABrokenDriverFails) {
  ASSERT_EQ(SystemDevInit(), 0);
  Edit([](auto& r) { r["RebootType"] = 9; });
  EXPECT_EQ(SystemDevInit(), 0) << "built once per process";
  Forget();
  EditBoard(board_, [](auto& j) { j["resource"]["fail"] = {"SystemGetRes"}; });
  std::string out = CaptureOut([] { EXPECT_EQ(SystemDevInit(), -1); });
  EXPECT_TRUE(has(out, "System get res failed")) << out;
}

}  // namespace
