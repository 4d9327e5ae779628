// What a modem peer of each driver family answers beyond the scripted
// replies: the family's own commands and reports, and its data call.
#pragma once

#include <optional>
#include <string>

#include "sim/sim.h"

namespace sim {

class FamilyPeer {
 public:
  // The answer of modem `index` (description `m`) to `cmd` (without CR);
  // nullopt when the family has none of its own.
  std::optional<std::string> Answer(const Board& b, int index, const nlohmann::json& m, const std::string& cmd);
  bool call_up() const { return call_up_; }

 private:
  std::optional<std::string> OwnAnswer(const Board& b, int index, const nlohmann::json& m, const std::string& cmd);
  void SetCall(const Board& b, int index, bool up);
  bool call_up_ = false;
};

// The file that tells the seam a modem's own call is up ("up" or "down").
std::string ModemCallFile(const Board& b, int index);

// The address of a modem's own interface ("netcard"), answered from the
// board: the modem's "ppp" "local" while its call is up.  False when the
// name is no modem's.
bool ModemNetcardIoctl(const Board& b, unsigned long request, void* arg, int* result);

}  // namespace sim
