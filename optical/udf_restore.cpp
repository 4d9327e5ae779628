// The saved configuration of a recording, restoring an interrupted one,
// and the one-shot recording of files known in advance.
#define CDRW_MODULE "mkudfimg"

#include <charconv>
#include <cstring>
#include <map>

#include "optical/cdrw.h"
#include "optical/cdrw_log.h"
#include "optical/udf_desc.h"

namespace {

constexpr char kMagic[] = "dvr-udf-restore";
constexpr size_t kMaxConfigFiles = 4096;

bool Number(std::string_view t, uint64_t max, uint64_t* v) {
  if (t.empty() || t.size() > 20) return false;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), *v);
  return ec == std::errc() && p == t.data() + t.size() && *v <= max;
}

int Bad(std::string* err, const std::string& what) {
  if (err) *err = what;
  return -1;
}

}  // namespace

std::string cdrw_udf_save_config(const CdrwBlockDev* dev) {
  if (dev == nullptr) return {};
  const UdfWriterState& s = dev->udf;
  std::string t = std::string(kMagic) + " " + std::to_string(kUdfConfigVersion) + "\n";
  auto kv = [&](const char* k, uint64_t v) { t += std::string(k) + " " + std::to_string(v) + "\n"; };
  kv("profile", static_cast<uint64_t>(const_cast<CdrwBlockDev*>(dev)->Profile()));
  kv("option", static_cast<uint64_t>(s.option));
  kv("unit", s.unit);
  kv("header", s.hdr_start);
  kv("data", s.data_start);
  kv("next", s.next);
  kv("session", s.session);
  kv("udf_track", s.udf_track);
  kv("data_track", s.data_track);
  kv("end_anchor", s.end_anchor);
  kv("data_closed", s.data_closed ? 1 : 0);
  t += "volume " + s.volume + "\n";
  for (const UdfFile& f : s.files)
    t += "file " + std::to_string(f.start) + " " + std::to_string(f.length) + " " + f.name + "\n";
  t += "end\n";
  return t;
}

int cdrw_udf_parse_config(const std::string& text, UdfRestoreConfig* out, std::string* err) {
  if (out == nullptr) return Bad(err, "no configuration to fill");
  *out = UdfRestoreConfig{};
  std::map<std::string, uint64_t> nums;
  bool have_volume = false, ended = false;
  size_t line_no = 0;
  for (size_t pos = 0; pos < text.size() && !ended;) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return Bad(err, "line " + std::to_string(line_no + 1) + ": no line end");
    std::string_view line(text.data() + pos, nl - pos);
    pos = nl + 1;
    ++line_no;
    size_t sp = line.find(' ');
    std::string_view key = line.substr(0, sp), rest = sp == std::string_view::npos ? "" : line.substr(sp + 1);
    std::string where = "line " + std::to_string(line_no);
    if (line_no == 1) {
      uint64_t v;
      if (key != kMagic || !Number(rest, 1000, &v)) return Bad(err, "not a restore configuration");
      if (v != kUdfConfigVersion) return Bad(err, "configuration version " + std::to_string(v) + " not supported");
      continue;
    }
    if (key == "end" && rest.empty()) {
      ended = true;
    } else if (key == "volume") {
      if (rest.size() > 30) return Bad(err, where + ": volume name too long");
      out->volume = std::string(rest);
      have_volume = true;
    } else if (key == "file") {
      size_t a = rest.find(' ');
      size_t b = a == std::string_view::npos ? a : rest.find(' ', a + 1);
      uint64_t start, length;
      if (b == std::string_view::npos || !Number(rest.substr(0, a), UINT32_MAX, &start) ||
          !Number(rest.substr(a + 1, b - a - 1), UINT64_MAX / 2, &length) || b + 1 >= rest.size())
        return Bad(err, where + ": bad file line");
      if (out->files.size() >= kMaxConfigFiles) return Bad(err, where + ": too many files");
      out->files.push_back({std::string(rest.substr(b + 1)), static_cast<uint32_t>(start), length});
    } else {
      static const char* kKeys[] = {"profile", "option", "unit", "header", "data", "next",
                                    "session", "udf_track", "data_track", "end_anchor", "data_closed"};
      bool known = false;
      for (const char* k : kKeys) known |= key == k;
      uint64_t v;
      if (!known || nums.count(std::string(key)) || !Number(rest, UINT32_MAX, &v))
        return Bad(err, where + ": bad or repeated field " + std::string(key.substr(0, 32)));
      nums[std::string(key)] = v;
    }
  }
  if (line_no == 0) return Bad(err, "empty configuration");
  if (!ended || nums.size() != 11 || !have_volume) return Bad(err, "configuration incomplete");
  out->profile = static_cast<int>(nums["profile"]);
  out->option = static_cast<int>(nums["option"]);
  out->unit = static_cast<uint32_t>(nums["unit"]);
  out->hdr_start = static_cast<uint32_t>(nums["header"]);
  out->data_start = static_cast<uint32_t>(nums["data"]);
  out->next = static_cast<uint32_t>(nums["next"]);
  out->session = static_cast<uint32_t>(nums["session"]);
  out->udf_track = static_cast<uint32_t>(nums["udf_track"]);
  out->data_track = static_cast<uint32_t>(nums["data_track"]);
  out->end_anchor = static_cast<uint32_t>(nums["end_anchor"]);
  out->data_closed = nums["data_closed"] != 0;
  return 0;
}

namespace {

// Whether a saved recording fits the disc in the drive and itself.
bool ConfigFits(CdrwBlockDev* dev, const UdfRestoreConfig& c) {
  if (c.profile != dev->Profile() || c.unit != cdrw_write_unit(c.profile)) return false;
  if (!cdrw_profile_sequential(c.profile) && !cdrw_profile_rewritable(c.profile)) return false;
  if (c.data_start != udf::Rel(udf::kHdrLength)) return false;
  if (c.hdr_start > UINT32_MAX - udf::kHdrLength || c.next < c.hdr_start + udf::kHdrLength) return false;
  if ((c.next - c.hdr_start - udf::kHdrLength) % c.unit != 0) return false;
  if (c.end_anchor != 0 && c.end_anchor != c.next - 1) return false;
  const uint64_t data_end = c.end_anchor ? c.end_anchor - c.unit + 1 : c.next;  // first block after the files
  for (const UdfFile& f : c.files) {
    uint64_t first = uint64_t{c.hdr_start} + udf::kPartStart + f.start;
    uint64_t blocks = (f.length + udf::kBlock - 1) / udf::kBlock;
    if (f.start < c.data_start || first + blocks > data_end || udf::EncodeCs0(f.name).empty()) return false;
  }
  if (!udf::DirFits(c.files)) return false;
  if (cdrw_profile_sequential(c.profile)) {
    // The header track must still take the header; the data track, while
    // open, must go on exactly where the saved recording stopped.
    uint32_t nwa = 0;
    if (dev->TrackNwa(c.udf_track, &nwa) != 0 || nwa < c.hdr_start || nwa > c.hdr_start + udf::kHdrLength) return false;
    if (!c.data_closed && (dev->TrackNwa(c.data_track, &nwa) != 0 || nwa != c.next)) return false;
  }
  return true;
}

}  // namespace

int cdrw_udf_restore(CdrwBlockDev* dev, const UdfRestoreConfig& cfg) {
  CDRW_CHECK(dev != nullptr);
  CDRW_CHECK(!dev->udf.started);
  if (!ConfigFits(dev, cfg)) {
    CDRW_ERR("check restore config failed.");
    return -EINVAL;
  }
  CDRW_INFO("udf restore record...");
  UdfWriterState& s = dev->udf;
  s = UdfWriterState{};
  s.option = cfg.option;
  s.unit = cfg.unit;
  s.hdr_start = cfg.hdr_start;
  s.data_start = cfg.data_start;
  s.next = cfg.next;
  s.session = cfg.session;
  s.udf_track = cfg.udf_track;
  s.data_track = cfg.data_track;
  s.end_anchor = cfg.end_anchor;
  s.data_closed = cfg.data_closed;
  s.volume = cfg.volume;
  s.files = cfg.files;
  for (const UdfFile& f : cfg.files) s.total_bytes += f.length;
  s.started = true;
  CDRW_INFO("restore udf header at %u, data start at %u from partition.", s.hdr_start, s.data_start);
  CDRW_INFO("restore udf in session %u, udf track %u, data track %u.", s.session, s.udf_track, s.data_track);
  return cdrw_udf_hdr_end(dev, nullptr, 0);
}

int cdrw_udf_hdr(CdrwBlockDev* dev, const UdfFile* files, int count, int option, const UdfFileSource& source) {
  CDRW_CHECK(dev != nullptr);
  CDRW_CHECK(count >= 0 && (files != nullptr || count == 0) && source);
  if (int ret = cdrw_udf_hdr_start(dev, option); ret != 0) return ret;
  std::vector<uint8_t> buf(1 << 20);
  int ret = 0;
  for (int i = 0; i < count && ret == 0; ++i) {
    if ((ret = cdrw_udf_open_file(dev, files[i].name.c_str())) != 0) break;
    for (uint64_t off = 0; off < files[i].length && ret == 0;) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), files[i].length - off));
      long n = source(files[i], off, buf.data(), want);
      if (n <= 0 || static_cast<size_t>(n) > want) {
        CDRW_ERR("read %s at %llu failed.", files[i].name.c_str(), static_cast<unsigned long long>(off));
        ret = -EIO;
        break;
      }
      ret = cdrw_udf_filedata(dev, buf.data(), static_cast<size_t>(n));
      off += static_cast<uint64_t>(n);
    }
    int closed = cdrw_udf_close_file(dev);
    if (ret == 0) ret = closed;
  }
  if (ret == 0) ret = cdrw_udf_hdr_end(dev, nullptr, 0);
  cdrw_udf_end(dev);
  return ret;
}
