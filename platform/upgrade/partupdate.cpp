// The boot flash partition image update: one named partition rewritten as
// a container, marked invalid in the partition table while it is written.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "osa/sys.h"
#include "platform/flash/lock.h"
#include "platform/flashset/flashset.h"
#include "platform/upgrade/upgrade.h"

namespace {

using fwpkg::kTableBlockLen;

// The erase unit of the chip that holds flat address `addr`; 0 when no
// chip does.
uint32_t erase_unit_at(uint32_t addr) {
  Flashs* s = FlashsDefault();
  for (uint32_t i = 0; i < s->count; ++i) {
    const FlashDev& d = s->devs[i];
    if (d.erase_unit && addr >= d.chip.Base && uint64_t(addr) < uint64_t(d.chip.Base) + d.chip.Size) return d.erase_unit;
  }
  return 0;
}

bool in_range(const FlashPartDevice& dev, uint32_t off, uint32_t len) { return uint64_t(off) + len <= dev.size; }

// The table block written back with the entry's flag changed.
int write_table(const FlashPartDevice& dev) {
  auto block = fwpkg::FlashPartCreateByBuf(dev.table.Encode(), kTableBlockLen);
  if (block.empty()) return OSA_EFAIL;
  return FlashPartWriteBlock(dev, block.data(), kTableBlockLen, 0);
}

// The trailer of a partition: read as the last erase unit, the smallest
// piece the flash set reads at the partition's end.
bool read_trailer(const FlashPartDevice& dev, const fwpkg::TableEntry& e, fwpkg::ContainerInfo* out) {
  uint32_t unit = std::min(std::max<uint32_t>(erase_unit_at(e.start), fwpkg::kTrailerLen), e.size);
  std::vector<uint8_t> tail(unit);
  if (FlashPartReadBlock(dev, tail.data(), e.start + e.size - unit, unit) != 0) return false;
  *out = fwpkg::ReadTrailer(std::span(tail).last<fwpkg::kTrailerLen>(), e.size);
  return true;
}

}  // namespace

int FlashPartWriteBlock(const FlashPartDevice& dev, const uint8_t* buf, uint32_t len, uint32_t off) {
  if (!in_range(dev, off, len)) {
    DVR_ERROR("requested write offset out of range (%x+%x>%llx)\n", off, len, static_cast<unsigned long long>(dev.size));
    return OSA_EFAIL;
  }
  DVR_INFO("PartOff is %x BufLen is %u\n", off, len);
  int r = FlashsWrite(buf, off, len);
  if (r != 0) DVR_ERROR("failed write\n");
  return r;
}

int FlashPartReadBlock(const FlashPartDevice& dev, uint8_t* buf, uint32_t off, uint32_t len) {
  if (!in_range(dev, off, len)) {
    DVR_ERROR("requested read offset out of range (%x+%x>%llx)\n", off, len, static_cast<unsigned long long>(dev.size));
    return OSA_EFAIL;
  }
  return FlashsRead(buf, off, len);
}

int FlashPartInit(const FlashPartOptions& opt, FlashPartDevice* dev) {
  if (!opt.partition || !opt.image || !opt.device) {
    DVR_ERROR("partition_name and image_file are required in option list\n");
    return OSA_EFAIL;
  }
  {
    osa::UniqueFd fd(osa::sys::open(opt.device, O_RDWR | O_CLOEXEC));
    if (!fd) {
      DVR_ERROR("failed open device/file [%s]\n", opt.device);
      return OSA_EFAIL;
    }
    uint64_t size = 0;
    dev->is_file = false;
    if (osa::sys::ioctl(fd.get(), BLKGETSIZE64, &size) != 0) {
      struct stat st {};
      if (fstat(fd.get(), &st) != 0) {
        DVR_ERROR("failed get device/file size [%s]\n", opt.device);
        return OSA_EFAIL;
      }
      size = static_cast<uint64_t>(st.st_size);
      dev->is_file = true;
    }
    dev->size = size;
  }
  if (dev->size > kFlashPartMaxDevice) {
    DVR_ERROR("device/file size %llu too large (supported max: %llu)\n", static_cast<unsigned long long>(dev->size),
              static_cast<unsigned long long>(kFlashPartMaxDevice));
    return OSA_EFAIL;
  }
  if (dev->size < kFlashPartMinDevice) {
    DVR_ERROR("device/file size %llu too small (supported min: %llu)\n", static_cast<unsigned long long>(dev->size),
              static_cast<unsigned long long>(kFlashPartMinDevice));
    return OSA_EFAIL;
  }
  DVR_INFO("device/file size: %llu\n", static_cast<unsigned long long>(dev->size));
  // The whole table block, so its own trailer is checked too: a torn table
  // must not be taken for entries.
  std::vector<uint8_t> block(kTableBlockLen);
  if (FlashPartReadBlock(*dev, block.data(), 0, kTableBlockLen) != 0) return OSA_EFAIL;
  auto c = fwpkg::CheckContainer(block);
  std::string err;
  if (c.state != fwpkg::Container::Valid) {
    DVR_ERROR("partition table at offset 0 is %s, not updating\n", fwpkg::ContainerName(c.state));
    return OSA_EFAIL;
  }
  if (!fwpkg::PartTable::Decode(std::span(block).first(c.length), dev->size, &dev->table, &err)) {
    DVR_ERROR("%s\n", err.c_str());
    return OSA_EFAIL;
  }
  return 0;
}

uint32_t FlashPartGetCRC32(const FlashPartDevice& dev, const fwpkg::TableEntry& e) {
  if (!in_range(dev, e.start, e.size)) {
    DVR_ERROR("requested read offset out of range (%x+%x>%llx)\n", e.start, e.size,
              static_cast<unsigned long long>(dev.size));
    return fwpkg::kNoPayload;
  }
  fwpkg::ContainerInfo t;
  if (!read_trailer(dev, e, &t)) return fwpkg::kNoPayload;
  if (t.state != fwpkg::Container::Valid) {
    if (t.length != fwpkg::kNoPayload)
      DVR_ERROR("invalid partition effective data length [%u] stored at the end of partition\n", t.length);
    return fwpkg::kNoPayload;
  }
  return t.stored_crc;
}

int FlashPartValidCheck(const FlashPartDevice& dev, const fwpkg::TableEntry& e, uint32_t len, uint32_t crc) {
  // The verified write compared every byte it read back; what is left to
  // see is that the trailer on flash names this image.
  fwpkg::ContainerInfo t;
  if (!read_trailer(dev, e, &t)) {
    DVR_ERROR("failed read back partition\n");
    return OSA_EFAIL;
  }
  if (t.state != fwpkg::Container::Valid) {
    DVR_ERROR("invalid partition effective data length [%u] stored at the end of partition\n", t.length);
    return OSA_EFAIL;
  }
  if (t.length != len || t.stored_crc != crc) {
    DVR_ERROR("invalid saved crc32 [0x%x], calculated [0x%x]\n", t.stored_crc, crc);
    return OSA_EFAIL;
  }
  return 0;
}

namespace {

// Steps 1-3 and the size check: everything that can refuse an update
// before the flash is touched.
int prepare(const FlashPartOptions& opt, FlashPartDevice* dev, int* index) {
  if (FlashPartInit(opt, dev) != 0) {
    DVR_ERROR("failed init block device [%s]\n", opt.device ? opt.device : "(null)");
    return OSA_EFAIL;
  }
  if (std::strcmp(opt.partition, "linux-dev") != 0 && !opt.operator_permission && !dev->is_file) {
    DVR_ERROR("\nyou are updating to restricted/unknown partition: [%s]\nto confirm that you understand the risk and "
              "remove the restriction:\n * please append the parameter '--operator' into command line and retry\n\n",
              opt.partition);
    return OSA_EFAIL;
  }
  *index = dev->table.Find(opt.partition);
  if (*index < 0 || std::strlen(opt.partition) > 16) {
    DVR_ERROR("can not find entry with partition_name [%s]\n", opt.partition);
    return OSA_EFAIL;
  }
  const fwpkg::TableEntry& e = dev->table[static_cast<size_t>(*index)];
  DVR_INFO("found entry: %s,offset is 0x%x\n", e.name.c_str(), e.start);
  // Every refusal comes before the first marker or erase: a table the
  // flash set cannot write as it stands is refused here, not half-way.
  uint32_t unit = erase_unit_at(0);
  if (unit == 0) {
    DVR_ERROR("the boot flash at address 0 is on no flash chip of the set, not updating\n");
    return OSA_EFAIL;
  }
  std::string err;
  if (!fwpkg::CheckPartTable(dev->table, dev->size, unit, &err)) {
    DVR_ERROR("%s, not updating\n", err.c_str());
    return OSA_EFAIL;
  }
  if (e.size < fwpkg::kContainerSlack || opt.image_len > e.size - fwpkg::kContainerSlack) {
    DVR_ERROR("buffer too larget (%u) to fill into partition (%u-%zu)\n", opt.image_len, e.size, fwpkg::kContainerSlack);
    DVR_ERROR("failed allocate partition buffer from file [%s]\n", opt.image_name ? opt.image_name : "");
    return OSA_EFAIL;
  }
  return 0;
}

}  // namespace

int FlashPartPrecheck(const FlashPartOptions& opt) {
  FlashPartDevice dev;
  int index = -1;
  return prepare(opt, &dev, &index);
}

uint32_t FlashPartImageLimit(const char* device, const char* partition) {
  static const uint8_t kNone = 0;
  FlashPartOptions opt;
  opt.device = device;
  opt.partition = partition;
  opt.image = &kNone;
  FlashPartDevice dev;
  if (!partition || FlashPartInit(opt, &dev) != 0) return 0;
  int i = dev.table.Find(partition);
  if (i < 0) return 0;
  uint32_t size = dev.table[static_cast<size_t>(i)].size;
  return size > fwpkg::kContainerSlack ? static_cast<uint32_t>(size - fwpkg::kContainerSlack) : 0;
}

int FlashPartDoUpdate(const FlashPartOptions& opt) {
  // One writer of the device at a time, from reading its table to the end;
  // a device that is not there is reported by the checks below.
  flash::PartLock lock;
  if (opt.device && osa::sys::access(opt.device, F_OK) == 0 &&
      !lock.Take(opt.device, flash::PartLock::Mode::Exclusive))
    return OSA_EFAIL;
  FlashPartDevice dev;
  int index = -1;
  if (prepare(opt, &dev, &index) != 0) return OSA_EFAIL;
  size_t i = static_cast<size_t>(index);
  const fwpkg::TableEntry e = dev.table[i];
  std::span<const uint8_t> image(opt.image, opt.image_len);

  uint32_t crc_new = fwpkg::ContainerCrc(image);
  uint32_t crc_old = FlashPartGetCRC32(dev, e);
  DVR_INFO("in function %s in line %d crc32_calculated %x\n", __func__, __LINE__, crc_new);
  DVR_INFO("in function %s in line %d crc32_calculated_comp %x\n", __func__, __LINE__, crc_old);
  // An erased boot loader partition is one the board does not use; but one
  // marked invalid was being rewritten when the power went, and is finished.
  if (e.name == "bootloader" && crc_old == fwpkg::kNoPayload && e.valid != 0) return 0;
  if (crc_old == crc_new && e.valid == 1) {
    // The stored CRC alone could belong to a damaged payload: only skip
    // when the partition really holds this image.
    std::vector<uint8_t> cur(e.size);
    if (FlashPartReadBlock(dev, cur.data(), e.start, e.size) == 0) {
      auto c = fwpkg::CheckContainer(cur);
      if (c.state == fwpkg::Container::Valid && c.length == opt.image_len &&
          std::memcmp(cur.data(), opt.image, opt.image_len) == 0)
        return 0;
    }
  }
  auto container = fwpkg::FlashPartCreateByBuf(image, e.size);
  if (container.empty()) {
    DVR_ERROR("failed allocate partition buffer from file [%s]\n", opt.image_name ? opt.image_name : "");
    return OSA_EFAIL;
  }
  if (DulBackupMarkUpdateStart() != 0) {
    DVR_ERROR("failed mark the update started in \"updateflag\", not updating\n");
    return OSA_EFAIL;
  }
  // An entry left invalid by an interrupted update needs no second mark.
  if (e.valid != 0) {
    dev.table.SetValid(i, false);
    if (write_table(dev) != 0) {
      DVR_ERROR("failed update partition table during invalidate partition\n");
      return OSA_EFAIL;
    }
  }
  DVR_INFO("flash update in progress...\n");
  if (FlashPartWriteBlock(dev, container.data(), e.size, e.start) != 0) {
    DVR_ERROR("failed write block\n");
    return OSA_EFAIL;
  }
  if (FlashPartValidCheck(dev, e, opt.image_len, crc_new) != 0) {
    DVR_ERROR("partition updated but invalid during post check, please try again\n");
    return OSA_EFAIL;
  }
  dev.table.SetValid(i, true);
  if (write_table(dev) != 0) {
    DVR_ERROR("failed update partition table during validate partition\n");
    return OSA_EFAIL;
  }
  if (DulBackupMarkUpdateEnd() != 0) {
    DVR_ERROR("partition updated, but \"updateflag\" does not say the update ended\n");
    return OSA_EFAIL;
  }
  return 0;
}
