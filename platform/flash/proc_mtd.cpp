// /proc/mtd: one line per partition, "mtdN: SIZE ERASESIZE \"NAME\"".

#include <cstdio>

#include "osa/file.h"
#include "platform/flash/flash.h"

namespace flash {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view next_word(std::string_view* rest) {
  size_t b = 0;
  while (b < rest->size() && is_blank((*rest)[b])) ++b;
  size_t e = b;
  while (e < rest->size() && !is_blank((*rest)[e])) ++e;
  std::string_view w = rest->substr(b, e - b);
  rest->remove_prefix(e);
  return w;
}

bool parse_hex32(std::string_view w, uint32_t* v) {
  if (w.empty() || w.size() > 8) return false;
  uint32_t x = 0;
  for (char c : w) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return false;
    x = x << 4 | static_cast<uint32_t>(d);
  }
  *v = x;
  return true;
}

// "mtd3:" -> 3: the decimal number after the last 'd' or 'k', up to the colon.
bool parse_dev(std::string_view w, unsigned* num) {
  if (w.size() < 2 || w.back() != ':') return false;
  size_t at = w.find_last_of("dk");
  if (at == std::string_view::npos) return false;
  std::string_view digits = w.substr(at + 1, w.size() - at - 2);
  if (digits.empty() || digits.size() > 4) return false;
  unsigned n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  *num = n;
  return true;
}

}  // namespace

bool ParseProcMtd(std::string_view text, std::vector<MtdLine>* out, std::string* err) {
  out->clear();
  uint64_t start = 0;
  unsigned lineno = 0;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++lineno;
    if (line.find("mtd") == std::string_view::npos) continue;
    auto bad = [&](const char* what) {
      *err = "/proc/mtd line " + std::to_string(lineno) + ": " + what;
      out->clear();
      return false;
    };
    if (line.find('\0') != std::string_view::npos) return bad("NUL byte");
    MtdLine m;
    std::string_view rest = line;
    std::string_view dev = next_word(&rest), size = next_word(&rest), esize = next_word(&rest);
    while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && is_blank(rest.back())) rest.remove_suffix(1);
    if (!parse_dev(dev, &m.num)) return bad("device word is not mtdN:");
    if (!parse_hex32(size, &m.size)) return bad("size is not hexadecimal");
    if (!parse_hex32(esize, &m.erasesize) || m.erasesize == 0) return bad("erase size is not a non-zero hexadecimal");
    if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"') return bad("name is not quoted");
    rest = rest.substr(1, rest.size() - 2);
    if (rest.empty() || rest.size() > 31 || rest.find('"') != std::string_view::npos)
      return bad("name is empty, too long or holds a quote");
    m.dev = dev;
    m.name = rest;
    m.start = start;
    start += m.size;
    out->push_back(std::move(m));
  }
  return true;
}

bool ReadProcMtd(std::vector<MtdLine>* out, std::string* err) {
  auto file = osa::ReadFile("/proc/mtd", 1u << 20);
  switch (file.status) {
    case osa::ReadStatus::Ok:
      return ParseProcMtd(file.data, out, err);
    case osa::ReadStatus::TooLarge:
      *err = "/proc/mtd is too large";
      return false;
    case osa::ReadStatus::Missing:
      *err = "cannot open /proc/mtd";
      return false;
    case osa::ReadStatus::IoError:
      break;
  }
  *err = "cannot read /proc/mtd";
  return false;
}

}  // namespace flash
