// The simulated GPIO drivers: /dev/vs_gpio (types 0..2) and the port
// expander /dev/zq_max7311_gpio (type 3).  Line state (direction, level,
// configuration requests) lives in the node's backing file as JSON, so every process on
// the board sees the same levels.  Section of board.json:
//
//   "gpio": {
//     "node": true, "expander": true,          which nodes exist
//     "ports": 16,                             board ports 0..ports-1, bits 0..7
//     "lines": [{"Port": 3, "Bit": 1, "Index": 0, "Type": 0, "level": 1}],
//     "fail": ["0:3.1#0"]                      lines whose requests fail (EIO)
//   }
//
// Every level written is recorded as "gpio T:P.B#I LEVEL".
#pragma once

#include <string>

#include "platform/res/res.h"
#include "sim/device.h"

namespace sim {

extern const Model kGpioModel;
extern const Model kGpioExtendModel;

// "T:P.B#I", the name of a line in the state file and the events log.
std::string GpioLineName(const GpioRes_t& r);

struct GpioLineState {
  int dir = 0;    // 1 output
  int level = 0;
  int configs = 0;     // pin configuration requests seen
  bool known = false;  // false: the line was never touched
};
// The state of a line on a board, or sets the level an input line reads.
GpioLineState SimGpioGet(const std::string& board_dir, const GpioRes_t& r);
bool SimGpioSetLevel(const std::string& board_dir, const GpioRes_t& r, int level);

}  // namespace sim
