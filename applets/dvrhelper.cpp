#include "applets/applets.h"

namespace applets {

int DvrhelperMain(int, char**) { return NotBuilt("dvrhelper"); }

}  // namespace applets
