// Stable disk identity: the serial number from ATA IDENTIFY (through the
// drive-command ioctl, else an ATA pass-through over SCSI generic) or from
// the SCSI unit serial number page.

#include <linux/hdreg.h>
#include <scsi/sg.h>

#include <cstring>

#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

constexpr uint8_t kAtaIdentify = 0xEC;

bool identify(int fd, uint8_t* data) {
  uint8_t args[4 + 512] = {kAtaIdentify, 0, 0, 1};
  if (osa::sys::ioctl(fd, HDIO_DRIVE_CMD, args) == 0) {
    std::memcpy(data, args + 4, 512);
    return true;
  }
  HD_INFO("HDIO_DRIVE_CMD failed, try SG_IO.\n");
  // ATA PASS-THROUGH (16): PIO data-in, length in the sector count, one block.
  uint8_t cdb[16] = {0x85, 4 << 1, 0x0e, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, kAtaIdentify, 0};
  return SgCommand(fd, cdb, sizeof cdb, SG_DXFER_FROM_DEV, data, 512, 5000);
}

}  // namespace

std::string DiskIdentity(int fd, int bus, const char* name) {
  std::string serial;
  if (fd >= 0) {
    if (bus == HD_BUS_SATA || bus == HD_BUS_ESATA) {
      uint8_t id[512];
      if (identify(fd, id)) AtaSerial(id, sizeof id, &serial);
    } else {
      uint8_t page[255] = {};
      const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0, sizeof page, 0};
      if (SgCommand(fd, cdb, sizeof cdb, SG_DXFER_FROM_DEV, page, sizeof page, 5000)) InquirySerial(page, sizeof page, &serial);
    }
  }
  if (serial.empty() && bus == HD_BUS_USB) serial = std::string("/dev/") + name;
  return serial;
}

bool SgCommand(int fd, const uint8_t* cdb, uint8_t cdb_len, int direction, uint8_t* buf, unsigned len,
               unsigned timeout_ms) {
  sg_io_hdr_t io{};
  uint8_t sense[32] = {};
  io.interface_id = 'S';
  io.dxfer_direction = direction;
  io.cmd_len = cdb_len;
  io.cmdp = const_cast<uint8_t*>(cdb);
  io.dxferp = buf;
  io.dxfer_len = len;
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = timeout_ms;
  if (osa::sys::ioctl(fd, SG_IO, &io) != 0) return false;
  return io.status == 0 && io.host_status == 0 && io.driver_status == 0;
}

}  // namespace hd
