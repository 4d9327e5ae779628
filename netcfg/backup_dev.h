// The backup memories' driver requests: the static RAM file driver
// ("/dev/pdcSramFile"), the RTC user memory ("/dev/pdcRtc") and the
// platform's CMOS memory node.  Shared by the library and the simulator's
// models.  The requests carry user pointers, so their layout is the native
// one: six (SRAM create), four (SRAM read/write) and three (RTC) 32-bit
// words on the 32-bit board.
#pragma once

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

namespace netcfg {

inline constexpr const char* kSramDev = "/dev/pdcSramFile";
inline constexpr const char* kRtcDev = "/dev/pdcRtc";
inline constexpr const char* kCmosDev = "/dev/vs_cmos";
inline constexpr const char* kSramFileName = "/mnt/mtd/RtcSramFile";

inline constexpr unsigned long kSramCreate = 0xc0045100;
inline constexpr unsigned long kSramRead = 0xc0045102;
inline constexpr unsigned long kSramWrite = 0xc0045103;
inline constexpr unsigned long kRtcRead = 0xc0045200;
inline constexpr unsigned long kRtcWrite = 0xc0045201;

// The backup block: CRC-32 then address, mask, gateway, all big-endian.
inline constexpr int kBlockOffset = 40;
inline constexpr int kBlockLen = 16;

struct SramCreateReq {
  uint32_t handle;  // out
  const char* name;
  uint32_t size;     // 300000
  uint32_t reserved; // 0
  uint32_t flag;     // 1
  uint32_t mode;     // 251
};
struct SramIoReq {
  uint32_t handle;
  unsigned char* buf;
  uint32_t len;
  uint32_t offset;
};
struct RtcIoReq {
  uint32_t offset;
  uint32_t len;
  unsigned char* buf;
};
static_assert(offsetof(SramCreateReq, name) == sizeof(void*));
static_assert(sizeof(void*) != 4 || sizeof(SramCreateReq) == 24);
static_assert(sizeof(void*) != 4 || (sizeof(SramIoReq) == 16 && offsetof(SramIoReq, offset) == 12));
static_assert(sizeof(void*) != 4 || (sizeof(RtcIoReq) == 12 && offsetof(RtcIoReq, buf) == 8));

// CMOS window the platform reports: the usable byte range [start, end].
struct CmosCaps {
  uint32_t start;
  uint32_t end;
};
static_assert(sizeof(CmosCaps) == 8 && offsetof(CmosCaps, end) == 4);
inline constexpr unsigned long kCmosGetCaps = _IOR('c', 1, CmosCaps);
inline constexpr int kCmosRecordLen = 12;

}  // namespace netcfg
