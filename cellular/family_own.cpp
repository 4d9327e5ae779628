// Families that bring their data link up themselves (ZGACT, NDIS,
// $QCRMCALL, packet attach): no daemon; the modem's own interface carries
// the link and its address is the call's.
#include <arpa/inet.h>

#include "cellular/family.h"
#include "cellular/log.h"
#include "cellular/ps_internal.h"

namespace cellular {

namespace {

constexpr int kConnectWaitS = 30;
constexpr int kDialFailReset = 3;
constexpr int kAddrMismatchMax = 5;

enum class Kind { Zgact, Ndis, Qcrmcall, Cgact };

class OwnCall final : public CallFamily {
 public:
  OwnCall(Kind k, int type, std::string netcard) : kind_(k), type_(type), netcard_(std::move(netcard)) {}

  void Start(CallContext& c) override {
    c.TakeNetAccess();
    const std::string& apn = c.net.apn;
    int r = -1;
    switch (kind_) {
      case Kind::Zgact: r = c.Cmd("AT+ZGACT=1,1\r", 3000); break;
      case Kind::Ndis:
        if (!AtArgSafe(apn, 31)) return;
        r = c.Cmd("AT^NDISDUP=1,1,\"" + apn + "\"\r", 3000);
        break;
      case Kind::Qcrmcall: r = c.Cmd("AT$QCRMCALL=1,1\r", 5000); break;
      case Kind::Cgact: r = c.Cmd("AT+CGACT=1,1\r", 5000); break;
    }
    c.Mark();
    if (r != 0) {
      ++dial_failures_;
      NET3G_LOG(2, "data call dial failed (%d in a row)\n", dial_failures_);
      if (kind_ == Kind::Qcrmcall && dial_failures_ >= kDialFailReset) {
        NET3G_LOG(4, "begin to soft reset module for dial_up fail %d times\n", dial_failures_);
        dial_failures_ = 0;
        if (c.Cmd(CfunCmd(0)) != 0) NET3G_LOG(2, "Fail to process CFUN = 0\n");
        if (c.Cmd(CfunCmd(1)) != 0) NET3G_LOG(2, "Fail to process CFUN = 1\n");
      }
      c.SetState(kClose);
      return;
    }
    dial_failures_ = 0;
    mismatches_ = 0;
    c.SetState(kConnecting);
  }

  void Starting(CallContext& c) override { c.SetState(kConnecting); }

  void Connecting(CallContext& c) override {
    if (LinkUp(c)) {
      NET3G_LOG(4, "link is up!\n");
      c.Mark();
      c.SetState(kUp);
      return;
    }
    if (c.Elapsed() >= kConnectWaitS) {
      NET3G_LOG(2, "data call not up after %d s\n", kConnectWaitS);
      c.Mark();
      c.SetState(kClose);
    }
  }

  void Up(CallContext& c) override {
    if (!LinkUp(c)) {
      NET3G_LOG(4, "link is down!\n");
      c.ClearLink();
      c.Mark();
      c.SetState(kClose);
      return;
    }
    if (type_ == 68) CheckAddress(c);
  }

  void Close(CallContext& c) override {
    switch (kind_) {
      case Kind::Zgact: c.Cmd("AT+ZGACT=0,1\r", 3000); break;
      case Kind::Ndis: c.Cmd("AT^NDISDUP=1,0,\"" + c.net.apn + "\"\r", 3000); break;
      case Kind::Qcrmcall: c.Cmd("AT$QCRMCALL=0,1\r", 5000); break;
      case Kind::Cgact: c.Cmd("AT+CGACT=0,1\r", 5000); break;
    }
    c.ClearLink();
    reported_up_ = false;
    c.Mark();
    c.SetState(kDown);
  }

  bool Report(CallContext& c, std::string_view l) override {
    if (kind_ == Kind::Zgact && l.substr(0, 10) == "+ZCONSTAT:") {
      auto v = ParseZconstat(l);
      if (v && *v == 0) {
        c.ClearLink();
        c.SetState(kDown);
      } else if (v && *v == 1) {
        reported_up_ = true;
        c.SetState(kUp);
      } else {
        NET3G_LOG(2, "Fail to get me3760 state!\n");
      }
      return true;
    }
    if (type_ == 37 && kind_ == Kind::Qcrmcall) {
      if (l.substr(0, 10) == "$QCRMCALL:") {
        auto v = ParseQcrmcall(l);
        if (!v) NET3G_LOG(3, "bad $QCRMCALL report dropped\n");
        if (v && *v) {
          NET3G_LOG(4, "link is up!\n");
          reported_up_ = true;
          c.SetState(kUp);
        }
        return true;
      }
      if (l.substr(0, 12) == "^DATADISCONN") {
        reported_up_ = false;
        if (c.State() > 2) {
          NET3G_LOG(4, "link is down!\n");
          c.SetState(kClose);
        }
        return true;
      }
    }
    return false;
  }

 private:
  // The link is up when the modem says so and its interface has an address.
  bool LinkUp(CallContext& c) {
    bool modem_up = false;
    if (kind_ == Kind::Ndis) {
      AtCmd q = OkCmd("AT^NDISSTATQRY?\r");
      q.expect.clear();
      q.parse = [&](std::string_view l) {
        if (l.substr(0, 13) != "^NDISSTATQRY:") return 0;
        auto v = ParseNdisstat(l);
        if (!v) return -1;
        modem_up = *v == 1;
        return 1;
      };
      if (c.Cmd(q) != 0) NET3G_LOG(3, "Fail to query the NDIS state\n");
    } else if (kind_ == Kind::Zgact || type_ == 37) {
      modem_up = reported_up_;
    } else {
      modem_up = true;  // the interface's address tells
    }
    if (!modem_up) return false;
    uint32_t addr = 0, mask = 0;
    if (!c.os.NetcardAddr(netcard_, &addr, &mask) || addr == 0) return false;
    c.SetLink(addr, mask);
    addr_ = addr;
    return true;
  }

  // The U9300: the interface must hold the address the modem reports.
  void CheckAddress(CallContext& c) {
    std::optional<uint32_t> modem;
    AtCmd q = OkCmd("AT+CGPADDR=1\r");
    q.expect.clear();
    q.parse = [&](std::string_view l) {
      if (l.substr(0, 9) != "+CGPADDR:") return 0;
      modem = ParseCgpaddr(l);
      return modem ? 1 : -1;
    };
    if (c.Cmd(q) != 0 || !modem) return;
    if (*modem == addr_) {
      mismatches_ = 0;
      return;
    }
    if (++mismatches_ < kAddrMismatchMax) return;
    NET3G_LOG(2, "4G module's IP ERROR 5 times, then will be recall!\n");
    mismatches_ = 0;
    c.ClearLink();
    c.Mark();
    c.SetState(kClose);
  }

  Kind kind_;
  int type_;
  std::string netcard_;
  bool reported_up_ = false;
  int dial_failures_ = 0;
  int mismatches_ = 0;
  uint32_t addr_ = 0;
};

}  // namespace

std::unique_ptr<CallFamily> MakeOwnCallFamily(int type, const std::string& netcard) {
  switch (type) {
    case 39: return std::make_unique<OwnCall>(Kind::Zgact, type, netcard.empty() ? "lte0" : netcard);
    case 41: case 42: case 76: return std::make_unique<OwnCall>(Kind::Ndis, type, netcard);
    case 37:  // NDIS mode only when the scan found its interface; PPP otherwise
      if (netcard.empty()) return nullptr;
      return std::make_unique<OwnCall>(Kind::Qcrmcall, type, netcard);
    case 64: case 66: case 68: return std::make_unique<OwnCall>(Kind::Qcrmcall, type, netcard);
    case 40: return std::make_unique<OwnCall>(Kind::Cgact, type, netcard);
    default: return nullptr;
  }
}

}  // namespace cellular
