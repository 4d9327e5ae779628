// Shared internals of the network configuration library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "netcfg/netcfg.h"
#include "osa/file.h"
#include "osa/osa.h"

namespace netcfg {

inline bool Contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }
inline bool IsBondName(std::string_view n) { return Contains(n, "bond"); }
inline bool IsBridgeName(std::string_view n) { return Contains(n, "br"); }
inline bool IsPlainName(std::string_view n) { return !IsBondName(n) && !IsBridgeName(n); }

// The number after `prefix` in `name` ("bond3" -> 3); -1 when the rest is
// not all digits.
int NameNumber(std::string_view name, std::string_view prefix);

// Copies into a fixed buffer; false (and an empty buffer) when it does not fit.
bool CopyOut(std::string_view s, char* out, size_t size);

// Legacy file names netinit keeps as hard links of the current ones.
struct LegacyName {
  const char* old_name;
  const char* new_name;
};
inline constexpr LegacyName kLegacyNames[] = {{"network2", "networketh2"}, {"networkip62", "networkip6eth2"}};

// osa::ReplaceFile with the library's policy: a failing fsync only warns,
// and a legacy name linked to the file (network2 ...) follows the new content.
bool ReplaceBoardFile(const char* path, std::string_view text, std::string* err);

// Runs one shell command of the library, logged as the bridge commands are;
// true when it exited with status 0.  The caller has validated every name in it.
bool RunNetCommand(const char* command, bool log);

// Raw configured values (no address checks), for the checks that log them.
bool ReadRaw(const char* ifname, const char* key, char* out, int size);

// Lists of names as fixed buffers.
std::vector<std::string> ToStrings(const NetName* names, int n);
int FromStrings(const std::vector<std::string>& v, NetName* names, int cap);

// The library's mutexes.
osa::Mutex& IfaceMutex();

}  // namespace netcfg
