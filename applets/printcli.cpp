#include "applets/applets.h"

namespace applets {

int PrintcliMain(int, char**) { return NotBuilt("printcli"); }

}  // namespace applets
