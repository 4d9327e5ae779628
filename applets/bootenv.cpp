#include "applets/applets.h"

namespace applets {

int BootenvMain(int, char**) { return NotBuilt("bootenv"); }

}  // namespace applets
