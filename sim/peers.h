// Active peers on the board's serial lines.  Each line the board's
// "serial" section names becomes a real pseudo-terminal: the board path
// (DIR/dev/ttyAMA1) is a link to the pty's slave, and a peer process holds
// the master and plays the far end:
//
//   "serial": {"lines": {"/dev/ttyAMA1": "panel", "/dev/ttyAMA2": "idle"}},
//   "panel": {"schedule": [{"after_ms": 800, "send": "release"}]}
//
// "panel" is the front-panel controller: it sends key frames and the
// release frame FF 09 00 00 when told (dvrsim panel DIR ...) or on its
// schedule, and answers the keep-alive frame FF 0A 00 00 with the same.
// "idle" lines swallow what is written; "mcu" and "en773v" lines lead to a
// boot loader (sim/models/mcupeer.h); a path ("/dev/pts/7") links the line
// to a pty someone else serves.  Peer traffic goes to the events
// log as "panel-send XX XX XX XX" and "panel-recv XX XX XX XX".
#pragma once

#include <sys/types.h>

#include <string>

namespace sim {

// Starts the board's peers in the background (unless peers already serve
// the board) and returns once the lines exist.  They end when process
// `watch` ends or the board goes away.  False with *err on failure.
// A pseudo-terminal in raw mode, its slave linked at `link` (a host path):
// the peer's master (non-blocking) and a slave held open so the line never
// hangs up.
bool OpenRawPty(const std::string& link, int* master, int* slave, std::string* err);

bool StartPeers(const std::string& dir, pid_t watch, std::string* err);

// Serves the peers in the calling process until `watch` ends.
int RunPeers(const std::string& dir, pid_t watch);

// The "panel" sub-command: dvrsim panel DIR release | key N | frame B0 B1 B2 B3 | raw B...
int PanelCommand(int argc, char** argv);

}  // namespace sim
