// Reply and report parsers of the modem families.  Every field is bounded:
// a line that does not have the expected shape is no answer.
#include <arpa/inet.h>

#include <cctype>
#include <vector>

#include "cellular/family.h"

namespace cellular {

namespace {

constexpr std::size_t kMaxFields = 12;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The comma-separated fields after `head` (which must begin the line).
std::optional<std::vector<std::string_view>> Fields(std::string_view line, std::string_view head) {
  line = Trim(line);
  if (line.substr(0, head.size()) != head) return std::nullopt;
  std::string_view rest = line.substr(head.size());
  std::vector<std::string_view> out;
  while (out.size() < kMaxFields) {
    std::size_t c = rest.find(',');
    out.push_back(Trim(rest.substr(0, c)));
    if (c == std::string_view::npos) return out;
    rest = rest.substr(c + 1);
  }
  return std::nullopt;  // more fields than any answer has
}

std::optional<int> Num(std::string_view f, int max) {
  if (f.empty() || f.size() > 5) return std::nullopt;
  int v = 0;
  for (char c : f) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

}  // namespace

std::optional<Sysinfo> ParseSysinfo(std::string_view line) {
  std::optional<std::vector<std::string_view>> f;
  for (const char* h : {"^SYSINFO:", "%SYSINFO:", "+SYSINFO:"})
    if ((f = Fields(line, h))) break;
  if (!f || f->size() < 5) return std::nullopt;
  Sysinfo s;
  int* dst[] = {&s.srv_status, &s.srv_domain, &s.roam, &s.sys_mode, &s.sim_state};
  for (int i = 0; i < 5; ++i) {
    auto v = Num((*f)[i], 255);
    if (!v) return std::nullopt;
    *dst[i] = *v;
  }
  return s;
}

std::optional<std::pair<int, int>> ParseSysinfoEx(std::string_view line) {
  auto f = Fields(line, "^SYSINFOEX:");
  if (!f || f->size() < 6) return std::nullopt;
  auto sim = Num((*f)[3], 255);
  auto mode = Num((*f)[5], 255);
  if (!sim || !mode) return std::nullopt;
  return std::make_pair(*sim, *mode);
}

std::optional<int> ParseCnsmod(std::string_view line) {
  auto f = Fields(line, "+CNSMOD:");
  if (!f || f->size() < 2) return std::nullopt;
  return Num((*f)[1], 16);
}

std::optional<int> ParsePsrat(std::string_view line) {
  auto f = Fields(line, "+PSRAT:");
  if (!f || f->empty()) return std::nullopt;
  std::string_view t = (*f)[0];
  if (t.find("LTE") != std::string_view::npos) return t.find("FDD") != std::string_view::npos ? 10 : 9;
  if (t.find("HSPA") != std::string_view::npos || t == "UMTS" || t == "WCDMA") return 5;
  if (t.find("TD") != std::string_view::npos) return 8;
  if (t == "EDGE" || t == "GPRS" || t == "GSM") return 3;
  if (t == "EVDO" || t == "HDR") return 4;
  if (t == "CDMA" || t == "1X") return 2;
  if (t == "NONE") return 0;
  return std::nullopt;
}

std::optional<int> ParseLevel(std::string_view line, std::string_view head) {
  auto f = Fields(line, head);
  if (!f || f->empty()) return std::nullopt;
  return Num((*f)[0], 255);
}

std::optional<int> ParseCereg(std::string_view line) {
  auto f = Fields(line, "+CEREG:");
  if (!f || f->size() < 2) return std::nullopt;
  return Num((*f)[1], 255);
}

std::optional<std::string> ParseIccid(std::string_view line) {
  std::optional<std::vector<std::string_view>> f;
  for (const char* h : {"+ZICCID:", "+ICCID:", "+QCCID:", "^ICCID:"})
    if ((f = Fields(line, h))) break;
  if (!f || f->size() != 1) return std::nullopt;
  std::string_view v = (*f)[0];
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  if (v.size() < 19 || v.size() > 20) return std::nullopt;
  for (char c : v)
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
  return std::string(v);
}

std::optional<int> ParseZconstat(std::string_view line) {
  auto f = Fields(line, "+ZCONSTAT:");
  if (!f || f->empty() || f->size() > 2) return std::nullopt;
  return Num((*f)[0], 9);
}

std::optional<bool> ParseQcrmcall(std::string_view line) {
  auto f = Fields(line, "$QCRMCALL:");
  if (!f || f->size() != 2) return std::nullopt;
  auto s = Num((*f)[0], 1);
  if (!s || ((*f)[1] != "V4" && (*f)[1] != "V6")) return std::nullopt;
  return *s == 1 && (*f)[1] == "V4";
}

std::optional<int> ParseNdisstat(std::string_view line) {
  auto f = Fields(line, "^NDISSTATQRY:");
  if (!f) f = Fields(line, "^NDISSTAT:");
  if (!f || f->empty()) return std::nullopt;
  return Num((*f)[0], 3);
}

std::optional<uint32_t> ParseCgpaddr(std::string_view line) {
  auto f = Fields(line, "+CGPADDR:");
  if (!f || f->size() != 2) return std::nullopt;
  std::string_view a = (*f)[1];
  if (a.size() >= 2 && a.front() == '"' && a.back() == '"') a = a.substr(1, a.size() - 2);
  if (a.empty() || a.size() > 15) return std::nullopt;
  std::string text(a);
  in_addr out{};
  if (inet_pton(AF_INET, text.c_str(), &out) != 1) return std::nullopt;
  return out.s_addr;
}

int ModeselValue(int sysmode, bool* known) {
  *known = true;
  switch (sysmode) {
    case 2: return 9;
    case 3: return 13;
    case 4: return 10;
    case 5: return 14;
    case 7: return 4;
    case 8: return 53;
    case 9: case 10: case 11: return 30;
    case 12: return 40;
    default:
      *known = false;
      return 4;
  }
}

}  // namespace cellular
