#include "applets/applets.h"

namespace applets {

int EracfgMain(int, char**) { return NotBuilt("eracfg"); }

}  // namespace applets
