#include "applets/applets.h"
#include "netcfg/netcfg.h"

namespace applets {

// CommonMain always answers 1; the entry turns that into its failure status.
int NetinitMain(int argc, char** argv) { return CommonMain(argc, argv); }

}  // namespace applets
