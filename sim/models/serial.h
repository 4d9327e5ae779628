// The UART control node (/dev/vs_uart), the heartbeat node
// (/dev/beat_heart) and the board's /proc statistics files.
#pragma once

#include "sim/device.h"

namespace sim {

extern const Model kUartCtrlModel;
extern const Model kHeartModel;
extern const Model kProcStatModel;

}  // namespace sim
