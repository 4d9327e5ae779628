// Test support: boards with a boot flash (a partition table and its
// partitions on mtd0) on NOR or NAND, and the boot flash as the boot loader
// reads it, straight from the board's image files.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/fwpkg/fwpkg.h"
#include "support/board.h"

namespace testsupport {

// Reproducible bytes for images and payloads.
std::string TestData(size_t n, unsigned seed);

struct BootFlashSpec {
  bool nand = false;
  std::vector<unsigned> bad;  // factory bad blocks of mtd0
  uint32_t device = 8u << 20;
};

// A board description (the default board with the boot flash chip and its
// flash record) written into `dir`; returns its path for TempBoard.
std::string BootFlashBoard(const BootFlashSpec& spec, const std::string& dir);

// The partitions of the boot flash images the tests start from.
struct BootPart {
  const char* name;
  uint32_t start, size;
};
extern const BootPart kBootParts[3];  // linux-dev, firmware, bootloader

// Builds the logical image of a boot flash with `images` (by partition
// name) in its partitions, with the fwpkg tool.
std::string MakeBootImage(const std::map<std::string, std::string>& images, uint32_t device, const std::string& dir);

// mtd0 as the boot loader reads it: its good blocks in order.
std::string ReadLogical(const TempBoard& b);
void WriteLogical(const TempBoard& b, const std::string& logical);

struct BootView {
  bool table_ok = false;
  struct Part {
    uint32_t valid = 0;
    fwpkg::Container state = fwpkg::Container::Empty;
    std::string payload;  // when the container checks out
  };
  std::map<std::string, Part> parts;
};
BootView ViewBootFlash(const std::string& logical);

// The update markers of the board's "updateflag" partition (mtd2).
struct UpdateMarks {
  bool started = false, ended = false;
};
UpdateMarks ReadUpdateMarks(const TempBoard& b);

}  // namespace testsupport
