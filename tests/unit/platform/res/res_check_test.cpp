// Checks of records as a driver hands them out (pure; also run on the board
// build under qemu).
#include <gtest/gtest.h>

#include <cstring>

#include "platform/res/res.h"

namespace {

TEST(ResVersionCheck, ExactStringAndSize) {
  struct Case {
    const char* name;
    const char bytes[8];
    uint32_t size;
    bool ok;
  };
  const Case cases[] = {
      {"library's own", "V0.0.2", 94976, true},
      {"size off by one", "V0.0.2", 94975, false},
      {"longer string", "V0.0.21", 94976, false},
      {"shorter string", "V0.0.", 94976, false},
      {"unterminated", {'V', '0', '.', '0', '.', '2', 'x', 'y'}, 94976, false},
  };
  for (auto& c : cases) {
    ResVersion_t v{};
    std::memcpy(v.Version, c.bytes, sizeof v.Version);
    v.TotalSize = c.size;
    EXPECT_EQ(ResVersionCheck(v) == nullptr, c.ok) << c.name;
  }
}

TEST(ResSystemCheck, RejectsRecordsThatWouldBeReadOutOfBounds) {
  struct Case {
    const char* name;
    void (*spoil)(SystemRes_t&);
    const char* why;  // nullptr: sound
  };
  const Case cases[] = {
      {"zeroed record", [](SystemRes_t&) {}, nullptr},
      {"beep start of 16 bytes", [](SystemRes_t& s) { s.BeepStartCnt = 16; }, nullptr},
      {"beep start of 17 bytes", [](SystemRes_t& s) { s.BeepStartCnt = 17; }, "beep start"},
      {"beep stop of 17 bytes", [](SystemRes_t& s) { s.BeepStopCnt = 17; }, "beep stop"},
      {"six MCU entries", [](SystemRes_t& s) { s.McuCount = 6; }, "microcontroller"},
      {"unterminated serial key", [](SystemRes_t& s) { std::memset(s.SerialIDKey, 'k', 16); }, "serial number key"},
      {"unterminated TTY path",
       [](SystemRes_t& s) {
         s.BeepType = BEEP_TTY;
         std::memset(s.BeepTty.DevPath, 'p', sizeof s.BeepTty.DevPath);
       },
       "buzzer device path"},
      {"unterminated path is fine for a GPIO buzzer",
       [](SystemRes_t& s) {
         s.BeepType = BEEP_GPIO;
         std::memset(s.BeepTty.DevPath, 'p', sizeof s.BeepTty.DevPath);
       },
       nullptr},
      {"UART buzzer with a channel 14",
       [](SystemRes_t& s) {
         s.BeepType = BEEP_UART;
         s.BeepUart.ChnMask = 1u << 14;
       },
       "channel"},
  };
  for (auto& c : cases) {
    SystemRes_t s{};
    c.spoil(s);
    const char* why = ResSystemCheck(s);
    if (!c.why) {
      EXPECT_EQ(why, nullptr) << c.name << ": " << why;
    } else {
      ASSERT_NE(why, nullptr) << c.name;
      EXPECT_NE(std::strstr(why, c.why), nullptr) << c.name << ": " << why;
    }
  }
}

TEST(ResListChecks, CountsAboveTheRecordsRoomAreRefused) {
  TransComsRes_t t{};
  t.Count = 3;
  EXPECT_NE(ResTransComsCheck(t), nullptr);
  t.Count = 2;
  t.Entry[1].DevType = 1;
  std::memset(t.Entry[1].Uart.DevName, 'x', sizeof t.Entry[1].Uart.DevName);
  EXPECT_NE(ResTransComsCheck(t), nullptr) << "unterminated device path";
  t.Entry[1].DevType = 0;
  EXPECT_EQ(ResTransComsCheck(t), nullptr) << "entries without a UART are not looked at";
  FbdRes_t f{};
  f.Count = 9;
  EXPECT_NE(ResFbdCheck(f), nullptr);
  f.Count = 8;
  EXPECT_EQ(ResFbdCheck(f), nullptr);
  SerialRes_t s{};
  s.Count = 2;
  EXPECT_NE(ResSerialCheck(s), nullptr);
}

TEST(ResCopyString, StopsAtTheFieldAndTheBuffer) {
  char field[4] = {'a', 'b', 'c', 'd'};  // unterminated
  char out[8];
  ResCopyString(out, sizeof out, field, sizeof field);
  EXPECT_STREQ(out, "abcd");
  ResCopyString(out, 3, field, sizeof field);
  EXPECT_STREQ(out, "ab");
  out[0] = 'z';
  ResCopyString(out, 0, field, sizeof field);
  EXPECT_EQ(out[0], 'z');
}

}  // namespace
