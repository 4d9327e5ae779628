// On-disc UDF descriptors (ECMA-167 2nd edition, OSTA UDF "NSR02"), as
// they lie on the disc: packed, little-endian fields.  The board and the
// host are both little-endian; the static_asserts pin every layout.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "descriptors are stored as the CPU lays them out");

namespace udf {

inline constexpr uint32_t kBlock = 2048;
inline constexpr uint32_t kHdrLength = 288;  // UDF_HDR_LENGTH

enum TagId : uint16_t {
  kPvd = 1, kAvdp = 2, kIuvd = 4, kPd = 5, kLvd = 6, kUsd = 7, kTd = 8, kLvid = 9,
  kFsd = 256, kFid = 257, kFe = 261, kEahd = 262,
};

#define UDF_PACKED __attribute__((packed))

struct UDF_PACKED Tag {
  uint16_t ident;
  uint16_t version;
  uint8_t checksum;
  uint8_t reserved;
  uint16_t serial;
  uint16_t crc;
  uint16_t crc_length;
  uint32_t location;
};
static_assert(sizeof(Tag) == 16 && offsetof(Tag, crc) == 8 && offsetof(Tag, location) == 12);

struct UDF_PACKED Charspec {
  uint8_t type;
  uint8_t info[63];
};
static_assert(sizeof(Charspec) == 64);

struct UDF_PACKED Timestamp {
  uint16_t type_tz;
  int16_t year;
  uint8_t month, day, hour, minute, second, centi, hundreds_us, us;
};
static_assert(sizeof(Timestamp) == 12);

struct UDF_PACKED Regid {
  uint8_t flags;
  char ident[23];
  uint8_t suffix[8];
};
static_assert(sizeof(Regid) == 32);

struct UDF_PACKED ExtentAd {
  uint32_t length;
  uint32_t location;
};
static_assert(sizeof(ExtentAd) == 8);

struct UDF_PACKED LbAddr {
  uint32_t block;
  uint16_t partition;
};
static_assert(sizeof(LbAddr) == 6);

struct UDF_PACKED ShortAd {
  uint32_t length;
  uint32_t position;
};
static_assert(sizeof(ShortAd) == 8);

struct UDF_PACKED LongAd {
  uint32_t length;
  LbAddr location;
  uint8_t imp_use[6];
};
static_assert(sizeof(LongAd) == 16);

struct UDF_PACKED VolStructDesc {
  uint8_t type;
  char ident[5];
  uint8_t version;
  uint8_t data[2041];
};
static_assert(sizeof(VolStructDesc) == kBlock);

struct UDF_PACKED PrimaryVolDesc {
  Tag tag;
  uint32_t vds_number;
  uint32_t pvd_number;
  uint8_t vol_ident[32];
  uint16_t vol_seq;
  uint16_t max_vol_seq;
  uint16_t interchange;
  uint16_t max_interchange;
  uint32_t charset_list;
  uint32_t max_charset_list;
  uint8_t vol_set_ident[128];
  Charspec desc_charset;
  Charspec explanatory_charset;
  ExtentAd abstract;
  ExtentAd copyright;
  Regid app_ident;
  Timestamp recorded;
  Regid imp_ident;
  uint8_t imp_use[64];
  uint32_t predecessor;
  uint16_t flags;
  uint8_t reserved[22];
};
static_assert(sizeof(PrimaryVolDesc) == 512 && offsetof(PrimaryVolDesc, vol_set_ident) == 72 &&
              offsetof(PrimaryVolDesc, recorded) == 376 && offsetof(PrimaryVolDesc, flags) == 488);

struct UDF_PACKED ImpUseVolDesc {
  Tag tag;
  uint32_t vds_number;
  Regid imp_ident;  // "*UDF LV Info"
  Charspec lvi_charset;
  uint8_t lv_ident[128];
  uint8_t lv_info[3][36];
  Regid lvi_imp_ident;
  uint8_t lvi_imp_use[128];
};
static_assert(sizeof(ImpUseVolDesc) == 512 && offsetof(ImpUseVolDesc, lvi_charset) == 52);

struct UDF_PACKED PartitionDesc {
  Tag tag;
  uint32_t vds_number;
  uint16_t flags;
  uint16_t number;
  Regid contents;
  uint8_t contents_use[128];
  uint32_t access_type;
  uint32_t start;
  uint32_t length;
  Regid imp_ident;
  uint8_t imp_use[128];
  uint8_t reserved[156];
};
static_assert(sizeof(PartitionDesc) == 512 && offsetof(PartitionDesc, access_type) == 184 &&
              offsetof(PartitionDesc, start) == 188 && offsetof(PartitionDesc, imp_ident) == 196);

struct UDF_PACKED Type1Map {
  uint8_t type;
  uint8_t length;
  uint16_t vol_seq;
  uint16_t partition;
};
static_assert(sizeof(Type1Map) == 6);

struct UDF_PACKED LogicalVolDesc {
  Tag tag;
  uint32_t vds_number;
  Charspec desc_charset;
  uint8_t lv_ident[128];
  uint32_t block_size;
  Regid domain;
  LongAd fsd;  // logical volume contents use: where the file set lies
  uint32_t map_table_length;
  uint32_t map_count;
  Regid imp_ident;
  uint8_t imp_use[128];
  ExtentAd integrity_seq;
  Type1Map map;
};
static_assert(sizeof(LogicalVolDesc) == 446 && offsetof(LogicalVolDesc, block_size) == 212 &&
              offsetof(LogicalVolDesc, fsd) == 248 && offsetof(LogicalVolDesc, integrity_seq) == 432);

struct UDF_PACKED UnallocSpaceDesc {
  Tag tag;
  uint32_t vds_number;
  uint32_t count;
};
static_assert(sizeof(UnallocSpaceDesc) == 24);

struct UDF_PACKED TermDesc {
  Tag tag;
  uint8_t reserved[496];
};
static_assert(sizeof(TermDesc) == 512);

struct UDF_PACKED LvidImpUse {
  Regid imp_ident;
  uint32_t files;
  uint32_t dirs;
  uint16_t min_read_rev;
  uint16_t min_write_rev;
  uint16_t max_write_rev;
};
static_assert(sizeof(LvidImpUse) == 46);

struct UDF_PACKED LogicalVolIntegrityDesc {
  Tag tag;
  Timestamp recorded;
  uint32_t type;  // 1: closed
  ExtentAd next;
  uint64_t unique_id;  // first field of the contents use
  uint8_t contents_use_rest[24];
  uint32_t partitions;
  uint32_t imp_use_length;
  uint32_t free_space;
  uint32_t size;
  LvidImpUse imp_use;
};
static_assert(sizeof(LogicalVolIntegrityDesc) == 134 && offsetof(LogicalVolIntegrityDesc, partitions) == 72 &&
              offsetof(LogicalVolIntegrityDesc, imp_use) == 88);

struct UDF_PACKED AnchorDesc {
  Tag tag;
  ExtentAd main_vds;
  ExtentAd reserve_vds;
  uint8_t reserved[480];
};
static_assert(sizeof(AnchorDesc) == 512);

struct UDF_PACKED FileSetDesc {
  Tag tag;
  Timestamp recorded;
  uint16_t interchange;
  uint16_t max_interchange;
  uint32_t charset_list;
  uint32_t max_charset_list;
  uint32_t fileset_number;
  uint32_t fsd_number;
  Charspec lv_charset;
  uint8_t lv_ident[128];
  Charspec fs_charset;
  uint8_t fs_ident[32];
  uint8_t copyright_ident[32];
  uint8_t abstract_ident[32];
  LongAd root;
  Regid domain;
  LongAd next;
  LongAd stream_dir;
  uint8_t reserved[32];
};
static_assert(sizeof(FileSetDesc) == 512 && offsetof(FileSetDesc, root) == 400 && offsetof(FileSetDesc, domain) == 416);

struct UDF_PACKED IcbTag {
  uint32_t prior_entries;
  uint16_t strategy;
  uint16_t strategy_param;
  uint16_t max_entries;
  uint8_t reserved;
  uint8_t file_type;  // 4 directory, 5 file
  LbAddr parent;
  uint16_t flags;
};
static_assert(sizeof(IcbTag) == 20);

struct UDF_PACKED FileEntry {
  Tag tag;
  IcbTag icb;
  uint32_t uid;
  uint32_t gid;
  uint32_t permissions;
  uint16_t link_count;
  uint8_t record_format;
  uint8_t record_display;
  uint32_t record_length;
  uint64_t info_length;
  uint64_t blocks_recorded;
  Timestamp access_time;
  Timestamp modification_time;
  Timestamp attr_time;
  uint32_t checkpoint;
  LongAd ea_icb;
  Regid imp_ident;
  uint64_t unique_id;
  uint32_t ea_length;
  uint32_t ad_length;
};
static_assert(sizeof(FileEntry) == 176 && offsetof(FileEntry, info_length) == 56 &&
              offsetof(FileEntry, checkpoint) == 108 && offsetof(FileEntry, ea_length) == 168);

struct UDF_PACKED EaHeaderDesc {
  Tag tag;
  uint32_t imp_attr_location;
  uint32_t app_attr_location;
};
static_assert(sizeof(EaHeaderDesc) == 24);

// Implementation-use extended attribute header; the attribute's own data
// (starting with its header checksum) follows.
struct UDF_PACKED ImpUseEa {
  uint32_t type;  // 2048
  uint8_t subtype;
  uint8_t reserved[3];
  uint32_t length;
  uint32_t imp_use_length;
  Regid ident;
};
static_assert(sizeof(ImpUseEa) == 48);

struct UDF_PACKED FileIdentDesc {
  Tag tag;
  uint16_t version;
  uint8_t characteristics;  // 2 directory, 8 parent
  uint8_t name_length;
  LongAd icb;
  uint16_t imp_use_length;
};
static_assert(sizeof(FileIdentDesc) == 38);

inline constexpr uint32_t kEaLength = 328;
inline constexpr uint32_t kMaxExtent = 0x3FFFF800;  // largest extent, a whole number of blocks

}  // namespace udf

namespace udf {
// Fills the tag at the start of `desc` (version 2, serial 0) with the CRC
// over the `crc_len` bytes after it and the tag checksum.
void SetTag(uint8_t* desc, uint16_t ident, uint32_t location, uint16_t crc_len);
uint8_t TagChecksum(const uint8_t* tag);
}  // namespace udf

#include <ctime>
#include <string>
#include <vector>

struct UdfFile;

namespace udf {

// The header's fixed places, in blocks from its start.
inline constexpr uint32_t kVrs = 16, kMainVds = 32, kReserveVds = 48, kLvidBlock = 64, kAnchor = 256, kFsdBlock = 257,
                          kRootFe = 259, kRootDir = 260, kDirEnd = 288;
// The partition starts with the file set, right after the anchor, so it
// overlaps none of the volume structures; its blocks count from there.
inline constexpr uint32_t kPartStart = kFsdBlock;
inline constexpr uint32_t Rel(uint32_t header_block) { return header_block - kPartStart; }

// OSTA CS0 for a file name: one byte per character when all are below
// 0x100, else two; at most 254 characters' worth.  Empty on bad input.
std::vector<uint8_t> EncodeCs0(const std::string& utf8);
// Size of a File Identifier Descriptor naming `cs0`.
inline uint32_t FidSize(size_t cs0_len) { return static_cast<uint32_t>((38 + cs0_len + 3) & ~size_t{3}); }
// Blocks the root directory's identifiers take for these files.
uint32_t DirBlocks(const std::vector<UdfFile>& files);
// Whether the directory and the file entries of `files` fit below block 288.
bool DirFits(const std::vector<UdfFile>& files);

struct HeaderParams {
  uint32_t hdr_start = 0;         // absolute block
  uint32_t partition_length = 0;  // blocks from hdr_start + kPartStart
  std::string volume;
  time_t when = 0;
  const std::vector<UdfFile>* files = nullptr;
};
// The 288 header blocks; empty when the files do not fit.
std::vector<uint8_t> BuildHeader(const HeaderParams& p);
// One block holding the anchor for absolute block `location`.
void BuildAnchor(uint8_t* block, uint32_t location, uint32_t hdr_start);

}  // namespace udf
