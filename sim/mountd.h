// Real mounts for a simulated board.  The command sandbox (run as root)
// leaves one helper process behind in the board's private mount namespace
// before it drops the capability to mount: the mount broker.  Programs in
// the sandbox reach it through an inherited socket (DVR_MOUNTD names its
// descriptor); the broker checks every request (the caller must be in the
// broker's namespace and on the same board, the source a plugged board
// disk or partition, the target a folder inside the board directory) and
// mounts on a loop device (autoclear) attached to the disk's image or the
// partition's window, so nothing is ever mounted in the host's namespace.
//
// File systems are handled by a table (`kFsHandlers` in mountd.cpp): the
// kernel's own (ext2/3/4, xfs) mount the loop device directly; a FUSE
// handler starts its daemon on the loop device as a child of the broker
// (ntfs-3g does so).  Another FUSE file system is one more row.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "osa/osa.h"
#include "sim/sim.h"

namespace sim {

// A mount as the handlers see it.
struct MountRequest {
  std::string source;       // board device path ("/dev/sdb1")
  std::string target;       // board path of the mount point
  std::string host_target;  // where that folder is (inside the board directory)
  std::string type;
  unsigned long flags = 0;
  std::string data;  // options, board paths already replaced
};

// What a handler may ask of the broker.
class MountBroker {
 public:
  // Attaches a loop device (autoclear) to the window of board device
  // `dev` and makes its node in the namespace's /dev; *node gets
  // "/dev/loopN".  The descriptor keeps it attached until closed (and a
  // mount keeps it after that).
  virtual osa::UniqueFd AttachLoop(const std::string& dev, bool read_only, std::string* node, int* err) = 0;
  // Makes the host's /dev/NAME (such as "fuse") in the namespace's /dev.
  virtual bool HostNode(const char* name) = 0;
  // Starts a daemon (argv, null-terminated) as the broker's child; it is
  // stopped when the broker ends.  Its exit status when it ends within
  // `wait_ms` (a FUSE daemon that forks into the background), else 0.
  virtual int Spawn(const char* const* argv, int wait_ms) = 0;
  virtual const Board& board() const = 0;

 protected:
  ~MountBroker() = default;
};

// A handler mounts `r` and returns 0, or an errno value.
struct FsHandler {
  const char* type;
  int (*mount)(MountBroker& broker, const MountRequest& r);
};

// What the broker keeps from before the fence: the host's /dev (loop
// devices) and the host's tool folders the stand-ins cover (so a stand-in
// can run the real tool).
struct BrokerSeed {
  osa::UniqueFd dev;
  std::vector<std::pair<std::string, osa::UniqueFd>> tool_dirs;
};
BrokerSeed PrepareMountBroker(const std::string& dir);
// In the sandbox, as root, after the fence and before the capabilities go:
// starts the broker and sets DVR_MOUNTD.  False when it cannot.
bool StartMountBroker(const Board& b, BrokerSeed& seed);

// Client side (the seam's backend and tool stand-ins).  0, or -1 with
// errno: EPERM when the caller is not in the board's namespace.
int BrokerMount(const Board& b, const char* source, const char* target, const char* type, unsigned long flags,
                const char* data);
int BrokerUmount(const Board& b, const char* target, int flags);
// A loop device on the window of a board device, for a stand-in that runs
// the real tool on it: a descriptor (valid in this process) or -1 with errno.
osa::UniqueFd BrokerAttach(const Board& b, const std::string& dev, bool read_only);
// Runs the host's disk tool argv[0] (one a stand-in covers) with the
// board's devices in argv translated, with this process's standard
// streams; its wait status, or -1 with errno when there is no broker.
int BrokerRunTool(const Board& b, const std::vector<std::string>& argv);

// The board's /proc/mounts for the calling process: the board's fixed
// entries (the file DIR/proc/mounts) followed by the mounts this process
// has inside the board directory, in board paths.
std::string BoardProcMounts(const Board& b);

}  // namespace sim
