#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "applets/applets.h"

namespace {

int call(const char* argv0) {
  std::string a = argv0;
  char* argv[] = {a.data(), nullptr};
  return applets::Dispatch(1, argv);
}

// The expected rows are written out here on purpose: this is the check of
// the list itself, so it must not be derived from it.
TEST(Dispatch, TableHoldsTheEightAppletsInOrder) {
  const char* want[] = {"dvrhelper", "netinit", "bootenv", "pppd", "sendboot", "printcli", "eracfg", "net3g"};
  // Only the announcement and console tools pass their own statuses on.
  const bool own[] = {false, false, false, false, true, true, false, false};
  auto t = applets::Table();
  ASSERT_EQ(t.size(), 9u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_STREQ(t[i].name, want[i]);
    EXPECT_NE(t[i].handler, nullptr);
    EXPECT_EQ(t[i].policy == applets::OWN_STATUS, own[i]) << want[i];
  }
  EXPECT_EQ(t[8].name, nullptr);
}

TEST(Dispatch, UnknownNamesAreReportedWithTheWholePath) {
  struct Case {
    const char* argv0;
    const char* out;
  } cases[] = {
      {"dvrhelper2", "cann't find cmdstr:dvrhelper2\n"},
      {"/usr/sbin/DVRHELPER", "cann't find cmdstr:/usr/sbin/DVRHELPER\n"},
      {"/usr/bin/", "cmdstr is zero length string \ncann't find cmdstr:/usr/bin/\n"},
      {"", "cmdstr is zero length string \ncann't find cmdstr:\n"},
  };
  for (auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(call(c.argv0), -1) << c.argv0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.argv0;
  }
}

TEST(Dispatch, NullArgumentVectorFails) {
  char* argv[] = {nullptr};
  EXPECT_EQ(applets::Dispatch(0, argv), -1);
  EXPECT_EQ(applets::Dispatch(0, nullptr), -1);
}

}  // namespace
