// The board's watchdogs: the kernel's /dev/watchdog (open starts it,
// DISABLECARD or 'V' then close stops it), the soft watchdog nodes a board
// declares ("watchdog": {"soft": ["/dev/softwdt"], "timeout": 60}) and the
// watchdog record of the resource table.  Every request is an event; an
// unfed watchdog logs one "watchdog reset PATH T" when the log is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/device.h"
#include "sim/models/record.h"

namespace sim {

extern const Model kWatchdogModel;
extern const Model kSoftWatchdogModel;
const Schema* WdgsResSchema();

// The state one watchdog node keeps in its backing file.
struct WdtState {
  bool running = false;
  uint32_t timeout = 60;  // seconds
  int64_t fed_ms = 0;     // wall clock of the last feed (or start)
  bool reset = false;     // a reset was logged since the last start
};
bool ParseWdtState(std::string_view text, WdtState* s);
std::string FormatWdtState(const WdtState& s);
// A running watchdog unfed for longer than its timeout at now_ms resets
// the board once: true with *at_ms the moment it fired.
bool WdtExpired(const WdtState& s, int64_t now_ms, int64_t* at_ms);

// Logs the resets of every watchdog of the board that expired by now_ms
// (the wall clock when negative).
void JudgeWatchdogs(const std::string& dir, int64_t now_ms = -1);
// The model serving a path the board declares itself (soft watchdogs),
// nullptr for others.
const Model* FindBoardModel(const Board& board, std::string_view path);

}  // namespace sim
