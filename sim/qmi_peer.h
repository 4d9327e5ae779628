// The qcqmi driver of a board's QMI modems: "/dev/qcqmiN" is a pseudo-
// terminal whose far end answers WDS requests as the modem's "qmi" says:
//
//   "qmi": {"connect": "ok" | "error" | "silent", "status": 2, "fault": "hangup"}
//
// N is the number in the modem's "netcard" ("lte0" when it has none).  Each
// request is logged in events.log as "qmi N 0xMSGID TT=HEX ...".
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "sim/sim.h"

namespace sim {

class QmiPeers {
 public:
  bool Open(const Board& b, std::string* err);
  void AddFds(std::vector<pollfd>* p) const;
  void Input(const Board& b, int fd);

 private:
  struct Dev {
    int modem;
    int index;
    int master = -1;
    int slave = -1;
    bool connected = false;
  };
  std::vector<Dev> devs_;
};

// A modem the qcqmi driver serves, and its device number; -1 for none.
int QmiDeviceOf(const nlohmann::json& m);

}  // namespace sim
