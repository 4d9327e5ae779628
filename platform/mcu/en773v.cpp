// The EN773V modules' text protocol over a transport serial line: enter
// the boot loader, name the type, erase, 1 KiB data frames from flash
// address 0x14000, then the end command.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "osa/osa.h"
#include "platform/mcu/mcu.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"

namespace {

constexpr int kReplyMs = 10000;
// A module that keeps answering "~WRFLASH" is given this many 10 s waits.
constexpr int kMaxFlashWaits = 6;
constexpr int kMaxDataRetries = 6;

void sleep_ms(uint32_t ms) { SystemGetClock().SleepMs(ms); }

const char* const kReplies[] = {"~BOOTMEN", "~IINBOOT", "~PREPROK", "~ERSSUCC",
                                "~DATASUC", "~DATAERR", "~WRFLASH", "~UPSUC"};

struct TextLink {
  TransCom_t* Port;

  bool write(const uint8_t* p, uint32_t n) { return Port->Write(p, n, Port) == OSA_SOK; }

  // One reply of up to 128 bytes: the first bytes within `ms`, then what
  // follows them without a pause (a slow line hands a reply over in
  // pieces).  The known reply it holds, "" for none, nullptr when nothing
  // came.
  const char* reply(int ms) {
    UartDev_t* u = Port->pUartDev;
    if (!u || !u->ReadComm) return nullptr;
    std::string got;
    uint8_t buf[128];
    int wait = ms;
    while (got.size() < sizeof buf) {
      uint32_t n = 0;
      if (u->ReadComm(buf, static_cast<uint32_t>(sizeof buf - got.size()), &n, wait, u) != OSA_SOK || n == 0) break;
      got.append(reinterpret_cast<const char*>(buf), n);
      for (const char* r : kReplies)
        if (got.find(r) != std::string::npos) return r;
      wait = 100;
    }
    if (got.empty()) return nullptr;
    return "";
  }
};

bool is(const char* got, const char* want) { return got && std::strcmp(got, want) == 0; }

uint8_t sum8(const uint8_t* p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}

// "0x7E NAME SUM": six letters and the sum of the first seven bytes.
void named(const char six[7], uint8_t out[8]) {
  out[0] = 0x7E;
  std::memcpy(out + 1, six, 6);
  out[7] = sum8(out, 7);
}

bool enter_boot(TextLink& l) {
  static const uint8_t enter[8] = {0x7E, 0x08, 'Y', 'S', 'U', 'P', 'D', 'T'};
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (!l.write(enter, sizeof enter)) {
      sleep_ms(2000);
      continue;
    }
    const char* r = l.reply(kReplyMs);
    if (!r) {
      DVR_ERROR("Read failed\n");
      continue;
    }
    if (is(r, "~IINBOOT")) return true;
    if (is(r, "~BOOTMEN")) sleep_ms(2000);
  }
  return false;
}

bool prepared(TextLink& l, const char six[7]) {
  uint8_t cmd[8];
  named(six, cmd);
  if (!l.write(cmd, sizeof cmd)) return false;
  const char* r = l.reply(kReplyMs);
  return is(r, "~PREPROK") || is(r, "~ERSSUCC");
}

void report(En773vProgress_t* c, uint32_t length, uint32_t sent, uint32_t* progress) {
  uint32_t devices = std::max<uint32_t>(1, c->Devices);
  uint64_t done = (static_cast<uint64_t>(c->Finished) * length + sent) / devices;
  if (progress) *progress = static_cast<uint32_t>(done);
  DVR_INFO("en773v complete total %d\n", length ? static_cast<int>(done * 100 / length) : 100);
}

bool send_data(TextLink& l, const uint8_t* img, uint32_t len, En773vProgress_t* c, uint32_t total,
               uint32_t* progress) {
  std::vector<uint8_t> f(EN773V_FRAME_LEN);
  for (uint32_t off = 0; off < len; off += EN773V_CHUNK) {
    uint32_t n = std::min(EN773V_CHUNK, len - off);
    En773vDataFrame(EN773V_FLASH_BASE + off, img + off, n, f.data());
    int errors = 0;
    for (;;) {
      if (!l.write(f.data(), static_cast<uint32_t>(f.size()))) {
        DVR_ERROR("EN773v_upgradeMcuStep2 failed \n");
        return false;
      }
      const char* r = l.reply(kReplyMs);
      if (is(r, "~DATASUC")) break;
      if (!is(r, "~DATAERR") || ++errors > kMaxDataRetries) {
        DVR_ERROR("EN773v_upgradeMcuStep2 failed \n");
        return false;
      }
      DVR_ERROR("error updata %s\n", r);
      sleep_ms(1000);
    }
    report(c, total, off + n, progress);
  }
  return true;
}

bool finish(TextLink& l) {
  uint8_t end[8] = {0x7E, 'F', 'R', 'A', 'M', 'E', 'N', 'D'};
  for (int waits = 0;; ++waits) {
    const char* r = l.write(end, sizeof end) ? l.reply(kReplyMs) : nullptr;
    if (is(r, "~UPSUC")) {
      DVR_INFO("success updata\n");
      return true;
    }
    if (!is(r, "~WRFLASH") || waits == kMaxFlashWaits) break;
    DVR_INFO("wait 10s updata\n");
    sleep_ms(10000);
  }
  DVR_ERROR("EN773v_upgradeMcuStep3 failed\n");
  return false;
}

}  // namespace

void En773vDataFrame(uint32_t addr, const uint8_t* data, uint32_t n, uint8_t* out) {
  out[0] = 0x3A;
  out[1] = static_cast<uint8_t>(addr);
  out[2] = static_cast<uint8_t>(addr >> 8);
  out[3] = static_cast<uint8_t>(addr >> 16);
  n = std::min(n, EN773V_CHUNK);
  if (n) std::memcpy(out + 4, data, n);
  std::memset(out + 4 + n, 0, EN773V_CHUNK - n);
  unsigned s = 0;
  for (uint32_t i = 0; i < 4 + EN773V_CHUNK; ++i) s += out[i];
  out[4 + EN773V_CHUNK] = static_cast<uint8_t>(s);
  out[5 + EN773V_CHUNK] = static_cast<uint8_t>(s >> 8);
}

bool En773vImageTag(const uint8_t* image, uint32_t length) {
  if (!image || length < 17 + 11 || std::memcmp(image, "ZQ-UPDAT", 8) != 0) return false;
  for (const char* t : {EN773V_TAG_A, EN773V_TAG_B})
    if (std::memcmp(image + 17, t, 11) == 0) return true;
  return false;
}

int UpgradeMCU_Process_EN773V(uint32_t index, const uint8_t* image, uint32_t length, uint32_t* progress,
                              En773vProgress_t* counters) {
  if (!image) {
    OSA_CHECK_FAIL("image");
    return OSA_EFAIL;
  }
  // Checked before a byte goes out: a header and some image after it.
  if (length <= EN773V_HEADER_LEN) {
    DVR_ERROR("en773v image of %u bytes holds no data after its %u-byte header\n", length, EN773V_HEADER_LEN);
    return OSA_EFAIL;
  }
  TransCom_t* port = index ? TransComGet(index - 1) : nullptr;
  if (!port || !port->pUartDev || !port->Write || !port->Open || !port->Res) {
    DVR_ERROR("invalid com_index [%u] or com_port is not inited\n", index);
    return OSA_EFAIL;
  }
  return En773vUpgradeOn(port, image, length, progress, counters);
}

int En773vUpgradeOn(TransCom_t* port, const uint8_t* image, uint32_t length, uint32_t* progress,
                    En773vProgress_t* counters) {
  if (!port || !port->pUartDev || !port->Write || !port->Open || !port->Res || !image ||
      length <= EN773V_HEADER_LEN) {
    OSA_CHECK_FAIL(!image || length <= EN773V_HEADER_LEN ? "image" : "pComDev");
    return OSA_EFAIL;
  }
  En773vProgress_t single{0, 1};
  En773vProgress_t* c = counters ? counters : &single;
  if (port->Open(port) != OSA_SOK) {
    DVR_ERROR("Comm Open failed\n");
    return OSA_EFAIL;
  }
  const ResLineAttr_t& a = port->Res->Attr;
  UartAttr_t attr{0, a.Rate, a.DataBits, a.Parity, a.StopBits};
  if (!port->SetAttribute || port->SetAttribute(&attr, port) != OSA_SOK) {
    DVR_ERROR("setattr failed\n");
    if (port->Close) port->Close(port);
    return OSA_EFAIL;
  }
  TextLink l{port};
  int rc = OSA_EFAIL;
  const uint8_t* img = image + EN773V_HEADER_LEN;
  const uint32_t len = length - EN773V_HEADER_LEN;
  if (!enter_boot(l)) {
    DVR_ERROR("en773v did not enter its boot loader\n");
  } else if (!prepared(l, "UPTYD3")) {
    DVR_ERROR("EN773v_upgradeMcuType failed\n");
  } else if (!prepared(l, "ERERER")) {
    DVR_ERROR("EN773v_upgradeMcuEsase failed\n");
  } else {
    bool sent = send_data(l, img, len, c, len, progress);
    // The end command goes out either way, so the module leaves its boot
    // loader; but a transfer that failed is a failed upgrade, whatever
    // the module answers to the end.
    bool ended = finish(l);
    if (sent && ended) rc = OSA_SOK;
  }
  if (rc == OSA_SOK && ++c->Finished >= c->Devices) {
    DVR_INFO("%d en773v updata finished\n", static_cast<int>(c->Finished));
    c->Finished = 0;
  }
  if (port->Close) port->Close(port);
  return rc;
}
