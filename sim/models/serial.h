// The UART control node (/dev/vs_uart) and the heartbeat node
// (/dev/beat_heart).
#pragma once

#include <string>

#include "sim/device.h"

namespace sim {

extern const Model kUartCtrlModel;
extern const Model kHeartModel;

// A serial line the board leads to a pty someone else serves
// ("serial": {"lines": {"/dev/ttyAMA3": "/dev/pts/7"}}): the board path
// becomes a link to that pty, which must exist and be a terminal.
bool BindLine(const Board& b, const std::string& board_path, const std::string& pty, std::string* err);

}  // namespace sim
