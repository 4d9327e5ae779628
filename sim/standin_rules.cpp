// Scripted stand-in answers (see standin_rules.h).

#include "sim/standin_rules.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace sim {

namespace {

// Uses up one call of rule KEY; false once its K calls are spent.
bool take(const Board& b, const std::string& key, long times) {
  std::string path = b.file("tools/rules.count");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ::flock(fd, LOCK_EX);
  std::map<std::string, long> counts;
  {
    std::ifstream in(path);
    std::string k;
    long n;
    while (in >> k >> n) counts[k] = n;
  }
  bool ok = counts[key] < times;
  if (ok) {
    ++counts[key];
    std::ostringstream out;
    for (auto& [k, n] : counts) out << k << ' ' << n << '\n';
    std::string s = out.str();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, s.data(), s.size(), 0) < 0) ok = false;
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool RunStandInRule(const Board& b, const std::string& tool, const std::string& args, int* status) {
  auto all = b.desc().find("stand_ins");
  if (all == b.desc().end() || !all->is_object()) return false;
  auto rules = all->find(tool);
  if (rules == all->end() || !rules->is_array()) return false;
  int index = 0;
  for (auto& r : *rules) {
    ++index;
    if (!r.is_object()) continue;
    std::string match = r.value("match", "");
    if (args.find(match) == std::string::npos) continue;
    if (r.contains("times") && r["times"].is_number_integer() &&
        !take(b, tool + "#" + std::to_string(index), r["times"].get<long>()))
      continue;
    if (r.contains("sleep_s") && r["sleep_s"].is_number()) {
      double s = r["sleep_s"].get<double>();
      if (s > 0 && s < 3600) usleep(static_cast<useconds_t>(s * 1e6));
    }
    std::string text = r.value("stdout", "");
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    *status = r.contains("exit") && r["exit"].is_number_integer() ? r["exit"].get<int>() & 0xff : 0;
    return true;
  }
  return false;
}

}  // namespace sim
