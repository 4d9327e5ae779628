// Time-zone texts and the zoneinfo file's rule line.

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/system/system.h"

namespace {

constexpr int kTzMin = -43200, kTzMax = 46800;

void put32(std::string& s, int64_t v) {
  for (int i = 3; i >= 0; --i) s += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
}
void put64(std::string& s, int64_t v) {
  for (int i = 7; i >= 0; --i) s += static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF);
}

// The 1928 switch from local mean time and the daylight-saving years of
// 1940-41 and 1986-91, as UTC instants with the local time type that starts.
struct Transition {
  int64_t at;
  uint8_t type;
};
constexpr Transition kShanghai[] = {
    {-1325491557, 2}, {-933494400, 1}, {-923130000, 2}, {-908784000, 1}, {-891594000, 2}, {515520000, 1},
    {527007600, 2},   {545155200, 1},  {558457200, 2},  {576604800, 1},  {589906800, 2},  {608659200, 1},
    {621961200, 2},   {640108800, 1},  {653410800, 2},  {671558400, 1},  {684860400, 2},
};
struct LocalType {
  int32_t utoff;
  uint8_t isdst, abbr;
};
constexpr LocalType kTypes[] = {{29157, 0, 0}, {32400, 1, 4}, {28800, 0, 8}};
constexpr char kAbbrs[] = "LMT\0CDT\0CST";  // 12 bytes with the last NUL

std::string block(bool wide) {
  std::string s = "TZif2";
  s.append(15, '\0');
  const int n = sizeof kShanghai / sizeof kShanghai[0], types = 3;
  for (int v : {types, types, 0, n, types, 12}) put32(s, v);  // isut, isstd, leap, time, type, char counts
  for (auto& t : kShanghai) wide ? put64(s, t.at) : put32(s, t.at);
  for (auto& t : kShanghai) s += static_cast<char>(t.type);
  for (auto& t : kTypes) {
    put32(s, t.utoff);
    s += static_cast<char>(t.isdst);
    s += static_cast<char>(t.abbr);
  }
  s.append(kAbbrs, 12);
  s.append(types, '\0');  // local wall time
  s.append(types, '\0');  // local, not UT
  return s;
}

}  // namespace

bool TzText(int offset, char* out, std::size_t size) {
  if (offset < kTzMin || offset > kTzMax || !out) return false;
  int w = -offset;
  int n = w >= 0 ? std::snprintf(out, size, "GMT+%02d:%02d", w / 3600, (w % 3600) / 60)
                 : std::snprintf(out, size, "GMT-%02d:%02d", offset / 3600, (offset % 3600) / 60);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

bool TzParse(const char* text, int* offset) {
  int h = 0, m = 0;
  if (!text || !offset || std::sscanf(text, "GMT%d:%d", &h, &m) != 2) return false;
  if (h < -13 || h > 12 || m < 0 || m > 59) return false;
  // The sign comes from the text, so "GMT+00:30" stays west of UTC.
  bool west = text[3] == '+' || (text[3] >= '0' && text[3] <= '9');
  int secs = (h < 0 ? -h : h) * 3600 + m * 60;
  *offset = west ? -secs : secs;
  return true;
}

std::string TzRule(int west) {
  char buf[32];
  if (west < 0)
    std::snprintf(buf, sizeof buf, "CST-%hu:%hu\n", static_cast<unsigned short>(-west / 3600),
                  static_cast<unsigned short>((-west % 3600) / 60));
  else
    std::snprintf(buf, sizeof buf, "CST+%hu:%hu\n", static_cast<unsigned short>(west / 3600),
                  static_cast<unsigned short>((west % 3600) / 60));
  return buf;
}

bool TzReplaceRule(std::string_view file, int west, std::string* out) {
  for (std::size_t p = file.find("CST"); p != std::string_view::npos; p = file.find("CST", p + 1)) {
    if (p + 3 < file.size() && (file[p + 3] == '+' || file[p + 3] == '-')) {
      *out = std::string(file.substr(0, p)) + TzRule(west);
      return true;
    }
  }
  *out = std::string(TzDefaultFile());
  return false;
}

std::string_view TzDefaultFile() {
  static const std::string f = block(false) + block(true) + "\nCST+0:0\n";
  return f;
}
