#include "support/board_edit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace testsupport {

void EditBoard(const TempBoard& board, const std::function<void(nlohmann::json&)>& edit) {
  std::ifstream in(board.file("board.json"));
  auto j = nlohmann::json::parse(in);
  edit(j);
  std::ofstream out(board.file("board.json"), std::ios::trunc);
  out << j.dump(2) << "\n";
}

std::string CaptureOut(const std::function<void()>& fn) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  fn();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace testsupport
