// USB modems of a board:
//
//   "usb": {"init": "ok", "modems": [{"port": 0, "id": "05c6:9215", "manufacturer": "Quectel",
//            "product": "Quectel LTE Module", "ttys": 4, "family": "quectel_lte_ec20",
//            "replies": [{"on": "AT+CSQ\r", "send": "\r\n+CSQ: 9,99\r\n", "tty": 3}],
//            "silent": false, "garbage": false, "split": false, "delay_ms": 0, "plugged": true,
//            "urc": {"text": "\r\n+CGREG: 3\r\n", "every_ms": 1000, "count": 5, "tty": 3},
//            "storage": "19d2:2000", "switch_fails": 0}]}
//
// With "storage" the modem shows that id and a CD-ROM (sr0) until the
// usb_modeswitch stand-in switches it; unplugging it undoes the switch.
// "init": "fail" makes the kernel's USB device list unreadable.
//
// A plugged modem is a device folder under DIR/sys/bus/usb/devices ("1-N"
// for port N-1) with its ids, strings and one interface per serial port,
// and a block in DIR/proc/bus/usb/devices; its ports take the next free
// /dev/ttyUSBn in board order.  Each port is a pseudo-terminal played by
// the peer process: a scripted reply first (`tty`: port index, omitted =
// any), then the defaults of the modem's family, else "\r\nOK\r\n"; an
// unplugged modem answers nothing.  Traffic is logged to
// DIR/modem/ttyUSBn.log as "MS < TEXT" (from the program) and "MS > TEXT"
// (sent), TEXT C-escaped.
//
// Writing 0 then 1 to a modem's "authorized" file (the program's USB reset)
// logs "usb-reset P" and power-cycles it: gone at once, back 2 s later.
#pragma once

#include <poll.h>

#include <map>
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
  // Serves the port whose master is `fd`, or the control FIFO.
  void Input(const Board& b, int fd);
  // Milliseconds until the next timed action (at most `cap`); runs the due ones.
  int NextDueMs(const Board& b, int cap);
  void Tick(const Board& b);
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
  struct Urc {
    std::string key;  // the "urc" setting it counts for
    long long next_ms = 0;
    int sent = 0;
  };
  void Send(const Board& b, Port& port, const std::string& reply, const nlohmann::json& spec);
  void Control(const Board& b, const std::string& line);
  std::vector<Port> ports_;
  std::vector<FamilyPeer> families_;  // one per modem
  std::map<int, Urc> urcs_;
  std::map<int, long long> replug_ms_;  // modems being power-cycled
  int ctl_ = -1;
  std::string ctl_pending_;
};

// The modems of the board description (an empty array when none).
const nlohmann::json& BoardModems(const Board& b);
// Modem i as it is now: its description with the changes `dvrsim modem set` made.
nlohmann::json ModemSpec(const Board& b, int i);
// The modem on USB port `port`, or -1.
int ModemOnPort(const Board& b, int port);
int ModemFirstTty(const Board& b, int i);
std::string ModemDevName(const nlohmann::json& m);
// The kernel's add or remove events for modem i's ports (or its disc).
bool SendModemEvents(const Board& b, int i, bool add, std::string* err);
// Rewrites DIR/proc/bus/usb/devices from the modems plugged now.
void WriteProcUsb(const Board& b);
// Unplugs modem i now and plugs it back 2 s later: the peer's timer when a
// peer serves the board, else within the call.
bool PowerCycleModem(const Board& b, int i, std::string* err);

bool BoardHasModems(const Board& b);
// The modem whose ports include /dev/ttyUSB`tty` (nullptr for none).
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

// busybox: "eject" is recorded, other applets run the host's.
int BusyboxStandIn(const Board& b, int argc, char** argv);

// dvrsim modem DIR plug P | unplug P | reset P | set P KEY=JSON... | link NAME up|down
int ModemCommand(int argc, char** argv);

}  // namespace sim
