// The streaming UDF writer: file data goes out as it comes, the header
// into the space set aside before it once the recording ends.
#define CDRW_MODULE "mkudfimg"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "optical/cdrw.h"
#include "optical/cdrw_log.h"
#include "optical/udf_desc.h"

namespace {

bool Sequential(int profile) { return cdrw_profile_sequential(profile); }
bool Rewritable(int profile) { return cdrw_profile_rewritable(profile); }

int WriteUnits(CdrwBlockDev* dev, const uint8_t* data, uint32_t units) {
  UdfWriterState& s = dev->udf;
  uint32_t blocks = units * s.unit;
  int ret = dev->WriteBlocks(s.next, data, blocks);
  if (ret != 0) {
    CDRW_ERR("write %u blocks at %u failed, ret %d.", blocks, s.next, ret);
    return ret < 0 ? ret : -EIO;
  }
  s.next += blocks;
  s.progress += units;
  s.last_extent_written = s.next - 1;
  return 0;
}

// Writes the header blocks from `from` on (0: the whole header).
int WriteHeader(CdrwBlockDev* dev, const std::vector<UdfFile>& files, uint32_t end, uint32_t from) {
  UdfWriterState& s = dev->udf;
  udf::HeaderParams p;
  p.hdr_start = s.hdr_start;
  p.partition_length = end - s.hdr_start - udf::kPartStart;
  p.volume = s.volume;
  p.when = time(nullptr);
  p.files = &files;
  std::vector<uint8_t> img = udf::BuildHeader(p);
  if (img.empty()) {
    CDRW_ERR("directory of %zu files does not fit the header.", files.size());
    return -ENOSPC;
  }
  if (from >= udf::kHdrLength) return 0;
  int ret = dev->WriteBlocks(s.hdr_start + from, img.data() + size_t{from} * udf::kBlock, udf::kHdrLength - from);
  return ret < 0 ? ret : (ret > 0 ? -EIO : 0);
}

// Where a header write resumes: on sequential media the blocks already
// written cannot be written again, so it goes on from the track's next
// writable block (the header is rebuilt the same, only its times differ).
uint32_t HeaderResume(CdrwBlockDev* dev) {
  UdfWriterState& s = dev->udf;
  uint32_t nwa = 0;
  if (!Sequential(dev->Profile()) || dev->TrackNwa(s.udf_track, &nwa) != 0) return 0;
  if (nwa < s.hdr_start || nwa > s.hdr_start + udf::kHdrLength) return 0;
  return nwa - s.hdr_start;
}

}  // namespace

bool cdrw_profile_sequential(int profile) {
  switch (profile) {
    case kProfileDvdMinusR: case kProfileDvdPlusR: case kProfileDvdPlusRDl: case kProfileBdR:
    case kProfileHdDvdR: case kProfileDvdMinusRwSeq:
      return true;
    default:
      return false;
  }
}

bool cdrw_profile_rewritable(int profile) {
  return profile == kProfileDvdMinusRwOverwrite || profile == kProfileDvdPlusRw || profile == kProfileBdRe;
}

uint32_t cdrw_write_unit(int profile) {
  if (profile >= 0x10 && profile <= 0x2B) return 16;
  if (profile >= 0x40 && profile <= 0x43) return 32;
  return 1;
}

int cdrw_udf_hdr_start(CdrwBlockDev* dev, int option) {
  CDRW_CHECK(dev != nullptr);
  UdfWriterState& s = dev->udf;
  CDRW_CHECK(!s.started);
  s = UdfWriterState{};
  s.option = option;
  CDRW_INFO("udf record start, option %d.", option);
  if (option & kUdfOptErase) {
    CDRW_INFO("Erasing disk, please waitting......");
    if (dev->Erase() != 0) return -EIO;
  }
  int profile = dev->Profile();
  s.unit = cdrw_write_unit(profile);
  if ((Sequential(profile) || Rewritable(profile)) && dev->Prewrite() != 0) {
    CDRW_ERR("prepare writing failed.");
    return -EIO;
  }
  if (Sequential(profile)) {
    if (dev->ReserveHeader(udf::kHdrLength, &s.hdr_start, &s.udf_track, &s.data_track, &s.session) != 0) {
      CDRW_ERR("reserve header track failed.");
      return -EIO;
    }
  } else if (Rewritable(profile)) {
    uint32_t last = 0;
    if (dev->LastUsedBlock(&last) != 0) return -EIO;
    s.hdr_start = (std::max<uint32_t>(last, 31) + udf::kHdrLength) & ~uint32_t{31};
  } else {
    CDRW_ERR("cannot support this disc type.");
    return -1;
  }
  s.data_start = udf::Rel(udf::kHdrLength);
  s.next = s.hdr_start + udf::kHdrLength;
  s.started = true;
  CDRW_INFO("udf header will start at %u.", s.hdr_start);
  CDRW_INFO("udf data will start at %u from partiton.", s.data_start);
  CDRW_INFO("udf data track is %u, udf track is %u, session is %u.", s.data_track, s.udf_track, s.session);
  return 0;
}

int cdrw_udf_open_file(CdrwBlockDev* dev, const char* name) {
  CDRW_CHECK(dev != nullptr);
  CDRW_CHECK(name != nullptr && name[0] != '\0');
  UdfWriterState& s = dev->udf;
  CDRW_CHECK(s.started && !s.file_open);
  bool control = false;
  for (const char* c = name; *c; ++c) control |= static_cast<unsigned char>(*c) < 0x20 || *c == '/';
  if (control || udf::EncodeCs0(name).empty()) {
    CDRW_ERR("file name %s cannot be recorded.", name);
    return -EINVAL;
  }
  // Refused before any of its data is written: the header could not list it.
  std::vector<UdfFile> next = s.files;
  next.push_back({name, 0, 0});
  if (!udf::DirFits(next)) {
    CDRW_ERR("directory area full, file %s refused.", name);
    return -ENOSPC;
  }
  s.cur = UdfFile{name, s.next - s.hdr_start - udf::kPartStart, 0};
  s.tail.clear();
  s.file_open = true;
  s.file_failed = false;
  CDRW_INFO("open file %s at %u.\n", name, s.cur.start);
  return 0;
}

int cdrw_udf_filedata(CdrwBlockDev* dev, const void* buf, size_t len) {
  CDRW_CHECK(dev != nullptr);
  UdfWriterState& s = dev->udf;
  CDRW_CHECK(s.file_open);
  CDRW_CHECK(buf != nullptr || len == 0);
  if (s.file_failed) return -EIO;
  const size_t unit_bytes = size_t{s.unit} * udf::kBlock;
  auto* p = static_cast<const uint8_t*>(buf);
  size_t left = len;
  if (!s.tail.empty()) {
    size_t take = std::min(left, unit_bytes - s.tail.size());
    s.tail.insert(s.tail.end(), p, p + take);
    p += take;
    left -= take;
    if (s.tail.size() == unit_bytes) {
      if (int ret = WriteUnits(dev, s.tail.data(), 1); ret != 0) return s.file_failed = true, ret;
      s.tail.clear();
    }
  }
  if (size_t units = left / unit_bytes; units > 0) {
    if (int ret = WriteUnits(dev, p, static_cast<uint32_t>(units)); ret != 0) return s.file_failed = true, ret;
    p += units * unit_bytes;
    left -= units * unit_bytes;
  }
  s.tail.insert(s.tail.end(), p, p + left);
  s.cur.length += len;
  return 0;
}

int cdrw_udf_close_file(CdrwBlockDev* dev) {
  CDRW_CHECK(dev != nullptr);
  UdfWriterState& s = dev->udf;
  CDRW_CHECK(s.file_open);
  s.file_open = false;
  if (s.file_failed) {
    CDRW_ERR("file %s not fully written, left out of the directory.", s.cur.name.c_str());
    return -EIO;
  }
  if (!s.tail.empty()) {
    s.tail.resize(size_t{s.unit} * udf::kBlock, 0);
    int ret = WriteUnits(dev, s.tail.data(), 1);
    s.tail.clear();
    if (ret != 0) {
      CDRW_ERR("file %s not fully written, left out of the directory.", s.cur.name.c_str());
      return ret;
    }
  }
  s.files.push_back(s.cur);
  s.total_bytes += s.cur.length;
  CDRW_INFO("close file, file size %llu, all files size %llu.\n", static_cast<unsigned long long>(s.cur.length),
            static_cast<unsigned long long>(s.total_bytes));
  return 0;
}

int cdrw_udf_hdr_end(CdrwBlockDev* dev, const UdfFile* files, int count) {
  CDRW_CHECK(dev != nullptr);
  UdfWriterState& s = dev->udf;
  CDRW_CHECK(s.started);
  CDRW_CHECK(count >= 0 && (files != nullptr || count == 0));
  const auto t0 = std::chrono::steady_clock::now();
  if (s.file_open) cdrw_udf_close_file(dev);  // an unfinished file is listed only if it was all written
  std::vector<UdfFile> list = files ? std::vector<UdfFile>(files, files + count) : s.files;
  int ret = 0;

  const bool seq = Sequential(dev->Profile());
  if (s.end_anchor == 0) {
    // The end anchor closes the data: last block of one more unit.
    std::vector<uint8_t> unit(size_t{s.unit} * udf::kBlock, 0);
    const uint32_t anchor = s.next + s.unit - 1;
    udf::BuildAnchor(unit.data() + size_t{s.unit - 1} * udf::kBlock, anchor, s.hdr_start);
    CDRW_INFO("udf end anchor vd at %llu \n", static_cast<unsigned long long>(anchor));
    CDRW_STEP(ret = WriteUnits(dev, unit.data(), 1));
    s.end_anchor = anchor;
  }
  if (!s.data_closed) {
    CDRW_STEP(ret = dev->Flush());
    if (seq) CDRW_STEP(ret = dev->CloseTrack(s.data_track));
    s.data_closed = true;
  }

  if (!s.hdr_written) {
    CDRW_INFO("udf writing header at %u.\n", s.hdr_start);
    if ((ret = WriteHeader(dev, list, s.end_anchor, HeaderResume(dev))) != 0) {
      CDRW_ERR("write udf header failed!!!, retrying...");
      CDRW_INFO("retry udf header will start at %u, track is %u, session is %u.\n", s.hdr_start, s.udf_track,
                s.session);
      if ((ret = WriteHeader(dev, list, s.end_anchor, HeaderResume(dev))) != 0) return ret;
    }
    s.hdr_written = true;
  }
  CDRW_STEP(ret = dev->Flush());
  if (seq) {
    CDRW_STEP(ret = dev->CloseTrack(s.udf_track));
    CDRW_STEP(ret = dev->CloseSession());
  }
  if (s.option & kUdfOptCloseDisc) {
    CDRW_INFO("close disc, will not allow adding new data.");
    CDRW_STEP(ret = dev->CloseDisc());
  }
  CDRW_INFO("############ udf head done!############");
  CDRW_INFO("costed: %lldms\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                            std::chrono::steady_clock::now() - t0)
                                                            .count()));
  return 0;
}

int cdrw_udf_end(CdrwBlockDev* dev) {
  CDRW_CHECK(dev != nullptr);
  CDRW_INFO("last_extent_written %u\n", dev->udf.last_extent_written);
  dev->udf = UdfWriterState{};
  return 0;
}
