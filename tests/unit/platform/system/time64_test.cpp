// The board build past 2038 and past 4 GiB: the time services convert a
// time in 2040 both ways, and the seam reads and writes a sparse file far
// beyond 32-bit offsets.  Runs under qemu-arm in the cross build, where no
// board stands behind the seam, so the system clock is never set there.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/system/system.h"
#if DVR_SIM
#include "support/board.h"
#endif

static_assert(sizeof(time_t) == 8, "time_t must reach past 2038 on the board");
static_assert(sizeof(off_t) == 8, "file offsets must reach past 2 GiB on the board");

namespace {

constexpr time_t k2040 = 2214129600;  // 2040-02-29 12:00:00 UTC, a leap day
const SystemTime_t kRecord2040 = {2040, 2, 29, 3, 12, 0, 0, 0};

// Time zone UTC for the test's length, so local and universal time agree.
class Utc {
 public:
  Utc() {
    if (const char* tz = getenv("TZ")) old_ = tz, had_ = true;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~Utc() {
    if (had_) setenv("TZ", old_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

// A clock chip that keeps what it is given.  With `lag` it reads back a
// year behind, so SystemSetCurrentTime gives up before the system clock.
struct Rtc {
  static inline tm kept{};
  static inline bool lag = false;
  static int Set(const tm* t) {
    kept = *t;
    return OSA_SOK;
  }
  static int Get(tm* t) {
    *t = kept;
    if (lag) --t->tm_year;
    return OSA_SOK;
  }
  static constexpr SystemRtcOps kOps = {Set, Get};
};

class Time2040 : public testing::Test {
 protected:
  void SetUp() override {
    Rtc::kept = {};
    SystemSetRtcOps(&Rtc::kOps);
  }
  void TearDown() override { SystemSetRtcOps(nullptr); }
  Utc utc_;
};

TEST_F(Time2040, RecordToClockChip) {
  // The record becomes seconds and then the chip's universal time; a
  // 32-bit time_t fails the first step and the chip is never written.
  Rtc::lag = true;
  EXPECT_EQ(SystemSetCurrentTime(&kRecord2040), OSA_EFAIL);
  EXPECT_EQ(Rtc::kept.tm_year, 140);
  EXPECT_EQ(Rtc::kept.tm_mon, 1);
  EXPECT_EQ(Rtc::kept.tm_mday, 29);
  EXPECT_EQ(Rtc::kept.tm_hour, 12);
  EXPECT_EQ(Rtc::kept.tm_wday, 3);
  EXPECT_EQ(timegm(&Rtc::kept), k2040);
}

TEST_F(Time2040, ClockToRecord) {
  // What SystemGetCurrentTime makes of the seconds, and what the chip's
  // time becomes through SysRtcReadTime.
  tm lt{};
  ASSERT_NE(localtime_r(&k2040, &lt), nullptr);
  EXPECT_EQ(lt.tm_year + 1900, 2040);
  EXPECT_EQ(lt.tm_yday, 59);
  Rtc::lag = false;
  ASSERT_NE(gmtime_r(&k2040, &Rtc::kept), nullptr);
  SystemTime_t t{};
  ASSERT_EQ(SysRtcReadTime(&t), OSA_SOK);
  EXPECT_EQ(t.year, 2040);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.wday, 3);
  EXPECT_EQ(t.hour, 12);
}

#if DVR_SIM
TEST_F(Time2040, SetOnASimulatedBoard) {
  // On a board the whole path runs, down to the clock the seam sets.
  testsupport::TempBoard board;
  Rtc::lag = false;
  ASSERT_EQ(SystemSetCurrentTime(&kRecord2040), OSA_SOK);
  bool seen = false;
  for (const auto& e : board.events()) seen = seen || e.find("time-set 2214129600.") != std::string::npos;
  EXPECT_TRUE(seen);
}
#endif

TEST(LargeFile, SparseFileBeyond4GiBThroughTheSeam) {
  char tmpl[] = "/tmp/largefile.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/sparse";
  const off_t at = (off_t{5} << 30) + 12345;  // past 4 GiB, not on a page
  const char text[] = "past four gibibytes";
  {
    osa::UniqueFd fd(osa::sys::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(osa::sys::pwrite(fd.get(), text, sizeof text, at), static_cast<ssize_t>(sizeof text));
    char back[sizeof text] = {};
    ASSERT_EQ(osa::sys::pread(fd.get(), back, sizeof back, at), static_cast<ssize_t>(sizeof back));
    EXPECT_STREQ(back, text);
    // Below the data the file reads as zeros, as a hole does.
    char hole[8] = {1};
    ASSERT_EQ(osa::sys::pread(fd.get(), hole, sizeof hole, at - 8), 8);
    EXPECT_EQ(std::memcmp(hole, "\0\0\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(osa::sys::lseek(fd.get(), 0, SEEK_END), at + static_cast<off_t>(sizeof text));
  }
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, at + static_cast<off_t>(sizeof text));
  unlink(path.c_str());
  rmdir(tmpl);
}

}  // namespace
