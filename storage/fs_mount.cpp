// Mounting the recorder's file systems through the seam.

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

bool MakeMountDir(const char* dir) {
  struct stat st;
  if (osa::sys::stat(dir, &st) == 0) return S_ISDIR(st.st_mode);
  if (::mkdir(osa::sys::path(dir).c_str(), 0755) != 0 && errno != EEXIST) {
    HD_ERROR("Create Dir: %s failed\n", dir);
    return false;
  }
  return true;
}

int MountFs(const char* dev, const char* dir, const char* type, unsigned long flags, const char* data) {
  if (!dev || !dir || !*dev || !*dir) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  if (!MakeMountDir(dir)) return -1;
  if (osa::sys::mount(dev, dir, type, flags, data) != 0) {
    HD_ERROR("mount %s to %s fail, file system type:%s, options:%s, %s.\n", dev, dir, type, data ? data : "",
             strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace hd

using namespace hd;

int ext2_mount(const char* dev, const char* dir) { return MountFs(dev, dir, "ext2", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr); }
int ext3_mount(const char* dev, const char* dir) { return MountFs(dev, dir, "ext3", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr); }
int ext4_mount(const char* dev, const char* dir) { return MountFs(dev, dir, "ext4", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr); }
int xfs_mount(const char* dev, const char* dir, const char* options) {
  return MountFs(dev, dir, "xfs", MS_NOATIME | MS_NODIRATIME, options && *options ? options : nullptr);
}
