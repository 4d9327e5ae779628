// The simulated microcontroller boot loader.

#include "sim/models/mcupeer.h"

#include <algorithm>
#include <cstring>


namespace sim {

namespace {
uint8_t sum8(const uint8_t* p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}
}  // namespace

// Link frames are built here from the bytes up, not with the product's
// encoder, so a fault in one is not mirrored by the other.
std::vector<uint8_t> McuBootPeer::frame(const std::vector<uint8_t>& cmd_and_data) {
  std::vector<uint8_t> f = {0x5A, 0x56, static_cast<uint8_t>(cmd_and_data.size() + 1),
                            static_cast<uint8_t>(cmd_and_data.size() - 1)};
  f.insert(f.end(), cmd_and_data.begin(), cmd_and_data.end());
  f.push_back(sum8(f.data(), f.size()));
  return f;
}

std::vector<uint8_t> McuBootPeer::wrapped(uint8_t num, uint8_t icmd, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> in = {0xFD, 0x00, addr_, num, icmd, static_cast<uint8_t>(data.size())};
  in.insert(in.end(), data.begin(), data.end());
  in.push_back(sum8(in.data(), in.size()));
  std::vector<uint8_t> link = {0x0D, 0x00};
  link.insert(link.end(), in.begin(), in.end());
  return frame(link);
}

std::vector<uint8_t> McuBootPeer::request() {
  int k = requests_++;
  uint32_t have = static_cast<uint32_t>(image_.size());
  std::vector<uint8_t> f;
  if (o_.new_boot) {
    uint32_t off = (have + 31) / 32 * 32;
    if (o_.skip_at >= 0 && k == o_.skip_at) off += 2 * frame_size_;
    if (o_.repeat_from >= 0 && k >= o_.repeat_from && have >= frame_size_) off = have - frame_size_;
    f = wrapped(static_cast<uint8_t>(off / frame_size_ + 1), 0x84,
                {static_cast<uint8_t>((off / 32) >> 8), static_cast<uint8_t>(off / 32)});
  } else {
    uint8_t n = num_;
    if (o_.skip_at >= 0 && k == o_.skip_at) n = static_cast<uint8_t>(n + 1);
    if (o_.repeat_from >= 0 && k >= o_.repeat_from) n = static_cast<uint8_t>(n - 1);
    f = wrapped(n, 0x84, {});
  }
  if (o_.corrupt_at >= 0 && k == o_.corrupt_at) f.back() ^= 0x55;
  return f;
}

void McuBootPeer::handle(const uint8_t* f, size_t len, std::vector<uint8_t>* out) {
  auto emit = [&](const std::vector<uint8_t>& b) {
    if (o_.garbage) out->insert(out->end(), {0x00, 0x13, 0x5A, 0x07});
    out->insert(out->end(), b.begin(), b.end());
  };
  uint8_t cmd = f[4];
  if (cmd == 0x15 && len >= 8) {
    addr_ = f[6];
    if (addr_ == 0) return;  // the master answers nothing
    emit(frame({0x15, 0x01}));
    std::vector<uint8_t> wake = {0x1B, 1, 2, 3, 4, 5, 6, 7, 8, addr_, 11, f[5]};
    emit(frame(wake));
    return;
  }
  if (cmd != 0x0D || len < 14) return;
  const uint8_t* in = f + 6;
  uint8_t icmd = in[4], ilen = in[5];
  const uint8_t* d = in + 6;
  if (icmd == 0x82 && ilen == 10) {
    length_ = static_cast<uint32_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
    crc_ = static_cast<uint16_t>(d[4] << 8 | d[5]);
    image_.clear();
    num_ = 1;
    started_ = true;
    frame_size_ = o_.new_boot ? o_.max_frame / 32 * 32 : (addr_ ? 32 : 112);
    if (o_.new_boot) emit(wrapped(0, 0x83, {0x01, 0x01, o_.max_frame}));
    else emit(wrapped(0, 0x83, {0x01, 0x00, 0x00}));
    emit(request());
  } else if (icmd == 0x85 && started_) {
    uint32_t off = static_cast<uint32_t>(image_.size());
    const uint8_t* data = d;
    uint32_t n = ilen;
    if (o_.new_boot) {
      off = (static_cast<uint32_t>(d[0]) << 8 | d[1]) * 32u;
      data += 2;
      n -= 2;
    } else if (in[3] != num_) {
      emit(request());  // not the frame asked for: ask again
      return;
    }
    if (off == image_.size()) {
      uint32_t take = std::min<uint32_t>(n, length_ - static_cast<uint32_t>(image_.size()));
      image_.insert(image_.end(), data, data + take);
      num_ = static_cast<uint8_t>(num_ + 1);
    }
    emit(request());
  } else if (icmd == 0x86) {
    ++ends_;
  }
}

std::vector<uint8_t> McuBootPeer::Input(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out;
  in_.insert(in_.end(), p, p + n);
  for (;;) {
    size_t s = 0;
    while (s < in_.size() && in_[s] != 0x5A) ++s;
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(s));
    if (in_.size() < 4) break;
    size_t flen = in_[2] + 4u;
    if (in_.size() < flen) break;
    if (sum8(in_.data(), flen - 1) != in_[flen - 1]) {
      in_.erase(in_.begin());
      continue;
    }
    handle(in_.data(), flen, &out);
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(flen));
  }
  return out;
}

bool McuBootPeer::crc_ok() const {
  // Bit by bit, the way the standard describes CRC-16/MODBUS.
  uint16_t c = 0xFFFF;
  for (uint8_t b : image_) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
  }
  return image_.size() == length_ && c == crc_;
}

}  // namespace sim
