// Families that bring their data link up themselves (NDIS, $QCRMCALL,
// ZGACT, packet attach): no daemon, the address read from the modem's own
// interface.
#include "cellular/log.h"
#include "cellular/ps_internal.h"

namespace cellular {

std::unique_ptr<CallFamily> MakeOwnCallFamily(int, const std::string&) { return nullptr; }

}  // namespace cellular
