// Shared by the RAID files of the disk library.
#pragma once

#include <string>
#include <vector>

#include "storage/internal.h"

namespace hd {

// "/dev/md0" or "md0" -> "md0"; empty when it is no md name we may use.
std::string MdBase(const char* raid);
// "/dev/sdb" or "sdb" -> "sdb"; empty when it is no disk name we may use.
std::string DiskBase(const char* disk);
// Names under /sys/block/NAME/md matching "dev-sd*", as "sdX".
std::vector<std::string> MdMemberNames(const std::string& md);
// The same for the arrays inside a nested array ("dev-md*"), as "mdN".
std::vector<std::string> MdNestedNames(const std::string& md);
// A number in a sysfs file; false (logged) when missing or not digits.
bool ReadMdNumber(const std::string& path, uint64_t* v, const char* what);
// Writes text to a sysfs attribute; false on failure.
bool WriteSys(const std::string& path, const std::string& text);
// Runs a command through the runner; true for exit status 0.
bool RunOk(const std::string& cmd);
// The hot-spare tool's list as " a b c " (whole names), empty when none.
std::string HotspareNames();

}  // namespace hd
