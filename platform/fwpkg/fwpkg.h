// Firmware package and flash partition container formats: the records as
// they lie in a package file or on the boot flash, and pure functions that
// check and decode them.  Nothing here touches a device; the installer
// (platform/upgrade) and the host tool (tools/fwpkg) build on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fwpkg {

// ------------------------------------------------------------ package

// Results of a package install, also used by the checks below.
enum : int {
  kUpgradeOk = 0,
  kUpgradeNoSpace = -1,     // program volume too full
  kUpgradeShort = -2,       // first block shorter than the header
  kUpgradeBadHeader = -3,   // bad magic or a header that contradicts itself
  kUpgradeBadChecksum = -4,
  kUpgradeWriteFailed = -5,
  kUpgradeRefused = -6,     // an admission rule said no
};

inline constexpr std::size_t kHeaderLen = 1548;
// The largest package the tools read: the installer holds a package whole
// in memory, and no board has more.
inline constexpr uint64_t kMaxPackageLen = 256ull << 20;
inline constexpr std::size_t kItemCount = 4;

// One item entry as stored (integers little-endian).
struct RawItem {
  char version[16];
  char type[16];
  uint32_t start;   // offset of the data within the package
  uint32_t number;  // length of the data
  char path[256];
};
static_assert(sizeof(RawItem) == 296);
static_assert(offsetof(RawItem, type) == 16);
static_assert(offsetof(RawItem, start) == 32);
static_assert(offsetof(RawItem, number) == 36);
static_assert(offsetof(RawItem, path) == 40);

// The package header as stored (integers little-endian).
struct RawHeader {
  char magic[4];
  char version[16];
  char depend[16];
  char vendor[16];
  char machine[32];
  RawItem items[kItemCount];
  uint32_t checksum;
  uint32_t pack_size;
  uint32_t script_flag;
  uint32_t script_start;
  uint32_t script_len;
  char script_path[260];
};
static_assert(sizeof(RawHeader) == kHeaderLen);
static_assert(offsetof(RawHeader, version) == 4);
static_assert(offsetof(RawHeader, depend) == 20);
static_assert(offsetof(RawHeader, vendor) == 36);
static_assert(offsetof(RawHeader, machine) == 52);
static_assert(offsetof(RawHeader, items) == 84);
static_assert(offsetof(RawHeader, checksum) == 1268);
static_assert(offsetof(RawHeader, pack_size) == 1272);
static_assert(offsetof(RawHeader, script_flag) == 1276);
static_assert(offsetof(RawHeader, script_start) == 1280);
static_assert(offsetof(RawHeader, script_len) == 1284);
static_assert(offsetof(RawHeader, script_path) == 1288);

enum class ItemKind { Kernel, Rootfs, Firmware, Bootloader, Bin, DomBin, DomData, Dom, Bios, Skip };
ItemKind KindOf(std::string_view type);
const char* KindName(ItemKind k);  // the type word; "" for Skip

struct Item {
  std::string version, type, path;  // fixed fields up to their first NUL
  uint32_t start = 0, number = 0;
  ItemKind kind = ItemKind::Skip;
};

struct Header {
  char magic[4] = {};
  std::string version, depend, vendor, machine;
  std::array<Item, kItemCount> items;
  uint32_t checksum = 0, pack_size = 0, script_flag = 0, script_start = 0, script_len = 0;
  std::string script_path;
  RawHeader raw{};  // the bytes as they came, integers in host order
};

// Decodes the header from the first block.  kUpgradeShort when the block
// is shorter than the header (later blocks are not looked at).
int DecodeHeader(std::span<const uint8_t> first_block, Header* out);

// Magic: byte 0 'P' or 'Z', byte 1 'K' or 'Q', then "I7".
bool MagicOk(const char magic[4]);

// Checks that the header describes a package of `total` bytes: every used
// item and the script lie after the header and inside the package, and
// their paths end inside their fields.  kUpgradeOk, or kUpgradeBadHeader
// with *err saying what is wrong.
int CheckLayout(const Header& h, uint64_t total, std::string* err);

// The package checksum over every byte after the header: the reflected
// CRC-32 of IEEE 802.3 with register 0 and no final complement.  Blocks are
// read in order as one byte string, the header skipped.
uint32_t PackageChecksum(std::span<const std::span<const uint8_t>> blocks);
// The same register arithmetic, continued from `crc` over `data`.
uint32_t ChecksumUpdate(uint32_t crc, std::span<const uint8_t> data);

// How many bytes a package with this header can hold: the stated pack
// size, or further where an item or the script ends.
uint64_t StatedLength(const Header& h);

// Encodes a header (host tool): fields from h, integers little-endian.
std::array<uint8_t, kHeaderLen> EncodeHeader(const Header& h);

// ------------------------------------------------- partition container

inline constexpr std::size_t kTrailerLen = 8;
inline constexpr std::size_t kContainerSlack = 22;  // a payload may be at most S - 22 bytes
inline constexpr uint32_t kNoPayload = 0xFFFFFFFF;   // length of an erased region

// The CRC register of the MSB-first CRC-32 (polynomial 0x04C11DB7, start
// 0xFFFFFFFF) after `data`, before the final complement.
uint32_t PmcspCRC32(std::span<const uint8_t> data);
// What a container stores: the complement of the register.
inline uint32_t ContainerCrc(std::span<const uint8_t> data) { return ~PmcspCRC32(data); }

// The container of `data` in `size` bytes: payload, 0xFF filler, big-endian
// length and CRC.  Empty when the payload does not fit.
std::vector<uint8_t> FlashPartCreateByBuf(std::span<const uint8_t> data, uint32_t size);

enum class Container {
  Valid,      // length within bounds and CRC matches
  Empty,      // length 0xFFFFFFFF: erased, no payload
  BadLength,  // any other length above S - 22
  BadCrc,
};
struct ContainerInfo {
  Container state = Container::Empty;
  uint32_t length = 0, stored_crc = 0, computed_crc = 0;
};
// Checks a whole region as read from flash.
ContainerInfo CheckContainer(std::span<const uint8_t> region);
// Only the trailer: length and stored CRC (state Valid means "length in
// bounds", the payload is not looked at).
ContainerInfo ReadTrailer(std::span<const uint8_t, kTrailerLen> trailer, uint32_t region_size);
const char* ContainerName(Container c);

// ------------------------------------------------- partition table

inline constexpr uint32_t kTableBlockLen = 131072;
// The boot flash sizes the partition update works on.
inline constexpr uint64_t kMinBootFlash = 8ull << 20;
inline constexpr uint64_t kMaxBootFlash = 64ull << 20;
inline constexpr std::size_t kTableHeaderLen = 16;
inline constexpr std::size_t kTableEntryLen = 52;
inline constexpr std::size_t kTableMaxEntries = 32;
inline constexpr std::size_t kTableReadLen = kTableHeaderLen + kTableMaxEntries * kTableEntryLen;  // 1680
static_assert(kTableReadLen == 1680);

// One entry as stored (little-endian).
struct RawTableEntry {
  uint32_t start;
  uint32_t size;
  uint32_t word8;  // not interpreted, kept
  uint32_t valid;  // 1 valid, 0 being rewritten
  char name[16];   // NUL-padded; 16 characters have no terminator
  uint8_t rest[20];
};
static_assert(sizeof(RawTableEntry) == kTableEntryLen);
static_assert(offsetof(RawTableEntry, valid) == 12);
static_assert(offsetof(RawTableEntry, name) == 16);
static_assert(offsetof(RawTableEntry, rest) == 32);

struct TableEntry {
  uint32_t start = 0, size = 0, valid = 0;
  std::string name;  // at most 16 characters
};

class PartTable {
 public:
  // Decodes a table payload (at least the header; entries as many as it
  // says, at most 32).  Every entry must lie inside a device of
  // `device_size` bytes and be large enough for a container.  False with
  // *err set otherwise.
  static bool Decode(std::span<const uint8_t> payload, uint64_t device_size, PartTable* out, std::string* err);

  std::size_t size() const { return entries_.size(); }
  const TableEntry& operator[](std::size_t i) const { return entries_[i]; }
  // Index of the entry whose name matches (at most 16 characters), or -1.
  int Find(std::string_view name) const;
  void SetValid(std::size_t i, bool valid);
  // The payload written back: 16 + N x 52 bytes, every byte not set here
  // as it was read.
  std::vector<uint8_t> Encode() const;

  // Builds a table (host tool): a zero header with the entry count.
  static PartTable Make(const std::vector<TableEntry>& entries);

 private:
  std::vector<uint8_t> raw_;  // header and entries as read
  std::vector<TableEntry> entries_;
};

// The erase unit the host tool assumes when none is given: the smallest
// erase block of the boot flashes in use (NOR).
inline constexpr uint32_t kDefaultEraseUnit = 0x10000;

// Whether a decoded table can be written safely: every entry lies after
// the table block and inside the device, overlaps no other entry and has a
// name of its own; with `erase_unit` not 0, starts and sizes are multiples
// of it (erasing a partition must not touch its neighbours).  The
// installer and the host tool both judge a table by this.  False with *err
// saying which entry is wrong.
bool CheckPartTable(const PartTable& t, uint64_t device_size, uint32_t erase_unit, std::string* err);

// Byte order helpers for the formats.
inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}

}  // namespace fwpkg
