// FAT32 written by the library itself, and the formatting commands.

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "osa/shell.h"
#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

void put16(uint8_t* p, uint32_t v) { p[0] = v & 0xff, p[1] = (v >> 8) & 0xff; }
void put32(uint8_t* p, uint32_t v) { put16(p, v & 0xffff), put16(p + 2, v >> 16); }

constexpr uint32_t kReserved = 32;

}  // namespace

bool Fat32Geometry(uint64_t total, uint32_t bps, Fat32Layout* out) {
  if (total >= (1ull << 32) || bps < 512 || bps > 4096) return false;
  uint64_t bytes = total * bps;
  uint32_t spc = bytes < (8ull << 30) ? 8 : bytes < (16ull << 30) ? 16 : bytes < (32ull << 30) ? 32 : 64;
  if (total <= kReserved + spc) return false;
  // Enough FAT sectors for every cluster plus the two reserved entries,
  // computed in 64 bits (the FAT itself shrinks the data area).
  uint64_t per = static_cast<uint64_t>(bps) * spc / 4 + 2;
  uint64_t fat = (total - kReserved + 2ull * spc + per - 1) / per;
  if (total <= kReserved + 2 * fat) return false;
  uint64_t clusters = (total - kReserved - 2 * fat) / spc;
  if (clusters < 65525 || clusters > 0x0ffffff5ull || fat * (bps / 4) < clusters + 2) return false;
  out->spc = spc;
  out->fatSectors = static_cast<uint32_t>(fat);
  out->clusters = static_cast<uint32_t>(clusters);
  return true;
}

}  // namespace hd

using namespace hd;

int fat_disk_format(const char* dev) {
  if (!dev) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  osa::UniqueFd fd(osa::sys::open(dev, O_RDWR));
  if (!fd) {
    HD_ERROR("Open %s failed\n", dev);
    return -1;
  }
  int ss = 0;
  uint32_t bps = 512;
  if (osa::sys::ioctl(fd.get(), BLKSSZGET, &ss) == 0 && ss >= 512 && ss <= 4096) bps = static_cast<uint32_t>(ss);
  else HD_WARN("Get SectorSize %s failed, default is 512\n", dev);
  uint64_t bytes = 0;
  if (osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) {
    struct stat st;
    if (osa::sys::stat(dev, &st) != 0) return -1;
    bytes = static_cast<uint64_t>(st.st_size);
  }
  struct hd_geometry geo{};
  if (osa::sys::ioctl(fd.get(), HDIO_GETGEO, &geo) != 0) geo.heads = 255, geo.sectors = 63;
  Fat32Layout L;
  if (!Fat32Geometry(bytes / bps, bps, &L)) {
    HD_ERROR("Not Fat32 type\n");
    return -1;
  }
  uint32_t total = static_cast<uint32_t>(bytes / bps);
  std::vector<uint8_t> bs(bps, 0);
  const uint8_t jump[3] = {0xEB, 0x58, 0x90};
  std::memcpy(bs.data(), jump, 3);
  std::memcpy(bs.data() + 3, "UCLINUX", 8);
  put16(&bs[11], bps);
  bs[13] = static_cast<uint8_t>(L.spc);
  put16(&bs[14], kReserved);
  bs[16] = 2;
  bs[21] = 0xF8;
  put16(&bs[24], geo.sectors);
  put16(&bs[26], geo.heads);
  put32(&bs[32], total);
  put32(&bs[36], L.fatSectors);
  put32(&bs[44], 2);
  put16(&bs[48], 1);
  put16(&bs[50], 6);
  bs[64] = 0x80;
  bs[66] = 0x29;
  put32(&bs[67], static_cast<uint32_t>(time(nullptr)));
  std::memcpy(&bs[71], "Video      ", 11);
  std::memcpy(&bs[82], "FAT32   ", 8);
  bs[510] = 0x55, bs[511] = 0xAA;
  std::vector<uint8_t> info(bps, 0);
  put32(&info[0], 0x41615252);
  put32(&info[484], 0x61417272);
  put32(&info[488], L.clusters - 1);  // the root directory holds one cluster
  put32(&info[492], 3);
  info[510] = 0x55, info[511] = 0xAA;
  auto wr = [&](const void* p, size_t n, uint64_t sector) {
    if (osa::sys::pwrite(fd.get(), p, n, static_cast<off_t>(sector * bps)) != static_cast<ssize_t>(n)) {
      HD_ERROR("write %s failed, %s.\n", dev, strerror(errno));
      return false;
    }
    return true;
  };
  // Zero the reserved area, both FATs and the root cluster in 64-sector steps.
  std::vector<uint8_t> zero(static_cast<size_t>(bps) * 64, 0);
  uint64_t end = kReserved + 2ull * L.fatSectors + L.spc;
  for (uint64_t s = 0; s < end; s += 64)
    if (!wr(zero.data(), static_cast<size_t>(std::min<uint64_t>(64, end - s) * bps), s)) return -1;
  std::vector<uint8_t> fat(bps, 0);
  put32(&fat[0], 0x0FFFFFF8), put32(&fat[4], 0x0FFFFFFF), put32(&fat[8], 0x0FFFFFFF);
  std::vector<uint8_t> root(bps, 0);
  std::memcpy(root.data(), "Video      ", 11);
  root[11] = 0x08;
  if (!wr(bs.data(), bps, 0) || !wr(info.data(), bps, 1) || !wr(bs.data(), bps, 6) || !wr(info.data(), bps, 7) ||
      !wr(fat.data(), bps, kReserved) || !wr(fat.data(), bps, kReserved + L.fatSectors) ||
      !wr(root.data(), bps, kReserved + 2ull * L.fatSectors))
    return -1;
  osa::sys::fdatasync(fd.get());
  return 0;
}
