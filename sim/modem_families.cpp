#include "sim/modem_families.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/modems.h"

namespace sim {

namespace {

bool Starts(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

std::string Line(const std::string& text) { return "\r\n" + text + "\r\n"; }
std::string Ok(const std::string& text = "") { return (text.empty() ? "" : Line(text)) + "\r\nOK\r\n"; }

bool InFamily(const std::string& f, std::initializer_list<const char*> names) {
  for (const char* n : names)
    if (f == n) return true;
  return false;
}

std::string Local(const nlohmann::json& m) {
  auto p = m.find("ppp");
  return p != m.end() && p->is_object() ? p->value("local", "10.64.0.2") : "10.64.0.2";
}

}  // namespace

std::string ModemCallFile(const Board& b, int index) { return b.file("sim/modem-" + std::to_string(index) + ".call"); }

void FamilyPeer::SetCall(const Board& b, int index, bool up) {
  if (up == call_up_) return;
  call_up_ = up;
  std::error_code ec;
  std::filesystem::create_directories(b.file("sim"), ec);
  std::ofstream(ModemCallFile(b, index)) << (up ? "up" : "down") << "\n";
  b.event("modem " + std::to_string(index) + " call " + (up ? "up" : "down"));
}

std::optional<std::string> FamilyPeer::Answer(const Board& b, int index, const nlohmann::json& m,
                                              const std::string& cmd) {
  const std::string f = m.value("family", "");
  // A data dial (no ";": a voice call) connects the PPP port.
  if ((Starts(cmd, "ATD") || Starts(cmd, "atd")) && cmd.find(';') == std::string::npos)
    return std::string("\r\nCONNECT 150000000\r\n");
  if (f.empty() || f == "generic" || f == "quectel_lte_ec20") return std::nullopt;
  // "drop_call": the network ends the call; the modem says so before its next answer.
  std::string dropped;
  if (call_up_ && m.value("drop_call", false)) {
    SetCall(b, index, false);
    if (f == "longsung_lte_u8300") dropped = Line("^DATADISCONN");
    if (f == "zte_lte_me3760") dropped = Line("+ZCONSTAT: 0,1");
  }
  auto own = OwnAnswer(b, index, m, cmd);
  if (!own) return dropped.empty() ? std::nullopt : std::optional<std::string>(dropped + Ok());
  return dropped + *own;
}

std::optional<std::string> FamilyPeer::OwnAnswer(const Board& b, int index, const nlohmann::json& m,
                                                 const std::string& cmd) {
  const std::string f = m.value("family", "");
  if (cmd == "AT+CPIN?" || cmd == "AT+QCPIN?") {
    if (m.value("simbusy", false)) return Line("+CME ERROR: SIM busy");
    return Ok(cmd == "AT+QCPIN?" ? "+QCPIN: READY" : "+CPIN: READY");
  }
  if (cmd == "AT+CGREG?") return Ok("+CGREG: 0,1");
  if (cmd == "AT+CEREG?") return Ok("+CEREG: 0,1");
  if (cmd == "AT+CSQ") return Ok("+CSQ: 20,99");
  if (cmd == "AT+CCSQ") return Ok("+CCSQ: 20,99");
  if (cmd == "AT^HDRCSQ") return Ok("^HDRCSQ: 60");
  if (cmd == "AT^SYSINFO" || cmd == "AT%SYSINFO") {
    bool evdo = InFamily(f, {"huawei_evdo_module", "zte_evdo_mc2716", "zte_evdo_module", "qualcomm_evdo_module"});
    return Ok(std::string(cmd == "AT%SYSINFO" ? "%" : "^") + "SYSINFO: 2,3,0," + (evdo ? "4" : "5") + ",1");
  }
  if (cmd == "AT^SYSINFOEX") return Ok("^SYSINFOEX: 2,3,0,1,,6,\"LTE\",101,\"LTE\"");
  if (cmd == "AT+CNSMOD?") return Ok("+CNSMOD: 0,8");
  if (cmd == "AT+PSRAT") {
    if (f == "longsung_evdo_c5300v") return Ok("+PSRAT: EVDO");
    if (f == "longsung_wcdma_u7500") return Ok("+PSRAT: HSPA");
    return Ok("+PSRAT: TDD LTE");
  }
  if (cmd == "AT+ZGETICCID") return Ok("+ZICCID: 89860012345678901234");
  if (cmd == "AT+CGDCONT?")
    return Ok("+CGDCONT: 1,\"IP\",\"cmnet\",\"0.0.0.0\",0,0\r\n+CGDCONT: 2,\"IP\",\"cmnet\",\"0.0.0.0\",0,0");
  if (cmd == "ATI")
    return Ok("Manufacturer: " + m.value("manufacturer", "") + "\r\nModel: " + m.value("product", "") +
              "\r\nIMEI: 861234567890123");
  // The families' own data calls.
  if (cmd == "AT+ZGACT=1,1") {
    SetCall(b, index, true);
    return Ok() + Line("+ZCONSTAT: 1,1");
  }
  if (cmd == "AT+ZGACT=0,1") {
    SetCall(b, index, false);
    return Ok() + Line("+ZCONSTAT: 0,1");
  }
  if (Starts(cmd, "AT^NDISDUP=1,1,")) {
    SetCall(b, index, true);
    return Ok() + Line("^NDISSTAT: 1,,,\"IPV4\"");
  }
  if (Starts(cmd, "AT^NDISDUP=1,0,")) {
    SetCall(b, index, false);
    return Ok();
  }
  if (cmd == "AT^NDISSTATQRY?") return Ok(std::string("^NDISSTATQRY: ") + (call_up_ ? "1" : "0") + ",,,\"IPV4\"");
  if (cmd == "AT$QCRMCALL=1,1") {
    SetCall(b, index, true);
    return Ok() + (f == "longsung_lte_u8300" ? Line("$QCRMCALL: 1, V4") : "");
  }
  if (cmd == "AT$QCRMCALL=0,1" || cmd == "AT+CGACT=0,1") {
    SetCall(b, index, false);
    return Ok();
  }
  if (cmd == "AT+CGACT=1,1") {
    SetCall(b, index, true);
    return Ok();
  }
  if (cmd == "AT+CGPADDR=1") return Ok("+CGPADDR: 1," + (call_up_ ? Local(m) : std::string("0.0.0.0")));
  return std::nullopt;
}

bool ModemNetcardIoctl(const Board& b, unsigned long request, void* arg, int* result) {
  if ((request != SIOCGIFADDR && request != SIOCGIFNETMASK) || !arg) return false;
  auto* r = static_cast<ifreq*>(arg);
  std::string name(r->ifr_name, strnlen(r->ifr_name, IFNAMSIZ));
  const auto& modems = BoardModems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    if (!modems[i].is_object() || modems[i].value("netcard", "") != name) continue;
    std::ifstream in(b.file("sim/modem-" + std::to_string(i) + ".call"));
    std::string state;
    in >> state;
    if (state != "up") {
      errno = EADDRNOTAVAIL;
      *result = -1;
      return true;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, request == SIOCGIFADDR ? Local(modems[i]).c_str() : "255.255.255.255", &a.sin_addr);
    std::memcpy(&r->ifr_addr, &a, sizeof a);
    *result = 0;
    return true;
  }
  return false;
}

}  // namespace sim
