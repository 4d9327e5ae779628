// The boot flash as the flash set and the partition image update see it:
// the flash resource record (FlashGetRes) described by field name, and the
// MTD block devices /dev/mtdblockN, which answer BLKGETSIZE64 with the size
// of mtdN (the update only measures them; every byte goes through mtdN).
//
//   "resource": {"records": {"FlashGetRes": {"Chip": [{"Type": 1, "Size": N, "Base": 0,
//                 "Mtd": [{"MtdNum": 0, "Name": "all"}, ...]}]}}}
#pragma once

#include "sim/device.h"
#include "sim/models/record.h"

namespace sim {

const Schema* FlashResSchema();
extern const Model kMtdBlockModel;

}  // namespace sim
