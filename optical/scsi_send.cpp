// The one path a command takes to the drive: SG_IO through the seam, then
// the sense decisions with their bounded resends.
#define CDRW_MODULE "scsi_linux_sg"

#include <chrono>
#include <cstring>
#include <thread>

#include "optical/cdrw_log.h"
#include "optical/mmc.h"
#include "osa/sys.h"

namespace {

constexpr uint32_t kLongWriteEvery = 10;  // long-write reports printed once per this many

void Sleep(mmc::Drive* drv, int ms) {
  if (ms <= 0) return;
  if (drv->sleep) drv->sleep(ms);
  else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// One raw exchange: the transport's result, the header filled in.
int Exchange(mmc::Drive* drv, mmc::Command* cmd, sg_io_hdr_t* h) {
  std::memset(h, 0, sizeof *h);
  std::memset(cmd->sense, 0, sizeof cmd->sense);
  h->interface_id = 'S';
  h->dxfer_direction = cmd->dir == mmc::Dir::ToDevice     ? SG_DXFER_TO_DEV
                       : cmd->dir == mmc::Dir::FromDevice ? SG_DXFER_FROM_DEV
                                                          : SG_DXFER_NONE;
  h->cmd_len = cmd->cdb_len;
  h->cmdp = cmd->cdb;
  h->dxferp = cmd->data;
  h->dxfer_len = cmd->data ? cmd->len : 0;
  h->mx_sb_len = sizeof cmd->sense;
  h->sbp = cmd->sense;
  h->timeout = static_cast<unsigned>(cmd->timeout) * 1000;
  if (drv->transport) return drv->transport(h);
  return osa::sys::ioctl(drv->fd.get(), SG_IO, h);
}

// TEST UNIT READY until the unit answers without sense.
int WaitUnit(mmc::Drive* drv, int tries, int allowance_ms) {
  int n = std::max(tries, allowance_ms / 1000);
  for (int i = 0; i < n; ++i) {
    mmc::Command tur = mmc::TestUnitReady();
    sg_io_hdr_t h;
    if (Exchange(drv, &tur, &h) == 0 && mmc::ParseSense(tur.sense, h.sb_len_wr).present == false &&
        h.status == 0 && h.host_status == 0)
      return 0;
    Sleep(drv, 1000);
  }
  return -EIO;
}

}  // namespace

int __scsi_send(mmc::Drive* drv, mmc::Command* cmd) {
  CDRW_CHECK(drv != nullptr);
  CDRW_CHECK(cmd != nullptr && cmd->cdb_len >= 6 && cmd->cdb_len <= 16);
  mmc::SendState st;
  st.is_write = cmd->cdb[0] == 0x2A;
  st.write_speed = drv->write_speed;
  for (;;) {
    st.abort = drv->abort;
    sg_io_hdr_t h;
    if (Exchange(drv, cmd, &h) < 0) {
      int e = errno;
      CDRW_ERR("[%s] : %s failed, %s!\n", drv->dev.c_str(), cmd->name, std::strerror(e));
      std::printf("cdb");
      for (int i = 0; i < cmd->cdb_len; ++i) std::printf(" %02x", cmd->cdb[i]);
      std::printf("\n");
      return -1;
    }
    cmd->transferred = h.resid > 0 && static_cast<uint32_t>(h.resid) <= h.dxfer_len ? h.dxfer_len - h.resid
                                                                                   : h.dxfer_len;
    mmc::Sense s = mmc::ParseSense(cmd->sense, h.sb_len_wr);
    cmd->check_condition = s.present || h.masked_status == 0x01;  // CHECK CONDITION
    if (!s.present) {
      // No sense, yet the command did not complete: never a success.
      if (h.status != 0 || h.host_status != 0 || (h.driver_status & 0x0F) != 0) {
        CDRW_ERR("[%s]: %s transport failure, status 0x%x host 0x%x driver 0x%x.", drv->dev.c_str(), cmd->name,
                 h.status, h.host_status, h.driver_status);
        return -EIO;
      }
      return 0;
    }
    bool long_write = s.key == 2 && s.asc == 0x04 && s.ascq == 0x08;
    if (!long_write || drv->long_write_reports++ % kLongWriteEvery == 0)
      std::printf("[%s]: %02x - %01x / %02x / %02x\n", drv->dev.c_str(), cmd->cdb[0], s.key, s.asc, s.ascq);
    mmc::Decision d = mmc::Decide(s, st);
    if (d.message) CDRW_WARN("%s", d.message);
    switch (d.kind) {
      case mmc::Decision::Done:
        Sleep(drv, 5);
        return d.ret;
      case mmc::Decision::Resend:
        Sleep(drv, d.delay_ms);
        break;
      case mmc::Decision::WaitResend:
        if (WaitUnit(drv, d.wait_tries, d.wait_ms) != 0) {
          CDRW_ERR("[%s]: cmd %u time out, retry %u.", drv->dev.c_str(), cmd->cdb[0], st.resends);
          return s.key == 4 ? -E2BIG : -EIO;
        }
        break;
    }
    ++st.resends;
  }
}
