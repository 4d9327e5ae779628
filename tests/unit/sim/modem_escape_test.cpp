#include <gtest/gtest.h>

#include "sim/modems.h"

namespace {

TEST(SimModem, TranscriptEscapesControlAndHighBytes) {
  EXPECT_EQ(sim::ModemEscape("AT+CSQ\r"), "AT+CSQ\\r");
  EXPECT_EQ(sim::ModemEscape("\r\nOK\r\n"), "\\r\\nOK\\r\\n");
  EXPECT_EQ(sim::ModemEscape("a\\b"), "a\\\\b");
  EXPECT_EQ(sim::ModemEscape(std::string("\x00\x1f\x7f\xff", 4)), "\\x00\\x1F\\x7F\\xFF");
}

}  // namespace
