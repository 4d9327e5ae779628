// The simulated disks' ATA and SCSI command set beyond identity: SMART
// (data, thresholds, error log, with their checksums), power states and
// CHECK POWER MODE, READ VERIFY, the SCSI power condition mode page, and
// transfers with faults.  Board entries may add
//
//   "smart": {"attrs": {"9": 1234, "194": 35}, "errors": N}
//   "faults": ["smart_checksum", "no_smart", "aborted", "io_error@SECTOR",
//              "slow_ms=N", "standby_fail", "gone"]
//
// A power state lives in DIR/disk/NAME.power ("active", "idle", "standby"):
// STANDBY IMMEDIATE (E0h) sends the disk to standby, IDLE IMMEDIATE (E1h)
// or any transfer makes it active again.  A transfer without a buffer is
// one the board's block driver serves itself: it is logged
// "dma NAME read|write SECTOR COUNT".
#pragma once

#include <scsi/sg.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/models/disk.h"

namespace sim {

// True when the board says the disk stopped answering ("gone").
bool DiskGone(const Board& b, const DiskSpec& s);
// HDIO_DRIVE_CMD of any command but IDENTIFY: args[0] command, [1] sector
// number, [2] feature, [3] count, 512 × count data bytes after the four.
int DiskDriveCmd(const Board& b, const DiskSpec& s, uint8_t* args);
// IDENTIFY data as the model's SMART support and state change it.
void DiskIdentifyExtras(const Board& b, const DiskSpec& s, uint8_t* id);
// SG_IO for ATA PASS-THROUGH (16) other than IDENTIFY and the SCSI
// commands besides INQUIRY; false when the command is none of these.
bool DiskSgIo(const Board& b, const DiskSpec& s, sg_io_hdr_t* io, int* rc);
// A read or write on the disk node (off -1: at the file position).
ssize_t DiskTransfer(const Board& b, const DiskSpec& s, int fd, bool write, void* buf, std::size_t len, off_t off);

}  // namespace sim
