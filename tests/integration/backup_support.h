// Shared by the backup integration tests: the default board's USB stick
// with a file system of the test's choice, and the host tools that judge it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/board.h"

namespace backuptest {

using testsupport::Bin;
using testsupport::ReadFile;
using testsupport::TempBoard;
using testsupport::WriteFile;

#define NEED_ROOT()                                                                                          \
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the board mounts its disk images in a private namespace " \
                                      "(CI runs as root)"

inline bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

inline int sh(const std::string& cmd) { return std::system((cmd + " > /dev/null 2>&1").c_str()); }

inline std::string sh_out(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

inline std::string Random(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(g());
  return s;
}

// The default board, whose USB stick sdd gets the file system `mkfs` makes.
struct UsbBoard {
  explicit UsbBoard(const std::string& mkfs, const std::string& board = "default") : b(board) {
    img = b.file("dev/sdd");
    if (!mkfs.empty()) {
      EXPECT_EQ(sh(mkfs + " " + img), 0) << mkfs;
    }
    src = b.dir() + "/src";
    EXPECT_EQ(sh("mkdir -p " + src), 0);
  }
  std::string put(const std::string& name, const std::string& data) {
    std::string p = src + "/" + name;
    WriteFile(p, data);
    return p;
  }
  testsupport::RunResult backup(std::vector<std::string> args) {
    args.insert(args.begin(), Bin("dvrbackup"));
    return testsupport::Run(args, &b);
  }
  TempBoard b;
  std::string img, src;
};


}  // namespace backuptest
