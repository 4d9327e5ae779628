// The line in front of the simulated boot loader: answers take their time
// on the wire both ways, and the line loses, holds back or stops them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/models/mcupeer.h"

namespace {

// An enter request for device type 3, address 1.
const std::vector<uint8_t> kEnter = {0x5A, 0x56, 0x04, 0x02, 0x15, 0x03, 0x01, 0xCF};

TEST(McuLine, PacesBothWaysAtTheLineRate) {
  sim::McuLineOptions o;
  o.baud = 10000;  // 1 ms a byte
  sim::McuLine l(o);
  l.Input(kEnter.data(), kEnter.size(), 0);
  // The device has the request at 8 ms; its 7-byte answer is on the wire
  // until 15 ms, the 17-byte wake report right behind it.
  EXPECT_TRUE(l.Due(7'999).empty());
  EXPECT_EQ(l.NextDue(7'000), 1'000);
  EXPECT_EQ(l.Due(8'000).size(), 1u);
  EXPECT_EQ(l.Due(14'999).size(), 6u);
  auto wake = l.Due(15'000 + 16'000);
  ASSERT_EQ(wake.size(), 17u);
  EXPECT_EQ(wake[4], 0x1B);
  EXPECT_EQ(l.NextDue(40'000), -1);

  sim::McuLine fast{sim::McuLineOptions{}};
  fast.Input(kEnter.data(), kEnter.size(), 5);
  EXPECT_EQ(fast.Due(5).size(), 7u + 17u) << "without pacing everything is there at once";
}

TEST(McuLine, DropsDelaysAndFallsSilent) {
  sim::McuLineOptions o;
  o.drop_at = 0;
  o.delay_at = 1;
  o.delay_ms = 300;
  sim::McuLine l(o);
  l.Input(kEnter.data(), kEnter.size(), 0);
  EXPECT_TRUE(l.Due(299'999).empty()) << "the enter answer is lost, the wake report late";
  auto got = l.Due(300'000);
  ASSERT_EQ(got.size(), 17u);
  EXPECT_EQ(l.answers(), 2);

  sim::McuLineOptions s;
  s.silent_from = 1;
  sim::McuLine quiet(s);
  quiet.Input(kEnter.data(), kEnter.size(), 0);
  quiet.Input(kEnter.data(), kEnter.size(), 0);
  EXPECT_EQ(quiet.Due(1'000'000).size(), 7u) << "only the first answer before the silence";
}

TEST(McuLine, BoardOptionsAreChecked) {
  sim::McuLineOptions o;
  std::string err;
  ASSERT_TRUE(sim::McuLineOptionsFromJson({{"baud", 9600}, {"drop_at", 3}, {"new_boot", true}}, &o, &err)) << err;
  EXPECT_EQ(o.baud, 9600u);
  EXPECT_EQ(o.drop_at, 3);
  EXPECT_TRUE(o.peer.new_boot);
  EXPECT_FALSE(sim::McuLineOptionsFromJson({{"baud", "fast"}}, &o, &err));
  EXPECT_FALSE(sim::McuLineOptionsFromJson({{"max_frame", 300}}, &o, &err));
  EXPECT_FALSE(sim::McuLineOptionsFromJson({{"delay_ms", -5}}, &o, &err));
  EXPECT_FALSE(sim::McuLineOptionsFromJson(nlohmann::json::array(), &o, &err));
}

}  // namespace
