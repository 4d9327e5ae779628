// Shared by the disk access, power and SMART files.
#pragma once

#include <string>

#include "storage/internal.h"

namespace hd {

// The record of a logic number or a device name ("sdb" or "/dev/sdb");
// null (logged) when no record holds it.
HdDevInfo* RecordByLogic(int logic);
HdDevInfo* RecordByName(const char* name);

// One ATA command through SG_IO ATA PASS-THROUGH (16).
struct AtaTask {
  uint8_t cmd = 0;
  uint16_t feature = 0, count = 0;
  uint64_t lba = 0;
  bool ext = false;      // 48-bit form
  int protocol = 3;      // 3 non-data, 4 PIO data-in
  bool wantRegs = false; // ask for the registers back (CK_COND)
};
// 0 done, -1 failed (logged by the caller); *regs valid when asked for.
int AtaExec(int fd, const AtaTask& t, uint8_t* data512, AtaRegs* regs);
// True when the record is an ATA disk (INQUIRY vendor "ATA" or behind a
// USB-to-ATA bridge).
bool IsAtaDisk(const HdDevInfo& r);

}  // namespace hd
