#include "applets/applets.h"

namespace applets {

int Net3gMain(int, char**) { return NotBuilt("net3g"); }

}  // namespace applets
