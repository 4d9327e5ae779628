// The watchdog record as a resource driver hands it out, and clock chip
// registers as a chip answers them: a record the check passes is walked as
// the set walks it; any seven registers decode or are refused.
#include <cstdint>
#include <cstring>

#include "platform/rtc/rtc.h"
#include "platform/watchdog/watchdog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t kind = data[0];
  ++data;
  --size;
  if (kind & 1) {
    uint8_t regs[7] = {};
    std::memcpy(regs, data, size < 7 ? size : 7);
    tm t{};
    for (uint32_t chip = RTC_DS13XX; chip <= RTC_RX8900; ++chip) {
      if (RtcDecodeRegs(chip, regs, &t) != nullptr) continue;
      uint8_t again[7];
      if (!RtcEncodeRegs(chip, t, again)) __builtin_trap();  // a time we read is a time we can write
    }
    return 0;
  }
  static WdgsRes_t r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(&r, data, size < sizeof r ? size : sizeof r);
  if (WdgsResCheck(r) != nullptr) return 0;
  for (uint32_t i = 0; i < r.Count; ++i) {
    const WdgEntry_t& e = r.Entry[i];
    volatile const char* name = WdgTypeName(e.Type);
    (void)name;
    if (e.Type == WDG_SOFT) {
      volatile size_t n = std::strlen(e.DevPath);
      (void)n;
    }
    for (uint32_t s = 0; s < WDG_SLOTS; ++s) {
      const uint8_t* f = nullptr;
      uint32_t len = 0;
      if (WdgSlotFrame(e, s, &f, &len) != 0) continue;
      volatile uint8_t sum = 0;
      for (uint32_t k = 0; k < len; ++k) sum = static_cast<uint8_t>(sum + f[k]);
    }
  }
  return 0;
}
