// dvrsim sub-commands contributed by device families (faults, peers ...).

#include "sim/models/disk.h"
#include "sim/models/flash.h"
#include <cstdlib>

#include "sim/peers.h"
#include "sim/sim.h"
#include "sim/uevent.h"

namespace sim {

std::span<const Command> ExtraCommands() {
  static const std::vector<Command> k = {
      {"panel", "panel DIR release|key N|frame B0 B1 B2 B3|raw B...  drive the front panel", PanelCommand},
      {"peers", "peers DIR PID                 serve the board's serial peers while PID lives",
       [](int argc, char** argv) { return argc == 3 ? RunPeers(argv[1], static_cast<pid_t>(atoi(argv[2]))) : 2; }},
      {"uevent", "uevent DIR TEXT|-                send one kernel event (TEXT: \\0 separates fields)", UeventCommand},
      {"plug", "plug DIR NAME                  plug a disk of the board's list (kernel burst)", DiskPlugCommand},
      {"unplug", "unplug DIR NAME                unplug a disk", DiskPlugCommand},
      {"flash", "flash DIR cut N|restart|stats|bad|fail-erase|fail-write|good MTD BLOCK", FlashCommand},
  };
  return k;
}

}  // namespace sim
