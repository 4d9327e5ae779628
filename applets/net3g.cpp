#include "applets/applets.h"
#include "cellular/cellular.h"

namespace applets {

int Net3gMain(int, char**) { return cellular::Net3gRun(); }

}  // namespace applets
