// The pure rules of the backup layer: which candidates are listed and as
// which records, the mount table's lines, path confinement and file naming.

#include <cstring>

#include "storage/backup/backup_internal.h"

namespace hd {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }
bool is_octal(char c) { return c >= '0' && c <= '7'; }

// A field of the mount table: \ooo escapes decoded; false for an escaped NUL.
bool decode_field(std::string_view f, std::string* out) {
  out->clear();
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '\\' && i + 3 < f.size() && is_octal(f[i + 1]) && is_octal(f[i + 2]) && is_octal(f[i + 3])) {
      int v = (f[i + 1] - '0') * 64 + (f[i + 2] - '0') * 8 + (f[i + 3] - '0');
      if (v == 0 || v > 255) return false;
      out->push_back(static_cast<char>(v));
      i += 3;
      continue;
    }
    out->push_back(f[i]);
  }
  return !out->empty();
}

}  // namespace

std::vector<MountEntry> ParseMounts(std::string_view text, int* bad) {
  std::vector<MountEntry> v;
  int errors = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    std::string_view fields[4];
    int n = 0;
    size_t i = 0;
    while (n < 4) {
      while (i < line.size() && is_space(line[i])) ++i;
      if (i >= line.size()) break;
      size_t start = i;
      while (i < line.size() && !is_space(line[i])) ++i;
      fields[n++] = line.substr(start, i - start);
    }
    if (n == 0) continue;  // blank line
    MountEntry e;
    if (n < 4 || line.find('\0') != std::string_view::npos || !decode_field(fields[0], &e.source) ||
        !decode_field(fields[1], &e.dir) || !decode_field(fields[2], &e.type) ||
        !decode_field(fields[3], &e.options)) {
      ++errors;
      continue;
    }
    v.push_back(std::move(e));
  }
  if (bad) *bad = errors;
  return v;
}

const char* BackupSkipReason(const PlatformCfg& cfg, const BackupCandidate& c) {
  if (c.type == BACKUP_TYPE_OPTICAL) return c.sg < 0 ? "no sg node" : nullptr;
  if (!c.useTypeOk) return "usb use type unreadable";
  if (c.systemDisk) return "system disk";
  if (c.iscsi || c.bus == HD_BUS_ISCSI) return "iscsi disk";
  if (c.type == BACKUP_TYPE_MMC) return c.mmcUseType == 1 ? nullptr : "mmc card not for backup";
  if (c.bus == HD_BUS_ESATA) {
    if (!(cfg.iFeature & 1)) return "esata not for backup";
    if (c.type == BACKUP_TYPE_STORAGE && (cfg.iFeature & 3) == 3) return "esata storage disk";
  } else if (c.bus == HD_BUS_USB) {
    if (c.useType & 4) return "recording port";
    if (c.type == BACKUP_TYPE_STORAGE && (c.useType & 3) == 3) return "usb storage disk";
  } else {
    return "internal disk";
  }
  if ((c.type == BACKUP_TYPE_READER || c.type == BACKUP_TYPE_READER2) && (!c.sizeOk || c.bytes == 0))
    return "empty card reader";
  return nullptr;
}

std::vector<BackupDevInfo> BackupRecordsOf(const BackupCandidate& c, std::string_view root) {
  std::vector<BackupDevInfo> v;
  auto make = [&](const std::string& dev, const std::string& dir) {
    BackupDevInfo r{};
    if (dev.size() + 5 >= sizeof r.name || root.size() + 1 + dir.size() >= sizeof r.mountDir) return;
    std::snprintf(r.name, sizeof r.name, "/dev/%s", dev.c_str());
    std::snprintf(r.mountDir, sizeof r.mountDir, "%.*s/%s", static_cast<int>(root.size()), root.data(), dir.c_str());
    bool mmc = c.type == BACKUP_TYPE_MMC;
    r.type = mmc ? uint32_t{BACKUP_TYPE_READER} : static_cast<uint32_t>(c.type);
    r.bus = mmc ? uint32_t{HD_BUS_USB} : static_cast<uint32_t>(c.bus);
    v.push_back(r);
  };
  if (c.type == BACKUP_TYPE_OPTICAL) {
    std::string sg = "sg" + std::to_string(c.sg);
    make(sg, sg);
    return v;
  }
  if (c.parts.empty()) {
    make(c.name, c.name);
    return v;
  }
  for (auto& p : c.parts)
    if (p.bytes >= kBackupMinPart) make(p.name, p.name);
  return v;
}

std::string BackupRoot(const PlatformCfg& cfg) {
  size_t n = strnlen(cfg.szBackupRoot, sizeof cfg.szBackupRoot);
  if (n == 0 || n == sizeof cfg.szBackupRoot) return "/nfs";
  std::string r(cfg.szBackupRoot, n);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

std::string NormalPath(std::string_view abs) {
  std::vector<std::string_view> parts;
  while (!abs.empty()) {
    size_t s = abs.find('/');
    std::string_view c = abs.substr(0, s);
    abs.remove_prefix(s == std::string_view::npos ? abs.size() : s + 1);
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(c);
  }
  std::string out;
  for (auto c : parts) {
    out += '/';
    out += c;
  }
  return out.empty() ? "/" : out;
}

bool PathInside(std::string_view path, std::string_view dir) {
  if (dir == "/") return true;
  return path == dir || (path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/');
}

std::string BackupDiskOf(std::string_view part) {
  std::string d(part);
  if (d.starts_with("/dev/")) d.erase(0, 5);
  while (!d.empty() && d.back() >= '0' && d.back() <= '9') d.pop_back();
  if (d.starts_with("mmcblk") || d.starts_with("nvme")) {
    if (!d.empty() && d.back() == 'p') d.pop_back();
    else return std::string(part.starts_with("/dev/") ? part.substr(5) : part);
  }
  return d;
}

bool BackupOverwrites(std::string_view name) {
  if (name.find("/Config") != std::string_view::npos) return true;
  static const char* const kExt[] = {".exe", ".EXE", ".ini", ".INI", ".dll", ".DLL",
                                     ".txt", ".TXT", ".cab", ".CAB", ".inf", ".INF"};
  for (const char* e : kExt)
    if (name.ends_with(e)) return true;
  return false;
}

std::string BackupClashName(std::string_view name, int n) {
  size_t base = name.rfind('/');
  base = base == std::string_view::npos ? 0 : base + 1;
  size_t dot = name.rfind('.');
  std::string num = std::to_string(n);
  if (dot == std::string_view::npos || dot <= base) return std::string(name) + num;
  return std::string(name.substr(0, dot)) + "_" + num + std::string(name.substr(dot));
}

}  // namespace hd
