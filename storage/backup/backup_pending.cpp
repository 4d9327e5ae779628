// Temporary stand-ins (see backup_pending.h).
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
__attribute__((weak)) int ext2_mount(const char* d, const char* t) { return osa::sys::mount(d, t, "ext2", 0, nullptr); }
__attribute__((weak)) int ext3_mount(const char* d, const char* t) { return osa::sys::mount(d, t, "ext3", 0, nullptr); }
__attribute__((weak)) int ext4_mount(const char* d, const char* t) { return osa::sys::mount(d, t, "ext4", 0, nullptr); }
__attribute__((weak)) int ntfs_mount(const char*, const char*) { return -1; }
__attribute__((weak)) int ntfs3g_status_to_stderror(int) { return -1; }
__attribute__((weak)) int BackupDiskPartitionAndFormat(const char*, const char*) { return -1; }
__attribute__((weak)) int Parted_RmPart(const char*, int) { return -1; }
__attribute__((weak)) int clean_gpt_label(const char*) { return -1; }
