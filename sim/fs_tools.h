// Stand-ins for the disk and file system tools (mke2fs, mkfs.xfs,
// mkfs.ntfs, parted, e2fsck, xfs_repair, ...): each records its call (the
// common stand-in code does) and runs the host's real tool on the board's
// disk image, or on a loop device over a partition's window (from the
// mount broker, so as root in the board's namespace only).  Device names
// in the arguments, also inside options ("rtdev=/dev/sdb2"), are
// translated; after parted the disk's partitions are read again, as the
// kernel does.  ntfs-3g asks the broker to mount.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

int FsToolStandIn(const Board& b, int argc, char** argv);

// True for the tools above.
bool FsToolKnown(const std::string& name);
// Rewrites argv (argv[0] the tool's name) for the real tool: a whole disk
// becomes its image file (with the flag the tool needs to accept a file),
// a partition whatever `attach` gives for it (a loop device node; empty:
// refused).  *disks gets the disks named; false with *why on refusal
// (and *disks holding one empty name when a device is not a board disk:
// another model's, such as an md array, for which the stand-in only records).
bool TranslateToolArgs(const Board& b, std::vector<std::string>* argv,
                       const std::function<std::string(const std::string&)>& attach, std::vector<std::string>* disks,
                       std::string* why);

}  // namespace sim
