// A second reader, written from ECMA-167's byte offsets alone and sharing
// nothing with the library: it judges what the writer put on the disc.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace optest {

inline uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint64_t Le64(const uint8_t* p) { return Le32(p) | uint64_t(Le32(p + 4)) << 32; }

struct Walked {
  std::string error;
  uint32_t partition_start = 0;
  std::map<std::string, std::string> files;
};

// `img` is the whole disc; the volume's anchor lies at start + 256.
inline Walked WalkUdf(const std::string& img, uint32_t start) {
  Walked w;
  auto blk = [&](uint64_t n) -> const uint8_t* {
    if ((n + 1) * 2048 > img.size()) return nullptr;
    return reinterpret_cast<const uint8_t*>(img.data()) + n * 2048;
  };
  const uint8_t* a = blk(start + 256);
  if (!a || Le16(a) != 2) return w.error = "no anchor", w;
  uint32_t vds = Le32(a + 20);
  uint32_t fsd_lb = UINT32_MAX;
  bool have_pd = false;
  for (uint32_t i = 0; i < 16; ++i) {
    const uint8_t* d = blk(vds + i);
    if (!d) return w.error = "vds past end", w;
    uint16_t id = Le16(d);
    if (id == 5) w.partition_start = Le32(d + 188), have_pd = true;
    if (id == 6) fsd_lb = Le32(d + 248 + 4);
    if (id == 8) break;
  }
  if (!have_pd || fsd_lb == UINT32_MAX) return w.error = "no partition or lvd", w;
  const uint32_t ps = w.partition_start;
  const uint8_t* fsd = blk(ps + fsd_lb);
  if (!fsd || Le16(fsd) != 256) return w.error = "no file set", w;
  auto read_fe = [&](uint32_t lb, std::string* data) -> bool {
    const uint8_t* fe = blk(ps + lb);
    if (!fe || Le16(fe) != 261) return false;
    uint64_t len = Le64(fe + 56);
    uint32_t ea = Le32(fe + 168), ad = Le32(fe + 172);
    data->clear();
    for (uint32_t o = 0; o < ad && data->size() < len; o += 8) {
      uint32_t elen = Le32(fe + 176 + ea + o) & 0x3FFFFFFF, epos = Le32(fe + 176 + ea + o + 4);
      if ((uint64_t(ps) + epos) * 2048 + elen > img.size()) return false;
      data->append(img, (uint64_t(ps) + epos) * 2048, elen);
    }
    if (data->size() < len) return false;
    data->resize(len);
    return true;
  };
  std::string dir;
  if (!read_fe(Le32(fsd + 404), &dir)) return w.error = "bad root", w;
  for (size_t off = 0; off + 38 <= dir.size();) {
    auto* f = reinterpret_cast<const uint8_t*>(dir.data()) + off;
    if (Le16(f) != 257) return w.error = "bad fid", w;
    uint8_t chars = f[18], lfi = f[19];
    uint16_t liu = Le16(f + 36);
    std::string name;
    if (lfi > 0) {
      const uint8_t* n = f + 38 + liu;
      if (n[0] == 8) name.assign(reinterpret_cast<const char*>(n + 1), lfi - 1);
      else return w.error = "wide name", w;
    }
    if (!(chars & 0x08)) {
      std::string data;
      if (!read_fe(Le32(f + 24), &data)) return w.error = "bad file entry for " + name, w;
      w.files[name] = data;
    }
    off += (38 + liu + lfi + 3) & ~size_t{3};
  }
  return w;
}

}  // namespace optest
