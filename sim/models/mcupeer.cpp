// The simulated microcontroller boot loader.

#include "sim/models/mcupeer.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/sim.h"

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

void McuBootPeer::handle(const uint8_t* f, size_t len, std::vector<std::vector<uint8_t>>* out) {
  auto emit = [&](const std::vector<uint8_t>& b) {
    std::vector<uint8_t> a;
    if (o_.garbage) a = {0x00, 0x13, 0x5A, 0x07};
    a.insert(a.end(), b.begin(), b.end());
    out->push_back(std::move(a));
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
  for (auto& a : InputAnswers(p, n)) out.insert(out.end(), a.begin(), a.end());
  return out;
}

std::vector<std::vector<uint8_t>> McuBootPeer::InputAnswers(const uint8_t* p, size_t n) {
  std::vector<std::vector<uint8_t>> out;
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

// ------------------------------------------------------------------ line

bool McuLineOptionsFromJson(const nlohmann::json& j, McuLineOptions* o, std::string* err) {
  if (!j.is_object()) {
    *err = "\"mcu\" must be an object";
    return false;
  }
  try {
    McuPeerOptions& p = o->peer;
    p.new_boot = j.value("new_boot", false);
    int mf = j.value("max_frame", 64);
    if (mf < 0 || mf > 255) {
      *err = "\"mcu\".max_frame must be 0-255";
      return false;
    }
    p.max_frame = static_cast<uint8_t>(mf);
    p.repeat_from = j.value("repeat_from", -1);
    p.skip_at = j.value("skip_at", -1);
    p.corrupt_at = j.value("corrupt_at", -1);
    p.garbage = j.value("garbage", false);
    o->baud = j.value("baud", 0u);
    o->drop_at = j.value("drop_at", -1);
    o->delay_at = j.value("delay_at", -1);
    o->delay_ms = j.value("delay_ms", 0);
    o->silent_from = j.value("silent_from", -1);
  } catch (const nlohmann::json::exception& e) {
    *err = std::string("\"mcu\": ") + e.what();
    return false;
  }
  if (o->delay_ms < 0) {
    *err = "\"mcu\".delay_ms must not be negative";
    return false;
  }
  return true;
}

McuLine::McuLine(McuLineOptions o) : o_(o) {
  auto b = std::make_unique<McuBootPeer>(o.peer);
  boot_ = b.get();
  dev_ = std::move(b);
}

McuLine::McuLine(McuLineOptions o, std::unique_ptr<McuDevice> dev) : o_(o), dev_(std::move(dev)) {
  boot_ = dynamic_cast<McuBootPeer*>(dev_.get());
}

void McuLine::Input(const uint8_t* p, size_t n, int64_t now_us) {
  // The device sees the last byte only once the line has carried them all.
  rx_free_us_ = std::max(rx_free_us_, now_us) + static_cast<int64_t>(n) * byte_us();
  for (auto& a : dev_->InputAnswers(p, n)) {
    int k = answers_++;
    if (k == o_.drop_at || (o_.silent_from >= 0 && k >= o_.silent_from)) continue;
    int64_t at = rx_free_us_ + (k == o_.delay_at ? int64_t{o_.delay_ms} * 1000 : 0);
    at = std::max(at, tx_free_us_);
    tx_free_us_ = at + static_cast<int64_t>(a.size()) * byte_us();
    out_.push_back({at, std::move(a)});
  }
}

std::vector<uint8_t> McuLine::Due(int64_t now_us) {
  std::vector<uint8_t> r;
  while (!out_.empty()) {
    Out& o = out_.front();
    if (o.at_us > now_us) break;
    size_t arrived = o.bytes.size();
    if (byte_us()) arrived = std::min<size_t>(arrived, static_cast<size_t>((now_us - o.at_us) / byte_us() + 1));
    r.insert(r.end(), o.bytes.begin() + static_cast<long>(o.sent), o.bytes.begin() + static_cast<long>(arrived));
    o.sent = arrived;
    if (o.sent < o.bytes.size()) break;
    out_.pop_front();
  }
  return r;
}

int64_t McuLine::NextDue(int64_t now_us) const {
  if (out_.empty()) return -1;
  const Out& o = out_.front();
  int64_t at = o.at_us + static_cast<int64_t>(o.sent) * byte_us();
  return std::max<int64_t>(0, at - now_us);
}

namespace {
int64_t steady_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

std::shared_ptr<McuLine> MakeBoardMcuLine(const Board& b, const std::string& kind, std::string* err) {
  auto j = b.desc().value(kind, nlohmann::json::object());
  McuLineOptions o;
  if (!McuLineOptionsFromJson(j, &o, err)) return nullptr;
  if (kind != "en773v") return std::make_shared<McuLine>(o);
  En773vOptions e;
  if (!En773vOptionsFromJson(j, &e, err)) return nullptr;
  return std::make_shared<McuLine>(o, std::make_unique<En773vPeer>(e));
}

void McuLineInput(const Board& b, McuLine& line, int master, const uint8_t* p, size_t n) {
  const std::string kind = line.peer_kind();
  int ends = line.device().end_frames();
  line.Input(p, n, steady_us());
  for (int e = ends + 1; e <= line.device().end_frames(); ++e) b.event(kind + " end " + std::to_string(e));
  McuLineFlush(b, line, master);
  // What the device holds so far, for the board's owner to compare.
  // Replaced whole, so a reader never finds it half written.
  std::string held = b.file("sim/" + kind + "-image.bin"), tmp = held + ".new";
  if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
    const auto& img = line.device().image();
    // An empty image has no buffer to hand to fwrite.
    bool ok = img.empty() || std::fwrite(img.data(), 1, img.size(), f) == img.size();
    if (std::fclose(f) == 0 && ok) std::rename(tmp.c_str(), held.c_str());
  }
}

int McuLineFlush(const Board& b, McuLine& line, int master) {
  int64_t now = steady_us();
  auto out = line.Due(now);
  if (!out.empty() && ::write(master, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
    b.event("mcu-send-failed");
  int64_t next = line.NextDue(now);
  if (next < 0) return 1000;
  return static_cast<int>(std::min<int64_t>(1000, (next + 999) / 1000));
}

}  // namespace sim
