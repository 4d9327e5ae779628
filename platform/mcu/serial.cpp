// The framed upgrade protocol over a serial line, and the dispatch by the
// System record's upgrade method.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/mcu/mcu.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"

namespace {

constexpr int kMaxRepeats = 11;

void sleep_ms(uint32_t ms) { SystemGetClock().SleepMs(ms); }

struct Link {
  TransCom_t* Port;
  McuRxBuf_t Rx{};
  // Frames that came in while another was awaited, oldest first.
  std::vector<std::vector<uint8_t>> Held;

  int write(const uint8_t* p, uint32_t n) { return Port->Write(p, n, Port); }

  // One wait of up to `ms` for a frame, reading at most `cap` bytes at a
  // time: true with the first frame `want` accepts.  A slow line delivers
  // a frame in pieces, so the wait goes on while bytes come without making
  // a whole frame; it ends with the first whole frames or the time.
  template <typename F>
  bool read(uint32_t cap, int ms, F want) {
    for (size_t i = 0; i < Held.size(); ++i)
      if (want(Held[i].data(), static_cast<uint32_t>(Held[i].size()))) {
        Held.erase(Held.begin() + static_cast<long>(i));
        return true;
      }
    uint8_t buf[MCU_READ_MAX];
    if (cap > sizeof buf) cap = sizeof buf;
    UartDev_t* u = Port->pUartDev;
    if (!u || !u->ReadComm) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      uint32_t got = 0;
      if (u->ReadComm(buf, cap, &got, static_cast<int>(std::max<int64_t>(0, left.count())), u) != OSA_SOK) return false;
      if (got == 0) return false;  // the wait ran out
      if (Push_VerifyRxBuf(&Rx, buf, got) != 0) return false;
      bool found = false, any = false;
      do {
        if (Pop_VerifyRxBuf(&Rx) != 0) break;
        any = true;
        if (!found && want(Rx.Frame, Rx.FrameLen)) {
          found = true;
        } else {
          if (Held.size() >= 8) Held.erase(Held.begin());
          Held.emplace_back(Rx.Frame, Rx.Frame + Rx.FrameLen);
        }
        if (Rx.Pending) DVR_INFO("MCU_UPGREADE re_verify\n");
      } while (Rx.Pending);
      if (any || std::chrono::steady_clock::now() >= deadline) return found;
    }
  }
};

int enter(Link& l, const McuPkg_t& k) {
  uint8_t f[16];
  const uint8_t d[2] = {k.DevType, k.DevAddr};
  int n = McuLinkFrame(MCU_CMD_ENTER, d, 2, f, sizeof f);
  if (l.write(f, static_cast<uint32_t>(n)) != OSA_SOK) {
    DVR_ERROR("MCU_UPGREADE Write 0x15 failed  %d\n", n);
    DVR_ERROR("MCU_UPGREADE dev entry upgrade statue failed  \n");
    return OSA_EFAIL;
  }
  sleep_ms(2000);
  if (k.DevAddr == 0) {
    DVR_INFO("MCU_UPGREADE master wait 0x15 repone failed  %d,but still upgrade master devices\n", 0);
    return OSA_SOK;
  }
  for (int i = 0; i < 120; ++i) {
    int state = -1;
    l.read(7, 1000, [&](const uint8_t* fr, uint32_t len) {
      if (len < 7 || fr[4] != MCU_CMD_ENTER || fr[3] < 1) return false;
      state = fr[5];
      return true;
    });
    if (state == 1) {
      DVR_INFO("MCU_UPGREADE  slave device entry upgrade status\n");
      return OSA_SOK;
    }
    if (state >= 0) {
      DVR_ERROR("MCU_UPGREADE  slave dev haven't entry upgrade status \n");
      return OSA_EFAIL;
    }
  }
  DVR_ERROR("MCU_UPGREADE dev entry upgrade statue failed  \n");
  return OSA_EFAIL;
}

int wake(Link& l, const McuPkg_t& k) {
  if (k.Mode == 1) {
    if (k.ExtLen && l.write(k.Ext, k.ExtLen) != OSA_SOK) {
      DVR_ERROR("MCU_UPGREADE Write 0x1b failed  !!! \n");
      return OSA_EFAIL;
    }
    return OSA_SOK;
  }
  for (int retry = 0; retry < 180; ++retry) {
    uint8_t report[17];
    bool got = l.read(17, 1000, [&](const uint8_t* f, uint32_t len) {
      if (len != 17 || f[4] != MCU_CMD_WAKE) return false;
      std::memcpy(report, f, 17);
      return true;
    });
    if (!got) continue;
    const uint8_t* d = report + 5;
    DVR_INFO("MCU_UPGREADE MAC %02x:%02x:%02x:%02x:%02x:%02x:%02x:%02x\n", d[0], d[1], d[2], d[3], d[4], d[5], d[6],
             d[7]);
    DVR_INFO("MCU_UPGREADE bShortAddr:0x%x\n", d[8]);
    DVR_INFO("MCU_UPGREADE bUpdateChannel:%d\n", d[9]);
    DVR_INFO("MCU_UPGREADE bType:0x%x\n", d[10]);
    if (d[8] != k.DevAddr) {
      DVR_ERROR("MCU_UPGREADE  WSR addr[%d] !=TargetDev addr[%d] falied retry=%d\n", d[8], k.DevAddr, retry);
      continue;
    }
    if (l.write(report, 17) != OSA_SOK) DVR_ERROR("MCU_UPGREADE Write 0x1b failed  1 times\n");
    sleep_ms(1000);
    if (l.write(report, 17) != OSA_SOK) {
      DVR_ERROR("MCU_UPGREADE Write 0x1b failed  2 times\n");
      return OSA_EFAIL;
    }
    return OSA_SOK;
  }
  DVR_ERROR("MCU_UPGREADE Wait_WSR falied\n");
  return OSA_EFAIL;
}

int start(Link& l, const McuPkg_t& k, uint16_t* boot, uint8_t* dev_max) {
  uint16_t crc = McuCrc16(k.Image, k.ImageLen);
  DVR_INFO("MCU_UPGREADE length=%u file_crc=%x  \n", k.ImageLen, crc);
  uint32_t load = k.DevAddr == 0 ? 0x00001800 : 0x00002800;
  const uint8_t d[10] = {static_cast<uint8_t>(k.ImageLen >> 24), static_cast<uint8_t>(k.ImageLen >> 16),
                         static_cast<uint8_t>(k.ImageLen >> 8),  static_cast<uint8_t>(k.ImageLen),
                         static_cast<uint8_t>(crc >> 8),         static_cast<uint8_t>(crc),
                         static_cast<uint8_t>(load >> 24),       static_cast<uint8_t>(load >> 16),
                         static_cast<uint8_t>(load >> 8),        static_cast<uint8_t>(load)};
  uint8_t f[32];
  int n = McuWrapFrame(k.DevAddr, 0, MCU_I_START_REQ, d, sizeof d, f, sizeof f);
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (l.write(f, static_cast<uint32_t>(n)) != OSA_SOK) {
      DVR_ERROR("MCU_UPGREADE Write 0x82 failed,%d \n", n);
      return OSA_EFAIL;
    }
    sleep_ms(1000);
    for (int retry = 0; retry < 3; ++retry) {
      McuInner_t in{};
      bool other = false;
      bool got = l.read(18, 1000, [&](const uint8_t* fr, uint32_t len) {
        if (!McuParseWrapped(fr, len, &in)) return false;
        if (in.Cmd != MCU_I_START_RESP || in.Addr != k.DevAddr) {
          other = true;
          return false;
        }
        return true;
      });
      if (got) {
        *boot = in.Len >= 3 ? static_cast<uint16_t>(in.Data[0] << 8 | in.Data[1]) : 0;
        *dev_max = in.Len >= 3 ? in.Data[2] : 0;
        DVR_INFO("MCU_UPGREADE devResp.BootVer=0x%x devResp.MaxFrameLen=%d  \n", *boot, *dev_max);
        return OSA_SOK;
      }
      if (other) DVR_ERROR("MCU_UPGREADE this frame cmd is not 0x83 ,retry=%d\n", retry);
      else DVR_ERROR("MCU_UPGREADE Wait_Start_RESP failed retry=%d \n", retry);
    }
  }
  return OSA_EFAIL;
}

// The device-driven transfer: true when every frame went over.
bool transfer(Link& l, const McuPkg_t& k, uint16_t boot, uint32_t fsize, uint32_t* progress) {
  const bool nb = boot > 0x100;
  const uint32_t frames = (k.ImageLen + fsize - 1) / fsize;
  std::vector<uint8_t> tx(fsize + 29 + 32), data(fsize + 34);
  uint32_t sent = 0;      // frames sent so far
  uint32_t cur = 0;       // image offset after the last frame sent
  uint32_t last_off = 0;  // image offset of the last frame sent
  uint8_t num = 0;        // frame number of the last frame sent
  int tx_len = 0, repeats = 0;
  for (;;) {
    McuInner_t req{};
    bool timeout = true;
    for (int retry = 0; retry < 5 && timeout; ++retry) {
      bool other = false;
      timeout = !l.read(nb ? 16 : 14, 1000, [&](const uint8_t* fr, uint32_t len) {
        if (!McuParseWrapped(fr, len, &req) || req.Addr != k.DevAddr) return false;
        if (req.Cmd != MCU_I_TRANS_REQ || (nb && req.Len < 2)) {
          other = true;
          return false;
        }
        return true;
      });
      if (timeout) {
        if (other) DVR_ERROR("MCU_UPGREADE this frame cmd is not 0x84 ,retry=%d\n", retry);
        else DVR_ERROR("MCU_UPGREADE comm failed retry=%d \n", retry);
      }
    }
    if (timeout) DVR_ERROR("MCU_UPGREADE Wait_Trans_Request failed time out!!\n");
    bool next;
    if (nb) {
      // In 32-byte units; the padded last frame ends on a whole unit.
      uint32_t req_off = timeout ? 0 : (static_cast<uint32_t>(req.Data[0]) << 8 | req.Data[1]) * 32u;
      next = !timeout && req_off == (cur + 31) / 32 * 32;
      if (!next && !timeout && sent && req_off != last_off) {
        DVR_ERROR("MCU_UPGREADE request for offset %u, neither the last frame nor the next\n", req_off);
        return false;
      }
      if (!next)
        DVR_INFO("MCU_UPGREADE new re-send frame %d req-FileOffset=%u loop=%u nextOffset=%u retry %d \n", req.Num,
                 req_off, sent, cur, repeats);
    } else {
      // Only the number after the last frame asks for new data; the last
      // number (or silence) asks for it again; anything else is a device
      // out of step, and guessing would write a corrupt image.
      uint8_t want_next = static_cast<uint8_t>(num + 1);
      next = !timeout && (sent == 0 || req.Num == want_next);
      if (!next && !timeout && !(sent && req.Num == num)) {
        DVR_ERROR("MCU_UPGREADE request for frame %d, expected %d or %d\n", req.Num, num, want_next);
        return false;
      }
      if (!next)
        DVR_INFO("MCU_UPGREADE old re-send frame  %d loop=%u CurOffset=%u retry %d \n", num, sent, cur, repeats);
    }
    if (!next && !sent) {
      if (++repeats > kMaxRepeats) return false;
      continue;  // nothing to send again yet
    }
    if (next && sent == frames) {
      DVR_INFO("MCU_UPGREADE all data transfers finished \n");
      return true;
    }
    if (next) {
      repeats = 0;
      uint32_t chunk = sent + 1 == frames ? k.ImageLen - cur : fsize;
      uint32_t body = chunk, hdr = 0;
      if (nb) {
        data[0] = static_cast<uint8_t>((cur / 32) >> 8);
        data[1] = static_cast<uint8_t>(cur / 32);
        hdr = 2;
      }
      std::memcpy(data.data() + hdr, k.Image + cur, chunk);
      if (sent + 1 == frames) {
        body = McuPadded(boot, chunk);
        std::memset(data.data() + hdr + chunk, 0xFF, body - chunk);
        DVR_INFO("add %u bytes for  last frame align up\n", body - chunk);
      }
      num = req.Num;
      tx_len = McuWrapFrame(k.DevAddr, num, MCU_I_DATA, data.data(), hdr + body, tx.data(),
                            static_cast<uint32_t>(tx.size()));
      if (tx_len < 0) return false;
      last_off = cur;
      cur += chunk;
      ++sent;
      if (progress) *progress = cur;
      if (sent == frames)
        DVR_INFO("send the last req-num=%d,  req_FileOffset=%u, loop=%u CurOffset=%u lastlen={%u=pfpl[%u]+alignLen[%u]} "
                 "pTXLen=[%d]\n",
                 num, last_off, sent, cur, body, chunk, body - chunk, tx_len);
      else
        DVR_INFO("send frame req-num=%d  req_FileOffset=%u ,loop=%u CurOffset=%u pTXLen=%d\n", num, last_off, sent,
                 cur, tx_len);
    } else if (++repeats > kMaxRepeats) {
      return false;
    }
    int attempt = 0;
    while (attempt < 5 && l.write(tx.data(), static_cast<uint32_t>(tx_len)) != OSA_SOK) {
      DVR_ERROR("MCU_UPGREADE_TRANS_START Write failed retry=%d\n", attempt);
      ++attempt;
      usleep(1);
    }
    if (attempt == 5) {
      DVR_ERROR("MCU_UPGREADE_TRANS_START 0x85 Write com port failed \n");
      return false;
    }
  }
}

}  // namespace

int McuUpgradeFramed(uint32_t index, const uint8_t* pkg, uint32_t len, uint32_t* progress) {
  TransCom_t* port = index ? TransComGet(index - 1) : nullptr;
  if (!port || !port->pUartDev || !port->Write || !port->Open) {
    DVR_ERROR("invalid com_index [%u] or com_port is not inited\n", index);
    return OSA_EFAIL;
  }
  return McuUpgradeFramedOn(port, index, pkg, len, progress);
}

int McuUpgradeFramedOn(TransCom_t* port, uint32_t index, const uint8_t* pkg, uint32_t len, uint32_t* progress) {
  if (!port || !port->pUartDev || !port->Write || !port->Open || !port->Res) {
    OSA_CHECK_FAIL("pComDev");
    return OSA_EFAIL;
  }
  // The package is checked before anything reaches the line.
  McuPkg_t k{};
  if (const char* why = McuParsePackage(pkg, len, &k)) {
    DVR_ERROR("MCU_UPGREADE bad package: %s\n", why);
    return OSA_EFAIL;
  }
  // The line keeps the work mode of its record: this platform's lines
  // know full and half duplex only, and a half-duplex line must stay so.
  if (port->Open(port) != OSA_SOK) {
    DVR_ERROR("MCU_UPGREADE Comm Open failed\n");
    return OSA_EFAIL;
  }
  const ResLineAttr_t& a = port->Res->Attr;
  UartAttr_t attr{0, a.Rate, a.DataBits, a.Parity, a.StopBits};
  DVR_INFO("SetAttribute  UartAttr->SetAttribute = %u\n", attr.Rate);
  DVR_INFO("SetAttribute  UartAttr->databits = %u\n", attr.DataBits);
  DVR_INFO("SetAttribute  UartAttr->parity = %u\n", attr.Parity);
  DVR_INFO("SetAttribute  UartAttr->stopbits = %u\n", attr.StopBits);
  if (!port->SetAttribute || port->SetAttribute(&attr, port) != OSA_SOK) {
    DVR_ERROR("MCU_UPGREADE setattr failed\n");
    if (port->Close) port->Close(port);
    return OSA_EFAIL;
  }
  DVR_INFO("MCU_UPGREADE Com_Index=%u dev_type=0x%x dev_id=0x%x mode=%d extLen=%d\n", index, k.DevType, k.DevAddr,
           k.Mode, k.ExtLen);
  Link l{port};
  int rc = OSA_EFAIL;
  uint16_t boot = 0;
  uint8_t dev_max = 0;
  if (enter(l, k) == OSA_SOK && (k.DevAddr == 0 || wake(l, k) == OSA_SOK) &&
      start(l, k, &boot, &dev_max) == OSA_SOK) {
    uint32_t fsize = McuFrameSize(boot, dev_max, k.DevAddr);
    bool ok = false;
    if (fsize == 0) {
      DVR_ERROR("MCU_UPGREADE device maximum frame %d cannot be used\n", dev_max);
    } else {
      ok = transfer(l, k, boot, fsize, progress);
    }
    DVR_INFO("MCU_UPGREADE  Assemble_frame  end\n");
    uint8_t end[29] = {};
    McuWrapFrame(k.DevAddr, 0, MCU_I_END, nullptr, 0, end, sizeof end);
    int w1 = l.write(end, sizeof end);
    sleep_ms(1000);
    int w2 = l.write(end, sizeof end);
    if (w1 != OSA_SOK || w2 != OSA_SOK) DVR_ERROR("MCU_UPGREADE Write 0x86 failed,%d \n", w2);
    rc = ok && w2 == OSA_SOK ? OSA_SOK : OSA_EFAIL;
    if (rc == OSA_SOK) DVR_INFO("MCU_UPGREADE: exit loop_upgrade suecess........\n");
  }
  if (rc != OSA_SOK) DVR_ERROR("MCU_UPGREADE: exit loop_upgrade falied........\n");
  DVR_INFO("MCU_UPGREADE pComDev->Close \n");
  if (port->Close) port->Close(port);
  return rc;
}

int SysDevUpgradeMCU_V(const McuBlock_t* blocks, uint32_t count, uint32_t* progress, const void* system) {
  const auto* sys = static_cast<const SystemRes_t*>(system);
  if (!blocks || !count || !sys) {
    OSA_CHECK_FAIL(!sys ? "system" : "blocks");
    return OSA_EFAIL;
  }
  uint32_t method = sys->McuUpgradeMethod;
  if (method == 2) return McuUpgradeJtag(blocks, count, progress);
  if (method == 1) {
    if (count != 1) {
      DVR_ERROR("upgrade mcu data block count %u\n", count);
      return OSA_EFAIL;
    }
    if (!blocks[0].Data || blocks[0].Len < 8 || std::memcmp(blocks[0].Data, MCU_DRIVER_TAG, 8) != 0) return OSA_EFAIL;
    struct stat st;
    if (osa::sys::stat(ZQ_MCU_NODE_PATH, &st) != 0) {
      DVR_ERROR("can not upgrade mcu\n");
      return OSA_EFAIL;
    }
    const uint8_t* img = blocks[0].Data + 8;
    uint32_t len = blocks[0].Len - 8;
    if (sys->McuModule == 0) return UpgradeMCU_Process_LPC11C22(img, len, progress);
    if (sys->McuModule == 1) return UpgradeMCU_Process_STM32(img, len);
    DVR_ERROR("UNknow MCU SPI Module =[%u]\n", sys->McuModule);
    return OSA_EFAIL;
  }
  if (sys->McuSerialMode != 0) {
    DVR_ERROR("UNknow MCU Module =[%u]\n", sys->McuSerialMode);
    return OSA_EFAIL;
  }
  std::vector<uint8_t> pkg;
  for (uint32_t i = 0; i < count; ++i) {
    if (!blocks[i].Data && blocks[i].Len) {
      OSA_CHECK_FAIL("blocks");
      return OSA_EFAIL;
    }
    pkg.insert(pkg.end(), blocks[i].Data, blocks[i].Data + blocks[i].Len);
  }
  return McuUpgradeFramed(sys->McuModule, pkg.data(), static_cast<uint32_t>(pkg.size()), progress);
}
