// The FPGA update: its configuration flash through the SPI flash driver,
// written piece by piece and read back, behind an optional GPIO switch.

#include <fcntl.h>

#include <cstring>
#include <vector>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/gpio/gpio.h"
#include "platform/mcu/mcu.h"

namespace {

int write_flash(int fd, const SystemRes_t& sys, const McuBlock_t* blocks, uint32_t count, uint32_t* progress) {
  std::vector<uint8_t> back(SPIFLASH_PIECE);
  uint8_t desc[60];
  std::memcpy(desc, sys.SpiFlashDesc, sizeof desc);
  if (osa::sys::ioctl(fd, SPIFLASH_INIT, desc) != 0) {
    DVR_ERROR("SpiFlashInit failed %d\n", -1);
    return OSA_EFAIL;
  }
  if (osa::sys::ioctl(fd, SPIFLASH_PREPARE, desc) != 0) {
    DVR_ERROR("SpiFlashWrite failed %d\n", -1);
    return OSA_EFAIL;
  }
  DVR_INFO("FPGA UPDATE BEGIN \n");
  uint32_t addr = 0;
  for (uint32_t b = 0; b < count; ++b) {
    for (uint32_t off = 0; off < blocks[b].Len; off += SPIFLASH_PIECE) {
      uint32_t n = blocks[b].Len - off < SPIFLASH_PIECE ? blocks[b].Len - off : SPIFLASH_PIECE;
      SpiFlashXfer_t x{};
      x.Len = n;
      x.Data = blocks[b].Data + off;
      x.Addr = addr;
      std::memcpy(x.Desc, desc, sizeof desc);
      if (osa::sys::ioctl(fd, SPIFLASH_WRITE, &x) != 0) {
        DVR_ERROR("SpiFlashWrite failed\n");
        return OSA_EFAIL;
      }
      x.Data = back.data();
      if (osa::sys::ioctl(fd, SPIFLASH_READ, &x) != 0) {
        DVR_ERROR("SpiFlashWrite failed\n");
        return OSA_EFAIL;
      }
      if (std::memcmp(back.data(), blocks[b].Data + off, n) != 0) {
        DVR_ERROR("flash addr(0x%x) len(0x%x) data write and write not equal, try again.\n", addr, n);
        return OSA_EFAIL;
      }
      addr += n;
      if (progress) *progress = addr;
    }
  }
  return OSA_SOK;
}

}  // namespace

int SysDevUpgradeFPGA(const McuBlock_t* blocks, uint32_t count, uint32_t* progress, const void* system) {
  const auto* sys = static_cast<const SystemRes_t*>(system);
  if (!blocks || !count || !sys) {
    OSA_CHECK_FAIL(!sys ? "system" : "blocks");
    return OSA_EFAIL;
  }
  for (uint32_t i = 0; i < count; ++i)
    if (!blocks[i].Data && blocks[i].Len) {
      OSA_CHECK_FAIL("blocks");
      return OSA_EFAIL;
    }
  GpioDev_t* sw = nullptr;
  GpioRes_t r{};
  r.Port = sys->FpgaSwitchPort;
  r.Bit = sys->FpgaSwitchBit;
  if (r.Port && r.Bit) {
    if (GpioDevProbeOutput(r.Port, r.Bit, "OPEN GPIO DEV SWITCH", &sw) != OSA_SOK) return OSA_EFAIL;
    uint32_t on = 0;
    if (sw->Write(&on, sw) != OSA_SOK) {
      DVR_ERROR("turn on fpga GPIO switch error , port=%d, bit=%d\n", r.Port, r.Bit);
      return OSA_EFAIL;
    }
  }
  int rc = OSA_EFAIL;
  {
    osa::UniqueFd fd(osa::sys::open(VS_SPIFLASH_NODE, O_RDWR));
    if (!fd) {
      DVR_ERROR("spi flash device open failed, Full Devname:%s\n", VS_SPIFLASH_NODE);
    } else {
      DVR_INFO("spi flash device open :%s\n", VS_SPIFLASH_NODE);
      rc = write_flash(fd.get(), *sys, blocks, count, progress);
    }
  }
  if (sw) {
    uint32_t off = 1;
    if (sw->Write(&off, sw) != OSA_SOK) DVR_ERROR("turn off fpga GPIO switch error , port=%d, bit=%d\n", r.Port, r.Bit);
    DVR_INFO("gpio switch off !\n");
  }
  return rc;
}
