// FUSE mounts of FAT and exFAT (see mount_fat.h).  The board's options
// (code pages, usefree) are for its kernel drivers; the daemons get only
// what they understand.

#include "sim/mount_fat.h"

#include <sys/mount.h>

#include <cerrno>
#include <string>

namespace sim {

namespace {

int fuse_mount(MountBroker& mb, const MountRequest& r, const char* prog, const std::string& extra) {
  if (!mb.HostNode("fuse")) return ENODEV;
  std::string node;
  int e = 0;
  bool ro = r.flags & MS_RDONLY;
  osa::UniqueFd loop = mb.AttachLoop(r.source, ro, &node, &e);
  if (!loop) return e;
  std::string opts = "fsname=" + node + (ro ? ",ro" : "") + extra;
  const char* argv[] = {prog, "-o", opts.c_str(), node.c_str(), r.host_target.c_str(), nullptr};
  int st = mb.Spawn(argv, 20000);
  // A daemon that cannot read a FAT volume ends with 1: not this file system.
  return st == 0 ? 0 : st == 127 ? ENODEV : EINVAL;
}

}  // namespace

// fusefat writes only with "rw+" (its experimental write mode).
int FusefatMount(MountBroker& mb, const MountRequest& r) {
  return fuse_mount(mb, r, "fusefat", r.flags & MS_RDONLY ? ",blkdev" : ",blkdev,rw+");
}

int ExfatFuseMount(MountBroker& mb, const MountRequest& r) {
  return fuse_mount(mb, r, "mount.exfat-fuse", r.flags & MS_NOATIME ? ",noatime" : "");
}

}  // namespace sim
