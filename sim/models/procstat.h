// The board's /proc statistics files: stat, meminfo, cpuinfo.
#pragma once

#include "sim/device.h"

namespace sim {

extern const Model kProcStatModel;

}  // namespace sim
