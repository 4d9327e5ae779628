// Records as a resource driver hands them out: the checks every family runs
// before it walks a record, and the string copies of the product queries.
#include <cstdint>
#include <cstring>

#include "platform/res/res.h"

namespace {

template <typename T>
T take(const uint8_t* data, size_t size) {
  T r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(&r, data, size < sizeof r ? size : sizeof r);
  return r;
}

// A check that passes promises that the record's lists and strings stay
// inside it; walk them as the families do.
void walk_uart(const UartRes_t& u) {
  volatile size_t n = std::strlen(u.DevName);
  (void)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t kind = data[0];
  ++data;
  --size;
  switch (kind % 5) {
    case 0: {
      auto v = take<ResVersion_t>(data, size);
      (void)ResVersionCheck(v);
      break;
    }
    case 1: {
      auto s = take<SystemRes_t>(data, size);
      if (!ResSystemCheck(s)) {
        volatile size_t n = std::strlen(s.SerialIDKey);
        (void)n;
        uint8_t sum = 0;
        for (uint32_t i = 0; i < s.BeepStartCnt; ++i) sum ^= s.BeepStart[i];
        for (uint32_t i = 0; i < s.BeepStopCnt; ++i) sum ^= s.BeepStop[i];
        for (uint32_t i = 0; i < s.McuCount; ++i) sum ^= static_cast<uint8_t>(s.Mcu[i].Kind);
        if (s.BeepType == BEEP_TTY) n = std::strlen(s.BeepTty.DevPath);
        if (s.BeepType == BEEP_UART) walk_uart(s.BeepUart);
        (void)sum;
      }
      char name[29], sub[33];
      ResCopyString(name, sizeof name, s.ProductName, sizeof s.ProductName);
      ResCopyString(sub, sizeof sub, s.SubProductName, sizeof s.SubProductName);
      break;
    }
    case 2: {
      auto r = take<TransComsRes_t>(data, size);
      if (!ResTransComsCheck(r))
        for (uint32_t i = 0; i < r.Count; ++i)
          if (r.Entry[i].DevType == 1) walk_uart(r.Entry[i].Uart);
      break;
    }
    case 3: {
      auto r = take<SerialRes_t>(data, size);
      if (!ResSerialCheck(r))
        for (uint32_t i = 0; i < r.Count; ++i) walk_uart(r.Entry[i].Uart);
      break;
    }
    case 4: {
      auto r = take<FbdRes_t>(data, size);
      if (!ResFbdCheck(r))
        for (uint32_t i = 0; i < r.Count; ++i)
          if (r.Entry[i].Type == FBD_UART) walk_uart(r.Entry[i].Uart);
      break;
    }
  }
  return 0;
}
