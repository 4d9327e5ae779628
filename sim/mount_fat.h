// FAT and exFAT mounts for a simulated board: this kernel has neither, so
// the mount broker runs their FUSE daemons (fusefat, exfat-fuse) on the
// loop device, as one more row of its handler table each.
#pragma once

#include "sim/mountd.h"

namespace sim {

int FusefatMount(MountBroker& mb, const MountRequest& r);
int ExfatFuseMount(MountBroker& mb, const MountRequest& r);

}  // namespace sim
