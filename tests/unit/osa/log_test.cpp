#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "osa/osa.h"

namespace {

std::string capture(void (*fn)()) {
  testing::internal::CaptureStdout();
  fn();
  return testing::internal::GetCapturedStdout();
}

const char kRed[] = "\033[0;32;31m";
const char kGreen[] = "\033[0;32;32m";
const char kYellow[] = "\033[1;33m";
const char kReset[] = "\033[m";

TEST(Log, FirstLineOfANewTagIsPrecededByOneRegistryLine) {
  std::string out = capture([] {
    OSA_logWrite(0, 1, "[LOGT1@0001] ERROR  (%s|%d): first\n", "fn", 7);
    OSA_logWrite(0, 1, "[LOGT1@0001] ERROR  (%s|%d): second\n", "fn", 8);
  });
  std::string want = std::string("OSA_logWrite|351 entry LOGT1 osa_entry->osa_PrintBytes 0 \n") + kRed +
                     "[LOGT1@0001] ERROR  (fn|7): first\n" + kReset + kRed + "[LOGT1@0001] ERROR  (fn|8): second\n" +
                     kReset;
  EXPECT_EQ(out, want);
}

TEST(Log, LevelsAndColours) {
  // Default print level 2: error, warning and information pass, tagged
  // debug is dropped, untagged lines always pass.
  std::string out = capture([] {
    OSA_logWrite(2, 2, "[LOGT2@0002] info %d\n", 1);  // registers the tag
    OSA_logWrite(3, 0, "[LOGT2@0002] tagged debug\n");
    OSA_logWrite(3, 0, "untagged debug\n");
    OSA_logWrite(1, 8, "[LOGT2@0002] warn\n");
    OSA_logWrite(7, 0, "no tag at any level\n");
  });
  std::string want = std::string("OSA_logWrite|351 entry LOGT2 osa_entry->osa_PrintBytes 0 \n") + kGreen +
                     "[LOGT2@0002] info 1\n" + kReset + "\033[m" + "untagged debug\n" + kReset + kYellow +
                     "[LOGT2@0002] warn\n" + kReset + "\033[m" + "no tag at any level\n" + kReset;
  EXPECT_EQ(out, want);
}

TEST(Log, ColourOutsideTheTableWritesNoPrefix) {
  std::string out = capture([] {
    OSA_logWrite(3, 10, "plain ten\n");
    OSA_logWrite(3, -1, "plain minus\n");
  });
  EXPECT_EQ(out, std::string("plain ten\n") + kReset + "plain minus\n" + kReset);
}

TEST(Log, OverlongTagsAreNeverFilteredOrRegistered) {
  std::string tag(60, 'X');
  static std::string fmt;
  fmt = "[" + tag + "@1] debug line\n";
  std::string out = capture([] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    OSA_logWrite(3, 0, fmt.c_str());
#pragma GCC diagnostic pop
  });
  EXPECT_EQ(out, std::string("\033[m") + fmt + kReset);
}

TEST(Log, MacrosAddFunctionNameAndLine) {
  std::string out = capture([] {
    DVR_INFO("warm-up\n");  // the LIBDVR registry line, if first in this process
    DVR_ERROR("bad %s\n", "thing");
  });
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\[LIBDVR@4517\] ERROR  \(operator\(\)\|(\d+)\): bad thing\n)")))
      << out;
}

TEST(Log, ConcurrentLinesStayWhole) {
  constexpr int kThreads = 8, kLines = 200;
  testing::internal::CaptureStdout();
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t] {
      // Half the threads meet a new tag at the same moment.
      for (int i = 0; i < kLines; ++i)
        if (t % 2) OSA_logWrite(2, 2, "[LOGCC@0003] thread %d line %d end\n", t, i);
        else OSA_logWrite(3, 0, "thread %d line %d end\n", t, i);
    });
  for (auto& t : ts) t.join();
  std::string out = testing::internal::GetCapturedStdout();
  // Colour codes are checked elsewhere; drop them and every line must be
  // one whole message or the one registry line.
  for (const char* code : {kGreen, kReset}) {
    std::string c = code;
    for (size_t p; (p = out.find(c)) != std::string::npos;) out.erase(p, c.size());
  }
  int lines = 0, registry = 0;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos) << "unterminated: " << out.substr(pos);
    std::string l = out.substr(pos, nl - pos);
    pos = nl + 1;
    if (l == "OSA_logWrite|351 entry LOGCC osa_entry->osa_PrintBytes 0 ") {
      ++registry;
      continue;
    }
    if (l.rfind("[LOGCC@0003] ", 0) == 0) l.erase(0, 13);
    int t = -1, i = -1;
    char end[8] = {};
    ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d %7s", &t, &i, end), 3) << "torn line: " << l;
    ASSERT_STREQ(end, "end") << "torn line: " << l;
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kLines);
  EXPECT_EQ(registry, 1);
}

TEST(Log, RegisterLinksAnEntryOnceAndCapsItsLevel) {
  static OSA_LogEntry e{};
  std::snprintf(e.name, sizeof e.name, "LOGREG");
  e.printLevel = 7;
  EXPECT_EQ(OSA_logManagerRegister(&e), 0);
  EXPECT_EQ(e.state, 1);
  EXPECT_EQ(e.printLevel, 3);
  EXPECT_EQ(OSA_logManagerRegister(nullptr), -1);
  // A registered tag prints its debug lines (level 3) and no registry line.
  std::string out = capture([] { OSA_logWrite(3, 0, "[LOGREG@0004] debug shown\n"); });
  EXPECT_EQ(out, std::string("\033[m[LOGREG@0004] debug shown\n") + kReset);
}

}  // namespace
