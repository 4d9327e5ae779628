#include "applets/applets.h"

namespace applets {

int SendbootMain(int, char**) { return NotBuilt("sendboot"); }

}  // namespace applets
