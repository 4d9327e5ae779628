// Temporary: file system calls that arrive with the disk library's next
// increment.  Removed when it lands.
#pragma once
#include <cstdint>
namespace hd {
bool MakeMountDir(const char* dir);
}
int ext2_mount(const char* dev, const char* dir);
int ext3_mount(const char* dev, const char* dir);
int ext4_mount(const char* dev, const char* dir);
int ntfs_mount(const char* dev, const char* dir);
int ntfs3g_status_to_stderror(int status);
int BackupDiskPartitionAndFormat(const char* disk, const char* fs);
int Parted_RmPart(const char* disk, int no);
int clean_gpt_label(const char* dev);
