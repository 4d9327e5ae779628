// The pure parts of the RAID side: the creation table, the create
// commands, and the parsers of md sysfs text, mdadm output, /proc/mdstat
// and superblocks.

#include <linux/raid/md_p.h>

#include <cstdio>
#include <cstring>
#include <regex>

#include "storage/storage.h"

namespace hd {

namespace {

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string limit_msg(int n, int lo, int hi) {
  char b[64];
  snprintf(b, sizeof b, "%d out of limit %d -- %d\n", n, lo, hi);
  return b;
}

}  // namespace

bool RaidCountOk(int level, int n, int data, int parity, int spares, std::string* msg) {
  int lo = 2, hi = 64;
  switch (level) {
    case 0: case 76: break;
    case 1: lo = hi = 2; break;
    case 3: case 4: case 5: case 18: lo = 3; break;
    case 6: case 8: lo = 4; break;
    case 9: lo = 3, hi = 16; break;
    case 10: lo = 4; break;
    case 20: lo = 12, hi = 48; break;
    default: break;
  }
  if (n < lo || n > hi) {
    *msg = limit_msg(n, lo, hi);
    return false;
  }
  char b[80];
  if (level == 10 && n % 2) {
    *msg = "Raid 10 must be even disks\n";
    return false;
  }
  if (level == 9) {
    if (data + parity != n) {
      snprintf(b, sizeof b, "wrong disk num (%d %d %d).", n, data, parity);
      *msg = b;
      return false;
    }
    if (data < 2 || data > 15) {
      snprintf(b, sizeof b, "datadisks %d out of limit 2 -- 15\n", data);
      *msg = b;
      return false;
    }
    if (parity < 1 || parity > 8) {
      snprintf(b, sizeof b, "paritydisks %d out of limit 1 -- 8\n", parity);
      *msg = b;
      return false;
    }
  }
  if (level == 20 && (spares < 0 || data < 1 || parity < 1 || n - spares < data + parity)) {
    *msg = "spare disks more than required!\n";
    return false;
  }
  return true;
}

std::string RaidCreateCommand(const std::string& array, int level, int chunk, const std::vector<std::string>& members,
                              const std::string& alias, bool clean_parity, int spares, int layout, int data,
                              int parity) {
  std::string list;
  for (auto& m : members) list += m + " ";
  std::string name = alias.empty() ? "" : "--name '" + alias + "'";
  int n = static_cast<int>(members.size());
  int ch = chunk == 0 ? 32 : chunk;
  char b[4096];
  const char* a = array.c_str();
  switch (level) {
    case 1: case 4: case 5: case 6: case 8: case 10:
      if (level == 5 && clean_parity)
        snprintf(b, sizeof b,
                 "mdadm -C --bitmap=internal --chunk=%d --metadata=1.0 /dev/%s -l %d -n %d -R %s %s  --assume-clean > /dev/null",
                 ch, a, level, n, list.c_str(), name.c_str());
      else
        snprintf(b, sizeof b, "mdadm -C --bitmap=internal --chunk=%d --metadata=1.0 /dev/%s -l %d -n %d -R %s %s > /dev/null",
                 ch, a, level, n, list.c_str(), name.c_str());
      break;
    case 18:
      snprintf(b, sizeof b,
               "mdadm -C --bitmap=internal --chunk=%d --metadata=1.0 --assume-clean /dev/%s -l s -n %d -R %s %s > /dev/null",
               ch, a, n, list.c_str(), name.c_str());
      break;
    case 3:
      snprintf(b, sizeof b,
               "mdadm -C --bitmap=internal --chunk=16 --metadata=1.0 /dev/%s -l %d -n %d  -p  parity-last -R %s > /dev/null",
               a, 5, n, list.c_str());
      break;
    case 0:
      snprintf(b, sizeof b, "mdadm -C --chunk=%d --metadata=1.0 /dev/%s -l %d -n %d -R %s %s > /dev/null", ch, a, level, n,
               list.c_str(), name.c_str());
      break;
    case 76:
      snprintf(b, sizeof b, "mdadm -C /dev/%s -l %s -n %d -R %s %s > /dev/null", a, "linear", n, list.c_str(),
               name.c_str());
      break;
    case 20:
      snprintf(b, sizeof b,
               "mdadm -C -l %d --bitmap=internal --chunk=%d --delay=60 --metadata=1.0 --layout %d,%d /dev/%s -n %d -x %d -R %s > /dev/null",
               20, chunk, layout, data + parity, a, n, spares, list.c_str());
      break;
    case 9:
      snprintf(b, sizeof b,
               "mdadm -C --bitmap=internal --chunk=%d --metadata=1.0 --assume-clean /dev/%s -l %d -n %d --code-disks=%d -R %s > /dev/null",
               32, a, 9, n, parity, list.c_str());
      break;
    default:
      snprintf(b, sizeof b, "mdadm -C /dev/%s -l %d -n %d -R %s %s > /dev/null", a, level, n, list.c_str(), name.c_str());
      break;
  }
  return b;
}

bool ParseMdLevel(std::string_view t, int* level) {
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.remove_suffix(1);
  if (t == "linear") return *level = 76, true;
  if (t == "sraid") return *level = 18, true;
  if (!t.starts_with("raid") || t.size() < 5 || t.size() > 6) return false;
  uint64_t v;
  if (!ParseSysU64(t.substr(4), &v) || v > 254) return false;
  *level = static_cast<int>(v);
  return true;
}

bool ParseMdUuid(std::string_view t, uint32_t out[4]) {
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.remove_suffix(1);
  uint32_t w[4] = {};
  int digits = 0;
  for (char c : t) {
    if (c == ':' || c == '-') continue;
    int v = hexval(c);
    if (v < 0 || digits >= 32) return false;
    w[digits / 8] = (w[digits / 8] << 4) | static_cast<uint32_t>(v);
    ++digits;
  }
  if (digits != 32) return false;
  std::memcpy(out, w, sizeof w);
  return true;
}

bool ParseMdadmUuid(std::string_view out, uint32_t uuid[4]) {
  std::size_t at = out.find("UUID=");
  if (at == std::string_view::npos) return false;
  std::string_view rest = out.substr(at + 5);
  std::size_t end = rest.find_first_of(" \t\n");
  rest = rest.substr(0, end);
  // Only the mdadm form: four groups of eight.
  if (rest.size() != 35 || rest[8] != ':' || rest[17] != ':' || rest[26] != ':') return false;
  return ParseMdUuid(rest, uuid);
}

bool ParseMdstatProgress(std::string_view mdstat, std::string_view array, bool resync, float* progress, int* finish,
                         int* speed) {
  // The array's section: from "^NAME :" to the first blank line.
  std::string head = std::string(array) + " :";
  std::size_t at = 0;
  std::string_view sec;
  while (at < mdstat.size()) {
    std::size_t end = mdstat.find('\n', at);
    if (end == std::string_view::npos) end = mdstat.size();
    if (mdstat.substr(at, end - at).starts_with(head)) {
      std::size_t stop = end;
      while (stop < mdstat.size()) {
        std::size_t e2 = mdstat.find('\n', stop + 1);
        if (e2 == std::string_view::npos) e2 = mdstat.size();
        std::string_view line = mdstat.substr(stop + 1, e2 > stop ? e2 - stop - 1 : 0);
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) break;
        stop = e2;
      }
      sec = mdstat.substr(at, stop - at);
      break;
    }
    at = end + 1;
  }
  if (sec.empty()) return false;
  static const std::regex rec(
      R"(^\s+\[[=]*>[.]*\]\s+recovery\s*=\s*([0-9.]+)%\s+\([0-9]+/[0-9]+\)\s+finish\s*=\s*([0-9]+)\.[0-9]+min\s+speed\s*=\s*([0-9]+)K/sec)",
      std::regex::multiline);
  static const std::regex res(
      R"(^\s+\[[=]*>[.]*\]\s+resync\s*=\s*([0-9.]+)%\s+\([0-9]+/[0-9]+\)\s+finish\s*=\s*([0-9]+)\.[0-9]+min\s+speed\s*=\s*([0-9]+)K/sec)",
      std::regex::multiline);
  std::string s(sec);
  std::smatch m;
  if (!std::regex_search(s, m, resync ? res : rec)) return false;
  std::string joined = m[1].str() + ":" + m[2].str() + ":" + m[3].str();
  float p = 0;
  int f = 0, sp = 0;
  if (m[1].length() > 12 || m[2].length() > 9 || m[3].length() > 9 ||
      sscanf(joined.c_str(), "%f:%d:%d", &p, &f, &sp) != 3 || !(p >= 0 && p <= 100))
    return false;
  *progress = p, *finish = f, *speed = sp;
  return true;
}

bool MdSuperAlias(const uint8_t* buf, std::size_t len, std::string* alias) {
  if (len < sizeof(mdp_superblock_1)) return false;
  mdp_superblock_1 sb;
  std::memcpy(&sb, buf, sizeof sb);
  if (sb.magic != MD_SB_MAGIC || sb.major_version != 1) return false;  // little-endian on every board we build for
  std::string n(sb.set_name, strnlen(sb.set_name, sizeof sb.set_name));
  std::size_t colon = n.find(':');  // "host:name" as mdadm writes it
  if (colon != std::string::npos) n = n.substr(colon + 1);
  alias->clear();
  for (char c : n) *alias += (c > ' ' && c < 0x7f) ? c : '?';
  return true;
}

}  // namespace hd
