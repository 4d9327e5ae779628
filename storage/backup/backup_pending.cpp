// Temporary stand-ins (see backup_pending.h); the library's own definitions
// replace them at link time.
#include "storage/backup/backup_pending.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>

#include "osa/sys.h"

namespace hd {
__attribute__((weak)) bool MakeMountDir(const char* dir) {
  return ::mkdir(osa::sys::path(dir).c_str(), 0755) == 0 || errno == EEXIST;
}
}  // namespace hd
__attribute__((weak)) int ext2_mount(const char* d, const char* t) {
  return osa::sys::mount(d, t, "ext2", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr);
}
__attribute__((weak)) int ext3_mount(const char* d, const char* t) {
  return osa::sys::mount(d, t, "ext3", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr);
}
__attribute__((weak)) int ext4_mount(const char* d, const char* t) {
  return osa::sys::mount(d, t, "ext4", MS_DIRSYNC | MS_NODEV | MS_NOSUID, nullptr);
}
