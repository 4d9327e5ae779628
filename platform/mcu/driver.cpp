// Upgrades through the microcontroller driver /dev/zq_mcu (JTAG mode).

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "osa/osa.h"
#include "osa/sys.h"
#include "platform/mcu/mcu.h"

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
