// Scripted answers of tool stand-ins, from the board description:
//   "stand_ins": {"TOOL": [{"match": "SUBSTR", "exit": N, "stdout": "TEXT",
//                           "sleep_s": S, "times": K}]}
// The first rule whose text occurs in the argument line wins; a rule with
// "times" answers that many calls only (counted in DIR/tools/rules.count).
#pragma once

#include <string>

#include "sim/sim.h"

namespace sim {

// True when a rule answered; *status gets its exit status.
bool RunStandInRule(const Board& b, const std::string& tool, const std::string& args, int* status);

}  // namespace sim
