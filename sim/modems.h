// USB modems of a board:
//
//   "usb": {"modems": [{"port": 0, "id": "05c6:9215", "manufacturer": "Quectel",
//            "product": "Quectel LTE Module", "ttys": 4, "family": "quectel_lte_ec20",
//            "replies": [{"on": "AT+CSQ\r", "send": "\r\n+CSQ: 9,99\r\n", "tty": 3}],
//            "silent": false, "garbage": false, "split": false, "delay_ms": 0, "plugged": true,
//            "storage": "19d2:2000", "switch_fails": 0}]}
//
// With "storage" the modem shows that id and a CD-ROM (sr0) until the
// usb_modeswitch stand-in switches it.
//
// A plugged modem is a device folder under DIR/sys/bus/usb/devices ("1-N"
// for port N-1) with its ids, strings and one interface per serial port;
// its ports take the next free /dev/ttyUSBn in board order.  Each port is a
// pseudo-terminal played by the peer process: a scripted reply first (`tty`:
// port index, omitted = any), then the defaults of the modem's family, else
// "\r\nOK\r\n".  Traffic is logged to DIR/modem/ttyUSBn.log as "MS < TEXT"
// (from the program) and "MS > TEXT" (sent), TEXT C-escaped.
#pragma once

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/modem_families.h"
#include "sim/sim.h"

namespace sim {

class ModemPeers {
 public:
  // Makes the ports and the plugged modems' sysfs folders; false with *err.
  bool Open(const Board& b, std::string* err);
  void AddFds(std::vector<pollfd>* p) const;
  // Serves the port whose master is `fd`, if it is one.
  void Input(const Board& b, int fd);
  bool empty() const { return ports_.empty(); }

 private:
  struct Port {
    int modem;
    int index;
    int tty;
    int master = -1;
    int slave = -1;
    std::string pending;
  };
  std::vector<Port> ports_;
  std::vector<FamilyPeer> families_;  // one per modem
};

bool BoardHasModems(const Board& b);
// The board's "usb.modems" array (empty when there is none), and the modem
// whose ports include /dev/ttyUSB`tty` (nullptr for none).
const nlohmann::json& BoardModems(const Board& b);
const nlohmann::json* ModemOfTty(const Board& b, int tty);
// The sysfs folder of modem `i` made (plugged) or removed; false with *err.
bool SetModemPlugged(const Board& b, int i, bool plugged, std::string* err);
// Escapes bytes for the transcript: \r \n \\ and \xHH for the rest outside
// printable ASCII.
std::string ModemEscape(std::string_view s);

// The usb_modeswitch stand-in: switches the board's modem whose "storage"
// id the -v/-p options name (after "switch_fails" failed tries) and sends
// the kernel's add events for its ports.
int ModeSwitchStandIn(const Board& b, int argc, char** argv);

// dvrsim modem DIR plug P | unplug P
int ModemCommand(int argc, char** argv);

}  // namespace sim
