// Optical drives behind the backup API (filled in with the drive layer).

#include "osa/osa.h"
#include "storage/backup/backup_optical.h"

namespace hd {

namespace {
int not_ready() {
  HD_ERROR("optical drive not supported in this build\n");
  return -1;
}
}  // namespace

int BackupOpticalMount(BackupDevInfo*) { return not_ready(); }
int BackupOpticalStart(BackupDevInfo*, const char*, int) { return not_ready(); }
int BackupOpticalStop(BackupDevInfo*, int) { return not_ready(); }
int BackupOpticalFileOpen(BackupDevInfo*, const BackupFileReq*) { return not_ready(); }
int BackupOpticalStuff(BackupDevInfo*, const void*, uint32_t) { return not_ready(); }
int BackupOpticalClose(BackupDevInfo*) { return not_ready(); }
int BackupOpticalSpace(BackupDevInfo*, uint64_t*) { return not_ready(); }
int BackupOpticalFormat(BackupDevInfo*, const char*) { return not_ready(); }

}  // namespace hd
