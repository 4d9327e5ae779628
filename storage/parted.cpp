// Partitioning with parted, and reading its machine-readable listing.

#include <cstdio>
#include <cstring>

#include "osa/shell.h"
#include "storage/internal.h"

namespace hd {

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  for (size_t at = 0;;) {
    size_t e = s.find(sep, at);
    out.push_back(s.substr(at, e == std::string_view::npos ? std::string_view::npos : e - at));
    if (e == std::string_view::npos) break;
    at = e + 1;
  }
  return out;
}

bool small_number(std::string_view s, int* out) {
  if (s.empty() || s.size() > 3) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return v > 0;
}

}  // namespace

bool ParsePartedPrint(std::string_view text, PartedTable* out, std::string* err) {
  PartedTable t;
  int line_no = 0;
  for (auto line : split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    ++line_no;
    if (line_no == 1) {
      if (line != "BYT;" && line != "CHS;" && line != "CYL;") {
        *err = "not a machine-readable parted listing";
        return false;
      }
      continue;
    }
    if (line.back() != ';') {
      *err = "line " + std::to_string(line_no) + " does not end in ';'";
      return false;
    }
    line.remove_suffix(1);
    auto f = split(line, ':');
    if (line_no == 2) {  // path:size:transport:logical:physical:label:model[:flags]
      if (f.size() < 7) {
        *err = "short disk line";
        return false;
      }
      t.label = std::string(f[5]);
      continue;
    }
    // number:start:end:size:filesystem:name:flags
    PartedEntry e;
    if (f.size() < 7 || !small_number(f[0], &e.number)) {
      *err = "bad partition line " + std::to_string(line_no);
      return false;
    }
    e.fs = std::string(f[4]);
    e.name = std::string(f[5]);
    e.flags = std::string(f[6]);
    t.parts.push_back(std::move(e));
  }
  if (line_no < 2) {
    *err = "no disk line";
    return false;
  }
  *out = std::move(t);
  return true;
}

bool PartedRead(const char* disk, PartedTable* out) {
  char cmd[128];
  snprintf(cmd, sizeof cmd, "parted %s print -m -s", disk);
  osa::CaptureResult c = osa::Capture(cmd);
  std::string err;
  if (!c.ok()) {
    HD_ERROR("run cmd %s failed.\n", cmd);
    return false;
  }
  if (!ParsePartedPrint(c.output, out, &err)) {
    HD_ERROR("%s: %s.\n", cmd, err.c_str());
    return false;
  }
  return true;
}

bool ValidDisk(const char* disk) {
  if (disk && osa::ShellSafeAbsPath(disk, 64)) return true;
  HD_ERROR("Invalid para.\n");
  return false;
}

int RunLogged(const char* cmd, bool parted) {
  if (run_cmd(cmd) != 0) {
    HD_ERROR("run cmd %s failed.\n", cmd);
    return -1;
  }
  if (parted) HD_INFO("%s succceed.\n", cmd);
  return 0;
}

}  // namespace hd

using namespace hd;

int Parted_MakeLabel(const char* disk, const char* label) {
  if (!ValidDisk(disk) || !label || !osa::ShellSafe(label, "", 16)) return -1;
  char cmd[128];
  snprintf(cmd, sizeof cmd, "parted %s mklabel %s -s", disk, label);
  return RunLogged(cmd, true);
}

int Parted_MakeLabelExt(const char* disk, int entry, const char* label) {
  if (!ValidDisk(disk) || !label || !osa::ShellSafe(label, "", 16) || entry < 0) return -1;
  char cmd[128];
  snprintf(cmd, sizeof cmd, "parted %s entry %d mklabel %s -s", disk, entry, label);
  return RunLogged(cmd, true);
}

int Parted_SetMsdataFlag(const char* disk, int part) {
  if (!ValidDisk(disk) || part < 1) return -1;
  char cmd[128];
  snprintf(cmd, sizeof cmd, "parted %s set %d msftdata on -s", disk, part);
  if (run_cmd(cmd) == 0) {
    HD_INFO("%s succceed.\n", cmd);
    return 0;
  }
  // An msdos label has no msftdata flag; its counterpart there is lba.
  snprintf(cmd, sizeof cmd, "parted %s set %d lba on -s", disk, part);
  return RunLogged(cmd, true);
}

int Parted_RmPart(const char* disk, int part) {
  if (!ValidDisk(disk) || part < 1) return -1;
  char cmd[128];
  snprintf(cmd, sizeof cmd, "parted %s rm %d -s", disk, part);
  return RunLogged(cmd, true);
}

int Parted_Getlabel(const char* disk, char* label, int len) {
  PartedTable t;
  if (!ValidDisk(disk) || !label || len < 1 || !PartedRead(disk, &t)) return -1;
  snprintf(label, static_cast<size_t>(len), "%s", t.label.c_str());
  return 0;
}

int Parted_GetPartName(const char* disk, int part, char* name, int len) {
  PartedTable t;
  if (!ValidDisk(disk) || !name || len < 1 || !PartedRead(disk, &t)) return -1;
  for (auto& e : t.parts)
    if (e.number == part) {
      snprintf(name, static_cast<size_t>(len), "%s", e.name.c_str());
      return 0;
    }
  return -1;
}

int Parted_MakePart(const char* disk, const char* name, uint64_t start, uint64_t len) {
  if (!ValidDisk(disk) || !name || !osa::ShellSafe(name, osa::kShellWordChars, 32)) {
    if (disk) HD_ERROR("Invalid para.\n");
    return -1;
  }
  const uint64_t kMin = 0x400000, kAlign = 2ull << 20;
  if (len < kMin) {
    HD_ERROR("part size %llu is too small, the min size is %llu.\n", static_cast<unsigned long long>(len),
             static_cast<unsigned long long>(kMin));
    return -1;
  }
  if (start > UINT64_MAX - len - kAlign) return -1;
  uint64_t s = (start + kAlign) / kAlign * kAlign, e = (start + len - kAlign) / kAlign * kAlign;
  HD_INFO("align part[%llu, %llu] to [%llu, %llu] and mkpart.\n", static_cast<unsigned long long>(start),
          static_cast<unsigned long long>(start + len), static_cast<unsigned long long>(s),
          static_cast<unsigned long long>(e));
  // Small lengths align to nothing: refuse instead of asking parted for it.
  if (e <= s) {
    HD_ERROR("part [%llu, %llu] is empty after alignment.\n", static_cast<unsigned long long>(s),
             static_cast<unsigned long long>(e));
    return -1;
  }
  char cmd[192];
  snprintf(cmd, sizeof cmd, "parted %s unit b mkpart %s %llu %llu -s", disk, std::strcmp(name, "gpt") == 0 ? "msftdata" : name,
           static_cast<unsigned long long>(s), static_cast<unsigned long long>(e));
  return RunLogged(cmd, true);
}
