// Upgrades through the microcontroller driver /dev/zq_mcu (JTAG mode).

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/mcu/mcu.h"
#include "platform/res/res.h"

int McuUpgradeJtag(const McuBlock_t* blocks, uint32_t count, uint32_t* progress) {
  if (!blocks || count < 1) {
    DVR_ERROR("BlocksCount is %u\n", count);
    return OSA_EFAIL;
  }
  if (!blocks[0].Data || blocks[0].Len < 8 || std::memcmp(blocks[0].Data, MCU_DRIVER_TAG, 8) != 0) {
    DVR_ERROR("invalid upgrade data\n");
    return OSA_EFAIL;
  }
  for (uint32_t i = 1; i < count; ++i)
    if (!blocks[i].Data && blocks[i].Len) {
      DVR_ERROR("invalid upgrade data\n");
      return OSA_EFAIL;
    }
  osa::UniqueFd fd(osa::sys::open(ZQ_MCU_NODE_PATH, O_RDWR | O_NONBLOCK));
  if (!fd) {
    DVR_ERROR("fail to open mcu .\n");
    return OSA_EFAIL;
  }
  McuDriverDesc_t d{};
  if (osa::sys::ioctl(fd.get(), ZQ_MCU_UPGRADE_START, &d) != 0) {
    DVR_ERROR("upgrade start failed\n");
    return OSA_EFAIL;
  }
  // Offsets are image offsets: the tag of the first block is not part of
  // the image, so it must not leave a hole before the second block.
  uint32_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p = blocks[i].Data + (i == 0 ? 8 : 0);
    uint32_t len = blocks[i].Len - (i == 0 ? 8 : 0);
    d = {0, offset, len, p};
    if (osa::sys::ioctl(fd.get(), ZQ_MCU_JTAG_WRITE, &d) != 0) {
      DVR_ERROR("upgrade write failed\n");
      return OSA_EFAIL;
    }
    offset += len;
    if (progress) *progress = offset;
  }
  d = {};
  if (osa::sys::ioctl(fd.get(), ZQ_MCU_UPGRADE_END, &d) != 0) {
    DVR_ERROR("upgrade end failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// ------------------------------------------------- boot-loader commands

namespace {

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One command byte and its data through the driver, tried `tries` times.
int command(int fd, uint8_t cmd, const uint8_t* data, uint32_t len, int tries, int pause, bool again) {
  if (len > 508) {
    DVR_ERROR("dataLen = %u is too big!\n", len);
    return OSA_EFAIL;
  }
  uint8_t buf[509];
  buf[0] = cmd;
  if (len) std::memcpy(buf + 1, data, len);
  McuDriverDesc_t d{0, 0, len, buf};
  for (int i = 0; i < tries; ++i) {
    if (osa::sys::ioctl(fd, ZQ_MCU_COMMAND, &d) == 0) {
      pause_ms(pause);
      return OSA_SOK;
    }
    if (again) DVR_ERROR("Upgrade write fail!status=%d AGAIN\n", -1);
    else DVR_ERROR("Upgrade write fail!status=%d\n", -1);
  }
  return OSA_EFAIL;
}

int info(int fd, uint8_t out[12]) {
  McuDriverDesc_t d{0, 0, 12, out};
  return osa::sys::ioctl(fd, ZQ_MCU_UPGRADE_INFO, &d) == 0 ? OSA_SOK : OSA_EFAIL;
}

void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// The driver session: opened, started, and always ended and closed, so a
// failure never leaves the controller in upgrade state or the node open.
struct Session {
  osa::UniqueFd fd;
  bool ended = false;
  int end() {
    ended = true;
    McuDriverDesc_t d{};
    if (osa::sys::ioctl(fd.get(), ZQ_MCU_UPGRADE_END, &d) != 0) {
      DVR_ERROR("MCU_UPGRADE_END, failed\n");
      return OSA_EFAIL;
    }
    return OSA_SOK;
  }
  ~Session() {
    if (fd && !ended) end();
  }
};

bool start(Session* s) {
  s->fd.reset(osa::sys::open(ZQ_MCU_NODE_PATH, O_RDWR | O_NONBLOCK));
  if (!s->fd) {
    DVR_ERROR("fail to open mcu .\n");
    return false;
  }
  McuDriverDesc_t d{};
  if (osa::sys::ioctl(s->fd.get(), ZQ_MCU_UPGRADE_START, &d) != 0) DVR_ERROR("MCU_UPGRADE_START, failed\n");
  return true;
}

int send_chunks(int fd, const uint8_t* p, uint32_t count, int pause, bool again, uint32_t* progress) {
  uint8_t chunk[4 + 128];
  for (uint32_t sent = 0, idx = 0; sent < count; ++idx) {
    uint32_t n = count - sent < 128 ? count - sent : 128;
    put32(chunk, idx);
    std::memcpy(chunk + 4, p + sent, n);
    if (command(fd, MCU_DRV_DATA, chunk, 4 + n, again ? 1 : 5, pause, again) != OSA_SOK) {
      DVR_ERROR("mcu can't response CMD_UPGRADE_DATA.\n");
      return OSA_EFAIL;
    }
    sent += n;
    if (progress) *progress = sent;
  }
  return OSA_SOK;
}

}  // namespace

int UpgradeMCU_Process_LPC11C22(const uint8_t* image, uint32_t length, uint32_t* progress) {
  if (!image || !length) {
    OSA_CHECK_FAIL("image");
    return OSA_EFAIL;
  }
  Session s;
  if (!start(&s)) return OSA_EFAIL;
  uint8_t hello[12] = {};
  put32(hello, length);
  bool ready = false;
  for (int attempt = 1; attempt <= 5 && !ready; ++attempt) {
    if (command(s.fd.get(), MCU_DRV_UPGRADE, hello, sizeof hello, 5, 50, false) != OSA_SOK) {
      DVR_ERROR("mcu can't response CMD_UPGRADE.\n");
      return OSA_EFAIL;
    }
    uint8_t reply[12];
    if (info(s.fd.get(), reply) == OSA_SOK) {
      ready = true;
    } else {
      DVR_ERROR("ZQ_MCU_UPGRADE_INFO, failed\n");
      DVR_ERROR("upgrade start failed, try %d\n", attempt);
    }
  }
  if (!ready) return OSA_EFAIL;
  if (send_chunks(s.fd.get(), image, length, 50, false, progress) != OSA_SOK) return OSA_EFAIL;
  pause_ms(500);
  const uint8_t zero = 0;
  if (command(s.fd.get(), MCU_DRV_STATE, &zero, 1, 5, 50, false) != OSA_SOK) {
    DVR_ERROR("mcu can't response CMD_UPGRADE_STATE.\n");
    return OSA_EFAIL;
  }
  // An end the controller did not take is a failed upgrade.
  if (s.end() != OSA_SOK) return OSA_EFAIL;
  DVR_INFO("Upgrade end !\n");
  return OSA_SOK;
}

int UpgradeMCU_Process_STM32(const uint8_t* image, uint32_t length) {
  if (!image || length < 12) {
    DVR_ERROR("stm32 image of %u bytes is too short\n", length);
    return OSA_EFAIL;
  }
  Session s;
  if (!start(&s)) return OSA_EFAIL;
  uint8_t hello[12];
  put32(hello, length);
  std::memcpy(hello + 4, image + 4, 8);
  if (command(s.fd.get(), MCU_DRV_UPGRADE, hello, sizeof hello, 1, 10, true) != OSA_SOK) {
    DVR_ERROR("mcu can't response CMD_UPGRADE.\n");
    return OSA_EFAIL;
  }
  uint8_t reply[12] = {};
  if (info(s.fd.get(), reply) != OSA_SOK) DVR_ERROR("ZQ_MCU_UPGRADE_INFO, failed\n");
  uint32_t bin = static_cast<uint32_t>(reply[4]) << 24 | reply[5] << 16 | reply[6] << 8 | reply[7];
  DVR_INFO("ZQ_MCU_UPGRADE_INFO, bin_offset %u\n", bin);
  uint32_t count;
  if (bin == 4096) {
    count = 30720;
  } else if (bin == 20480 || bin == 30720 || bin == 34816) {
    count = length > 12 + bin ? length - 12 - bin : 0;
  } else {
    DVR_ERROR("bin_offset error.\n");
    return OSA_EFAIL;
  }
  // The application must lie inside the image: never read past it.
  if (count == 0 || static_cast<uint64_t>(bin) + 12 + count > length) {
    DVR_ERROR("stm32 image of %u bytes holds no %u bytes at offset %u\n", length, count, bin + 12);
    return OSA_EFAIL;
  }
  if (send_chunks(s.fd.get(), image + bin + 12, count, 10, true, nullptr) != OSA_SOK) return OSA_EFAIL;
  pause_ms(10);
  const uint8_t zero = 0;
  if (command(s.fd.get(), MCU_DRV_STATE, &zero, 1, 1, 10, true) != OSA_SOK) {
    DVR_ERROR("mcu can't response CMD_UPGRADE_STATE.\n");
    return OSA_EFAIL;
  }
  if (s.end() != OSA_SOK) return OSA_EFAIL;
  DVR_INFO("Upgrade end !\n");
  return OSA_SOK;
}

// ------------------------------------------------------------ table walk

int SysDevUpgradeMCU(const void* system, const uint8_t* image, uint32_t length, uint32_t* progress) {
  const auto* sys = static_cast<const SystemRes_t*>(system);
  if (!sys || !image) {
    OSA_CHECK_FAIL(!sys ? "system" : "image");
    return OSA_EFAIL;
  }
  uint32_t n = sys->McuCount < RES_MCU_MAX ? sys->McuCount : RES_MCU_MAX;
  if (n == 0) {
    DVR_ERROR("UNknow MCU Module\n");
    return OSA_EFAIL;
  }
  // The walk's own counters: a walk that stops early leaves nothing behind
  // to skew the next one's progress.
  En773vProgress_t counters{0, 0};
  for (uint32_t i = 0; i < n; ++i)
    if (sys->Mcu[i].Kind == 0 && sys->Mcu[i].Enabled == 1) ++counters.Devices;
  for (uint32_t i = 0; i < n; ++i) {
    const ResMcuEntry_t& e = sys->Mcu[i];
    if (e.Kind == 0) {
      if (e.Enabled != 1) {
        DVR_ERROR("UNknow MCU Module\n");
        return OSA_EFAIL;
      }
      if (En773vImageTag(image, length) &&
          UpgradeMCU_Process_EN773V(e.LineIdx, image, length, progress, &counters) != OSA_SOK) {
        DVR_ERROR("upgrade en773v error !\n");
        return OSA_EFAIL;
      }
    } else if (e.Kind == 1 && length >= 8 && std::memcmp(image, "ZQIP_BSM", 8) == 0) {
      if (UpgradeMCU_Process_LPC11C22(image, length, progress) != OSA_SOK) {
        DVR_ERROR("upgrade lpc11c22 error !\n");
        return OSA_EFAIL;
      }
    }
  }
  return OSA_SOK;
}
