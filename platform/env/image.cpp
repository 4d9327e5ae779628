// The boot environment image: byte transform, CRC, entry list.

#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "platform/env/bootenv.h"

namespace bootenv {

namespace {

// The empty entry ending the list, scanning entries from the body's start.
bool list_end(std::span<const uint8_t> plain, size_t used, size_t* end) {
  size_t p = kHeader;
  while (p < used) {
    if (plain[p] == 0) {
      *end = p;
      return true;
    }
    while (p < used && plain[p] != 0) ++p;
    ++p;  // past the entry's NUL
  }
  return false;
}

// A plain body whose entries are printable "name=value" text up to an end.
bool well_formed(std::span<const uint8_t> plain) {
  size_t used = UsedSize(plain), end = 0;
  // A full list ends with its last entry's NUL at the end of the image.
  if (!list_end(plain, used, &end)) {
    if (plain.back() != 0) return false;
    end = plain.size() - 1;
  }
  size_t start = kHeader;
  for (size_t p = kHeader; p < end; ++p) {
    uint8_t c = plain[p];
    if (c == 0) {
      start = p + 1;
      continue;
    }
    if (c < 0x20 || c > 0x7E) return false;
    if (c == '=' && p == start) return false;
  }
  // every entry holds a '=' after its first byte
  for (size_t p = kHeader; p < end;) {
    const void* nul = std::memchr(plain.data() + p, 0, end - p + 1);
    size_t len = static_cast<const uint8_t*>(nul) - (plain.data() + p);
    if (!std::memchr(plain.data() + p, '=', len)) return false;
    p += len + 1;
  }
  return true;
}

}  // namespace

void EncodeBody(std::span<uint8_t> image) {
  for (size_t i = kHeader; i < image.size(); ++i) image[i] = EncodeByte(image[i]);
}

void DecodeBody(std::span<uint8_t> image) {
  for (size_t i = kHeader; i < image.size(); ++i) image[i] = DecodeByte(image[i]);
}

uint32_t BodyCrc(std::span<const uint8_t> image) {
  if (image.size() <= kHeader) return 0;
  return static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), image.data() + kHeader, static_cast<uInt>(image.size() - kHeader)));
}

uint32_t StoredCrc(std::span<const uint8_t> image) {
  if (image.size() < kHeader) return 0;
  return uint32_t(image[0]) | uint32_t(image[1]) << 8 | uint32_t(image[2]) << 16 | uint32_t(image[3]) << 24;
}

void PutCrc(std::span<uint8_t> image) {
  if (image.size() < kHeader) return;
  uint32_t c = BodyCrc(image);
  for (int i = 0; i < 4; ++i) image[i] = static_cast<uint8_t>(c >> (8 * i));
}

size_t UsedSize(std::span<const uint8_t> plain) {
  for (size_t i = kHeader; i + 1 < plain.size(); ++i)
    if (plain[i] == 0 && plain[i + 1] == 0) return i + 2;
  return plain.size();
}

Match MatchEntry(std::span<const uint8_t> plain, size_t used, std::string_view name, size_t* pos) {
  if (used > plain.size()) used = plain.size();
  size_t p = kHeader;
  while (p < used) {
    if (plain[p] == 0) {
      *pos = p;
      return Match::Absent;
    }
    size_t e = p;
    while (e < used && plain[e] != 0) ++e;
    if (e >= used) break;
    size_t len = e - p;
    if (!name.empty() && len > name.size() && plain[p + name.size()] == '=' &&
        std::memcmp(plain.data() + p, name.data(), name.size()) == 0) {
      *pos = p;
      return Match::Found;
    }
    p = e + 1;
  }
  return Match::NoEnd;
}

SetResult SetEntry(std::span<uint8_t> plain, size_t* used, std::string_view name, std::string_view value) {
  if (name.empty() || name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos)
    return SetResult::BadName;
  if (value.find('\0') != std::string_view::npos) return SetResult::BadValue;
  size_t pos = 0, end = 0;
  Match m = MatchEntry(plain, *used, name, &pos);
  if (m == Match::NoEnd) return SetResult::NoEnd;
  // A full list has no room left, whatever the new entry's length.
  if (!list_end(plain, *used, &end)) return SetResult::TooLarge;
  size_t oldlen = m == Match::Found ? std::strlen(reinterpret_cast<const char*>(plain.data() + pos)) + 1 : 0;
  size_t newlen = name.size() + value.size() + 2;
  // The new entry goes where the list ends once the old one is gone, and
  // one more NUL ends the list again.
  size_t at = end - oldlen;
  if (at + newlen + 1 > plain.size()) return SetResult::TooLarge;
  if (oldlen) {
    std::memmove(plain.data() + pos, plain.data() + pos + oldlen, plain.size() - pos - oldlen);
    std::memset(plain.data() + plain.size() - oldlen, 0, oldlen);
  }
  std::memcpy(plain.data() + at, name.data(), name.size());
  plain[at + name.size()] = '=';
  std::memcpy(plain.data() + at + name.size() + 1, value.data(), value.size());
  plain[at + newlen - 1] = 0;
  plain[at + newlen] = 0;
  *used = at + newlen + 1;
  return SetResult::Ok;
}

std::vector<std::string_view> Entries(std::span<const uint8_t> plain, size_t used) {
  std::vector<std::string_view> out;
  if (used > plain.size()) used = plain.size();
  size_t p = kHeader;
  while (p < used && plain[p] != 0) {
    size_t e = p;
    while (e < used && plain[e] != 0) ++e;
    out.emplace_back(reinterpret_cast<const char*>(plain.data() + p), e - p);
    p = e + 1;
  }
  return out;
}

std::string ForTerminal(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  auto hex = [](std::string* out, unsigned char c) {
    *out += "\\x";
    *out += kHex[c >> 4];
    *out += kHex[c & 15];
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      hex(&out, c);
    } else if (c == 0xC2 && (next & 0xE0) == 0x80) {  // U+0080..U+009F
      hex(&out, c);
      hex(&out, next);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool DecodeImage(std::span<const uint8_t> stored, Format format, Decoded* out, std::string* err) {
  if (stored.size() < kMinImage) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "image of %zu bytes is too small", stored.size());
    *err = msg;
    return false;
  }
  out->plain.assign(stored.begin(), stored.end());
  if (format == Format::Encoded) DecodeBody(out->plain);
  out->stored_crc = StoredCrc(stored);
  out->crc = BodyCrc(stored);
  out->crc_ok = out->stored_crc == out->crc;
  out->used = UsedSize(out->plain);
  size_t end = 0;
  out->has_end = list_end(out->plain, out->used, &end);
  return true;
}

Format DetectFormat(std::span<const uint8_t> stored) {
  if (stored.size() < kMinImage) return Format::Encoded;
  std::vector<uint8_t> plain(stored.begin(), stored.end());
  DecodeBody(plain);
  if (well_formed(plain)) return Format::Encoded;
  if (well_formed(stored)) return Format::Plain;
  return Format::Encoded;
}

std::vector<uint8_t> EncodeImage(std::span<const uint8_t> plain, Format format) {
  std::vector<uint8_t> out(plain.begin(), plain.end());
  if (format == Format::Encoded) EncodeBody(out);
  PutCrc(out);
  return out;
}

int PickCopy(std::span<const CopyState> copies) {
  for (size_t i = 0; i < copies.size(); ++i)
    if (copies[i].present && copies[i].crc_ok) return static_cast<int>(i);
  return -1;
}

}  // namespace bootenv
