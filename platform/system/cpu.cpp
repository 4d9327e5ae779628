// /proc/stat and /proc/cpuinfo readers (pure over the text).

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/system/system.h"

namespace {

// The lines of text, one at a time.
template <typename Fn>
void each_line(std::string_view text, Fn fn) {
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!fn(line)) return;
    if (nl == std::string_view::npos) return;
    text.remove_prefix(nl + 1);
  }
}

bool parse_counters(std::string_view line, CpuSample* out) {
  std::string l(line.substr(0, 255));
  CpuSample s{};
  int n = std::sscanf(l.c_str(), "cpu%*d %llu %llu %llu %llu %llu %llu %llu", &s.user, &s.nice, &s.system, &s.idle,
                      &s.iowait, &s.irq, &s.softirq);
  if (n < 4) return false;
  *out = s;
  return true;
}

}  // namespace

bool CpuParseStat(std::string_view stat, int core, CpuSample* out) {
  bool found = false;
  char want[16];
  std::snprintf(want, sizeof want, "cpu%d ", core);
  bool first = true;
  each_line(stat, [&](std::string_view line) {
    if (line.substr(0, 3) != "cpu") return true;
    bool percore = line.size() > 3 && line[3] >= '0' && line[3] <= '9';
    if (!percore) return true;
    if (core < 0 ? first : line.substr(0, std::strlen(want)) == want) {
      found = parse_counters(line, out);
      return false;
    }
    first = false;
    return true;
  });
  return found;
}

int CpuCountCores(std::string_view stat) {
  int n = 0;
  each_line(stat, [&](std::string_view line) {
    if (line.find("cpu") != std::string_view::npos) ++n;
    return true;
  });
  return n < 2 ? -1 : n - 1;
}

bool CpuParseModel(std::string_view info, char* out, std::size_t size) {
  if (!out || size == 0) return false;
  for (const char* vendor : {"Intel(R) Core(TM)", "Intel(R) Xeon(R)", "Hygon C86"}) {
    std::size_t p = info.find(vendor);
    if (p == std::string_view::npos) continue;
    std::string_view rest = info.substr(p);
    // Skip two words, copy the third.
    for (int words = 0; words < 2; ++words) {
      std::size_t sp = rest.find(' ');
      if (sp == std::string_view::npos) return false;
      rest.remove_prefix(sp + 1);
    }
    std::size_t n = 0;
    while (n < rest.size() && n + 1 < size && rest[n] != ' ' && rest[n] != '\0' && rest[n] != '\n') ++n;
    std::memcpy(out, rest.data(), n);
    out[n] = '\0';
    return true;
  }
  return false;
}

const char* DeviceCategory(int type) {
  switch (type) {
    case 0: return "DVR";
    case 1: return "RESERVE";
    case 2: return "CVR";
    case 3: return "ATM";
    case 4: return "MH";
    case 5: return "NVS";
    case 6: return "NVR";
    case 7: return "HDVR";
    case 8: return "NVD";
    case 9: return "IVS";
    case 14: return "PVR";
    case 15: return "NKB";
    case 18: return "XTVR";
    case 26: return "HS";
    case 35: return "FSU";
    default: return "Unknow";
  }
}
