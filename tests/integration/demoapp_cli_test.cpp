// The demo application's command line: help, usage errors, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/board.h"

namespace {

TEST(DemoappCli, HelpUsageErrorsAndFailures) {
  for (const char* h : {"--help", "-h"}) {
    auto r = testsupport::Run({"demoapp", h});
    EXPECT_EQ(r.status, 0) << h;
    EXPECT_EQ(r.out.rfind("usage: demoapp", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "") << h;
  }
  for (auto args : {std::vector<std::string>{"demoapp", "-x"}, {"demoapp", "buf", "extra"}}) {
    auto r = testsupport::Run(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.err.rfind("usage: demoapp", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "") << args.back();
  }
  // A start count that cannot be kept: one line saying so, and no start.
  setenv("DEMOAPP_STATE", "/nonexistent-dir/starts", 1);
  auto r = testsupport::Run({"demoapp", "buf"});
  unsetenv("DEMOAPP_STATE");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err.rfind("demoapp: cannot write the start count to /nonexistent-dir/starts: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
