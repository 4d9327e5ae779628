#include "applets/applets.h"

namespace applets {

int NetinitMain(int, char**) { return NotBuilt("netinit"); }

}  // namespace applets
