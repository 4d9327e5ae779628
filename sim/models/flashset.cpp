#include "sim/models/flashset.h"

#include <linux/fs.h>

#include <cstdio>
#include <fstream>

#include "platform/flashset/flashset.h"

namespace sim {

const Schema* FlashResSchema() {
  static const Schema part{{SIM_FIELD(MtdPartEntry, MtdNum, U32), SIM_FIELD(MtdPartEntry, Name, Str, 32),
                            SIM_FIELD(MtdPartEntry, AccessMode, U32)}};
  static const Schema emmc{{SIM_FIELD(EmmcPartEntry, PartIndex, U32), SIM_FIELD(EmmcPartEntry, PartSize, U32),
                            SIM_FIELD(EmmcPartEntry, MmcNum, U8), SIM_FIELD(EmmcPartEntry, Name, Str, 55)}};
  static const Schema chip{{SIM_FIELD(FlashChipEntry, Type, U32), SIM_FIELD(FlashChipEntry, Size, U32),
                            SIM_FIELD(FlashChipEntry, Base, U32),
                            Field{"Mtd", offsetof(FlashChipEntry, Mtd), FieldKind::Array, sizeof(MtdPartEntry), &part,
                                  kFlashMaxMtdParts, offsetof(FlashChipEntry, PartCount)},
                            Field{"Emmc", offsetof(FlashChipEntry, Emmc), FieldKind::Array, sizeof(EmmcPartEntry),
                                  &emmc, kFlashMaxEmmcParts, offsetof(FlashChipEntry, PartCount)}}};
  static const Schema s{{Field{"Chip", offsetof(FlashRes, Chip), FieldKind::Array, sizeof(FlashChipEntry), &chip,
                               kFlashMaxChips, offsetof(FlashRes, ChipCount)}}};
  return &s;
}

namespace {

// Sizes of the board's MTD partitions in /dev/mtdN order.
std::vector<uint64_t> mtd_sizes(const nlohmann::json& desc) {
  std::vector<uint64_t> out;
  auto mtd = desc.value("mtd", nlohmann::json::object());
  for (auto& chip : mtd.value("chips", nlohmann::json::array()))
    for (auto& p : chip.value("parts", nlohmann::json::array())) out.push_back(p.value("size", uint64_t{0}));
  return out;
}

class MtdBlock final : public Device {
 public:
  MtdBlock(int fd, uint64_t size) : Device(fd), size_(size) {}
  int ioctl(unsigned long req, void* arg) override {
    if (req != BLKGETSIZE64) return Device::ioctl(req, arg);
    if (!arg) {
      errno = EFAULT;
      return -1;
    }
    *static_cast<uint64_t*>(arg) = size_;
    return 0;
  }
  // Nothing reads or writes the block device itself.
  ssize_t read(void*, size_t) override { return eio(); }
  ssize_t write(const void*, size_t) override { return eio(); }
  ssize_t pread(void*, size_t, off_t) override { return eio(); }
  ssize_t pwrite(const void*, size_t, off_t) override { return eio(); }

 private:
  static ssize_t eio() {
    errno = EIO;
    return -1;
  }
  uint64_t size_;
};

std::unique_ptr<Device> open_block(const Board& b, const std::string& path, int fd, int) {
  unsigned n = 0;
  auto sizes = mtd_sizes(b.desc());
  if (std::sscanf(path.c_str(), "/dev/mtdblock%u", &n) != 1 || n >= sizes.size()) {
    errno = ENODEV;
    return nullptr;
  }
  return std::make_unique<MtdBlock>(fd, sizes[n]);
}

bool provision(const Board& b, std::string* err) {
  auto sizes = mtd_sizes(b.desc());
  for (size_t n = 0; n < sizes.size(); ++n) {
    std::string f = b.file("dev/mtdblock" + std::to_string(n));
    std::ofstream out(f, std::ios::trunc);
    if (!out) {
      *err = "cannot create " + f;
      return false;
    }
  }
  return true;
}

}  // namespace

const Model kMtdBlockModel = {"mtdblock", "/dev/mtdblock[0-9]*", open_block, provision};

}  // namespace sim
