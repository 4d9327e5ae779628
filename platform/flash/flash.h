// Flash partitions: one object per MTD or eMMC partition, opened once per
// process and shared.  Offsets are relative to the partition; every call
// returns 0 on success and -1 on failure, after logging what failed
// (operation, device, block).
//
// NAND partitions offer two ways past bad blocks: mapped access through a
// good-block table (logical block n is the n-th good block), and skipping
// access (the *Env calls) that steps over bad blocks as it meets them.  On
// NOR the skipping calls are the plain ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "osa/osa.h"

// ------------------------------------------------ resource table entries

// MTD partition entry as the resource table holds it (little-endian).
struct MtdPartEntry {
  int32_t MtdNum;       // the N of /dev/mtdN
  char Name[32];        // NUL-terminated
  int32_t AccessMode;   // kMtdAccessDirect: mapped reads bypass the good-block table
  int32_t Reserved;
};
static_assert(sizeof(MtdPartEntry) == 44);
static_assert(offsetof(MtdPartEntry, Name) == 4);
static_assert(offsetof(MtdPartEntry, AccessMode) == 36);

inline constexpr int32_t kMtdAccessDirect = 2;

// eMMC partition entry as the resource table holds it.
struct EmmcPartEntry {
  int32_t PartIndex;    // the kernel's partition number minus 1
  uint32_t PartSize;    // bytes; 0: taken from the kernel at open
  uint8_t MmcNum;       // the N of mmcblkN
  char Name[55];        // NUL-terminated
};
static_assert(sizeof(EmmcPartEntry) == 64);
static_assert(offsetof(EmmcPartEntry, PartSize) == 4);
static_assert(offsetof(EmmcPartEntry, MmcNum) == 8);
static_assert(offsetof(EmmcPartEntry, Name) == 9);

namespace flash {

// ------------------------------------------------------------ /proc/mtd

struct MtdLine {
  unsigned num = 0;      // decimal number after the last 'd' or 'k' of the device word
  std::string dev;       // "mtd3:"
  uint32_t size = 0;
  uint32_t erasesize = 0;
  std::string name;      // without the quotes
  uint64_t start = 0;    // sum of the sizes of the lines before
};

// Parses the text of /proc/mtd.  Lines without "mtd" (the header) are
// skipped; any other line must be "mtdN: SIZE ERASESIZE \"NAME\"" with hex
// sizes.  False with *err naming the line when one is malformed.
bool ParseProcMtd(std::string_view text, std::vector<MtdLine>* out, std::string* err);

// Reads and parses /proc/mtd through the kernel seam.
bool ReadProcMtd(std::vector<MtdLine>* out, std::string* err);

enum class FlashType { Nor, Nand };

// ------------------------------------------------------------- MTD

class MtdDev {
 public:
  const MtdPartEntry& entry() const { return entry_; }
  const char* name() const { return entry_.Name; }
  const std::string& path() const { return path_; }
  FlashType type() const { return type_; }
  uint64_t start() const { return start_; }       // sum of the sizes listed before it
  uint32_t size() const { return size_; }
  uint32_t erasesize() const { return erasesize_; }
  uint32_t pagesize() const { return pagesize_; }
  int fd() const { return fd_.get(); }

  // Mapped access (NAND: through the good-block table).
  int Read(void* buf, uint32_t off, uint32_t len);
  int Write(const void* buf, uint32_t off, uint32_t len);
  int Erase(uint32_t off);  // the one erase block at off

  // Skipping access: bad blocks met on the way are stepped over, keeping
  // the position within the block, so a region erased, written and read
  // this way lands on the same good blocks.  EraseEnv erases [off, off+len)
  // in steps of `unit` (0: the partition's erase size; NOR may erase in
  // smaller sectors).
  int ReadEnv(void* buf, uint32_t off, uint32_t len);
  int WriteEnv(const void* buf, uint32_t off, uint32_t len);
  int EraseEnv(uint32_t off, uint32_t len, uint32_t unit = 0);

  // MEMGETBADBLOCK for the block at off.  0 with *bad set when the driver
  // answered, -1 when it could not be asked.  NOR has no bad blocks.
  int QueryBad(uint32_t off, bool* bad);
  // Physical offset of the good block holding logical `off`.
  int LookupTab(uint32_t off, uint32_t* phys);  // Flash_LookupTab
  // Mapped blocks of the good-block table (built on first use).
  int GoodBlocks(uint32_t* count);

  static constexpr unsigned kMaxGoodBlocks = 1024;

 private:
  friend int MtdDevProbe(const MtdPartEntry& entry, MtdDev** dev);
  MtdDev() = default;
  int CreateBlkMapTab();   // under lock_
  int SkipBad(uint32_t* off, const char* op);
  int NandRead(void* buf, uint32_t off, uint32_t len);
  int NandWrite(const void* buf, uint32_t off, uint32_t len);
  int NandErase(uint32_t off);
  int NandReadEnv(void* buf, uint32_t off, uint32_t len);
  int NandWriteEnv(const void* buf, uint32_t off, uint32_t len);
  int NandEraseEnv(uint32_t off, uint32_t len, uint32_t unit);
  int NorRead(void* buf, uint32_t off, uint32_t len);
  int NorWrite(const void* buf, uint32_t off, uint32_t len);
  int NorErase(uint32_t off, uint32_t unit);
  int EraseRegion(uint32_t phys, uint32_t len);
  // Where the piece at *off goes: *phys, or -1 after logging.
  using MapFn = int (MtdDev::*)(uint32_t* off, uint32_t* phys, bool wr);
  int MapTab(uint32_t* off, uint32_t* phys, bool wr);
  int MapSkip(uint32_t* off, uint32_t* phys, bool wr);
  int MapNone(uint32_t* off, uint32_t* phys, bool wr);
  int Transfer(bool wr, const void* buf, uint32_t off, uint32_t len, uint32_t chunk, MapFn map);

  MtdPartEntry entry_{};
  std::string path_;
  osa::UniqueFd fd_;
  FlashType type_ = FlashType::Nor;
  uint64_t start_ = 0;
  uint32_t size_ = 0, erasesize_ = 0, pagesize_ = 0;
  bool tab_built_ = false;
  std::vector<uint32_t> tab_;  // physical offsets of the good blocks, in order
  osa::Mutex lock_{osa::Mutex::Kind::Recursive};
};

// The process-wide object for the entry's (MTD number, name): found, or
// created and opened.  0 with *dev set, or -1.
int MtdDevProbe(const MtdPartEntry& entry, MtdDev** dev);
// Closes every MTD partition object; none may be in use (process shutdown,
// tests that switch boards).
void MtdDevReleaseAll();

// ------------------------------------------------------------- eMMC

class EmmcDev {
 public:
  const EmmcPartEntry& entry() const { return entry_; }
  const char* name() const { return entry_.Name; }
  const std::string& path() const { return path_; }
  uint64_t start() const { return start_; }  // bytes, inside the device
  uint32_t size() const { return entry_.PartSize; }
  static constexpr uint32_t kBlockSize = 512;

  int Read(void* buf, uint32_t off, uint32_t len);
  int Write(const void* buf, uint32_t off, uint32_t len);
  int Erase(uint32_t off);  // eMMC needs no erase: succeeds, medium unchanged

 private:
  friend int EmmcDevProbe(const EmmcPartEntry& entry, EmmcDev** dev);
  EmmcDev() = default;

  EmmcPartEntry entry_{};
  std::string path_;
  osa::UniqueFd fd_;
  uint64_t start_ = 0, part_size_ = 0;
  osa::Mutex lock_{osa::Mutex::Kind::Recursive};
};

// The process-wide object for the entry (all 64 bytes compared).  An entry
// size of 0 is replaced by the partition's size, in the object's copy.
int EmmcDevProbe(const EmmcPartEntry& entry, EmmcDev** dev);
void EmmcDevReleaseAll();

}  // namespace flash

// MEMGETBADBLOCK on fd at off: 0 good; 1 bad or the query failed (warned).
int Flash_isBadBlock(int fd, uint32_t off);
