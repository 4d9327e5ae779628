// The driver families beyond `generic` and the EC20: each one's
// initialisation and status sequence, its reports, PIN unlock, system mode
// command and network access setting (the sequences are listed in
// docs/design.md).  The worker runs them through FamilyIo.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cellular/internal.h"

namespace cellular {

// Radio status block words.
enum RadioWord { kRSysMode = 0, kRTd, kRWcdma, kRCdma1x, kREdge, kREvdo, kRValid, kRLte, kRFddLte, kRMixLte, kRNr };

struct FamilyIo {
  std::function<int(const AtCmd&)> cmd;
  Control& control;
  const DeviceMatch& match;
  int* sim;
  int32_t* radio;  // 16 words
  bool* status_valid;
  bool* sim_busy;
  // Fills the device information record.
  std::function<void(const std::string& model, const std::string& manufacturer, const std::string& imei)> info;
  int Ok(const std::string& text, int timeout_ms = 1000, int sends = 1, int reads = 2);
};

class ModemFamily {
 public:
  virtual ~ModemFamily() = default;
  virtual const char* name() const = 0;
  virtual void Init(FamilyIo& io) = 0;
  // One status poll; true when the modem is registered with signal.
  virtual bool Status(FamilyIo& io) = 0;
  // Unsolicited lines (signal reports); true when taken.
  virtual bool Report(FamilyIo&, std::string_view) { return false; }
  // The worker's pass: a pending PIN, a pending network access setting.
  virtual void Pass(FamilyIo&) {}
};

// The family of a module type; nullptr for the types the worker runs
// itself (35, and the generic family).
std::unique_ptr<ModemFamily> MakeFamily(int type);
// True for the types whose UNLOCK_PIN sends the PIN.
bool PinUnlockType(int type);

// Reply parsers of the families (nullopt: not this answer, or bad text).
struct Sysinfo {
  int srv_status = 0, srv_domain = 0, roam = 0, sys_mode = 0, sim_state = 0;
};
std::optional<Sysinfo> ParseSysinfo(std::string_view line);  // "^SYSINFO:", "%SYSINFO:", "+SYSINFO:"
// "^SYSINFOEX: srv,domain,roam,sim,lock,sysmode,..." -> (sim, sysmode).
std::optional<std::pair<int, int>> ParseSysinfoEx(std::string_view line);
std::optional<int> ParseCnsmod(std::string_view line);   // "+CNSMOD: n,mode"
std::optional<int> ParsePsrat(std::string_view line);    // "+PSRAT: TEXT" -> system mode
std::optional<int> ParseLevel(std::string_view line, std::string_view head);  // "HEAD v[,...]"
std::optional<int> ParseCereg(std::string_view line);    // "+CEREG: n,stat"
std::optional<std::string> ParseIccid(std::string_view line);  // "+ZICCID:" etc., 19-20 digits
std::optional<int> ParseZconstat(std::string_view line);  // "+ZCONSTAT: state[,cid]"
// "$QCRMCALL: 1, V4" -> true; other "$QCRMCALL:" lines false; nullopt for bad text.
std::optional<bool> ParseQcrmcall(std::string_view line);
std::optional<int> ParseNdisstat(std::string_view line);  // "^NDISSTATQRY: s,..." or "^NDISSTAT: s,..."
std::optional<uint32_t> ParseCgpaddr(std::string_view line);  // "+CGPADDR: 1,a.b.c.d" (network order)
// "AT+MODESEL" value for a system mode; *known false for unmapped modes.
int ModeselValue(int sysmode, bool* known);

}  // namespace cellular
