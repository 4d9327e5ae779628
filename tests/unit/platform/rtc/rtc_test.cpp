// The real-time clock on a simulated board: each chip set and read over
// the century, stop flags, chip preparation, silent chips, the system
// services that reach the clock and the synchronisation policies on a
// clock of the test's own.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>

#include "osa/sys.h"
#include "platform/i2c/i2c.h"
#include "platform/rtc/rtc.h"
#include "platform/system/system.h"
#include "sim/models/rtc.h"
#include "support/board_edit.h"
#include "unit/platform/rtc/date.h"

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::TempBoard;

namespace {

bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

// The test's clock: system time is a number the test sets; waits pass at
// once and are counted.
struct FakeClock {
  static time_t& now() {
    static time_t t = 0;
    return t;
  }
  static std::vector<time_t>& sets() {
    static std::vector<time_t> v;
    return v;
  }
  static std::vector<uint32_t>& sleeps() {
    static std::vector<uint32_t> v;
    return v;
  }
  static void (*&on_sleep())() {
    static void (*f)() = nullptr;
    return f;
  }
  static const SystemClock* get() {
    static const SystemClock c = {
        [](timeval* tv) {
          tv->tv_sec = now();
          tv->tv_usec = 0;
          return 0;
        },
        [](time_t s) {
          sets().push_back(s);
          return 0;
        },
        [](uint32_t ms) {
          sleeps().push_back(ms);
          if (on_sleep()) on_sleep()();
        }};
    return &c;
  }
  static void reset() {
    now() = 0;
    sets().clear();
    sleeps().clear();
    on_sleep() = nullptr;
  }
};

using rtctest::date;
time_t secs(tm t) { return timegm(&t); }

// Writes chip registers behind the product's back, as "dvrsim rtc poke" does.
void poke(uint32_t reg, std::vector<uint8_t> bytes, uint32_t addr = 104) {
  osa::UniqueFd fd(osa::sys::open(VS_I2C_NODE, O_RDWR));
  VsI2cXfer_t x{};
  x.Addr = addr;
  x.Reg = reg;
  x.Len = static_cast<uint32_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), x.Data);
  ASSERT_EQ(osa::sys::ioctl(fd.get(), VS_I2C_WRITE, &x), 0);
}
uint8_t peek(uint32_t reg, uint32_t addr = 104) {
  osa::UniqueFd fd(osa::sys::open(VS_I2C_NODE, O_RDWR));
  VsI2cXfer_t x{};
  x.Addr = addr;
  x.Reg = reg;
  x.Len = 1;
  EXPECT_EQ(osa::sys::ioctl(fd.get(), VS_I2C_READ, &x), 0);
  return x.Data[0];
}

class RtcBoard : public testing::Test {
 protected:
  void SetUp() override {
    Forget();
    SystemSetClock(FakeClock::get());
  }
  void TearDown() override {
    Forget();
    SystemSetClock(nullptr);
  }
  static void Forget() {
    RtcDevReset();
    I2cDevReleaseAll();
    FakeClock::reset();
  }
  void Chip(const std::string& kind, nlohmann::json extra = nlohmann::json::object(), uint32_t policy = 2) {
    Forget();
    uint32_t code = kind == "DS13XX" ? 2 : kind == "DS3232" ? 3 : kind == "ISL12022" ? 4 : kind == "RX8010" ? 5 : 6;
    uint32_t offset = kind == "RX8010" ? 0x10 : 0;
    EditBoard(board_, [&](auto& j) {
      nlohmann::json c = {{"bus", 0}, {"addr", 104}, {"kind", kind}};
      c.update(extra);
      j["rtc"]["chips"] = {c};
      j["resource"]["records"]["RtcGetRes"] = {{"Type", 1}, {"Policy", policy}, {"Chip", code},
                                               {"I2cBus", 0}, {"I2cAddr", 104}, {"RegOffset", offset}};
    });
    std::remove(board_.file("dev/vs_i2c.d/0-104").c_str());
  }
  std::string Init(int expect = 0) {
    int r = -9;
    std::string out = CaptureOut([&] { r = RtcDevInit(); });
    EXPECT_EQ(r, expect) << out;
    return out;
  }
  TempBoard board_;
};

const char* const kKinds[] = {"DS13XX", "DS3232", "ISL12022", "RX8010", "RX8900"};

TEST_F(RtcBoard, EveryChipSetsAndReadsTheCentury) {
  for (const char* kind : kKinds) {
    Chip(kind);
    Init();
    for (int y = 2000; y <= 2099; y += 3) {
      tm t = date(y, y % 4 == 0 ? 2 : 12, y % 4 == 0 ? 29 : 31, 23, 59, 30);
      tm back{};
      CaptureOut([&] {
        ASSERT_EQ(RtcSetTime(&t), 0) << kind << " " << y;
        ASSERT_EQ(RtcGetTime(&back), 0) << kind << " " << y;
      });
      long long d = static_cast<long long>(secs(back)) - secs(t);
      EXPECT_TRUE(d >= 0 && d <= 1) << kind << " " << y << " read back " << d << " s off";
    }
  }
}

TEST_F(RtcBoard, IslIsLeftInTwentyFourHourMode) {
  Chip("ISL12022");
  Init();
  tm t = date(2031, 7, 4, 18, 0, 0);
  CaptureOut([&] { ASSERT_EQ(RtcSetTime(&t), 0); });
  EXPECT_EQ(peek(2) & 0x80, 0x80);
  EXPECT_EQ(peek(2) & 0x3F, 0x18);
}

TEST_F(RtcBoard, StoppedClockIsNotReadUntilSet) {
  for (const char* kind : kKinds) {
    Chip(kind, {{"battery", "lost"}});
    std::string out = Init();
    tm t{};
    if (std::string(kind).rfind("RX", 0) == 0) {
      // RX chips clear VLF and start from 2000-01-01 when they are prepared.
      EXPECT_TRUE(has(out, "VLF bit reset to 1")) << out;
      ASSERT_EQ(RtcGetTime(&t), 0) << kind;
      EXPECT_EQ(t.tm_year, 100);
      EXPECT_EQ(t.tm_yday, 0);
      continue;
    }
    out = CaptureOut([&] { EXPECT_EQ(RtcGetTime(&t), -1) << kind; });
    EXPECT_TRUE(has(out, "rtc stopped")) << kind << ": " << out;
    tm set = date(2040, 5, 6, 7, 8, 9);
    CaptureOut([&] { ASSERT_EQ(RtcSetTime(&set), 0) << kind; });
    CaptureOut([&] { EXPECT_EQ(RtcGetTime(&t), 0) << kind; });
    EXPECT_EQ(t.tm_year, 140);
  }
}

TEST_F(RtcBoard, StuckVlfFailsPreparationWithoutHanging) {
  Chip("RX8900", {{"battery", "lost"}, {"vlf_stuck", true}});
  std::string out = Init(-1);
  EXPECT_TRUE(has(out, "flag does not clear")) << out;
  EXPECT_LE(FakeClock::sleeps().size(), 6u);
}

TEST_F(RtcBoard, RxPreparationRestoresItsRegisters) {
  Chip("RX8010", {{"battery", "lost"}});
  Init();
  EXPECT_EQ(peek(0x17), 0xD8);
  EXPECT_EQ(peek(0x31), 0x08);
  EXPECT_EQ(peek(0x1E) & 0x02, 0);
}

TEST_F(RtcBoard, SilentChipFailsEveryRead) {
  Chip("DS13XX", {{"silent", true}});
  std::string out = Init();
  EXPECT_TRUE(has(out, "GetTime failed")) << out;
  tm t{};
  CaptureOut([&] { EXPECT_EQ(RtcGetTime(&t), -1); });
  SystemTime_t st{};
  CaptureOut([&] { EXPECT_EQ(SysRtcReadTime(&st), -1); });
}

TEST_F(RtcBoard, StartupRetriesASilentChipLessAndLessOften) {
  Chip("DS13XX", {{"silent", true}});
  Init();
  static std::atomic<bool> stop{false};
  stop = false;
  FakeClock::on_sleep() = [] {
    if (FakeClock::sleeps().size() >= 12) stop = true;
  };
  CaptureOut([] { EXPECT_EQ(RtcStartupSync(&stop), -1); });
  auto& s = FakeClock::sleeps();
  ASSERT_GE(s.size(), 10u);
  EXPECT_EQ(s[0], 200u);
  EXPECT_GT(s[9], s[0]);
  EXPECT_TRUE(FakeClock::sets().empty()) << "no system time from a silent clock";
}

TEST_F(RtcBoard, SystemServicesReachTheChipUpTo2099) {
  Chip("DS3232");
  Init();
  std::string tz = getenv("TZ") ? getenv("TZ") : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  SystemTime_t in{2099, 12, 31, 0, 23, 59, 50, 0};
  std::string out = CaptureOut([&] { EXPECT_EQ(SystemSetCurrentTime(&in), 0); });
  ASSERT_EQ(FakeClock::sets().size(), 1u) << out;
  EXPECT_EQ(FakeClock::sets()[0], secs(date(2099, 12, 31, 23, 59, 50))) << "in a UTC test process";
  SystemTime_t back{};
  CaptureOut([&] { ASSERT_EQ(SysRtcReadTime(&back), 0); });
  EXPECT_EQ(back.year, 2099);
  EXPECT_EQ(back.month, 12);
  EXPECT_EQ(back.day, 31);
  SystemTime_t late{2100, 1, 1, 0, 0, 0, 0, 0};
  CaptureOut([&] { EXPECT_EQ(SystemSetCurrentTime(&late), -1); });
  if (tz.empty()) unsetenv("TZ");
  else setenv("TZ", tz.c_str(), 1);
  tzset();
}

// ------------------------------------------------------ synchronisation

class RtcSync : public RtcBoard {
 protected:
  time_t RtcAt(tm t) {
    CaptureOut([&] { EXPECT_EQ(RtcSetTime(&t), 0); });
    FakeClock::sets().clear();
    return secs(t);
  }
  time_t RtcNow() {
    tm t{};
    CaptureOut([&] { EXPECT_EQ(RtcGetTime(&t), 0); });
    return secs(t);
  }
};

TEST_F(RtcSync, SystemAdjustsRtcBeyondTwoSeconds) {
  Chip("DS13XX");
  Init();
  time_t r = RtcAt(date(2030, 3, 3, 3, 3, 20));
  FakeClock::now() = r + 2;
  CaptureOut([] { EXPECT_EQ(RtcSyncPass(RTC_SYS_ADJUSTS_RTC), 0); });
  EXPECT_LE(RtcNow() - r, 1) << "two seconds agree: the RTC is left alone";
  FakeClock::now() = r + 3;
  std::string out = CaptureOut([] { EXPECT_EQ(RtcSyncPass(RTC_SYS_ADJUSTS_RTC), 0); });
  EXPECT_TRUE(has(out, "tolerance too large")) << out;
  EXPECT_GE(RtcNow(), r + 3);
  EXPECT_TRUE(FakeClock::sets().empty());
}

TEST_F(RtcSync, RtcLeadsSystemWithinTwoSeconds) {
  Chip("RX8900");
  Init();
  time_t r = RtcAt(date(2044, 2, 29, 10, 0, 20));
  FakeClock::now() = r - 1;
  std::string out = CaptureOut([] { EXPECT_EQ(RtcSyncPass(RTC_ADJUSTS_SYS), 0); });
  ASSERT_EQ(FakeClock::sets().size(), 1u) << out;
  EXPECT_LE(FakeClock::sets()[0] - r, 1);
  EXPECT_TRUE(has(out, "rtc reg 0x0 is")) << "an RX chip's registers are dumped: " << out;
  FakeClock::sets().clear();
  FakeClock::now() = r + 100;
  out = CaptureOut([] { EXPECT_EQ(RtcSyncPass(RTC_ADJUSTS_SYS), 0); });
  EXPECT_TRUE(FakeClock::sets().empty());
  EXPECT_GE(RtcNow(), r + 99) << "3 s or more apart: the RTC is written from system time";
  EXPECT_FALSE(has(out, "rtc reg 0x0 is")) << "not again within 300 s";
}

TEST_F(RtcSync, EdgeSecondsAreReadAgainABoundedNumberOfTimes) {
  Chip("DS13XX");
  Init();
  time_t r = RtcAt(date(2050, 6, 1, 12, 30, 59));
  FakeClock::now() = r;
  FakeClock::on_sleep() = [] { poke(0, {0x07}); };  // a second later the chip is past the edge
  CaptureOut([] { EXPECT_EQ(RtcSyncPass(RTC_SYS_ADJUSTS_RTC), 0); });
  EXPECT_EQ(FakeClock::sleeps(), std::vector<uint32_t>{1000});
  FakeClock::sleeps().clear();
  FakeClock::on_sleep() = [] { poke(0, {0x59}); };  // a chip stuck on the edge
  CaptureOut([] { RtcSyncPass(RTC_SYS_ADJUSTS_RTC); });
  EXPECT_EQ(FakeClock::sleeps().size(), 3u);
}

TEST_F(RtcSync, StoppedClockNeverSetsSystemTime) {
  Chip("DS13XX");
  Init();
  RtcAt(date(2030, 1, 1, 1, 1, 10));
  poke(0, {0x90});  // CH set
  FakeClock::now() = secs(date(2030, 1, 1, 1, 1, 10));
  CaptureOut([] {
    EXPECT_EQ(RtcSyncPass(RTC_ADJUSTS_SYS), -1);
    std::atomic<bool> stop{true};
    EXPECT_EQ(RtcStartupSync(&stop), -1);
  });
  EXPECT_TRUE(FakeClock::sets().empty());
}

TEST(RtcModel, ChipCodecMatchesTheCalendar) {
  for (auto k : {sim::ChipKind::DS13XX, sim::ChipKind::ISL12022, sim::ChipKind::RX8010}) {
    uint8_t r[7];
    int64_t t = secs(date(2088, 2, 29, 13, 14, 15)), back = 0;
    sim::ChipEncode(k, t, r);
    ASSERT_TRUE(sim::ChipDecode(k, r, &back));
    EXPECT_EQ(back, t);
    tm p{};
    ASSERT_EQ(RtcDecodeRegs(k == sim::ChipKind::DS13XX ? RTC_DS13XX : k == sim::ChipKind::ISL12022 ? RTC_ISL12022
                                                                                                    : RTC_RX8010,
                            r, &p),
              nullptr)
        << "the product reads the model's registers";
    EXPECT_EQ(secs(p), t);
  }
}

}  // namespace
