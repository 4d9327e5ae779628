// The flash set: the board's flash chips as one flat address space, every
// write verified by reading it back, partitions erased by name, and the
// dual-backup flag partition through which the system tells the boot
// loader that it came up.  Built once by platform initialisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "osa/osa.h"
#include "platform/flash/flash.h"

// ------------------------------------------------ flash resource record

inline constexpr uint32_t kFlashMaxChips = 3;
inline constexpr uint32_t kFlashMaxMtdParts = 22;   // 984 bytes of 44-byte entries
inline constexpr uint32_t kFlashMaxEmmcParts = 15;  // 984 bytes of 64-byte entries

enum FlashChipType : int32_t { FLASH_CHIP_NONE = 0, FLASH_CHIP_MTD = 1, FLASH_CHIP_EMMC = 2 };

struct FlashChipEntry {
  int32_t Type;        // FlashChipType
  uint32_t Size;       // bytes covered in the flat address space
  uint32_t Base;       // first flat address
  uint32_t PartCount;  // entries that follow
  union {
    MtdPartEntry Mtd[kFlashMaxMtdParts];
    EmmcPartEntry Emmc[kFlashMaxEmmcParts];
    uint8_t Raw[984];
  };
};
static_assert(sizeof(FlashChipEntry) == 1000);
static_assert(offsetof(FlashChipEntry, Size) == 4 && offsetof(FlashChipEntry, Base) == 8);
static_assert(offsetof(FlashChipEntry, PartCount) == 12 && offsetof(FlashChipEntry, Mtd) == 16);

struct FlashRes {
  uint32_t ChipCount;  // at most 3
  FlashChipEntry Chip[kFlashMaxChips];
  uint8_t Reserved[96];
};
static_assert(sizeof(FlashRes) == 3100);
static_assert(offsetof(FlashRes, Chip) == 4);

// The logo window: flat addresses that reach the partition named "logo"
// on whichever chip has one.
inline constexpr uint32_t kLogoBase = 0x807C0000;
inline constexpr uint32_t kLogoSize = 0x140000;

// ------------------------------------------------------- flash devices

// -2 between device and set: the address is not on the asked chip.
inline constexpr int kFlashNotHere = -2;

struct FlashDev;
struct Flashs;
struct FlashDevOps {
  int (*Create)(FlashDev* dev);
  int (*Read)(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
  int (*Write)(const void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
  int (*Erase)(uint32_t addr, FlashDev* dev);
};

struct FlashDev {
  FlashChipEntry chip{};
  uint32_t erase_unit = 0;
  std::vector<flash::MtdDev*> mtd;    // type 1, in entry order
  std::vector<flash::EmmcDev*> emmc;  // type 2, in entry order
  const FlashDevOps* ops = nullptr;
  Flashs* owner = nullptr;  // the set that built it: statistics and restore flag
  osa::Mutex lock{osa::Mutex::Kind::Recursive};
};

int FlashMtdCreate(FlashDev* dev);
int FlashMtdRead(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
int FlashMtdWrite(const void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
int FlashMtdErase(uint32_t addr, FlashDev* dev);
int FlashEmmcCreate(FlashDev* dev);
int FlashEmmcRead(void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
int FlashEmmcWrite(const void* buf, uint32_t addr, uint32_t len, uint32_t* done, FlashDev* dev);
int FlashEmmcErase(uint32_t addr, FlashDev* dev);
// Flat address -> (partition, offset inside it).  0, kFlashNotHere, or -1.
int FlashConvertMtd(uint32_t* addr, flash::MtdDev** part, FlashDev* dev);
int FlashConvertEmmc(uint32_t* addr, flash::EmmcDev** part, FlashDev* dev);

// ------------------------------------------------------------ the set

// Bytes moved through the partitions by the set, for the benchmarks.
struct FlashsStats {
  uint64_t read = 0, written = 0, erased = 0;
};

// Restore flag of one flash family: 0 nothing written, 1 a boot partition
// was written, 2 the boot environment says so.  It only moves forward.
struct FlashsRestore {
  int mtd = 0, emmc = 0;
};

struct Flashs {
  FlashRes res{};
  uint32_t count = 0;
  FlashDev devs[kFlashMaxChips];
  bool built = false;
  // Guarded by state_lock: chips of the set are driven from several threads.
  FlashsStats stats;
  FlashsRestore restore;
  osa::Mutex state_lock;
  void ResetForTest();  // as never built
};

// The process-wide set that FlashDevInit builds.
Flashs* FlashsDefault();

int FlashDevInit();
int FlashsCreate(Flashs* set);
int FlashsRead(void* buf, uint32_t addr, uint32_t len, Flashs* set = FlashsDefault());
int FlashsWrite(const void* buf, uint32_t addr, uint32_t len, Flashs* set = FlashsDefault());
int FlashsErase(uint32_t addr, Flashs* set = FlashsDefault());
int FlashsErasePartition(const char* name, Flashs* set = FlashsDefault());
// Stops the programs that hold flash open and unmounts its file systems
// before flash is rewritten.
int FlashsInit();

// ------------------------------------------------------- dual backup

int DulBackupDevInit();
int DulBackupClearBootFailCount();
// Bracket a rewrite of the boot flash with the update markers of the flag
// partition, so the boot loader can tell an interrupted update.  Without a
// flag partition they do nothing.  0 or -1.
int DulBackupMarkUpdateStart();
int DulBackupMarkUpdateEnd();
