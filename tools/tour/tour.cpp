// A short tour of the foundation for `make demo`: one line per log tag and
// a command through the runner, on whatever board DVR_BOARD names.
#include <cstdio>

#include "osa/osa.h"
#include "osa/sys.h"

int main() {
  DVR_INFO("device platform library line\n");
  DVR_WARN("a warning carries function and line\n");
  HD_INFO("disk library line\n");
  NET_INFO("network configuration line\n");
  OSA_logWrite(OSA_LOG_INFO, OSA_COLOUR_GREEN, OSA_TAG_OSAAPP "log manager line\n");
  OSA_LOG_DEBUG("untagged debug lines are always printed\n");
  OSA_logWrite(OSA_LOG_DBG, OSA_COLOUR_PLAIN, OSA_TAG_LIBDVR "tagged debug lines are dropped\n");
  int rc = run_cmd("echo runner: hello from the board shell; reboot -f");
  DVR_INFO("run_cmd returned %d (board simulated: %s)\n", rc, osa::sys::simulated() ? "yes" : "no");
  return rc == 0 ? 0 : 1;
}
