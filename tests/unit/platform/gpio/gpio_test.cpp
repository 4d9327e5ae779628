// The GPIO manager against the simulated board and expander drivers.
#include <gtest/gtest.h>
#include <unistd.h>

#include "osa/singleton.h"
#include "platform/gpio/gpio.h"
#include "sim/models/gpio.h"
#include "support/board_edit.h"

using testsupport::CaptureOut;
using testsupport::TempBoard;

namespace {

GpioRes_t line(uint8_t port, uint8_t bit, uint32_t index = 0, uint32_t type = 0) {
  GpioRes_t r{};
  r.Port = port;
  r.Bit = bit;
  r.Index = index;
  r.Type = type;
  return r;
}

class Gpio : public testing::Test {
 protected:
  void SetUp() override { osa::ResetSingletonsForTest(); }
  void TearDown() override { osa::ResetSingletonsForTest(); }
  TempBoard board_;
};

TEST_F(Gpio, SameIdentityGivesTheSameObjectConfiguredOnce) {
  GpioRes_t r = line(2, 3);
  GpioDev_t *a = nullptr, *b = nullptr;
  ASSERT_EQ(GpioDevProbe(&r, &a), 0);
  ASSERT_EQ(GpioDevProbe(&r, &b), 0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(sim::SimGpioGet(board_.dir(), r).configs, 1);
}

TEST_F(Gpio, IndexAndTypeMakeDistinctLines) {
  const GpioRes_t ids[] = {line(2, 3, 0, 0), line(2, 3, 1, 0), line(2, 3, 0, 1), line(2, 3, 0, 2), line(1, 3, 0, 3)};
  std::vector<GpioDev_t*> devs;
  for (auto& r : ids) {
    GpioDev_t* d = nullptr;
    ASSERT_EQ(GpioDevProbe(&r, &d), 0) << sim::GpioLineName(r);
    for (auto* o : devs) EXPECT_NE(o, d) << sim::GpioLineName(r);
    devs.push_back(d);
  }
}

TEST_F(Gpio, TypeFourIsRefusedWithoutTouchingTheDriver) {
  unlink(board_.file("dev/vs_gpio").c_str());  // any touch would fail differently
  GpioRes_t r = line(1, 1, 0, 4);
  GpioDev_t* d = nullptr;
  std::string out = CaptureOut([&] { EXPECT_EQ(GpioDevProbe(&r, &d), -1); });
  EXPECT_NE(out.find("invalid paramter(tpye:4 port:1 bit:1)."), std::string::npos) << out;
  EXPECT_EQ(out.find("Gpio device open failed"), std::string::npos) << out;
}

TEST_F(Gpio, OnlyBitZeroOfAValueIsSentAndReadsAreZeroOrOne) {
  for (uint32_t type : {0u, 3u}) {
    SCOPED_TRACE(type);
    GpioRes_t r = line(1, 6, 0, type);
    GpioDev_t* d = nullptr;
    ASSERT_EQ(GpioDevProbe(&r, &d), 0);
    ASSERT_EQ(d->SetDirOut(d), 0);
    uint32_t v = 3;
    ASSERT_EQ(d->Write(&v, d), 0);
    EXPECT_EQ(sim::SimGpioGet(board_.dir(), r).level, 1);
    v = 2;
    ASSERT_EQ(d->Write(&v, d), 0);
    EXPECT_EQ(sim::SimGpioGet(board_.dir(), r).level, 0);
    ASSERT_TRUE(sim::SimGpioSetLevel(board_.dir(), r, 1));
    v = 77;
    ASSERT_EQ(d->Read(&v, d), 0);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(d->WriteLow(d), 0);
    ASSERT_EQ(d->GetDir(&v, d), 0);
    EXPECT_EQ(v, 1u);
  }
  auto ev = board_.events();
  EXPECT_NE(std::find(ev.begin(), ev.end(), "gpio 0:1.6#0 1"), ev.end());
  EXPECT_NE(std::find(ev.begin(), ev.end(), "gpio 3:1.6#0 0"), ev.end());
}

TEST_F(Gpio, ManagerSetsDirectionBeforeEachAccess) {
  GpioManagerInit();
  GpioManager_t* m = GpioManagerGet();
  GpioRes_t r = line(4, 0);
  uint32_t v = 1;
  ASSERT_EQ(m->Write(&r, &v, m), 0);
  EXPECT_EQ(sim::SimGpioGet(board_.dir(), r).dir, 1);
  ASSERT_EQ(m->Read(&r, &v, m), 0);
  EXPECT_EQ(sim::SimGpioGet(board_.dir(), r).dir, 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(m->ProbeDev(&r, m), 0);
  EXPECT_EQ(m->Write(&r, nullptr, m), -1);
}

TEST_F(Gpio, MissingNodeLeavesNoObjectAndIsTriedAgain) {
  std::string node = board_.file("dev/vs_gpio");
  std::string saved = testsupport::ReadFile(node);
  unlink(node.c_str());
  GpioRes_t r = line(3, 3);
  GpioDev_t* d = nullptr;
  std::string out = CaptureOut([&] { EXPECT_EQ(GpioDevProbe(&r, &d), -1); });
  EXPECT_NE(out.find("Gpio device open failed, Full Devname:/dev/vs_gpio"), std::string::npos) << out;
  EXPECT_NE(out.find("GpioProbe failed, can't get such Dev"), std::string::npos) << out;
  EXPECT_TRUE(GpioManagerGet()->Devs.empty());
  testsupport::WriteFile(node, saved);
  EXPECT_EQ(GpioDevProbe(&r, &d), 0);
}

TEST_F(Gpio, DriverFailuresAreReportedPerOperation) {
  testsupport::EditBoard(board_, [](auto& j) { j["gpio"]["ports"] = 4; });
  GpioRes_t r = line(9, 0);  // beyond the board's ports: the driver refuses
  GpioDev_t* d = nullptr;
  std::string out = CaptureOut([&] { EXPECT_EQ(GpioDevProbe(&r, &d), -1); });
  EXPECT_NE(out.find("ZQ_GPIO_INIT ioctl failed,port:9 bit:0 type:0 idx:0"), std::string::npos) << out;
  EXPECT_NE(out.find("Config gpio dev failed."), std::string::npos) << out;
  EXPECT_EQ(GpioDevProbe(nullptr, &d), -1);
  EXPECT_EQ(GpioDevProbe(&r, nullptr), -1);
}

TEST_F(Gpio, ExpanderNodeIsOpenedPerRequest) {
  GpioRes_t r = line(0, 2, 0, 3);
  GpioDev_t* d = nullptr;
  ASSERT_EQ(GpioDevProbe(&r, &d), 0);
  unlink(board_.file("dev/zq_max7311_gpio").c_str());
  std::string out = CaptureOut([&] { EXPECT_EQ(d->WriteHigh(d), -1); });
  EXPECT_NE(out.find("open /dev/zq_max7311_gpio failed"), std::string::npos) << out;
}

TEST_F(Gpio, SwitchLineIsProbedNamedAndMadeAnOutput) {
  testsupport::EditBoard(board_, [](auto& j) { j["gpio"]["ports"] = 8; });
  GpioDev_t* d = nullptr;
  std::string out = CaptureOut([&] { EXPECT_EQ(GpioDevProbeOutput(9, 1, "GPIO test", &d), -1); });
  EXPECT_NE(out.find("probe gpio res failed, port=9, bit=1"), std::string::npos) << out;
  EXPECT_EQ(out.find("GPIO test PORT"), std::string::npos) << "named only once probed";
  EXPECT_EQ(GpioDevProbeOutput(1, 1, nullptr, &d), -1);

  out = CaptureOut([&] { EXPECT_EQ(GpioDevProbeOutput(5, 2, "GPIO test", &d), 0); });
  EXPECT_NE(out.find("GPIO test PORT 5, BIT 2!"), std::string::npos) << out;
  EXPECT_EQ(sim::SimGpioGet(board_.dir(), line(5, 2)).dir, 1);
}

}  // namespace
