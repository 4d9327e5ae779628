// The multiplexed line's frame parser and router.  The first two bytes are
// the sync bytes, the rest the stream.
#include <cstddef>
#include <cstdint>

#include "platform/uart/uart.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  UartMuxParser p(data[0], data[1]);
  for (std::size_t i = 2; i < size; ++i) {
    if (!p.Feed(data[i])) continue;
    const uint8_t* f = p.frame();
    uint32_t n = p.frame_len();
    if (n < 5 || n > UartMuxParser::kMaxFrame || f[0] != data[0] || f[1] != data[1]) __builtin_trap();
    UartMuxRoute r = UartMuxRouteOf(f, n);
    if (!r.error && (r.ring < 0 || r.ring > 1 || !r.fail || r.part_off + r.part_len > n)) __builtin_trap();
    if (r.error && (f[2] >= 1 && f[2] <= UART_CHANNELS) && f[3] >= 1 && f[3] <= 4) __builtin_trap();
  }
  // Any bytes taken as a frame are refused or routed inside the frame.
  UartMuxRoute r = UartMuxRouteOf(data, static_cast<uint32_t>(size));
  if (!r.error && r.part_off + r.part_len > size) __builtin_trap();
  return 0;
}
