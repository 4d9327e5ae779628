// The dual-backup flag partition "updateflag": block 0 holds the update
// markers, the next block the boot fail count the boot loader raises on
// every start and the system clears once it has come up.

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/flashset/flashset.h"
#include "platform/res/res.h"

namespace {

struct DulBakupDev {
  bool Inited = false;
  bool cleared = false;
  int (*ClearBootFailCount)() = nullptr;
  flash::MtdDev* mtd = nullptr;
  flash::EmmcDev* emmc = nullptr;
};
DulBakupDev g_dul;

constexpr uint32_t kEmmcCountOffset = 0x20000;
constexpr uint32_t kEmmcPage = 512;

int clear_none() { return 0; }

// The flag partition's page: the MTD partition's write size, or one eMMC
// sector.
uint32_t page_size() { return g_dul.mtd ? std::max<uint32_t>(g_dul.mtd->pagesize(), 1) : kEmmcPage; }

// Writes one page that holds `first` and then 0xFF bytes.
int write_page(uint32_t off, uint8_t first) {
  std::vector<uint8_t> page(page_size(), 0xFF);
  page[0] = first;
  return g_dul.mtd ? g_dul.mtd->Write(page.data(), off, page_size()) : g_dul.emmc->Write(page.data(), off, page_size());
}

int clear_count() {
  uint32_t off = g_dul.mtd ? g_dul.mtd->erasesize() : kEmmcCountOffset;
  if (g_dul.mtd && g_dul.mtd->Erase(off) != 0) DVR_ERROR("erase updaeflag parition(offset=0x%x) failed.\n", off);
  if (write_page(off, 0x00) != 0) {
    DVR_ERROR("mtd partition write failed(blk = 0x%x size=0x%x)\n", off, page_size());
    return OSA_EFAIL;
  }
  DVR_WARN("DulBackup: clear boot fail count success.\n");
  return 0;
}

// Update markers: a page starting 0x55 at the start of block 0 says an
// update of the boot flash began, a page starting 0xAA one page further
// says it ended.  A dual-backup boot loader that finds the first without
// the second boots its backup copy, which covers the moments in which the
// boot flash's own partition table is being rewritten.
constexpr uint8_t kUpdateStarted = 0x55, kUpdateEnded = 0xAA;

// What the page at `off` holds: 0xFF when blank, the marker byte when it is
// a marker page, 0 for anything else, -1 when it cannot be read.
int mark_at(uint32_t off) {
  std::vector<uint8_t> page(page_size(), 0);
  int r = g_dul.mtd ? g_dul.mtd->Read(page.data(), off, page_size()) : g_dul.emmc->Read(page.data(), off, page_size());
  if (r != 0) {
    DVR_ERROR("read updateflag partition(offset=0x%x) failed.\n", off);
    return -1;
  }
  bool rest_blank = std::all_of(page.begin() + 1, page.end(), [](uint8_t b) { return b == 0xFF; });
  return rest_blank ? page[0] : 0;
}

int write_mark(uint32_t off, uint8_t marker) {
  if (write_page(off, marker) != 0 || mark_at(off) != marker) {
    DVR_ERROR("write updateflag partition(offset=0x%x) marker 0x%02x failed.\n", off, marker);
    return OSA_EFAIL;
  }
  return 0;
}

bool has_markers() {
  if (!g_dul.Inited) {
    DVR_WARN("dul-backup: not inited, update markers are not kept.\n");
    return false;
  }
  return g_dul.mtd || g_dul.emmc;
}

}  // namespace

int DulBackupMarkUpdateStart() {
  if (!has_markers()) return 0;
  // Finishing an interrupted update: the marks already say so.
  if (mark_at(0) == kUpdateStarted && mark_at(page_size()) == 0xFF) return 0;
  if (g_dul.mtd) {
    if (g_dul.mtd->Erase(0) != 0) {
      DVR_ERROR("erase updaeflag parition(offset=0x%x) failed.\n", 0u);
      return OSA_EFAIL;
    }
  } else if (write_mark(page_size(), 0xFF) != 0) {  // eMMC has no erase: the end mark goes first
    return OSA_EFAIL;
  }
  if (write_mark(0, kUpdateStarted) != 0) return OSA_EFAIL;
  DVR_INFO("dul-backup: update started.\n");
  return 0;
}

int DulBackupMarkUpdateEnd() {
  if (!has_markers()) return 0;
  if (mark_at(page_size()) == kUpdateEnded) return 0;
  if (write_mark(page_size(), kUpdateEnded) != 0) return OSA_EFAIL;
  DVR_INFO("dul-backup: update ended.\n");
  return 0;
}

int DulBackupDevInit() {
  if (g_dul.Inited) {
    DVR_ERROR("DulBackupDev already inited\n");
    return OSA_EFAIL;
  }
  auto res = std::make_unique<FlashRes>();
  if (FlashGetRes(res.get()) != 0) {
    DVR_ERROR("get flash resource failed\n");
    return OSA_EFAIL;
  }
  const char* kName = "updateflag";
  for (uint32_t c = 0; c < std::min(res->ChipCount, kFlashMaxChips); ++c) {
    const FlashChipEntry& chip = res->Chip[c];
    if (chip.Type != FLASH_CHIP_MTD && chip.Type != FLASH_CHIP_EMMC) {
      DVR_INFO("dulbackup only supports mtd devices\n");
      continue;
    }
    bool mtd = chip.Type == FLASH_CHIP_MTD;
    uint32_t n = std::min(chip.PartCount, mtd ? kFlashMaxMtdParts : kFlashMaxEmmcParts);
    for (uint32_t i = 0; i < n; ++i) {
      const char* name = mtd ? chip.Mtd[i].Name : chip.Emmc[i].Name;
      size_t len = mtd ? sizeof chip.Mtd[i].Name : sizeof chip.Emmc[i].Name;
      if (strnlen(name, len) != std::strlen(kName) || std::strncmp(name, kName, len) != 0) continue;
      DVR_INFO("dul-backup: %s paritition found.\n", kName);
      int r = mtd ? flash::MtdDevProbe(chip.Mtd[i], &g_dul.mtd) : flash::EmmcDevProbe(chip.Emmc[i], &g_dul.emmc);
      if (r != 0) {
        DVR_ERROR("open mtd part(%s) failed\n", kName);
        return OSA_EFAIL;
      }
      DVR_INFO("dul-backup: implete using mtd device.\n");
      g_dul.ClearBootFailCount = clear_count;
      g_dul.Inited = true;
      return 0;
    }
  }
  DVR_INFO("dul-backup: DO NOT SUPPORT.\n");
  g_dul.ClearBootFailCount = clear_none;
  g_dul.Inited = true;
  return 0;
}

int DulBackupClearBootFailCount() {
  if (!g_dul.Inited) {
    OSA_CHECK_FAIL("DulBakupDev.Inited");
    return OSA_EFAIL;
  }
  if (!g_dul.ClearBootFailCount) {
    OSA_CHECK_FAIL("DulBakupDev.ClearBootFailCount");
    return OSA_EFAIL;
  }
  if (g_dul.cleared) return 0;
  DVR_WARN("dul-backup: clear boot fail count in DulBackupClearBootFailCount()\n");
  if (g_dul.ClearBootFailCount() != 0) {
    DVR_ERROR("clear boot fail count failed\n");
    return OSA_EFAIL;
  }
  g_dul.cleared = true;
  DVR_INFO("boot fail count cleared.\n");
  return 0;
}
