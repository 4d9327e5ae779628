// The board's PPP daemon stand-in (see ppp_daemon.cpp).
#pragma once

#include "sim/sim.h"

namespace sim {

int PppDaemonStandIn(const Board& b, int argc, char** argv);

}  // namespace sim
