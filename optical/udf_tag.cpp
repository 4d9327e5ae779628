// Descriptor tags, the ECMA-167 CRC and OSTA CS0 names.
#define CDRW_MODULE "osta_cs0"

#include <algorithm>
#include <cstring>

#include "optical/cdrw.h"
#include "optical/cdrw_log.h"
#include "optical/udf_desc.h"

namespace {

constexpr uint16_t kCrcPoly = 0x1021;

struct CrcTable {
  uint16_t t[256];
  constexpr CrcTable() : t{} {
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ kCrcPoly : c << 1);
      t[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

}  // namespace

uint16_t udf_crc(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCrc.t[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

namespace udf {

uint8_t TagChecksum(const uint8_t* tag) {
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum += tag[i];
  return static_cast<uint8_t>(sum);
}

void SetTag(uint8_t* desc, uint16_t ident, uint32_t location, uint16_t crc_len) {
  Tag t{};
  t.ident = ident;
  t.version = 2;
  t.crc = udf_crc(desc + sizeof(Tag), crc_len);
  t.crc_length = crc_len;
  t.location = location;
  std::memcpy(desc, &t, sizeof t);
  desc[4] = TagChecksum(desc);
}

}  // namespace udf

int udf_check_tags(const uint8_t* desc, size_t len, uint32_t location) {
  if (desc == nullptr || len < sizeof(udf::Tag)) {
    CDRW_ERR("descriptor shorter than its tag (%zu bytes)\n", len);
    return -1;
  }
  udf::Tag t;
  std::memcpy(&t, desc, sizeof t);
  if (t.location != location) {
    CDRW_ERR("location mismatch tag %u != %u\n", t.location, location);
    return -1;
  }
  uint8_t sum = udf::TagChecksum(desc);
  if (sum != t.checksum) {
    CDRW_ERR("tag checksum failed: 0x%02x != 0x%02x\n", t.checksum, sum);
    return -1;
  }
  if (t.version != 2 && t.version != 3) {
    CDRW_ERR("tag version 0x%04x != 0x0002 || 0x0003\n", t.version);
    return -1;
  }
  if (t.crc_length > len - sizeof(udf::Tag) || udf_crc(desc + sizeof(udf::Tag), t.crc_length) != t.crc) {
    CDRW_ERR("Crc failure: crc = %d, crclen = %d\n", t.crc, t.crc_length);
    return -1;
  }
  return 0;
}

namespace {

void PutUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

int udf_CS0toUTF8(const uint8_t* cs0, size_t len, std::string* utf8) {
  utf8->clear();
  if (len == 0) return 0;
  uint8_t comp = cs0[0];
  if (comp != 8 && comp != 16) {
    std::string shown(reinterpret_cast<const char*>(cs0 + 1), std::min<size_t>(len - 1, 64));
    for (char& ch : shown)
      if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F) ch = '?';
    CDRW_ERR("unknown compression code (%d) stri=%s", comp, shown.c_str());
    return -1;
  }
  size_t step = comp / 8;
  for (size_t i = 1; i + step <= len; i += step) {
    uint32_t c = step == 1 ? cs0[i] : (static_cast<uint32_t>(cs0[i]) << 8) | cs0[i + 1];
    PutUtf8(c, utf8);
  }
  return 0;
}

int udf_get_filename(const uint8_t* cs0, size_t len, std::string* name) {
  std::string raw;
  if (udf_CS0toUTF8(cs0, len, &raw) != 0) return -1;
  std::string out;
  bool replaced = false;
  for (char ch : raw) {
    if (ch == '/' || ch == '\0' || (static_cast<unsigned char>(ch) < 0x20)) {
      out.push_back('_');
      replaced = true;
    } else {
      out.push_back(ch);
    }
  }
  if (out == "." || out == "..") replaced = true, out = "_" + out;
  if (replaced) {
    // Distinct raw names must stay distinct once mangled.
    static constexpr char kHex[] = "0123456789ABCDEF";
    uint16_t crc = udf_crc(cs0, len);
    out += '#';
    for (int s = 12; s >= 0; s -= 4) out += kHex[(crc >> s) & 0xF];
  }
  if (out.empty()) {
    CDRW_ERR("Failed in udf_get_filename: sname = %s", raw.c_str());
    return -1;
  }
  *name = std::move(out);
  return 0;
}
