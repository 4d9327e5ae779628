// Process checks shared by the command runner tests.
#pragma once

#include <fstream>
#include <string>

namespace osatest {

// A process that is gone, or dead and waiting only to be reaped.
inline bool Dead(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

}  // namespace osatest
