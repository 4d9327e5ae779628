// A disc as an image file for the writer's tests: block N at N x 2048,
// sequential profiles accept writes only at the next writable block.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "optical/cdrw.h"
#include "osa/osa.h"

namespace optest {

class ImageDev : public CdrwBlockDev {
 public:
  ImageDev(std::string path, int profile) : path_(std::move(path)), profile_(profile) {
    fd_ = osa::UniqueFd(::open(path_.c_str(), O_RDWR | O_CREAT, 0644));
  }
  ImageDev(const ImageDev&) = delete;
  ImageDev& operator=(const ImageDev&) = delete;

  // The nth and later writes fail (1-based); 0: never.
  int fail_from = 0;
  int writes = 0;
  uint32_t nwa = 0;          // sequential: next writable block
  uint32_t last_used = 0;    // rewritable: last block written
  uint32_t session_start = 0;
  std::vector<std::string> calls;

  int Profile() override { return profile_; }
  int WriteBlocks(uint32_t lba, const uint8_t* data, uint32_t count) override {
    ++writes;
    if (fail_from > 0 && writes >= fail_from) return -EIO;
    bool in_header = reserved_ && lba >= hdr_ && lba + count <= hdr_ + 288;
    if (Sequential() && !in_header) {
      if (lba != nwa) return -EINVAL;
      nwa += count;
    }
    if (::pwrite(fd_.get(), data, size_t{count} * 2048, off_t(lba) * 2048) != ssize_t(size_t{count} * 2048)) return -EIO;
    last_used = std::max(last_used, lba + count - 1);
    return 0;
  }
  int ReadBlocks(uint32_t lba, uint8_t* data, uint32_t count) override {
    ssize_t n = ::pread(fd_.get(), data, size_t{count} * 2048, off_t(lba) * 2048);
    return n == ssize_t(size_t{count} * 2048) ? 0 : -EIO;
  }
  int LastUsedBlock(uint32_t* lba) override {
    *lba = last_used;
    return 0;
  }
  int ReserveHeader(uint32_t blocks, uint32_t* start, uint32_t* udf_track, uint32_t* data_track,
                    uint32_t* session) override {
    calls.push_back("reserve " + std::to_string(blocks));
    reserved_ = true;
    hdr_ = nwa;
    *start = nwa;
    nwa += blocks;
    *udf_track = track_;
    *data_track = track_ + 1;
    *session = session_;
    return 0;
  }
  int Flush() override { return calls.push_back("flush"), 0; }
  int CloseTrack(uint32_t t) override { return calls.push_back("close track " + std::to_string(t)), 0; }
  int CloseSession() override {
    calls.push_back("close session");
    track_ += 2;
    ++session_;
    reserved_ = false;
    return 0;
  }
  int CloseDisc() override { return calls.push_back("close disc"), 0; }
  int Erase() override { return calls.push_back("erase"), 0; }
  int LastSession(uint32_t* start, uint32_t* last) override {
    *start = session_start;
    *last = last_used;
    return 0;
  }

 private:
  bool Sequential() const { return profile_ == 0x11 || profile_ == 0x1B || profile_ == 0x2B || profile_ == 0x41 ||
                                   profile_ == 0x51 || profile_ == 0x14; }
  std::string path_;
  int profile_;
  osa::UniqueFd fd_;
  bool reserved_ = false;
  uint32_t hdr_ = 0;
  uint32_t track_ = 1, session_ = 1;
};

}  // namespace optest
