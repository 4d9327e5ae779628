// The board's dmidecode: answers from the board's "dmi" section.
#pragma once

#include "sim/sim.h"

namespace sim {

// dmidecode -s|--string KEYWORD prints one value; -t|--type bios (or 0)
// prints the BIOS Information table as dmidecode lays it out.  Keywords
// are dmidecode's: "bios-vendor", "bios-version", "bios-release-date",
// "system-serial-number" ...
int DmidecodeStandIn(const Board& b, int argc, char** argv);

}  // namespace sim
