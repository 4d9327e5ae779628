// The backup calls on an optical drive: the disc writer behind the same
// API, every call under the one optical mutex.
#pragma once

#include "storage/backup/backup.h"

namespace hd {

int BackupOpticalMount(BackupDevInfo* dev);
int BackupOpticalStart(BackupDevInfo* dev, const char* name, int option);
int BackupOpticalStop(BackupDevInfo* dev, int eject);
int BackupOpticalFileOpen(BackupDevInfo* dev, const BackupFileReq* req);
int BackupOpticalStuff(BackupDevInfo* dev, const void* buf, uint32_t len);
int BackupOpticalClose(BackupDevInfo* dev);
int BackupOpticalSpace(BackupDevInfo* dev, uint64_t* free_kib);
int BackupOpticalFormat(BackupDevInfo* dev, const char* fs);

}  // namespace hd
