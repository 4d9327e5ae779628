// Test support: a fresh simulated board per test, and running the real
// executable on it.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A board directory made from a description in boards/, removed again at
// the end.  While it lives, DVR_BOARD names it, so seam calls made by the
// test process itself go to this board.
class TempBoard {
 public:
  explicit TempBoard(const std::string& board = "default");
  ~TempBoard();
  TempBoard(const TempBoard&) = delete;
  TempBoard& operator=(const TempBoard&) = delete;

  const std::string& dir() const { return dir_; }
  std::string file(const std::string& rel) const { return dir_ + "/" + rel; }
  std::vector<std::string> events() const;

 private:
  std::string dir_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

// Runs argv (argv[0] is an applet name or a path) and collects its output.
// With a board, it runs under "dvrsim run DIR".
RunResult Run(const std::vector<std::string>& argv, const TempBoard* board = nullptr, const std::string& input = "");

// Path of an applet link or tool in the build's bin folder.
std::string Bin(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

}  // namespace testsupport
