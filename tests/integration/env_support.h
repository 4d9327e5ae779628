// Shared by the boot environment integration tests: board variants and an
// independent reader of the stored image (zlib's CRC and the transform as
// the format defines them, none of the product's code).
#pragma once

#include <zlib.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "support/board.h"

namespace envtest {

// A board description from boards/NAME.json changed by `edit`, written to a
// file TempBoard can take.
template <class F>
std::string Variant(const std::string& name, const std::string& tag, F edit) {
  std::ifstream in(sim::BoardsDir() + "/" + name + ".json");
  auto j = nlohmann::json::parse(in);
  edit(j);
  std::string path = testing::TempDir() + "/" + name + "-" + tag + ".json";
  std::ofstream(path) << j.dump(2);
  return path;
}

inline void NoBackup(nlohmann::json& j) { j["resource"]["records"]["EnvGetRes"].erase("Backup"); }

struct Image {
  bool crc_ok = false;
  std::vector<std::string> entries;
  bool has_end = false;
};

// Decodes `size` bytes of stored image.
inline Image Decode(const std::string& stored) {
  Image im;
  if (stored.size() < 6) return im;
  auto* s = reinterpret_cast<const unsigned char*>(stored.data());
  uint32_t want = static_cast<uint32_t>(crc32(0, s + 4, static_cast<uInt>(stored.size() - 4)));
  uint32_t got = s[0] | s[1] << 8 | s[2] << 16 | static_cast<uint32_t>(s[3]) << 24;
  im.crc_ok = want == got;
  std::string body;
  for (size_t i = 4; i < stored.size(); ++i) body += static_cast<char>(((256 - s[i]) & 0xFF) ^ 0x6D);
  size_t p = 0;
  while (p < body.size() && body[p] != '\0') {
    size_t e = body.find('\0', p);
    if (e == std::string::npos) return im;
    im.entries.push_back(body.substr(p, e - p));
    p = e + 1;
  }
  im.has_end = p < body.size();
  return im;
}

inline std::string Slice(const std::string& file, size_t off, size_t len) {
  std::string all = testsupport::ReadFile(file);
  return off < all.size() ? all.substr(off, len) : std::string();
}

inline bool Contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

}  // namespace envtest
