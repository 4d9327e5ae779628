// Frames, the receive buffer and the package header of the framed
// upgrade protocol.

#include <cstring>

#include "osa/osa.h"
#include "platform/mcu/mcu.h"

uint8_t McuSum8(const uint8_t* p, uint32_t n) {
  uint32_t s = 0;
  for (uint32_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}

uint16_t McuCrc16(const uint8_t* p, size_t n) {
  static const auto table = [] {
    struct T {
      uint16_t v[256];
    } t{};
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      t.v[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ table.v[(crc ^ p[i]) & 0xFF]);
  return crc;
}

int McuLinkFrame(uint8_t cmd, const uint8_t* data, uint32_t cnt, uint8_t* out, uint32_t cap) {
  if (cnt + 2 > 255 || cnt + 6 > cap) return -1;
  out[0] = MCU_SOF;
  out[1] = MCU_SOF2;
  out[2] = static_cast<uint8_t>(cnt + 2);
  out[3] = static_cast<uint8_t>(cnt);
  out[4] = cmd;
  if (cnt) std::memmove(out + 5, data, cnt);
  out[5 + cnt] = McuSum8(out, 5 + cnt);
  return static_cast<int>(cnt + 6);
}

int McuWrapFrame(uint8_t addr, uint8_t num, uint8_t icmd, const uint8_t* data, uint32_t ilen, uint8_t* out,
                 uint32_t cap) {
  if (ilen > MCU_ILEN_MAX) return -1;
  uint8_t inner[1 + 7 + MCU_ILEN_MAX];
  inner[0] = 0x00;
  uint8_t* f = inner + 1;
  f[0] = 0xFD;
  f[1] = 0x00;
  f[2] = addr;
  f[3] = num;
  f[4] = icmd;
  f[5] = static_cast<uint8_t>(ilen);
  if (ilen) std::memcpy(f + 6, data, ilen);
  f[6 + ilen] = McuSum8(f, 6 + ilen);
  return McuLinkFrame(MCU_CMD_WRAP, inner, 8 + ilen, out, cap);
}

bool McuParseWrapped(const uint8_t* f, uint32_t len, McuInner_t* out) {
  if (len < 6 + 8 || f[0] != MCU_SOF || f[4] != MCU_CMD_WRAP) return false;
  uint32_t cnt = f[3];
  if (cnt + 6 != len || cnt < 8 || f[5] != 0x00) return false;
  const uint8_t* in = f + 6;
  if (in[0] != 0xFD) return false;
  uint32_t ilen = in[5];
  if (ilen + 8 != cnt) return false;
  if (McuSum8(in, 6 + ilen) != in[6 + ilen]) return false;
  *out = {in[2], in[3], in[4], in[5], in + 6};
  return true;
}

// ------------------------------------------------------ receive buffer

namespace {
void empty(McuRxBuf_t* b) {
  b->Count = 0;
  b->Pos = 0;
  b->Pending = 0;
}
}  // namespace

int Push_VerifyRxBuf(McuRxBuf_t* b, const uint8_t* bytes, uint32_t n) {
  if (!b || (!bytes && n)) return -1;
  if (b->Count + n >= MCU_ACC_MAX + 1 || n >= MCU_READ_MAX + 1) {
    DVR_ERROR("Verify_RecBuf count=[%u]>maxframesize=[%u],and is invalid .so ,data is discarded\n", b->Count + n,
              MCU_ACC_MAX);
    DVR_ERROR("current read comm's buf count=[%u] > TOTAL_RX_MAX_LEN=[%u],abort it .......!!!! \n", n,
              MCU_READ_MAX);
    empty(b);
    return -2;
  }
  if (n) std::memcpy(b->Acc + b->Count, bytes, n);
  b->Count += n;
  return 0;
}

int Pop_VerifyRxBuf(McuRxBuf_t* b) {
  if (!b) return -1;
  b->Pending = 0;
  if (b->Count > MCU_ACC_MAX) {  // never from Push; a corrupted record is emptied, not walked
    empty(b);
    return -1;
  }
  for (;;) {
    if (b->Count < 5) return -1;
    uint32_t p = b->Pos;
    while (p < b->Count && b->Acc[p] != MCU_SOF) ++p;
    if (p >= b->Count) {
      DVR_INFO("without header,so clean up the all verifybuf \n");
      empty(b);
      return -1;
    }
    b->Pos = p;
    if (b->Count - p < 5) return -1;
    uint32_t flen = b->Acc[p + 2] + 4u;
    // A start byte whose lengths disagree or that announces more than a
    // frame can hold is not a frame start: skip it instead of waiting for
    // bytes that will never fit the buffer.
    if (b->Acc[p + 2] != b->Acc[p + 3] + 2u || flen > MCU_FRAME_MAX) {
      b->Pos = p + 1;
      continue;
    }
    if (b->Count - p < flen) return -1;
    const uint8_t* f = b->Acc + p;
    if (McuSum8(f, flen - 1) != f[flen - 1]) {
      DVR_INFO("VerifyBuf_checksum error checksum[0x%x],start[%u] data[0x%x] \n", McuSum8(f, flen - 1), p,
               f[flen - 1]);
      b->Pos = p + 1;
      continue;
    }
    std::memcpy(b->Frame, f, flen);
    b->FrameLen = flen;
    uint32_t next = p + flen;
    while (next < b->Count && b->Acc[next] != MCU_SOF) ++next;
    if (next < b->Count) {
      uint32_t left = b->Count - next;
      std::memmove(b->Acc, b->Acc + next, left);
      b->Count = left;
      b->Pos = 0;
      b->Pending = 1;
      return 0;
    }
    empty(b);
    return 0;
  }
}

// ------------------------------------------------------------- package

const char* McuParsePackage(const uint8_t* p, uint32_t len, McuPkg_t* out) {
  if (!p || len < MCU_HEADER_LEN) return "package shorter than its 64-byte header";
  McuPkg_t k{};
  k.DevType = p[14];
  k.DevAddr = p[15];
  k.Mode = p[16];
  k.ExtLen = p[17];
  k.Ext = p + 18;
  k.Image = p + MCU_HEADER_LEN;
  k.ImageLen = len - MCU_HEADER_LEN;
  if (k.Mode > 1) return "unknown mode";
  if (k.Mode == 1 && k.ExtLen > MCU_EXT_MAX) return "MCU_UPGREADE dev->extDATA overFlow !!!";
  if (k.ImageLen == 0) return "empty image";
  if (k.ImageLen / 32 > 0xFFFF) return "image too large for the boot loader's offsets";
  *out = k;
  return nullptr;
}

uint32_t McuFrameSize(uint16_t boot, uint8_t dev_max, uint8_t addr) {
  if (boot <= 0x100) return addr ? 32 : 112;
  // Offsets travel in 32-byte units, so frames are whole units; the padded
  // last frame plus the offset field must fit the one-byte inner length.
  uint32_t size = static_cast<uint32_t>(dev_max) / 32 * 32;
  if (size == 0 || size + 2 > MCU_ILEN_MAX) return 0;
  return size;
}

uint32_t McuPadded(uint16_t boot, uint32_t rest) {
  uint32_t a = boot > 0x100 ? 32 : 16;
  return (rest + a - 1) / a * a;
}
