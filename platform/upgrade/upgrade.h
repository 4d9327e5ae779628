// Upgrades: the firmware package install and the boot flash partition
// image update it writes partitions through.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/fwpkg/fwpkg.h"
#include "platform/res/res.h"

// -------------------------------------------- partition image update

inline constexpr uint64_t kFlashPartMinDevice = fwpkg::kMinBootFlash;
inline constexpr uint64_t kFlashPartMaxDevice = fwpkg::kMaxBootFlash;

struct FlashPartOptions {
  int operator_permission = 0;            // 1 lifts the restriction on partitions other than "linux-dev"
  const char* device = "/dev/mtdblock0";
  const char* partition = nullptr;
  const char* image_name = nullptr;       // for messages
  const uint8_t* image = nullptr;
  uint32_t image_len = 0;
};

struct FlashPartDevice {
  uint64_t size = 0;
  bool is_file = false;  // a plain file stands for the device
  fwpkg::PartTable table;
};

int FlashPartInit(const FlashPartOptions& opt, FlashPartDevice* dev);
int FlashPartWriteBlock(const FlashPartDevice& dev, const uint8_t* buf, uint32_t len, uint32_t off);
int FlashPartReadBlock(const FlashPartDevice& dev, uint8_t* buf, uint32_t off, uint32_t len);
// The stored payload CRC of a partition, 0xFFFFFFFF when it holds none.
uint32_t FlashPartGetCRC32(const FlashPartDevice& dev, const fwpkg::TableEntry& entry);
// Checks, after writing, that the partition holds the container of an
// image of `len` bytes with CRC `crc`.  0 or -1.
int FlashPartValidCheck(const FlashPartDevice& dev, const fwpkg::TableEntry& entry, uint32_t len, uint32_t crc);
// Checks the options against the device without writing: the partition
// exists, may be written, and the image fits.  0 or -1.
int FlashPartPrecheck(const FlashPartOptions& opt);
// The largest image partition `partition` of `device` can take, 0 when
// the device or its table cannot tell (the update then says why).
uint32_t FlashPartImageLimit(const char* device, const char* partition);
int FlashPartDoUpdate(const FlashPartOptions& opt);

// --------------------------------------------------- package install

struct UpgradeBlock {
  const uint8_t* data;
  uint32_t len;
};

enum UpgradeProgressMode : int { UPGRADE_PROGRESS_BYTES = 0, UPGRADE_PROGRESS_PERCENT = 1 };

// Installs a package held in memory as `count` blocks.  Returns one of the
// fwpkg::kUpgrade... codes: 0, -1 space, -2 short, -3 header, -4 checksum,
// -5 write, -6 admission.
int SysUpgrade(const UpgradeBlock* blocks, uint32_t count, uint32_t* progress, int mode, const SystemRes_t* system);

// Settings tests change: where the check script's answer goes, and the
// pause before "System upgrade done!".
struct UpgradePaths {
  std::string script_result = "/tmp/script_result";
  unsigned settle_seconds = 5;
};
UpgradePaths& SysUpgradePaths();
