// Tool stand-ins: the board's reboot, halt, hwclock, mount, mdadm, mkfs,
// ifconfig, dmidecode ... each records its call in the events log and
// answers as the real tool would on this board.

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/fs_tools.h"
#include "sim/models/dmi.h"
#include "sim/models/md.h"
#include "sim/models/rtc.h"
#include "sim/modems.h"
#include "sim/net.h"
#include "sim/sim.h"
#include "sim/standin_rules.h"

namespace sim {

namespace {

struct Tool {
  const char* name;
  int (*run)(const Board& b, int argc, char** argv);  // after the call is recorded
};

// Tools that need more than "record and succeed" get a row here.
const std::vector<Tool>& tools() {
  static const std::vector<Tool> k = {
      {"busybox", BusyboxStandIn},
      {"dmidecode", DmidecodeStandIn},
      {"hotspare", HotspareStandIn},
      {"hwclock", HwclockStandIn},
      {"ifenslave", IfenslaveTool},
      {"mdadm", MdadmStandIn},
      {"usb_modeswitch", ModeSwitchStandIn},
  };
  return k;
}

}  // namespace

int RunToolStandIn(int argc, char** argv) {
  const char* slash = strrchr(argv[0], '/');
  const char* name = slash ? slash + 1 : argv[0];
  const char* dir = getenv("DVR_BOARD");
  std::string err;
  auto b = dir ? Board::Load(dir, &err) : nullptr;
  if (!b) {
    fprintf(stderr, "%s: board stand-in used without a board (DVR_BOARD)\n", name);
    return 127;
  }
  std::string line = std::string("tool ") + name;
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  b->event(line);
  int status = 0;
  if (RunStandInRule(*b, name, line.substr(5 + strlen(name)), &status)) return status;
  for (auto& t : tools())
    if (strcmp(t.name, name) == 0) return t.run(*b, argc, argv);
  // Disk and file system tools run for real on the board's images.
  if (FsToolKnown(name) || strcmp(name, "ntfs-3g") == 0) return FsToolStandIn(*b, argc, argv);
  return 0;
}

}  // namespace sim
