// The v1.0 md superblock: the kernel's on-disk layout (linux/raid/md_p.h),
// 4 KiB aligned, 8 to 12 KiB before the end of the member.

#include <endian.h>
#include <linux/raid/md_p.h>

#include <algorithm>
#include <cstring>

#include "sim/models/md.h"

namespace sim {

namespace {

uint32_t sb_csum(const uint8_t* sb, uint32_t max_dev) {
  std::size_t size = 256 + static_cast<std::size_t>(max_dev) * 2;
  uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    uint32_t w;
    std::memcpy(&w, sb + i, 4);
    if (i == offsetof(mdp_superblock_1, sb_csum)) w = 0;
    sum += le32toh(w);
  }
  if (size - i == 2) {
    uint16_t h;
    std::memcpy(&h, sb + i, 2);
    sum += le16toh(h);
  }
  return static_cast<uint32_t>((sum & 0xffffffff) + (sum >> 32));
}

}  // namespace

uint64_t MdSuperOffset(uint64_t sectors) { return sectors < 16 ? 0 : (sectors - 16) & ~uint64_t{7}; }

void BuildMdSuper(const MdSuperInfo& in, uint64_t member_sectors, uint16_t role, uint8_t* buf) {
  std::memset(buf, 0, 4096);
  mdp_superblock_1 sb{};
  sb.magic = htole32(MD_SB_MAGIC);
  sb.major_version = htole32(1);
  std::memcpy(sb.set_uuid, in.uuid, 16);
  std::memcpy(sb.set_name, in.name.data(), std::min(in.name.size(), sizeof sb.set_name));
  sb.level = htole32(static_cast<uint32_t>(in.level));
  sb.layout = htole32(in.level == 5 ? 2 : 0);
  sb.size = htole64(in.size);
  sb.chunksize = htole32(in.chunkSectors);
  sb.raid_disks = htole32(in.raidDisks);
  uint64_t super = MdSuperOffset(member_sectors);
  sb.data_offset = 0;
  sb.data_size = htole64(in.size);
  sb.super_offset = htole64(super);
  sb.dev_number = htole32(in.devNumber);
  for (int i = 0; i < 16; ++i) sb.device_uuid[i] = static_cast<uint8_t>(in.uuid[i] ^ (in.devNumber + 1));
  sb.events = htole64(1);
  sb.resync_offset = htole64(~uint64_t{0});
  uint32_t max_dev = in.devNumber + 1 > in.raidDisks ? in.devNumber + 1 : in.raidDisks;
  sb.max_dev = htole32(max_dev);
  std::memcpy(buf, &sb, sizeof sb);
  for (uint32_t d = 0; d < max_dev; ++d) {
    uint16_t r = d == in.devNumber ? role : (d < in.raidDisks ? static_cast<uint16_t>(d) : 0xffff);
    r = htole16(r);
    std::memcpy(buf + 256 + d * 2, &r, 2);
  }
  uint32_t c = htole32(sb_csum(buf, max_dev));
  std::memcpy(buf + offsetof(mdp_superblock_1, sb_csum), &c, 4);
}

bool ParseMdSuper(const uint8_t* buf, std::size_t len, MdSuperInfo* out, std::string* err) {
  if (len < 256) {
    *err = "short superblock";
    return false;
  }
  mdp_superblock_1 sb;
  std::memcpy(&sb, buf, sizeof sb);
  if (le32toh(sb.magic) != MD_SB_MAGIC) {
    *err = "bad magic";
    return false;
  }
  if (le32toh(sb.major_version) != 1) {
    *err = "not a version 1 superblock";
    return false;
  }
  uint32_t max_dev = le32toh(sb.max_dev);
  if (max_dev > 384 || 256 + max_dev * 2 > len) {
    *err = "bad device count";
    return false;
  }
  if (sb_csum(buf, max_dev) != le32toh(sb.sb_csum)) {
    *err = "bad checksum";
    return false;
  }
  std::memcpy(out->uuid, sb.set_uuid, 16);
  out->name.assign(sb.set_name, strnlen(sb.set_name, sizeof sb.set_name));
  for (char& c : out->name)
    if (c < ' ' || c > '~') c = '?';
  out->level = static_cast<int>(le32toh(sb.level));
  out->raidDisks = le32toh(sb.raid_disks);
  out->chunkSectors = le32toh(sb.chunksize);
  out->devNumber = le32toh(sb.dev_number);
  out->size = le64toh(sb.size);
  return true;
}

}  // namespace sim
