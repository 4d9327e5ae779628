// dvrsim sub-commands contributed by device families (faults, peers ...).

#include "sim/models/flash.h"
#include "sim/sim.h"

namespace sim {

std::span<const Command> ExtraCommands() {
  static const std::vector<Command> k = {
      {"flash", "flash DIR cut N|restart|stats|bad|fail-erase|fail-write|good MTD BLOCK", FlashCommand},
  };
  return k;
}

}  // namespace sim
