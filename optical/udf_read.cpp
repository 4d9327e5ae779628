// Reading a disc's UDF structures back: every descriptor is tag-checked,
// every length bounded by the block or the area it lies in.
#define CDRW_MODULE "mkudfimg"

#include <cstring>
#include <set>

#include "optical/cdrw.h"
#include "optical/cdrw_log.h"
#include "optical/udf_desc.h"

namespace {

using udf::kBlock;
using Block = std::vector<uint8_t>;

constexpr uint32_t kMaxVdsBlocks = 64;     // a sequence longer than this is garbage
constexpr uint32_t kMaxDirBytes = 64 * kBlock;
constexpr size_t kMaxFiles = 4096;

template <class T>
T Get(const Block& b, size_t off = 0) {
  T v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}

// Reads block `lba` and checks it holds descriptor `ident` tagged `loc`.
int ReadDesc(const UdfBlockReader& read, uint32_t lba, uint32_t loc, uint16_t ident, Block* b) {
  b->assign(kBlock, 0);
  if (read(lba, b->data()) != 0) {
    CDRW_ERR("read block %u failed.", lba);
    return -1;
  }
  uint16_t got = Get<uint16_t>(*b);
  if (ident != 0 && got != ident) {
    CDRW_ERR("tags ident not match %d != %u.", got, ident);
    return -1;
  }
  return udf_check_tags(b->data(), kBlock, loc);
}

bool CheckVrs(const UdfBlockReader& read, uint32_t session, bool report) {
  Block b(kBlock);
  bool bea = false, nsr = false;
  for (uint32_t i = 0; i < 32; ++i) {
    if (read(session + 16 + i, b.data()) != 0) break;
    auto v = Get<udf::VolStructDesc>(b);
    std::string id(v.ident, 5);
    if (id == "BEA01") bea = true;
    else if (bea && (id == "NSR02" || id == "NSR03")) nsr = true;
    else if (id == "TEA01") return bea && nsr;
    else if (id != "CD001" && id != "BOOT2" && id != "CDW02") break;
  }
  if (report) CDRW_ERR("no UDF volume recognition sequence at %u.", session + 16);
  return false;
}

int ReadFe(const UdfBlockReader& read, uint32_t pstart, uint32_t plen, uint32_t block, udf::FileEntry* fe,
           std::vector<udf::ShortAd>* ads) {
  Block b;
  if (block >= plen || ReadDesc(read, pstart + block, block, udf::kFe, &b) != 0) {
    CDRW_ERR("bad file entry at %u.", block);
    return -1;
  }
  *fe = Get<udf::FileEntry>(b);
  if ((fe->icb.flags & 7) != 0 || fe->ea_length > kBlock || fe->ad_length > kBlock ||
      sizeof *fe + fe->ea_length + fe->ad_length > kBlock || fe->ad_length % sizeof(udf::ShortAd) != 0) {
    CDRW_ERR("file entry at %u: lengths past the block.", block);
    return -1;
  }
  ads->clear();
  uint64_t covered = 0;
  for (uint32_t off = 0; off < fe->ad_length; off += sizeof(udf::ShortAd)) {
    auto ad = Get<udf::ShortAd>(b, sizeof *fe + fe->ea_length + off);
    uint32_t len = ad.length & 0x3FFFFFFF;
    if (len == 0) break;
    uint64_t blocks = (uint64_t{len} + kBlock - 1) / kBlock;
    if (ad.position > plen || blocks > plen - ad.position) {
      CDRW_ERR("file entry at %u: extent past the partition.", block);
      return -1;
    }
    covered += len;
    ads->push_back({len, ad.position});
  }
  if (covered < fe->info_length) {
    CDRW_ERR("file entry at %u: length %llu past its extents.", block,
             static_cast<unsigned long long>(fe->info_length));
    return -1;
  }
  return 0;
}

}  // namespace

int udf_scan_session(const UdfBlockReader& read, uint32_t session, uint32_t last_block, UdfScan* out) {
  CDRW_CHECK(out != nullptr && read);
  *out = UdfScan{};
  out->session_start = session;
  out->last_block = last_block;
  Block b;
  uint32_t anchors[] = {session + udf::kAnchor, last_block, last_block >= 256 ? last_block - 256 : 0};
  bool found = false;
  for (size_t i = 0; i < 3 && !found; ++i) {
    if (anchors[i] > last_block || (i > 0 && anchors[i] == 0)) continue;
    found = ReadDesc(read, anchors[i], anchors[i], udf::kAvdp, &b) == 0;
    if (found) out->anchor = anchors[i];
    else if (i == 0) CDRW_WARN("anchor at 256 of session check failed, will try other anchors.");
  }
  if (!found) {
    CDRW_ERR("cannot find anchors dec.");
    return -1;
  }
  auto avdp = Get<udf::AnchorDesc>(b);
  // A rewritable disc keeps several recordings in one session: the last
  // one is found by its end anchor, and its recognition sequence lies in
  // the 32 blocks before its descriptor sequence.
  uint32_t volume = session;
  if (!CheckVrs(read, session, false)) {
    uint32_t v = avdp.main_vds.location >= 32 ? avdp.main_vds.location - 32 : 0;
    if (v <= session || v > last_block || !CheckVrs(read, v, true)) {
      if (v <= session) CheckVrs(read, session, true);
      return -1;
    }
    volume = v;
  }
  out->session_start = volume;
  uint32_t vds_len = std::min(avdp.main_vds.length / kBlock, kMaxVdsBlocks);
  bool pvd = false, pd = false, lvd = false;
  udf::LongAd fsd{};
  for (uint32_t i = 0; i < vds_len; ++i) {
    uint32_t lba = avdp.main_vds.location + i;
    if (lba > last_block || ReadDesc(read, lba, lba, 0, &b) != 0) return -1;
    uint16_t id = Get<uint16_t>(b);
    if (id == udf::kTd) break;
    if (id == udf::kPvd) {
      auto d = Get<udf::PrimaryVolDesc>(b);
      std::string name;
      size_t n = std::min<size_t>(d.vol_ident[31], 31);
      if (n > 0 && udf_CS0toUTF8(d.vol_ident, n, &name) != 0) return -1;
      out->volume = name;
      pvd = true;
    } else if (id == udf::kPd) {
      auto d = Get<udf::PartitionDesc>(b);
      out->partition_start = d.start;
      out->partition_length = d.length;
      pd = true;
    } else if (id == udf::kLvd) {
      auto d = Get<udf::LogicalVolDesc>(b);
      if (d.block_size != kBlock) {
        CDRW_ERR("logical block size %u not supported.", d.block_size);
        return -1;
      }
      fsd = d.fsd;
      lvd = true;
    }
  }
  if (!pvd) {
    CDRW_ERR("Primary Volume Descriptor not found!");
    return -1;
  }
  if (!pd || !lvd || out->partition_start > last_block) {
    CDRW_ERR("partition or logical volume not found.");
    return -1;
  }
  const uint32_t ps = out->partition_start;
  const uint32_t pl = std::min(out->partition_length, last_block - ps + 1);
  out->fsd = fsd.location.block;
  if (out->fsd >= pl || ReadDesc(read, ps + out->fsd, out->fsd, udf::kFsd, &b) != 0) return -1;
  CDRW_INFO("FileSet found in LogicalVolDesc at block=%d", static_cast<int>(out->fsd));
  out->root = Get<udf::FileSetDesc>(b).root.location.block;
  CDRW_INFO("Rootdir at block=%d.", static_cast<int>(out->root));

  udf::FileEntry fe{};
  std::vector<udf::ShortAd> ads;
  if (ReadFe(read, ps, pl, out->root, &fe, &ads) != 0) return -1;
  if (fe.icb.file_type != 4 || fe.info_length > kMaxDirBytes) {
    CDRW_ERR("root directory at %u unusable.", out->root);
    return -1;
  }
  // The directory's bytes, block by block, each remembering where it lies.
  Block dir;
  std::vector<uint32_t> where;
  for (const auto& ad : ads) {
    for (uint32_t i = 0; i * kBlock < ad.length && dir.size() < fe.info_length; ++i) {
      Block blk(kBlock);
      if (read(ps + ad.position + i, blk.data()) != 0) return -1;
      dir.insert(dir.end(), blk.begin(), blk.end());
      where.push_back(ad.position + i);
    }
  }
  dir.resize(fe.info_length);
  out->lowest_fe = out->root;
  std::set<uint32_t> seen{out->root};
  for (size_t off = 0; off + sizeof(udf::FileIdentDesc) <= dir.size();) {
    auto fid = Get<udf::FileIdentDesc>(dir, off);
    size_t size = (sizeof fid + fid.imp_use_length + fid.name_length + 3) & ~size_t{3};
    if (size > dir.size() - off ||
        udf_check_tags(dir.data() + off, size, where[off / kBlock]) != 0 || fid.tag.ident != udf::kFid) {
      CDRW_ERR("bad file identifier at directory offset %zu.", off);
      return -1;
    }
    CDRW_INFO("FileIdent found in Rootdir at block=%u, len=%u", where[off / kBlock], static_cast<unsigned>(size));
    off += size;
    if (fid.characteristics & 0x0A) continue;  // parent, subdirectories: only the root's files are ours
    if (out->files.size() >= kMaxFiles || !seen.insert(fid.icb.location.block).second) {
      CDRW_ERR("directory loops or holds too many entries.");
      return -1;
    }
    UdfFile f;
    if (udf_get_filename(dir.data() + off - size + sizeof fid + fid.imp_use_length, fid.name_length, &f.name) != 0)
      return -1;
    udf::FileEntry ffe{};
    if (ReadFe(read, ps, pl, fid.icb.location.block, &ffe, &ads) != 0) return -1;
    f.length = ffe.info_length;
    f.start = ads.empty() ? 0 : ads.front().position;
    out->lowest_fe = std::min(out->lowest_fe, fid.icb.location.block);
    out->files.push_back(std::move(f));
  }
  if (ReadDesc(read, last_block, last_block, udf::kAvdp, &b) == 0) {
    out->end_anchor = last_block;
    CDRW_INFO("End Avdp found at block=%u", last_block);
  }
  return 0;
}

int cdrw_scan_disc_udf(CdrwBlockDev* dev, UdfScan* out) {
  CDRW_CHECK(dev != nullptr && out != nullptr);
  uint32_t start = 0, last = 0;
  if (dev->LastSession(&start, &last) != 0) return -EIO;
  CDRW_INFO("last_session is %d.", static_cast<int>(start));
  CDRW_INFO("last_block is %ld.", static_cast<long>(last));
  auto reader = [dev](uint32_t lba, uint8_t* b) { return dev->ReadBlocks(lba, b, 1); };
  if (udf_scan_session(reader, start, last, out) != 0) return -1;
  if (out->lowest_fe < udf::Rel(udf::kRootFe)) {
    CDRW_ERR("file entry lba less than %d, will be corrupted, cannot support continued recording.",
             static_cast<int>(udf::Rel(udf::kRootFe)));
    return -1;
  }
  return 0;
}
