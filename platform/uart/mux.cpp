// Multiplexed lines: finding frames in the byte stream and deciding where
// each goes (pure; the reader thread does the I/O), and the per-channel
// rings that the frames fill and the consumers drain.

#include "platform/uart/uart.h"

#include <unistd.h>

#include <algorithm>

uint32_t UartRingFree(const UartRing_t& r) { return (r.Read + UART_RING_SIZE - 1 - r.Write) % UART_RING_SIZE; }
uint32_t UartRingUsed(const UartRing_t& r) { return (r.Write + UART_RING_SIZE - r.Read) % UART_RING_SIZE; }

bool UartMuxParser::Feed(uint8_t b) {
  if (have_ == 0) {
    bool synced = prev_ == sync_[0] && b == sync_[1];
    prev_ = b;
    if (synced) {
      frame_[0] = sync_[0];
      frame_[1] = sync_[1];
      have_ = 2;
    }
    return false;
  }
  frame_[have_++] = b;
  if (have_ < 5 || have_ < 5u + frame_[4]) return false;
  // Complete.  The sync hunt starts afresh: the frame's own last byte
  // never pairs with the next one.
  have_ = 0;
  prev_ = 0;
  return true;
}

UartMuxRoute UartMuxRouteOf(const uint8_t* frame, uint32_t frame_len) {
  UartMuxRoute r;
  if (!frame || frame_len < 5 || frame_len != 5u + frame[4] || frame[2] < 1 || frame[2] > UART_CHANNELS) {
    r.error = "unknow uart protocol\n";
    return r;
  }
  switch (frame[3]) {
    case 1:
    case 4:  // the payload only
      r.ring = 0;
      r.part_off = 5;
      r.part_len = frame[4];
      r.fail = frame[3] == 1 ? "Date_WriteBuf failed\n" : "Trans_SetAttr failed\n";
      break;
    case 2:
    case 3:  // the whole frame, header included
      r.ring = 1;
      r.part_off = 0;
      r.part_len = frame_len;
      r.fail = frame[3] == 2 ? "Module_WriteUart failed\n" : "Trans_SetAttr failed\n";
      break;
    default: r.error = "type match failed\n"; break;
  }
  return r;
}

int Date_WriteBuf(UartRing_t* ring, const uint8_t* frame, uint32_t frame_len, uint32_t part_off, uint32_t part_len,
                  const std::atomic<bool>* stop) {
  if (!ring || !frame || frame_len < 5 || part_off > frame_len || part_len > frame_len - part_off) {
    OSA_CHECK_FAIL("frame");
    return OSA_EFAIL;
  }
  if (frame[2] < 1 || frame[2] > UART_CHANNELS) {
    DVR_ERROR("unknow uart protocol\n");
    return OSA_EFAIL;
  }
  const uint8_t* src = frame + part_off;
  uint32_t left = part_len;
  while (left > 0) {
    bool full;
    {
      osa::LockGuard g(ring->Lock);
      uint32_t n = std::min(left, UartRingFree(*ring));
      for (uint32_t i = 0; i < n; ++i) {
        ring->Buf[ring->Write] = *src++;
        ring->Write = (ring->Write + 1) % UART_RING_SIZE;
      }
      left -= n;
      full = UartRingFree(*ring) == 0;
    }
    if (left == 0) break;
    if (stop && stop->load()) return OSA_EFAIL;
    usleep(20 * 1000);  // wait for the consumer, the lock released
    if (full) {
      osa::LockGuard g(ring->Lock);
      if (UartRingFree(*ring) == 0)
        DVR_ERROR("buf full, *pWrite_Pos [%d], *pRead_Pos [%d]\n", static_cast<int>(ring->Write),
                  static_cast<int>(ring->Read));
    }
  }
  return OSA_SOK;
}

int UartChnRead(UartDev_t* Thiz, uint32_t chn, uint32_t which, void* buf, uint32_t len) {
  if (!Thiz || !buf) {
    OSA_CHECK_FAIL(Thiz ? "Buffer" : "Thiz");
    return OSA_EFAIL;
  }
  if (chn < 1 || chn > UART_CHANNELS || which > 1 || !Thiz->Ring[chn][which]) return OSA_EFAIL;
  UartRing_t& r = *Thiz->Ring[chn][which];
  osa::LockGuard g(r.Lock);
  uint32_t n = std::min(len, UartRingUsed(r));
  auto* out = static_cast<uint8_t*>(buf);
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = r.Buf[r.Read];
    r.Read = (r.Read + 1) % UART_RING_SIZE;
  }
  return static_cast<int>(n);
}

