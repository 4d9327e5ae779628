// Temporary: the file system mounts arrive with the disk library's next
// increment (same declarations); these stand in until then.
#pragma once

namespace hd {
bool MakeMountDir(const char* dir);
}
int ext2_mount(const char* dev, const char* dir);
int ext3_mount(const char* dev, const char* dir);
int ext4_mount(const char* dev, const char* dir);
