// The simulated EN773V boot loader.  Its frames are parsed here from the
// bytes up, not with the product's encoder.

#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/models/mcupeer.h"

namespace sim {

namespace {

constexpr size_t kFrame = 1030;
constexpr uint32_t kBase = 0x14000;

std::vector<uint8_t> text(const char* t) { return std::vector<uint8_t>(t, t + std::strlen(t)); }

uint8_t sum8(const uint8_t* p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}

bool named(const uint8_t* p, const char* six) {
  return p[0] == 0x7E && std::memcmp(p + 1, six, 6) == 0 && p[7] == sum8(p, 7);
}

}  // namespace

bool En773vOptionsFromJson(const nlohmann::json& j, En773vOptions* o, std::string* err) {
  try {
    o->bootmen = j.value("bootmen", 0);
    o->data_err_at = j.value("data_err_at", -1);
    o->data_err_times = j.value("data_err_times", 1);
    o->wrflash = j.value("wrflash", 0);
    o->refuse_erase = j.value("refuse_erase", false);
    o->fail_end = j.value("fail_end", false);
  } catch (const nlohmann::json::exception& e) {
    *err = std::string("\"en773v\": ") + e.what();
    return false;
  }
  return true;
}

std::vector<std::vector<uint8_t>> En773vPeer::InputAnswers(const uint8_t* p, size_t n) {
  std::vector<std::vector<uint8_t>> out;
  in_.insert(in_.end(), p, p + n);
  for (;;) {
    size_t s = 0;
    while (s < in_.size() && in_[s] != 0x7E && !(in_boot_ && in_[s] == 0x3A)) ++s;
    in_.erase(in_.begin(), in_.begin() + static_cast<long>(s));
    if (in_.empty()) break;
    if (in_[0] == 0x3A) {
      if (in_.size() < kFrame) break;
      const uint8_t* f = in_.data();
      unsigned sum = 0;
      for (size_t i = 0; i < kFrame - 2; ++i) sum += f[i];
      uint32_t addr = f[1] | f[2] << 8 | f[3] << 16;
      bool good = static_cast<unsigned>(f[kFrame - 2] | f[kFrame - 1] << 8) == (sum & 0xFFFFu) && addr >= kBase &&
                  (addr - kBase) % 1024 == 0;
      int k = frames_;
      if (good && k == o_.data_err_at && errs_ < o_.data_err_times) {
        ++errs_;
        good = false;
      }
      if (good) {
        size_t at = addr - kBase;
        if (image_.size() < at + 1024) image_.resize(at + 1024);
        std::memcpy(image_.data() + at, f + 4, 1024);
        ++frames_;
      }
      out.push_back(text(good ? "~DATASUC" : "~DATAERR"));
      in_.erase(in_.begin(), in_.begin() + kFrame);
      continue;
    }
    if (in_.size() < 8) break;
    const uint8_t* c = in_.data();
    static const uint8_t kEnter[8] = {0x7E, 0x08, 'Y', 'S', 'U', 'P', 'D', 'T'};
    static const uint8_t kEnd[8] = {0x7E, 'F', 'R', 'A', 'M', 'E', 'N', 'D'};
    if (std::memcmp(c, kEnter, 8) == 0) {
      bool wait = enters_++ < o_.bootmen;
      in_boot_ = !wait;
      out.push_back(text(wait ? "~BOOTMEN" : "~IINBOOT"));
    } else if (in_boot_ && named(c, "UPTYD3")) {
      out.push_back(text("~PREPROK"));
    } else if (in_boot_ && named(c, "ERERER")) {
      if (!o_.refuse_erase) image_.clear();
      out.push_back(text(o_.refuse_erase ? "~ERASERR" : "~ERSSUCC"));
    } else if (in_boot_ && std::memcmp(c, kEnd, 8) == 0) {
      ++ends_;
      if (o_.fail_end) out.push_back(text("~UPFAIL"));
      else if (ends_ <= o_.wrflash) out.push_back(text("~WRFLASH"));
      else {
        out.push_back(text("~UPSUC"));
        in_boot_ = false;
      }
    } else {
      in_.erase(in_.begin());  // not a command: look further
      continue;
    }
    in_.erase(in_.begin(), in_.begin() + 8);
  }
  return out;
}

}  // namespace sim
