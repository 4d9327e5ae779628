// dvrsim sub-commands contributed by device families (faults, peers ...).

#include "sim/sim.h"

namespace sim {

std::span<const Command> ExtraCommands() {
  static const std::vector<Command> k = {
  };
  return k;
}

}  // namespace sim
