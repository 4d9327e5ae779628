// Recognising file systems from their first bytes.

#include <fcntl.h>

#include <cstring>
#include <vector>

#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

bool read_head(const char* dev, std::vector<uint8_t>* buf) {
  if (!dev) return false;
  osa::UniqueFd fd(osa::sys::open(dev, O_RDONLY));
  if (!fd) {
    HD_ERROR("open %s failed, %s.\n", dev, strerror(errno));
    return false;
  }
  buf->assign(64 * 1024, 0);
  ssize_t n = osa::sys::pread(fd.get(), buf->data(), buf->size(), 0);
  if (n < 0) return false;
  buf->resize(static_cast<size_t>(n));
  return true;
}

}  // namespace

int FatTypeOf(const uint8_t* b, std::size_t len) {
  if (!b || len < 512 || b[510] != 0x55 || b[511] != 0xAA) return -1;
  if (std::memcmp(b + 82, "FAT32   ", 8) == 0) return 1;
  if (std::memcmp(b + 54, "FAT16   ", 8) == 0) return 2;
  for (int i = 11; i < 64; ++i)
    if (b[i]) return -1;
  return 3;
}

bool IsNtfs(const uint8_t* b, std::size_t len) { return b && len >= 11 && std::memcmp(b + 3, "NTFS    ", 8) == 0; }

int ExtKindOf(const uint8_t* b, std::size_t len) {
  if (!b || len < 2048 || b[1080] != 0x53 || b[1081] != 0xEF) return -1;
  const uint8_t* sb = b + 1024;
  uint32_t compat = le32(sb + 92), incompat = le32(sb + 96), ro = le32(sb + 100);
  bool journal = compat & 4;
  if (!journal) return (ro < 8 && (incompat & ~0x12u) == 0) ? 2 : -1;
  if (incompat & 8) return -1;  // external journal device
  if (ro < 8 && (incompat & ~0x16u) == 0) return 3;
  return 4;
}

bool IsXfs(const uint8_t* b, std::size_t len) { return b && len >= 4 && std::memcmp(b, "XFSB", 4) == 0; }

}  // namespace hd

using namespace hd;

int fat_get_type(const char* dev) {
  std::vector<uint8_t> b;
  return read_head(dev, &b) ? FatTypeOf(b.data(), b.size()) : -1;
}
int ntfs_type(const char* dev) {
  std::vector<uint8_t> b;
  return read_head(dev, &b) && IsNtfs(b.data(), b.size()) ? 1 : -1;
}
static int ext_is(const char* dev, int kind) {
  std::vector<uint8_t> b;
  return read_head(dev, &b) && ExtKindOf(b.data(), b.size()) == kind ? 1 : -1;
}
int ext2_type(const char* dev) { return ext_is(dev, 2); }
int ext3_type(const char* dev) { return ext_is(dev, 3); }
int ext4_type(const char* dev) { return ext_is(dev, 4); }
int xfs_type(const char* dev) {
  std::vector<uint8_t> b;
  return read_head(dev, &b) && IsXfs(b.data(), b.size()) ? 1 : -1;
}
