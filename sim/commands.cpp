// dvrsim sub-commands contributed by device families (faults, peers ...).

#include "sim/models/disk.h"
#include "sim/models/flash.h"
#include "sim/models/mmcdrive.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sim/models/rtc.h"
#include "sim/modems.h"
#include "sim/peers.h"
#include "sim/sim.h"
#include "sim/uevent.h"

namespace sim {

namespace {

int PeersCommand(int argc, char** argv) {
  char* end = nullptr;
  long pid = argc == 3 ? std::strtol(argv[2], &end, 10) : 0;
  if (argc != 3 || end == argv[2] || *end != 0 || pid <= 0 || pid > INT32_MAX) {
    fprintf(stderr, "dvrsim peers: PID must be a process id, not %s\nusage: dvrsim peers DIR PID\n",
            argc == 3 ? argv[2] : "missing");
    return 2;
  }
  std::string err;
  if (!Board::Load(argv[1], &err)) {
    fprintf(stderr, "dvrsim peers: %s\n", err.c_str());
    return 1;
  }
  return RunPeers(argv[1], static_cast<pid_t>(pid));
}

}  // namespace

std::span<const Command> ExtraCommands() {
  static const std::vector<Command> k = {
      {"panel", "panel DIR release|key N|frame B0 B1 B2 B3|raw B...  drive the front panel", PanelCommand},
      {"peers", "peers DIR PID                 serve the board's serial peers while PID lives", PeersCommand},
      {"rtc", "rtc DIR dump|poke REG BYTE...   the clock chip's registers", RtcCommand},
      {"uevent", "uevent DIR TEXT|-                send one kernel event (TEXT: \\0 separates fields)", UeventCommand},
      {"modem", "modem DIR plug P|unplug P|reset P|set P KEY=JSON...|link NAME up|down\n"
                "                                     plug, unplug, power-cycle or change the USB modem on\n"
                "                                     port P, or send a routing link event", ModemCommand},
      {"plug", "plug DIR NAME                  plug a disk of the board's list (kernel burst)", DiskPlugCommand},
      {"unplug", "unplug DIR NAME                unplug a disk", DiskPlugCommand},
      {"disc", "disc DIR [--drive srM] none|PROFILE [--blocks N] [--fail-write N] [--recovered-write N] [--bad] [--speeds LIST]", DiscCommand},
      {"flash", "flash DIR cut N|restart|stats|bad|fail-erase|fail-write|good MTD BLOCK", FlashCommand},
  };
  return k;
}

}  // namespace sim
