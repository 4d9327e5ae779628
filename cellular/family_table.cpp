// The families' initialisation and status sequences, one table row each:
// the commands sent at start, how the SIM, the registration (system mode)
// and the signal are asked, and the few family habits beside that.
#include <cstring>
#include <vector>

#include "cellular/family.h"
#include "cellular/log.h"
#include "cellular/ps_internal.h"

namespace cellular {

namespace {

enum class ModeBy { Cgreg, Cereg, Sysinfo, SysinfoEx, Cnsmod, Psrat };
enum class SignalBy { Csq, CsqHdr, Ccsq };

struct Row {
  const char* name;
  std::vector<int> types;
  std::vector<const char*> init;  // sent in order after "AT+CFUN=1"
  const char* sim;                // nullptr: the SIM state comes with ^SYSINFO
  ModeBy mode;
  int registered_mode;  // the system mode a plain registration means
  SignalBy signal;
};

const std::vector<Row>& Rows() {
  static const std::vector<Row> k = {
      {"huawei_evdo_module", {0, 1, 2, 3, 4}, {"ATE0\r", "AT^RSSIREP=1\r"}, nullptr, ModeBy::Sysinfo, 2,
       SignalBy::CsqHdr},
      {"zte_evdo_mc2716", {5}, {"ATE0\r", "AT+ZMDS?\r"}, nullptr, ModeBy::Sysinfo, 2, SignalBy::CsqHdr},
      {"zte_evdo_module", {6, 55}, {"ATE0\r", "AT+ZMDS?\r"}, nullptr, ModeBy::Sysinfo, 2, SignalBy::CsqHdr},
      {"qualcomm_evdo_module", {8, 9}, {"ATE0\r"}, nullptr, ModeBy::Sysinfo, 2, SignalBy::Ccsq},
      {"longsung_evdo_c5300v", {10}, {"ATE0\r"}, "AT+CPIN?\r", ModeBy::Psrat, 4, SignalBy::Ccsq},
      {"huawei_wcdma_module", {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23},
       {"ATE0\r", "AT+CREG=1\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::Sysinfo, 5, SignalBy::Csq},
      {"zte_wcdma_ad3812", {24}, {"ATE0\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 5, SignalBy::Csq},
      {"zte_wcdma_module", {25, 26, 27, 61}, {"ATE0\r", "AT+CMEE=1\r", "AT+ZSSPA\r"}, "AT+CPIN?\r", ModeBy::Cgreg,
       5, SignalBy::Csq},
      {"dlink_wcdma_dmw156", {28, 29, 71, 74}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Sysinfo, 5,
       SignalBy::Csq},
      {"vodafone_wcdma_k37770", {30}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 5, SignalBy::Csq},
      {"longsung_wcdma_u7500", {32}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Psrat, 5, SignalBy::Csq},
      {"quectel_wcdma_uc20", {34}, {"ATE0\r", "AT+CREG=1\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 5,
       SignalBy::Csq},
      {"longsung_lte_u8300", {37}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Psrat, 9, SignalBy::Csq},
      {"zte_lte_me3760", {39}, {"ATE0\r", "AT+CEREG=1\r", "AT+ZGETICCID\r"}, "AT+CPIN?\r", ModeBy::Cereg, 9,
       SignalBy::Csq},
      {"altair_lte_alt3100", {40}, {}, "AT+CPIN?\r", ModeBy::Cereg, 9, SignalBy::Csq},
      {"huawei_lte_me909", {41, 42, 75}, {"ATE0\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::SysinfoEx, 9,
       SignalBy::Csq},
      {"datang_td_5730", {48}, {"ATE0\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 8, SignalBy::Csq},
      {"simcom_lte_sim7100c", {50, 51}, {"ATE0\r", "AT+CNMP=2\r"}, "AT+CPIN?\r", ModeBy::Cnsmod, 9, SignalBy::Csq},
      {"woowellstrong_lte_module", {60}, {"ATE0\r", "AT+CEREG=1\r"}, "AT+CPIN?\r", ModeBy::Cereg, 9, SignalBy::Csq},
      {"iball_wcdma_module", {63}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 5, SignalBy::Csq},
      {"yuga_lte_clm920", {64}, {"ATE0\r", "AT+CEREG=1\r"}, "AT+CPIN?\r", ModeBy::Cereg, 9, SignalBy::Csq},
      {"quectel_lte_ec20_20", {65, 72}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 11, SignalBy::Csq},
      {"nodecom_lte_nl660", {66}, {"ATE0\r", "AT+CEREG=1\r", "AT+CMEE=2\r"}, "AT+QCPIN?\r", ModeBy::Cereg, 9,
       SignalBy::Csq},
      {"huawei_lte_e3372", {67}, {"ATE0\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::SysinfoEx, 9, SignalBy::Csq},
      {"longsung_lte_u9300", {68}, {"ATE0\r", "AT+CEREG=1\r"}, "AT+CPIN?\r", ModeBy::Cereg, 9, SignalBy::Csq},
      {"qualcomm_wcdma_module", {70}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 5, SignalBy::Csq},
      {"neoway_lte_n720", {73}, {"ATE0\r", "AT+CREG=1\r"}, "AT+CPIN?\r", ModeBy::Cgreg, 9, SignalBy::Csq},
      {"huawei_nr_mh5000", {76}, {"ATE0\r", "AT+CMEE=1\r"}, "AT+CPIN?\r", ModeBy::SysinfoEx, 9, SignalBy::Csq},
  };
  return k;
}

constexpr int kSimBusyMax = 6;

// ^SYSINFO's system mode as ours.
int SysinfoMode(int m) {
  switch (m) {
    case 2: return 2;          // CDMA
    case 4: case 8: return 4;  // HDR, CDMA/HDR hybrid
    case 3: return 3;          // GSM/GPRS
    case 5: case 7: return 5;  // WCDMA, GSM/WCDMA
    case 15: return 8;         // TD-SCDMA
    default: return 0;
  }
}

int SysinfoExMode(int m) {
  switch (m) {
    case 1: return 3;
    case 2: return 2;
    case 3: return 5;
    case 4: return 8;
    case 6: case 7: return 9;  // LTE, NR
    default: return 0;
  }
}

int CnsmodMode(int m) {
  if (m >= 1 && m <= 3) return 3;
  if (m >= 4 && m <= 7) return 5;
  if (m == 8) return 9;
  if (m == 9) return 8;
  return 0;
}

class TableFamily final : public ModemFamily {
 public:
  TableFamily(const Row& s, int type) : s_(s), type_(type) {}
  const char* name() const override { return s_.name; }

  void Init(FamilyIo& io) override {
    const auto& m = io.match;
    io.info(m.info.name, m.info.manufacturer, "");
    if (type_ != 40 && io.cmd(CfunCmd(1)) != 0) NET3G_LOG(2, "Fail to process CFUN\n");
    for (const char* c : s_.init) {
      AtCmd cmd = OkCmd(c);
      if (std::strcmp(c, "AT+ZGETICCID\r") == 0) cmd.parse = [&](std::string_view l) { return Iccid(io, l); };
      if (io.cmd(cmd) != 0) NET3G_LOG(2, "Fail to process %.*s\n", static_cast<int>(std::strlen(c) - 1), c);
    }
    if (type_ == 37) ReadNetAccess(io);
  }

  bool Status(FamilyIo& io) override {
    SystemMode(io);
    int32_t* r = io.radio;
    auto no_service = [&] {
      *io.status_valid = false;
      std::memset(r, 0, 16 * sizeof(int32_t));
      return false;
    };
    int sys_from_info = -1;
    *io.sim = 1;
    if (s_.sim) {
      AtCmd c = OkCmd(s_.sim, 1000, 2, 2);
      c.expect.clear();
      c.parse = [&](std::string_view l) { return Sim(io, l); };
      if (io.cmd(c) != 0) NET3G_LOG(2, "Fail to process CPIN\n");
      if (*io.sim_busy) return no_service();
    }
    if (s_.mode == ModeBy::Sysinfo) {
      AtCmd c = OkCmd(type_ == 9 ? "AT%SYSINFO\r" : "AT^SYSINFO\r");
      c.expect.clear();
      c.parse = [&](std::string_view l) {
        auto v = ParseSysinfo(l);
        if (!v) return 0;
        sys_from_info = v->srv_status == 2 ? SysinfoMode(v->sys_mode) : 0;
        if (!s_.sim) *io.sim = v->sim_state == 1 ? 2 : 1;
        return 1;
      };
      if (io.cmd(c) != 0) NET3G_LOG(2, "Fail to process SYSINFO\n");
    }
    if (*io.sim <= 1) return no_service();
    int mode = sys_from_info >= 0 ? sys_from_info : Mode(io);
    if (mode <= 0) {
      NET3G_LOG(2, "Fail to get network system mode\n");
      return no_service();
    }
    *io.status_valid = true;
    std::memset(r, 0, 16 * sizeof(int32_t));
    r[kRSysMode] = mode;
    int v = Signal(io, s_.signal == SignalBy::Ccsq ? "AT+CCSQ\r" : "AT+CSQ\r",
                   s_.signal == SignalBy::Ccsq ? "+CCSQ:" : "+CSQ:");
    if (v < 0 || v > 31) return false;
    int level = CsqToSignal(v);
    switch (mode) {
      case 2: r[kRCdma1x] = level; break;
      case 4:
        r[kRCdma1x] = level;
        if (s_.signal == SignalBy::CsqHdr) {
          int h = Signal(io, "AT^HDRCSQ\r", "^HDRCSQ:");
          r[kREvdo] = h >= 0 && h <= 99 ? h : level;
        } else {
          r[kREvdo] = level;
        }
        break;
      case 8: r[kRTd] = level; break;
      case 9: r[kRLte] = level; break;
      case 10: r[kRLte] = r[kRFddLte] = level; break;
      default: r[kRWcdma] = r[kREdge] = level;
    }
    r[kRValid] = 1;
    return true;
  }

  bool Report(FamilyIo& io, std::string_view l) override {
    if (type_ >= 19 && type_ <= 21) {
      auto v = ParseLevel(l, "^RSSI:");
      if (!v) v = ParseLevel(l, "%RSSI:");
      if (v) {
        if (*v < 99) {
          io.radio[kRWcdma] = io.radio[kREdge] = 3 * *v;
          io.radio[kRValid] = 1;
        } else {
          io.radio[kRValid] = 0;
        }
        return true;
      }
    }
    if (type_ == 2 || type_ == 9) {
      if (auto v = ParseLevel(l, "^RSSILVL:")) {
        if (*v < 99) {
          io.radio[kRCdma1x] = *v;
          io.radio[kRValid] = 1;
        }
        return true;
      }
      if (auto v = ParseLevel(l, "^HRSSILVL:")) {
        if (*v <= 99) {
          io.radio[kREvdo] = *v;
          if (type_ == 9) io.radio[kRCdma1x] = *v;
          io.radio[kRValid] = 1;
        }
        return true;
      }
    }
    if (l.substr(0, 8) == "+ZICCID:") {
      if (Iccid(io, l) < 0) NET3G_LOG(3, "bad ICCID report dropped\n");
      return true;
    }
    return false;
  }

  void Pass(FamilyIo& io) override {
    std::string pin;
    NetAccess n;
    bool apply = false;
    {
      osa::LockGuard g(io.control.mutex());
      SlotState& s = io.control.slot(io.match.slot);
      pin = std::exchange(s.pin_pending, {});
      if ((type_ == 37 || type_ == 42) && s.pending_set) {
        n = s.pending;
        s.pending_set = false;
        apply = true;
      }
    }
    if (!pin.empty() && PinUnlockType(type_)) {
      AtCmd c = OkCmd("AT+CPIN=\"" + pin + "\"\r", 3000);
      if (io.cmd(c) != 0) NET3G_LOG(2, "Fail to unlock the SIM with its PIN\n");
    }
    if (apply) ApplyNetAccess(io, n);
  }

 private:
  int Sim(FamilyIo& io, std::string_view l) {
    if (l.find("SIM busy") != std::string_view::npos || l == "+CME ERROR: 14") {
      NET3G_LOG(4, "sim notify: %.*s \n", static_cast<int>(l.size()), l.data());
      if (type_ == 66 && ++busy_ >= kSimBusyMax) {
        busy_ = 0;
        *io.sim_busy = true;
      }
      return 1;
    }
    std::string_view t = l;
    std::string fixed;
    if (t.substr(0, 7) == "+QCPIN:") {
      fixed = "+CPIN:" + std::string(t.substr(7));
      t = fixed;
    }
    int s = ParseCpin(t);
    if (s < 0) return 0;
    *io.sim = s;
    busy_ = 0;
    return 1;
  }

  int Iccid(FamilyIo& io, std::string_view l) {
    auto v = ParseIccid(l);
    if (!v) return l.find("ICCID") != std::string_view::npos ? -1 : 0;
    osa::LockGuard g(io.control.mutex());
    io.control.slot(io.match.slot).iccid = *v;
    return 1;
  }

  int Mode(FamilyIo& io) {
    int mode = 0;
    AtCmd c;
    switch (s_.mode) {
      case ModeBy::Cgreg:
        c = OkCmd("AT+CGREG?\r");
        c.parse = [&](std::string_view l) {
          auto v = ParseCgreg(l);
          if (!v) return 0;
          mode = (*v == 1 || *v == 5) ? s_.registered_mode : 0;
          return 1;
        };
        break;
      case ModeBy::Cereg:
        c = OkCmd("AT+CEREG?\r");
        c.parse = [&](std::string_view l) {
          auto v = ParseCereg(l);
          if (!v) return 0;
          mode = (*v == 1 || *v == 5) ? s_.registered_mode : 0;
          return 1;
        };
        break;
      case ModeBy::SysinfoEx:
        c = OkCmd("AT^SYSINFOEX\r");
        c.parse = [&](std::string_view l) {
          auto v = ParseSysinfoEx(l);
          if (!v) return 0;
          mode = SysinfoExMode(v->second);
          return 1;
        };
        break;
      case ModeBy::Cnsmod:
        c = OkCmd("AT+CNSMOD?\r");
        c.parse = [&](std::string_view l) {
          auto v = ParseCnsmod(l);
          if (!v) return 0;
          mode = CnsmodMode(*v);
          return 1;
        };
        break;
      case ModeBy::Psrat:
        c = OkCmd("AT+PSRAT\r");
        c.parse = [&](std::string_view l) {
          auto v = ParsePsrat(l);
          if (!v) return 0;
          mode = *v;
          return 1;
        };
        break;
      case ModeBy::Sysinfo:
        return 0;
    }
    c.expect.clear();
    if (io.cmd(c) != 0) NET3G_LOG(2, "Fail to get the registration\n");
    return mode;
  }

  int Signal(FamilyIo& io, const char* text, const char* head) {
    int v = -1;
    AtCmd c = OkCmd(text);
    c.expect.clear();
    c.parse = [&](std::string_view l) {
      if (l.substr(0, std::strlen(head)) != head) return 0;
      auto n = std::string(head) == "+CSQ:" ? ParseCsq(l) : ParseLevel(l, head);
      if (!n) return -1;
      v = *n;
      return v > 98 ? -1 : 1;
    };
    if (io.cmd(c) != 0) NET3G_LOG(2, "Fail to process CSQ\n");
    return v;
  }

  // SET_SYSMOD: the NL660 has a mode command; others ignore the request.
  void SystemMode(FamilyIo& io) {
    int mode = 0;
    {
      osa::LockGuard g(io.control.mutex());
      SlotState& s = io.control.slot(io.match.slot);
      if (!s.sysmode_changed) return;
      s.sysmode_changed = false;
      mode = s.sysmode;
    }
    if (type_ != 66) return;
    bool known = true;
    int v = ModeselValue(mode, &known);
    if (!known) NET3G_LOG(3, "Unknow system mode %d!\n", mode);
    if (io.cmd(OkCmd("AT+MODESEL=" + std::to_string(v) + "\r", 1000, 2, 2)) != 0)
      NET3G_LOG(2, "Fail to set the system mode\n");
  }

  void ApplyNetAccess(FamilyIo& io, const NetAccess& n) {
    if (io.cmd(OkCmd("AT+CGDCONT=1,\"IP\",\"" + n.apn + "\"\r")) != 0) NET3G_LOG(2, "Fail to set_cgdcont_cmd\n");
    // 1 PAP, 2 CHAP, 0 none, as text after "1," (built by appending: the
    // board compiler warns about the temporaries of a long + chain).
    const int a = n.auth == 0 ? 1 : n.auth == 1 ? 2 : 0;
    std::string auth = "1,";
    auth += static_cast<char>('0' + a);
    auth += ",\"";
    if (type_ == 37) {
      std::string t = "AT$QCPDPP=";
      t += auth;
      t += n.password;
      t += "\",\"";
      t += n.user;
      t += "\"\r";
      if (a != 0)
        io.cmd(OkCmd(t, 1000, 1, 1));
      else
        io.cmd(OkCmd("AT$QCPDPP=1\r", 1000, 1, 1));
      ReadNetAccess(io);
    } else {
      std::string t = "AT^AUTHDATA=";
      t += auth;
      t += "\",\"";
      t += n.password;
      t += "\",\"";
      t += n.user;
      t += "\"\r";
      io.cmd(OkCmd(t));
      std::string rec(kNetAccessCfgLen, '\0');
      PutText(rec, 0, 32, n.apn);
      PutText(rec, 32, 128, n.user);
      PutText(rec, 160, 128, n.password);
      PutInt(rec, 288, n.auth);
      osa::LockGuard g(io.control.mutex());
      io.control.slot(io.match.slot).netaccess_read = rec;
    }
  }

  // The U8300 keeps its context: code 22 answers what it holds.
  void ReadNetAccess(FamilyIo& io) {
    std::string apn;
    bool seen = false;
    AtCmd c = OkCmd("AT+CGDCONT?\r", 3000);
    c.parse = [&](std::string_view l) {
      if (auto v = ParseCgdcontApn(l, 1)) {
        apn = *v;
        seen = true;
      }
      return 0;
    };
    if (io.cmd(c) != 0 || !seen) return;
    std::string rec(kNetAccessCfgLen, '\0');
    PutText(rec, 0, 32, apn);
    osa::LockGuard g(io.control.mutex());
    io.control.slot(io.match.slot).netaccess_read = rec;
  }

  const Row& s_;
  int type_;
  int busy_ = 0;
};

}  // namespace

int FamilyIo::Ok(const std::string& text, int timeout_ms, int sends, int reads) {
  return cmd(OkCmd(text, timeout_ms, sends, reads));
}

bool PinUnlockType(int type) { return (type >= 19 && type <= 21) || type == 23 || type == 34; }

std::unique_ptr<ModemFamily> MakeFamily(int type) {
  for (const auto& s : Rows())
    for (int t : s.types)
      if (t == type) return std::make_unique<TableFamily>(s, type);
  return nullptr;
}

}  // namespace cellular
