// Partition tables of disk images (see partitions.h).

#include "sim/models/partitions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace sim {

namespace {

uint64_t le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

bool fail(std::string* err, const std::string& why) {
  *err = why;
  return false;
}

bool parse_gpt(std::span<const uint8_t> h, uint64_t disk, std::vector<PartWindow>* out, std::string* err) {
  if (h.size() < 1024 || std::memcmp(h.data() + 512, "EFI PART", 8) != 0) return fail(err, "protective MBR without GPT header");
  const uint8_t* g = h.data() + 512;
  uint64_t lba = le(g + 72, 8);
  uint64_t count = le(g + 80, 4), size = le(g + 84, 4);
  if (size < 128 || size > 4096 || size % 8 || count > 1024) return fail(err, "bad GPT entry size or count");
  if (lba < 2 || lba > h.size() / 512 || count * size > h.size() - lba * 512)
    return fail(err, "GPT entries outside the first MiB");
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = h.data() + lba * 512 + i * size;
    bool used = false;
    for (int k = 0; k < 16; ++k) used |= e[k] != 0;
    if (!used) continue;
    uint64_t first = le(e + 32, 8), last = le(e + 40, 8);
    if (first == 0 || last < first || last >= disk) return fail(err, "GPT entry " + std::to_string(i + 1) + " outside the disk");
    PartWindow w;
    w.number = static_cast<int>(i + 1);
    w.start = first;
    w.sectors = last - first + 1;
    for (int k = 0; k < 36; ++k) {
      uint16_t c = static_cast<uint16_t>(le(e + 56 + 2 * k, 2));
      if (!c) break;
      w.name += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    out->push_back(std::move(w));
  }
  return true;
}

}  // namespace

bool ParsePartitions(std::span<const uint8_t> h, uint64_t disk, std::vector<PartWindow>* out, std::string* err) {
  out->clear();
  if (h.size() < 512 || h[510] != 0x55 || h[511] != 0xAA) return true;
  // A FAT or NTFS boot sector carries the same signature: only a table
  // whose entries all make sense is one.
  std::vector<PartWindow> mbr;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = h.data() + 446 + 16 * i;
    if (e[0] != 0 && e[0] != 0x80) return true;  // not a partition table
    uint8_t type = e[4];
    if (type == 0) continue;
    if (type == 0xEE) return parse_gpt(h, disk, out, err);
    uint64_t start = le(e + 8, 4), len = le(e + 12, 4);
    if (start == 0 || len == 0 || start + len > disk) return fail(err, "MBR entry " + std::to_string(i + 1) + " outside the disk");
    if (type == 0x05 || type == 0x0F || type == 0x85) continue;  // extended: logical ones are not modelled
    mbr.push_back({i + 1, start, len, {}});
  }
  *out = std::move(mbr);
  return true;
}

bool ReadPartitions(const std::string& image, std::vector<PartWindow>* out, std::string* err) {
  int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(err, image + ": " + strerror(errno));
  struct stat st;
  std::vector<uint8_t> head(1u << 20);
  ssize_t n = ::fstat(fd, &st) == 0 ? ::pread(fd, head.data(), head.size(), 0) : -1;
  ::close(fd);
  if (n < 0) return fail(err, image + ": " + strerror(errno));
  head.resize(static_cast<size_t>(n));
  return ParsePartitions(head, static_cast<uint64_t>(st.st_size) / 512, out, err);
}

bool SplitPartName(const std::string& name, std::string* disk, int* number) {
  size_t d = name.size();
  while (d > 0 && name[d - 1] >= '0' && name[d - 1] <= '9') --d;
  if (d == name.size() || d == 0 || name.size() - d > 3) return false;
  std::string base = name.substr(0, d);
  bool p_form = name.rfind("mmcblk", 0) == 0 || name.rfind("nvme", 0) == 0;
  if (p_form) {
    if (base.size() < 2 || base.back() != 'p' || base[base.size() - 2] < '0' || base[base.size() - 2] > '9') return false;
    base.pop_back();
  } else if (name.rfind("sd", 0) != 0) {
    return false;
  }
  int n = std::atoi(name.c_str() + d);
  if (n < 1 || n > 128) return false;
  *disk = base;
  *number = n;
  return true;
}

std::string PartName(const std::string& disk, int number) {
  bool p_form = !disk.empty() && disk.back() >= '0' && disk.back() <= '9';
  return disk + (p_form ? "p" : "") + std::to_string(number);
}

}  // namespace sim
