// The 288-block UDF header, built in memory.
#include <cstdio>
#include <cstring>

#include "optical/cdrw.h"
#include "optical/udf_desc.h"

namespace udf {
namespace {

constexpr uint16_t kUdfRev = 0x0102;  // the UDF revision "NSR02" volumes carry
constexpr char kImpIdent[] = "*DVR Libcdrw";

template <class T>
T* At(std::vector<uint8_t>& img, uint32_t block) {
  return reinterpret_cast<T*>(img.data() + size_t{block} * kBlock);
}

void SetRegid(Regid& r, const char* ident, bool udf_suffix) {
  std::memset(&r, 0, sizeof r);
  std::strncpy(r.ident, ident, sizeof r.ident);
  if (udf_suffix) {
    r.suffix[0] = kUdfRev & 0xFF;
    r.suffix[1] = kUdfRev >> 8;
  }
}

void SetCharspec(Charspec& c) {
  std::memset(&c, 0, sizeof c);
  std::strncpy(reinterpret_cast<char*>(c.info), "OSTA Compressed Unicode", sizeof c.info);
}

// A dstring: compression 8, the text, its length (with the compression
// byte) in the last byte.
void SetDstring(uint8_t* d, size_t size, const std::string& text) {
  std::memset(d, 0, size);
  size_t n = std::min(text.size(), size - 2);
  d[0] = 8;
  std::memcpy(d + 1, text.data(), n);
  d[size - 1] = static_cast<uint8_t>(n + 1);
}

Timestamp Stamp(time_t when) {
  struct tm tm{};
  gmtime_r(&when, &tm);
  Timestamp t{};
  t.type_tz = 0x1000;  // local time, offset 0 (UTC)
  t.year = static_cast<int16_t>(tm.tm_year + 1900);
  t.month = static_cast<uint8_t>(tm.tm_mon + 1);
  t.day = static_cast<uint8_t>(tm.tm_mday);
  t.hour = static_cast<uint8_t>(tm.tm_hour);
  t.minute = static_cast<uint8_t>(tm.tm_min);
  t.second = static_cast<uint8_t>(tm.tm_sec);
  return t;
}

void Seal(std::vector<uint8_t>& img, uint32_t block, uint32_t off, uint16_t ident, uint32_t location, size_t size) {
  SetTag(img.data() + size_t{block} * kBlock + off, ident, location, static_cast<uint16_t>(size - sizeof(Tag)));
}

// Main volume descriptor sequence at `at` (header-relative).
void WriteVds(std::vector<uint8_t>& img, uint32_t at, const HeaderParams& p) {
  const uint32_t h = p.hdr_start;
  auto* pvd = At<PrimaryVolDesc>(img, at);
  pvd->vds_number = 0;
  SetDstring(pvd->vol_ident, sizeof pvd->vol_ident, p.volume);
  pvd->vol_seq = pvd->max_vol_seq = 1;
  pvd->interchange = pvd->max_interchange = 2;
  pvd->charset_list = pvd->max_charset_list = 1;
  char set[17];
  std::snprintf(set, sizeof set, "29436885%08X", static_cast<unsigned>(p.when));
  SetDstring(pvd->vol_set_ident, sizeof pvd->vol_set_ident, set);
  SetCharspec(pvd->desc_charset);
  SetCharspec(pvd->explanatory_charset);
  pvd->recorded = Stamp(p.when);
  SetRegid(pvd->imp_ident, kImpIdent, false);
  Seal(img, at, 0, kPvd, h + at, sizeof *pvd);

  auto* iuvd = At<ImpUseVolDesc>(img, at + 1);
  iuvd->vds_number = 1;
  SetRegid(iuvd->imp_ident, "*UDF LV Info", true);
  SetCharspec(iuvd->lvi_charset);
  SetDstring(iuvd->lv_ident, sizeof iuvd->lv_ident, p.volume);
  SetRegid(iuvd->lvi_imp_ident, kImpIdent, false);
  Seal(img, at + 1, 0, kIuvd, h + at + 1, sizeof *iuvd);

  auto* pd = At<PartitionDesc>(img, at + 2);
  pd->vds_number = 2;
  pd->flags = 1;
  pd->number = 0;
  SetRegid(pd->contents, "+NSR02", false);
  pd->access_type = 1;
  pd->start = h + kPartStart;
  pd->length = p.partition_length;
  SetRegid(pd->imp_ident, kImpIdent, false);
  Seal(img, at + 2, 0, kPd, h + at + 2, sizeof *pd);

  auto* lvd = At<LogicalVolDesc>(img, at + 3);
  lvd->vds_number = 3;
  SetCharspec(lvd->desc_charset);
  SetDstring(lvd->lv_ident, sizeof lvd->lv_ident, p.volume);
  lvd->block_size = kBlock;
  SetRegid(lvd->domain, "*OSTA UDF Compliant", true);
  lvd->fsd.length = kBlock * 2;
  lvd->fsd.location = {Rel(kFsdBlock), 0};
  lvd->map_table_length = sizeof(Type1Map);
  lvd->map_count = 1;
  SetRegid(lvd->imp_ident, kImpIdent, false);
  lvd->integrity_seq = {2 * kBlock, h + kLvidBlock};
  lvd->map = {1, 6, 1, 0};
  Seal(img, at + 3, 0, kLvd, h + at + 3, sizeof *lvd);

  auto* usd = At<UnallocSpaceDesc>(img, at + 4);
  usd->vds_number = 4;
  Seal(img, at + 4, 0, kUsd, h + at + 4, sizeof *usd);
  Seal(img, at + 5, 0, kTd, h + at + 5, sizeof(TermDesc));
}

// The 328 bytes of extended attributes every File Entry carries.
void WriteEas(uint8_t* ea, uint32_t fe_block, bool dir) {
  uint32_t off = sizeof(EaHeaderDesc);
  auto attr = [&](const char* ident, uint32_t data_len) {
    ImpUseEa h{};
    h.type = 2048;
    h.subtype = 1;
    h.length = static_cast<uint32_t>(sizeof h + data_len);
    h.imp_use_length = data_len;
    SetRegid(h.ident, ident, true);
    std::memcpy(ea + off, &h, sizeof h);
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof h; ++i) sum += ea[off + i];
    ea[off + sizeof h] = static_cast<uint8_t>(sum);
    ea[off + sizeof h + 1] = static_cast<uint8_t>(sum >> 8);
    off += h.length;
  };
  // Sizes chosen so the attributes fill the 328 bytes exactly.
  if (dir) {
    attr("*UDF FreeAppEASpace", 4);
    attr("*UDF DVD CGMS Info", 8);
    attr("*UDF Mac VolumeInfo", 60);
    attr("*UDF Mac FinderInfo", 40);
  } else {
    attr("*UDF FreeEASpace", 104);
    attr("*UDF DVD CGMS Info", 8);
    attr("*UDF Mac FinderInfo", 48);
  }
  EaHeaderDesc h{};
  h.imp_attr_location = sizeof(EaHeaderDesc);
  h.app_attr_location = kEaLength;
  std::memcpy(ea, &h, sizeof h);
  SetTag(ea, kEahd, fe_block, sizeof h - sizeof(Tag));
}

void WriteFe(std::vector<uint8_t>& img, uint32_t block, bool dir, uint64_t length, uint32_t data_block,
             uint64_t unique, time_t when) {
  uint8_t* b = img.data() + size_t{block} * kBlock;
  FileEntry fe{};
  fe.icb.strategy = 4;
  fe.icb.max_entries = 1;
  fe.icb.file_type = dir ? 4 : 5;
  fe.icb.flags = 0x0230;
  fe.uid = fe.gid = 0xFFFFFFFF;
  fe.permissions = 0x14A5;
  fe.link_count = 1;
  fe.info_length = length;
  fe.blocks_recorded = (length + kBlock - 1) / kBlock;
  fe.access_time = fe.modification_time = fe.attr_time = Stamp(when);
  fe.checkpoint = 1;
  SetRegid(fe.imp_ident, kImpIdent, false);
  fe.unique_id = unique;
  fe.ea_length = kEaLength;
  WriteEas(b + sizeof fe, Rel(block), dir);
  uint8_t* ad = b + sizeof fe + kEaLength;
  uint32_t n = 0;
  for (uint64_t left = length, at = data_block; left > 0; ++n) {
    uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(left, kMaxExtent));
    ShortAd s{len, static_cast<uint32_t>(at)};
    std::memcpy(ad + n * sizeof s, &s, sizeof s);
    left -= len;
    at += len / kBlock;
  }
  fe.ad_length = n * sizeof(ShortAd);
  std::memcpy(b, &fe, sizeof fe);
  SetTag(b, kFe, Rel(block), static_cast<uint16_t>(sizeof fe + kEaLength + fe.ad_length - sizeof(Tag)));
}

uint32_t PutFid(uint8_t* at, uint32_t location, uint8_t chars, const std::vector<uint8_t>& name, uint32_t icb,
                uint32_t unique) {
  FileIdentDesc f{};
  f.version = 1;
  f.characteristics = chars;
  f.name_length = static_cast<uint8_t>(name.size());
  f.icb.length = kBlock;
  f.icb.location = {icb, 0};
  std::memcpy(f.icb.imp_use + 2, &unique, 4);
  uint32_t size = FidSize(name.size());
  std::memset(at, 0, size);
  std::memcpy(at, &f, sizeof f);
  if (!name.empty()) std::memcpy(at + sizeof f, name.data(), name.size());
  SetTag(at, kFid, location, static_cast<uint16_t>(size - sizeof(Tag)));
  return size;
}

}  // namespace

uint32_t DirBlocks(const std::vector<UdfFile>& files) {
  uint64_t bytes = FidSize(0);
  for (const UdfFile& f : files) bytes += FidSize(EncodeCs0(f.name).size());
  return static_cast<uint32_t>((bytes + kBlock - 1) / kBlock);
}

bool DirFits(const std::vector<UdfFile>& files) {
  // Root entry, its identifiers, one entry per file, all below 288.
  return kRootDir + DirBlocks(files) + files.size() <= kDirEnd;
}

std::vector<uint8_t> BuildHeader(const HeaderParams& p) {
  static const std::vector<UdfFile> kNone;
  const std::vector<UdfFile>& files = p.files ? *p.files : kNone;
  if (!DirFits(files)) return {};
  std::vector<uint8_t> img(size_t{kHdrLength} * kBlock, 0);
  const char* vrs[] = {"BEA01", "NSR02", "TEA01"};
  for (uint32_t i = 0; i < 3; ++i) {
    auto* v = At<VolStructDesc>(img, kVrs + i);
    v->type = 0;
    std::memcpy(v->ident, vrs[i], 5);
    v->version = 1;
  }
  WriteVds(img, kMainVds, p);
  WriteVds(img, kReserveVds, p);

  auto* lvid = At<LogicalVolIntegrityDesc>(img, kLvidBlock);
  lvid->recorded = Stamp(p.when);
  lvid->type = 1;
  lvid->unique_id = 16 + files.size();
  lvid->partitions = 1;
  lvid->imp_use_length = sizeof(LvidImpUse);
  lvid->free_space = 0;
  lvid->size = p.partition_length;
  SetRegid(lvid->imp_use.imp_ident, kImpIdent, false);
  lvid->imp_use.files = static_cast<uint32_t>(files.size());
  lvid->imp_use.dirs = 1;
  lvid->imp_use.min_read_rev = lvid->imp_use.min_write_rev = lvid->imp_use.max_write_rev = kUdfRev;
  Seal(img, kLvidBlock, 0, kLvid, p.hdr_start + kLvidBlock, sizeof *lvid);
  Seal(img, kLvidBlock + 1, 0, kTd, p.hdr_start + kLvidBlock + 1, sizeof(TermDesc));

  BuildAnchor(img.data() + size_t{kAnchor} * kBlock, p.hdr_start + kAnchor, p.hdr_start);

  auto* fsd = At<FileSetDesc>(img, kFsdBlock);
  fsd->recorded = Stamp(p.when);
  fsd->interchange = fsd->max_interchange = 3;
  fsd->charset_list = fsd->max_charset_list = 1;
  SetCharspec(fsd->lv_charset);
  SetDstring(fsd->lv_ident, sizeof fsd->lv_ident, p.volume);
  SetCharspec(fsd->fs_charset);
  SetDstring(fsd->fs_ident, sizeof fsd->fs_ident, p.volume);
  fsd->root.length = kBlock;
  fsd->root.location = {Rel(kRootFe), 0};
  SetRegid(fsd->domain, "*OSTA UDF Compliant", true);
  Seal(img, kFsdBlock, 0, kFsd, Rel(kFsdBlock), sizeof *fsd);
  Seal(img, kFsdBlock + 1, 0, kTd, Rel(kFsdBlock + 1), sizeof(TermDesc));

  // Root directory: its identifiers from block 260, then one entry per file.
  const uint32_t dir_blocks = DirBlocks(files);
  const uint32_t first_fe = kRootDir + dir_blocks;
  std::vector<uint8_t> dir(size_t{dir_blocks} * kBlock, 0);
  uint32_t off = 0;
  auto fid_location = [&](uint32_t o) { return Rel(kRootDir) + o / kBlock; };
  off += PutFid(dir.data() + off, fid_location(off), 0x0A, {}, Rel(kRootFe), 0);
  for (size_t i = 0; i < files.size(); ++i) {
    off += PutFid(dir.data() + off, fid_location(off), 0, EncodeCs0(files[i].name),
                  Rel(first_fe) + static_cast<uint32_t>(i), static_cast<uint32_t>(16 + i));
  }
  std::memcpy(img.data() + size_t{kRootDir} * kBlock, dir.data(), dir.size());
  WriteFe(img, kRootFe, true, off, Rel(kRootDir), 0, p.when);
  for (size_t i = 0; i < files.size(); ++i)
    WriteFe(img, first_fe + static_cast<uint32_t>(i), false, files[i].length, files[i].start, 16 + i, p.when);
  return img;
}

void BuildAnchor(uint8_t* block, uint32_t location, uint32_t hdr_start) {
  std::memset(block, 0, kBlock);
  AnchorDesc a{};
  a.main_vds = {16 * kBlock, hdr_start + kMainVds};
  a.reserve_vds = {16 * kBlock, hdr_start + kReserveVds};
  std::memcpy(block, &a, sizeof a);
  SetTag(block, kAvdp, location, sizeof a - sizeof(Tag));
}

std::vector<uint8_t> EncodeCs0(const std::string& utf8) {
  std::vector<uint32_t> cps;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) cp = c, n = 1;
    else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
    else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
    else return {};
    if (i + n > utf8.size()) return {};
    for (size_t k = 1; k < n; ++k) {
      auto cc = static_cast<unsigned char>(utf8[i + k]);
      if ((cc & 0xC0) != 0x80) return {};
      cp = (cp << 6) | (cc & 0x3F);
    }
    cps.push_back(cp);
    i += n;
  }
  bool wide = false;
  for (uint32_t cp : cps) wide |= cp > 0xFF;
  std::vector<uint8_t> out{static_cast<uint8_t>(wide ? 16 : 8)};
  for (uint32_t cp : cps) {
    if (wide) out.push_back(static_cast<uint8_t>(cp >> 8));
    out.push_back(static_cast<uint8_t>(cp));
  }
  if (cps.empty() || out.size() > 255) return {};
  return out;
}

}  // namespace udf
