// eth0's address, mask and gateway kept a second time in battery-backed
// memory: a 16-byte block with a CRC-32 in SRAM or RTC user memory (kind 1,
// "IPC"), or a 12-byte CMOS record with a CRC-8 (kind 2, "DVR").

#include <arpa/inet.h>
#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netcfg/backup_dev.h"
#include "netcfg/internal.h"
#include "osa/sys.h"

namespace {

using namespace netcfg;

constexpr uint8_t kVerifyFlag = 0xA;
constexpr uint8_t kBeenReset = 102;

struct Store {
  int kind = 0;  // 0 undecided, 1 SRAM/RTC, 2 CMOS
  bool use_rtc = false;
  osa::UniqueFd fd;  // the driver used
  uint32_t sram_handle = 0;
  bool sram_ok = false;
  int cmos_off = 0, cmos_len = 0;
};

osa::Mutex& StoreMutex() {
  static osa::Mutex m(osa::Mutex::Kind::Recursive);
  return m;
}
Store& S() {
  static Store s;
  return s;
}

bool IsEth0(const char* name) { return name && std::strcmp(name, "eth0") == 0; }

uint32_t BlockCrc(const unsigned char* blk) {
  return static_cast<uint32_t>(crc32(0L, blk + 4, kBlockLen - 4));
}

// Raw block transfers through the driver in use; false when it refuses.
bool BlockIo(bool write, unsigned char* blk) {
  Store& s = S();
  if (!s.fd) return false;
  if (s.use_rtc) {
    RtcIoReq r = {kBlockOffset, kBlockLen, blk};
    return osa::sys::ioctl(s.fd.get(), write ? kRtcWrite : kRtcRead, &r) == 0;
  }
  if (!s.sram_ok) return false;
  SramIoReq r = {s.sram_handle, blk, kBlockLen, kBlockOffset};
  return osa::sys::ioctl(s.fd.get(), write ? kSramWrite : kSramRead, &r) == 0;
}

int Kind1Read(bool rtc, unsigned char* buf, int offset, int len) {
  if (!buf || offset < 40 || offset > 52 || len <= 0 || offset + len > 56) return -1;
  if (CheckDeviceType() != 1 || S().use_rtc != rtc || !S().fd) return -1;
  unsigned char blk[kBlockLen];
  if (!BlockIo(false, blk)) {
    if (rtc) NET_ERROR("rtc read failed,[offset:%d,len:%d]\n", offset, len);
    else NET_ERROR("sram read failed,[offset:%d,len:%d]\n", offset, len);
    return -2;
  }
  uint32_t stored;
  std::memcpy(&stored, blk, 4);
  if (ntohl(stored) != BlockCrc(blk)) {
    NET_ERROR("crc check failed!\n");
    return -3;
  }
  std::memcpy(buf, blk + (offset - kBlockOffset), static_cast<size_t>(len));
  return 0;
}

int Kind1Write(bool rtc, const unsigned char* buf, int offset, int len) {
  if (!buf || offset < 44 || offset > 52 || len <= 0 || offset + len > 56) return 0;
  if (CheckDeviceType() != 1 || S().use_rtc != rtc || !S().fd) return 0;
  unsigned char blk[kBlockLen];
  if (!BlockIo(false, blk)) {
    if (rtc) NET_ERROR("read rtc error.\n");
    else NET_ERROR("read sram error.\n");
    return 0;
  }
  std::memcpy(blk + (offset - kBlockOffset), buf, static_cast<size_t>(len));
  uint32_t crc = htonl(BlockCrc(blk));
  std::memcpy(blk, &crc, 4);
  if (!BlockIo(true, blk)) {
    if (rtc) NET_ERROR("rtc write failed,[offset:%d,len:%d]\n", offset, len);
    else NET_ERROR("sram write failed,[offset:%d,len:%d]\n", offset, len);
    return 0;
  }
  return 1;
}

int Kind1Reset(bool rtc) {
  if (CheckDeviceType() != 1 || S().use_rtc != rtc) return 0;
  unsigned char blk[kBlockLen] = {};
  uint32_t crc = htonl(BlockCrc(blk));
  std::memcpy(blk, &crc, 4);
  return BlockIo(true, blk) ? 1 : 0;
}

int Kind1ReadAny(unsigned char* buf, int offset, int len) {
  return S().use_rtc ? ReadFromRTC(buf, offset, len) : ReadFromSram(buf, offset, len);
}
int Kind1WriteAny(const unsigned char* buf, int offset, int len) {
  return S().use_rtc ? WriteToRTC(buf, offset, len) : WriteToSram(buf, offset, len);
}

// The raw CMOS window, without checks.
bool CmosRaw(bool write, unsigned char* rec) {
  Store& s = S();
  if (!s.fd || s.cmos_len < 2) return false;
  size_t n = static_cast<size_t>(s.cmos_len);
  ssize_t r = write ? osa::sys::pwrite(s.fd.get(), rec, n, s.cmos_off) : osa::sys::pread(s.fd.get(), rec, n, s.cmos_off);
  return r == static_cast<ssize_t>(n);
}

// One 4-byte field of eth0's backup: kind 1 at `off1`, kind 2 at `off2`.
int BackupField(const char* name, const char* text, int off1, int off2, bool is_mask) {
  if (!IsEth0(name) || !text) return 0;
  uint32_t a;
  if (!ParseIPv4(text, &a)) {
    NET_ERROR("addr[%s] is not correct.\n", text);
    return 0;
  }
  osa::LockGuard g(StoreMutex());
  int kind = CheckDeviceType();
  if (kind == 1) return Kind1WriteAny(reinterpret_cast<const unsigned char*>(&a), off1, 4);
  if (kind != 2) return 0;
  unsigned char rec[kCmosRecordLen];
  if (!ReadFromCmos(rec)) {
    NET_ERROR("read from cmoe error.\n");
    return 0;
  }
  if (is_mask) rec[8] = static_cast<unsigned char>(MaskToPrefix(a));
  else std::memcpy(rec + off2, &a, 4);
  return WriteToCmos(rec);
}

// Reads one field back; *out_net in network order.
bool RestoreField(const char* name, int off1, int off2, bool is_mask, uint32_t* out_net) {
  if (!IsEth0(name)) return false;
  osa::LockGuard g(StoreMutex());
  int kind = CheckDeviceType();
  if (kind == 1) {
    if (Kind1ReadAny(reinterpret_cast<unsigned char*>(out_net), off1, 4) != 0) {
      if (S().use_rtc) NET_ERROR("read from rtc error\n");
      else NET_ERROR("read from sram error\n");
      return false;
    }
    return true;
  }
  if (kind != 2) return false;
  unsigned char rec[kCmosRecordLen];
  if (!ReadFromCmos(rec)) {
    NET_ERROR("read from cmos error.\n");
    return false;
  }
  if (!is_mask) {
    std::memcpy(out_net, rec + off2, 4);
    return true;
  }
  if (rec[8] > 32) {
    NET_ERROR("NetMask > 32\n");
    return false;
  }
  *out_net = PrefixToMask(rec[8]);
  return true;
}

}  // namespace

int CheckDeviceType(void) {
  osa::LockGuard g(StoreMutex());
  Store& s = S();
  if (s.kind) return s.kind;
  bool sram = osa::sys::access(kSramDev, F_OK) == 0, rtc = osa::sys::access(kRtcDev, F_OK) == 0;
  if (!sram && !rtc) {
    s.kind = 2;
    NET_INFO(" not exist. this is DVR.\n");
    s.fd.reset(osa::sys::open(kCmosDev, O_RDWR | O_CLOEXEC));
    CmosCaps caps = {};
    if (!s.fd || osa::sys::ioctl(s.fd.get(), kCmosGetCaps, &caps) != 0 || caps.end < caps.start) {
      NET_ERROR("get cmos caps error!\n");
      s.cmos_len = 0;
      return s.kind;
    }
    s.cmos_off = static_cast<int>(caps.start);
    s.cmos_len = static_cast<int>(std::min<uint32_t>(caps.end - caps.start + 1, kCmosRecordLen));
    NET_INFO("cmos offset is %d, len is %d\n", s.cmos_off, s.cmos_len);
    return s.kind;
  }
  s.kind = 1;
  NET_INFO("%s  or %s exist. this is IPC.\n", kSramDev, kRtcDev);
  if (rtc) {
    NET_INFO("RTC exist, use RTC to backup.\n");
    s.fd.reset(osa::sys::open(kRtcDev, O_RDWR | O_CLOEXEC));
    if (s.fd) {
      s.use_rtc = true;
      return s.kind;
    }
    NET_ERROR("can not open %s\n", kRtcDev);
  }
  s.fd.reset(osa::sys::open(kSramDev, O_RDWR | O_CLOEXEC));
  if (!s.fd) {
    NET_ERROR("can not open %s \n", kSramDev);
    return s.kind;
  }
  SramCreateReq req = {0, kSramFileName, 300000, 0, 1, 251};
  if (osa::sys::ioctl(s.fd.get(), kSramCreate, &req) != 0) {
    NET_ERROR("creat sramfile failed\n");
    return s.kind;
  }
  s.sram_handle = req.handle;
  s.sram_ok = true;
  return s.kind;
}

int ReadFromSram(unsigned char* buf, int offset, int len) { return Kind1Read(false, buf, offset, len); }
int ReadFromRTC(unsigned char* buf, int offset, int len) { return Kind1Read(true, buf, offset, len); }
int WriteToSram(const unsigned char* buf, int offset, int len) { return Kind1Write(false, buf, offset, len); }
int WriteToRTC(const unsigned char* buf, int offset, int len) { return Kind1Write(true, buf, offset, len); }
int ResetSram(void) { return Kind1Reset(false); }
int ResetRTC(void) { return Kind1Reset(true); }

int ReadFromCmos(unsigned char* record) {
  if (!record) return 0;
  osa::LockGuard g(StoreMutex());
  if (CheckDeviceType() != 2 || S().cmos_len < 2) return 0;
  std::memset(record, 0, kCmosRecordLen);
  if (!CmosRaw(false, record)) {
    NET_ERROR("read from cmos error.\n");
    return 0;
  }
  if ((record[9] >> 4) != kVerifyFlag) {
    NET_ERROR("cmos verify flag error. must update netinit!!\n");
    return 0;
  }
  if (S().cmos_len < kCmosRecordLen) {
    NET_INFO("Cmos size %d, no crc check and reset flag\n", S().cmos_len);
    return 1;
  }
  if (Crc8Maxim(record, 9) != record[10]) {
    NET_ERROR("crc check error.\n");
    return 0;
  }
  return 1;
}

int WriteToCmos(unsigned char* record) {
  if (!record) return 0;
  osa::LockGuard g(StoreMutex());
  if (CheckDeviceType() != 2) return 0;
  record[10] = Crc8Maxim(record, 9);
  return CmosRaw(true, record) ? 1 : 0;
}

int BackupIP(const char* name, const char* ip) { return BackupField(name, ip, 44, 0, false); }
int BackupMask(const char* name, const char* mask) { return BackupField(name, mask, 48, 8, true); }
int BackupGateway(const char* name, const char* gw) { return BackupField(name, gw, 52, 4, false); }

namespace {

// A restored field as dotted text; a zero value counts as missing.
int RestoreText(const char* name, char* out, int off1, int off2, bool is_mask, const char* zero) {
  uint32_t a = 0;
  if (!out || !RestoreField(name, off1, off2, is_mask, &a)) return 0;
  if (a == 0) {
    NET_ERROR("%s\n", zero);
    return 0;
  }
  return CopyOut(FormatIPv4(a), out, kNetAddrLen) ? 1 : 0;
}

}  // namespace

int RestoreIP(const char* name, char* out) { return RestoreText(name, out, 44, 0, false, "ip is zero."); }
int RestoreMask(const char* name, char* out) { return RestoreText(name, out, 48, 8, true, "mask is 0."); }
int RestoreGateway(const char* name, char* out) { return RestoreText(name, out, 52, 4, false, "gateway is 0."); }

int SetCmosResetMark(unsigned char value) {
  osa::LockGuard g(StoreMutex());
  unsigned char rec[kCmosRecordLen] = {};
  if (!ReadFromCmos(rec)) NET_ERROR("read from cmos for reset flag failed.\n");
  rec[11] = value;
  if (!WriteToCmos(rec)) {
    NET_ERROR("write cmos reset flag failed!\n");
    return 0;
  }
  return 1;
}

int setBeenResetFlag(void) {
  if (CheckDeviceType() != 2) return 1;
  if (!SetCmosResetMark(kBeenReset)) {
    NET_ERROR("set been reset flag failed.\n");
    return 0;
  }
  return 1;
}

int CheckCrc(void) {
  osa::LockGuard g(StoreMutex());
  int kind = CheckDeviceType();
  if (kind == 1) {
    unsigned char b[4];
    if (Kind1ReadAny(b, 52, 4) == -3) {
      NET_ERROR("crc error .\n");
      return 0;
    }
    return 1;
  }
  unsigned char rec[kCmosRecordLen];
  return kind == 2 ? ReadFromCmos(rec) : 0;
}

int RestBackup(void) {
  osa::LockGuard g(StoreMutex());
  NET_WARN("try to reset the backup memory! All the backup info will lost.\n");
  int kind = CheckDeviceType();
  if (kind == 1) {
    if (S().use_rtc) {
      if (ResetRTC()) return 1;
      NET_ERROR("ResetRTC error .\n");
      return 0;
    }
    if (ResetSram()) return 1;
    NET_ERROR("ResetSram error .\n");
    return 0;
  }
  unsigned char rec[kCmosRecordLen] = {};
  return kind == 2 ? WriteToCmos(rec) : 0;
}

int setCmosVerifyFlag(void) {
  osa::LockGuard g(StoreMutex());
  if (CheckDeviceType() != 2) return 1;
  unsigned char rec[kCmosRecordLen] = {};
  if (!CmosRaw(false, rec)) {
    NET_ERROR("read original cmos massage failed.\n");
    return 0;
  }
  rec[9] = static_cast<unsigned char>((kVerifyFlag << 4) | (rec[9] & 0x0F));
  if (!CmosRaw(true, rec)) {
    NET_ERROR("write cmos reset flag failed!\n");
    return 0;
  }
  return 1;
}

namespace netcfg {

void BackupForget() {
  osa::LockGuard g(StoreMutex());
  S() = Store{};
}

}  // namespace netcfg
