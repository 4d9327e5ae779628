// Bytes as a serial line delivers them to the framed upgrade: pushed into
// the receive buffer in reads of any size, every frame popped and parsed
// as a wrapped frame; and the same bytes taken as a package header.
#include <cstdint>
#include <cstring>

#include "platform/mcu/mcu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  McuPkg_t k{};
  if (McuParsePackage(data, static_cast<uint32_t>(size), &k) == nullptr) {
    if (k.Image + k.ImageLen != data + size || (k.Mode == 1 && k.ExtLen > MCU_EXT_MAX)) __builtin_trap();
  }
  McuRxBuf_t rx{};
  size_t pos = 0;
  while (pos < size) {
    size_t n = 1 + data[pos] % 40;  // the read sizes come from the input too
    if (n > size - pos) n = size - pos;
    if (Push_VerifyRxBuf(&rx, data + pos, static_cast<uint32_t>(n)) == 0) {
      int guard = 0;
      while (Pop_VerifyRxBuf(&rx) == 0 && ++guard < 100) {
        if (rx.FrameLen > MCU_FRAME_MAX || rx.FrameLen < 5) __builtin_trap();
        McuInner_t in{};
        if (McuParseWrapped(rx.Frame, rx.FrameLen, &in) && in.Data + in.Len > rx.Frame + rx.FrameLen)
          __builtin_trap();
        if (!rx.Pending) break;
      }
    }
    pos += n;
  }
  return 0;
}
