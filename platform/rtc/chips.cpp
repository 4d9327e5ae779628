// The I2C clock chips: DS13XX and DS3232, ISL12022, RX8010 and RX8900.
// Each chip has a flag that says its time is not to be trusted (the
// oscillator stopped or the backup supply failed); a time read while it is
// set is refused, and setting the time clears it.

#include <cstring>

#include "platform/i2c/i2c.h"
#include "platform/rtc/rtc_dev.h"

namespace {

int rd(RtcDev_t* d, uint32_t reg, uint8_t* v) {
  if (!d->pI2c || !d->pI2c->ReadByte) {
    DVR_ERROR("\n");
    return OSA_EFAIL;
  }
  return d->pI2c->ReadByte(reg, v, d->pI2c);
}
int wr(RtcDev_t* d, uint32_t reg, uint8_t v) {
  if (!d->pI2c || !d->pI2c->WriteByte) {
    DVR_ERROR("\n");
    return OSA_EFAIL;
  }
  return d->pI2c->WriteByte(reg, v, d->pI2c);
}

struct StopFlag {
  uint32_t reg;  // absolute register; the seconds register for DS13XX
  uint8_t bit;
  const char* name;
};

StopFlag stop_flag(const RtcDev_t* d) {
  switch (d->Res.Chip) {
    case RTC_DS13XX: return {d->Res.RegOffset, 0x80, "CH"};
    case RTC_DS3232: return {0x0F, 0x80, "OSF"};
    case RTC_ISL12022: return {0x07, 0x01, "RTCF"};
    case RTC_RX8010: return {0x1E, 0x02, "VLF"};
    default: return {0x0E, 0x02, "VLF"};
  }
}

int read_regs(RtcDev_t* d, uint8_t regs[7]) {
  for (uint32_t i = 0; i < 7; ++i)
    if (rd(d, d->Res.RegOffset + i, &regs[i]) != OSA_SOK) return OSA_EFAIL;
  return OSA_SOK;
}

int write_regs(RtcDev_t* d, const uint8_t regs[7]) {
  for (uint32_t i = 0; i < 7; ++i)
    if (wr(d, d->Res.RegOffset + i, regs[i]) != OSA_SOK) return OSA_EFAIL;
  return OSA_SOK;
}

// Writes the flag register with the stop flag cleared, a bounded number
// of times: a flag that will not clear means a failing chip, not a reason
// to hang the platform start.
int clear_flag(RtcDev_t* d, const StopFlag& f, int attempts) {
  for (int i = 0; i < attempts; ++i) {
    uint8_t v = 0;
    if (rd(d, f.reg, &v) != OSA_SOK) return OSA_EFAIL;
    if (!(v & f.bit)) return OSA_SOK;
    if (i) {
      DVR_INFO("set %s bit to 1 failed, continue\r\n", f.name);
      RtcSleepMs(1000);
    }
    if (wr(d, f.reg, static_cast<uint8_t>(v & ~f.bit)) != OSA_SOK) return OSA_EFAIL;
  }
  uint8_t v = 0;
  if (rd(d, f.reg, &v) == OSA_SOK && !(v & f.bit)) return OSA_SOK;
  DVR_ERROR("rtc %s flag does not clear, the chip's time cannot be trusted\n", f.name);
  return OSA_EFAIL;
}

const uint8_t kDefaultRegsRx[7] = {0x00, 0x00, 0x00, 0x40, 0x01, 0x01, 0x00};  // 2000-01-01 00:00:00

}  // namespace

int RtcI2cGetTime(tm* t, RtcDev_t* d) {
  if (!d) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!t) {
    OSA_CHECK_FAIL("pTime");
    return OSA_EFAIL;
  }
  uint8_t regs[7];
  if (read_regs(d, regs) != OSA_SOK) return OSA_EFAIL;
  StopFlag f = stop_flag(d);
  uint8_t flags = regs[0];
  if (d->Res.Chip != RTC_DS13XX && rd(d, f.reg, &flags) != OSA_SOK) return OSA_EFAIL;
  if (flags & f.bit) {
    DVR_ERROR("rtc stopped (%s set), its time is not valid until set\n", f.name);
    return OSA_EFAIL;
  }
  tm r{};
  if (const char* why = RtcDecodeRegs(d->Res.Chip, regs, &r)) {
    DVR_ERROR("rtc time refused: %s [%02x %02x %02x %02x %02x %02x %02x]\n", why, regs[0], regs[1], regs[2], regs[3],
              regs[4], regs[5], regs[6]);
    return OSA_EFAIL;
  }
  if (d->Res.Chip == RTC_DS13XX || d->Res.Chip == RTC_DS3232)
    DVR_WARN("current Time : %d-%d-%d %d:%d:%d\n", r.tm_year - 100 + 2000, r.tm_mon + 1, r.tm_mday, r.tm_hour,
             r.tm_min, r.tm_sec);
  *t = r;
  return OSA_SOK;
}

int RtcI2cSetTime(const tm* t, RtcDev_t* d) {
  if (!d) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!t) {
    OSA_CHECK_FAIL("pTime");
    return OSA_EFAIL;
  }
  DVR_INFO("Set Time: %d-%d-%d-%d-%d-%d\n", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min,
           t->tm_sec);
  uint8_t regs[7];
  if (!RtcEncodeRegs(d->Res.Chip, *t, regs)) {
    DVR_ERROR("rtc keeps 2000-2099 only, time %d-%d-%d %d:%d:%d refused\n", t->tm_year + 1900, t->tm_mon + 1,
              t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec);
    return OSA_EFAIL;
  }
  if (write_regs(d, regs) != OSA_SOK) return OSA_EFAIL;
  // The time is good now: the stop flag goes (for DS13XX the seconds
  // write above already cleared CH).
  if (d->Res.Chip != RTC_DS13XX && clear_flag(d, stop_flag(d), 1) != OSA_SOK) return OSA_EFAIL;
  return OSA_SOK;
}

int RtcI2cCreate(RtcDev_t* d) {
  I2cRes_t r{d->Res.I2cBus, d->Res.I2cAddr, d->Res.I2cProtocol};
  if (!d->pI2c && I2cDevProbe(&r, &d->pI2c) != OSA_SOK) {
    DVR_ERROR("rtc probe failed\n");
    return OSA_EFAIL;
  }
  tm t{};
  uint8_t v = 0;
  switch (d->Res.Chip) {
    case RTC_DS13XX:
    case RTC_DS3232:
      if (RtcGetSyncSwitch() != 1) break;
      if (RtcI2cGetTime(&t, d) != OSA_SOK) {
        DVR_ERROR("GetTime failed\n");
        break;
      }
      if (d->Res.Chip == RTC_DS3232 && t.tm_year == 100) {
        if (rd(d, 0x13, &v) != OSA_SOK) {
          DVR_ERROR("ReadByte swrst failed\n");
          break;
        }
        if (!(v & 0x80)) {
          DVR_INFO("swrst: 0x%x\n", v);
          v |= 0x80;
          DVR_INFO("Enable swrst register! swrst: 0x%x\n", v);
          if (wr(d, 0x13, v) != OSA_SOK) DVR_ERROR("WriteByte swrst failed\n");
        }
      }
      break;
    case RTC_ISL12022:
      if (rd(d, 0x08, &v) != OSA_SOK) {
        DVR_ERROR("ReadByte wrtc failed\n");
        return OSA_EFAIL;
      }
      if (!(v & 0x40)) {
        DVR_INFO("wtcf: 0x%x\n", v);
        v |= 0x40;
        DVR_INFO("Enable wrtc register! wtcf: 0x%x\n", v);
        wr(d, 0x08, v);
      }
      if (rd(d, 0x0D, &v) == OSA_SOK && !(v & 0xE0)) {
        DVR_INFO("tse: 0x%x\n", v);
        v |= 0xE0;
        DVR_INFO("Enable tse register! tse: 0x%x\n", v);
        wr(d, 0x0D, v);
      }
      if (RtcI2cGetTime(&t, d) == OSA_SOK && t.tm_year == 100 && t.tm_mon == 0 && t.tm_mday == 1 && t.tm_hour == 0 &&
          t.tm_min == 0 && RtcI2cSetTime(&t, d) == OSA_SOK)
        DVR_INFO("Enable RTC time\n");
      break;
    case RTC_RX8010: {
      if (rd(d, 0x1E, &v) != OSA_SOK) return OSA_EFAIL;
      DVR_INFO("RX8010_FLAGREG_OFF is 0x%x\r\n", v);
      if (!(v & 0x02)) break;
      DVR_INFO("VLF bit reset to 1\r\n");
      static const uint32_t kReserved[3] = {0x17, 0x30, 0x31};
      for (int i = 0; i < 3; ++i) {
        uint8_t r8 = 0;
        rd(d, kReserved[i], &r8);
        DVR_INFO("VLF 1: RESERVE REG %d value 0x%x\r\n", i, r8);
      }
      if (clear_flag(d, stop_flag(d), 5) != OSA_SOK) return OSA_EFAIL;
      wr(d, 0x17, 0xD8);
      wr(d, 0x30, 0x00);
      wr(d, 0x31, 0x08);
      if (write_regs(d, kDefaultRegsRx) != OSA_SOK) return OSA_EFAIL;
      break;
    }
    case RTC_RX8900: {
      uint8_t ext = 0;
      if (rd(d, 0x0E, &v) != OSA_SOK) return OSA_EFAIL;
      rd(d, 0x0D, &ext);
      DVR_INFO("RX8900 basic flag reg is 0x%x:::0x%x\r\n", v, ext);
      if (v & 0x02) {
        DVR_INFO("VLF bit reset to 1\r\n");
        if (clear_flag(d, stop_flag(d), 5) != OSA_SOK) return OSA_EFAIL;
        uint8_t ctl = 0;
        wr(d, 0x0D, static_cast<uint8_t>(ext & 0x6F));
        if (rd(d, 0x0E, &v) == OSA_SOK) wr(d, 0x0E, static_cast<uint8_t>(v & 0xFC));
        if (rd(d, 0x0F, &ctl) == OSA_SOK) wr(d, 0x0F, static_cast<uint8_t>((ctl & ~0x38) | 0xC0));
        if (write_regs(d, kDefaultRegsRx) != OSA_SOK) return OSA_EFAIL;
      }
      wr(d, 0x18, 0x0C);
      break;
    }
    default:
      DVR_ERROR("unknown rtc chip %u\n", d->Res.Chip);
      return OSA_EFAIL;
  }
  return OSA_SOK;
}

int RtcI2cOpen(RtcDev_t* d) {
  if (!d || !d->pI2c || !d->pI2c->Open) {
    DVR_ERROR("\n");
    return OSA_EFAIL;
  }
  return d->pI2c->Open(d->pI2c);
}

int RtcI2cRxPrintReg(RtcDev_t* d) {
  uint32_t from = d->Res.Chip == RTC_RX8010 ? 0x10 : 0x00;
  for (uint32_t r = from; r < from + 32; ++r) {
    uint8_t v = 0;
    if (rd(d, r, &v) != OSA_SOK) return OSA_EFAIL;
    DVR_INFO("rtc reg 0x%x is 0x%x\r\n", r, v);
  }
  return OSA_SOK;
}
