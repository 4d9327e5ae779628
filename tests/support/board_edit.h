// Test support: changing a board's description in place (models that read
// board.json afresh see the change at their next open).
#pragma once

#include <functional>
#include <nlohmann/json.hpp>

#include "support/board.h"

namespace testsupport {

void EditBoard(const TempBoard& board, const std::function<void(nlohmann::json&)>& edit);

// Captures what the program prints on stdout while `fn` runs.
std::string CaptureOut(const std::function<void()>& fn);

}  // namespace testsupport
