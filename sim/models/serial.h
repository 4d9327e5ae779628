// The UART control node (/dev/vs_uart) and the heartbeat node
// (/dev/beat_heart).
#pragma once

#include "sim/device.h"

namespace sim {

extern const Model kUartCtrlModel;
extern const Model kHeartModel;

}  // namespace sim
