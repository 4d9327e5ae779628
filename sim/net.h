// The simulator's network side: the network namespace a board's programs
// can run in, the fence that keeps them off the host's network, the backup
// memories and the bonding files that this kernel cannot provide.
#pragma once

#include <string>

#include "sim/device.h"

namespace sim {

// True when this process runs in another network namespace than init's,
// so changing interfaces and routes cannot touch the host.
bool PrivateNetns();

// A socket ioctl that may change the network (everything but the reads
// the library uses).
bool NetChangingIoctl(unsigned long request, const void* arg);

// dvrsim run --netns DIR CMD...: fresh network and mount namespaces, the
// board's interfaces as veth pairs, a private /sys, loopback up; then CMD
// in the board's sandbox.  Returns only on error.
int NetnsRun(const std::string& dir, char* const argv[], const std::string& path_front);

// True when the board runs the host's own network tools (no stand-ins),
// which only a private network namespace makes safe.
bool UsesRealNetTools(const Board& b);

// The ifenslave stand-in: enslaves into the simulated bonding files.
int IfenslaveTool(const Board& b, int argc, char** argv);

extern const Model kSramModel, kRtcModel, kCmosModel, kBondingModel;

}  // namespace sim
