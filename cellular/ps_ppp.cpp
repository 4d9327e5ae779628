// The data call over PPP: dial on the PPP port, start the daemon there, wait
// for its pid file and its interface's address, watch both, tear down.
#include <arpa/inet.h>

#include <csignal>
#include <cstring>

#include "cellular/log.h"
#include "cellular/ps_internal.h"

namespace cellular {

namespace {

constexpr int kTypeAtzClose = 22;
constexpr int kTypeU8300 = 37;
constexpr int kTypeSim800 = 51;
constexpr int kTypeAuthData = 75;
constexpr int kPidFileWaitS = 31;
constexpr int kAddrWaitS = 21;
constexpr int kCloseWaitS = 30;

AtCmd DialCmd(const char* verb, const std::string& number) {
  AtCmd c;
  c.text = std::string(verb) + number.substr(0, 32) + "\r";
  c.expect = "CONNECT";
  c.timeout_ms = 2000;
  c.sends = 2;
  c.reads = 2;
  return c;
}

class PppFamily final : public CallFamily {
 public:
  void Start(CallContext& c) override {
    c.TakeNetAccess();
    NetAccess& n = c.net;
    NET3G_LOG(4,
              "ppp params: auth %d [0:PAP,1:CHAP,2:NO_AUTH]; mtu %d; apn %s; dail_num %s; user_name %s; user_pwd %s;\n",
              n.auth, n.mtu, n.apn.c_str(), n.dial.c_str(), n.user.c_str(), n.password.empty() ? "" : "******");
    if (!AtArgSafe(n.apn, 31) || !AtArgSafe(n.dial, 31) || !AtArgSafe(n.user, 31) || !AtArgSafe(n.password, 31)) {
      NET3G_LOG(2, "network access text not usable in a modem command\n");
      return;
    }
    if (c.type != kTypeSim800 && c.Cmd("ATH\r", 1000, 2, 2) != 0) NET3G_LOG(3, "Fail to set_ath_cmd\n");
    std::string dial = n.dial;
    if (c.type == kTypeU8300) {
      U8300Context(c, &dial);
    } else if (c.Cmd("AT+CGDCONT=" + std::to_string(c.pdp) + ",\"IP\",\"" + n.apn + "\"\r") != 0) {
      NET3G_LOG(2, "Fail to set_cgdcont_cmd\n");
    }
    dial = RewriteDial(dial, c.pdp);
    int r;
    if (c.type == kTypeAuthData) {
      int a = n.auth == 0 ? 1 : n.auth == 1 ? 2 : 0;
      std::string t = "AT^AUTHDATA=" + std::to_string(c.pdp) + "," + std::to_string(a) + ",\"\",\"" + n.user +
                      "\",\"" + n.password + "\"\r";
      if (c.Cmd(t) != 0) {
        NET3G_LOG(2, "set_cgact_cmd failed\n");
        return;
      }
      r = c.modem.dial(DialCmd("ATDT", dial));
      if (r != 0) NET3G_LOG(2, "Fail to set_atdt_cmd\n");
    } else {
      r = c.modem.dial(DialCmd("ATD", dial));
      if (r != 0) NET3G_LOG(2, "Fail to set_atd_ppp_cmd\n");
    }
    if (r != 0) {
      c.Mark();
      c.SetState(kClose);
      return;
    }
    if (c.type == kTypeU8300) c.clock.SleepMs(2000);
    if (!c.StartPppd()) {
      NET3G_LOG(2, "Fail to exec the pppd!\n");
      return;
    }
    c.Mark();
    c.SetState(kStarting);
  }

  void Starting(CallContext& c) override {
    NET3G_LOG(5, "PPP state: starting!\n");
    if (!c.PppdAlive()) {
      NET3G_LOG(2, "Fail to start pppd, pppd quit!\n");
      c.Mark();
      c.SetState(kClose);
      return;
    }
    std::string path = c.PidFile();
    if (auto text = c.os.Read(path)) {
      auto pid = ParsePidFile(*text);
      if (pid && *pid == c.pid) {
        NET3G_LOG(5, "ppp.pid path: %s\n", path.c_str());
        c.Mark();
        c.SetState(kConnecting);
        return;
      }
      if (pid)
        NET3G_LOG(3, "ppp_pid unmatch!\n");
      else
        NET3G_LOG(3, "ppp%d.pid holds no process id\n", c.unit);
    } else {
      NET3G_LOG(5, "Fail to open ppp%d.pid!\n", c.unit);
    }
    if (c.Elapsed() >= kPidFileWaitS) {
      c.SignalPppd(SIGTERM);
      c.Mark();
      c.SetState(kClose);
    }
  }

  void Connecting(CallContext& c) override {
    NET3G_LOG(5, "PPP state: connecting!\n");
    if (!c.PppdAlive()) {
      NET3G_LOG(2, "Fail to connect!\n");
      c.Mark();
      c.SetState(kClose);
      return;
    }
    uint32_t addr = 0, mask = 0;
    if (c.NetcardIp("ppp" + std::to_string(c.unit), &addr, &mask)) {
      if (c.modem.release_ppp_port) c.modem.release_ppp_port();
      c.SetLink(addr, mask);
      c.Mark();
      c.SetState(kUp);
      return;
    }
    if (c.Elapsed() >= kAddrWaitS) {
      NET3G_LOG(2, "Fail to create ppp link!, ppp dail timeout:%d s\n", kAddrWaitS - 1);
      c.SignalPppd(SIGTERM);
      c.Mark();
      c.SetState(kClose);
    }
  }

  void Up(CallContext& c) override {
    NET3G_LOG(5, "PPP state: up!\n");
    if (!c.PppdAlive()) {
      NET3G_LOG(2, "PPPD process exit,link is down!\n");
      c.Mark();
      c.ClearLink();
      c.SetState(kClose);
      return;
    }
    uint32_t addr = 0, mask = 0;
    if (c.NetcardIp("ppp" + std::to_string(c.unit), &addr, &mask)) {
      char text[16];
      NET3G_LOG(5, "ppp ipaddr: %s\n", inet_ntop(AF_INET, &addr, text, sizeof text));
      c.SetLink(addr, mask);
      return;
    }
    NET3G_LOG(2, "get Ip fail ,PPP link is down!\n");
    c.Mark();
    c.ClearLink();
    c.SetState(kClose);
  }

  void Close(CallContext& c) override {
    NET3G_LOG(5, "PPP state: close!\n");
    c.KillPppd();
    c.ClearLink();
    if (c.type != kTypeSim800) {
      for (int i = 0; i < 5; ++i) {
        if (c.Cmd("ATH\r", 1000, 2, 2) == 0) break;
        NET3G_LOG(3, "Fail to set_ath_cmd\n");
      }
    }
    if (c.type == kTypeAtzClose)
      for (int i = 0; i < 5; ++i)
        if (c.Cmd("ATZ\r", 1000, 1, 3) != 0) NET3G_LOG(3, "Fail to set_atz_cmd\n");
    if (!c.PppdAlive()) {
      c.pid = -1;
      c.Mark();
      c.SetState(kDown);
      return;
    }
    if (c.Elapsed() > kCloseWaitS) {
      c.SignalPppd(SIGKILL);
      c.Reap();
      c.Mark();
      c.SetState(kDown);
    }
  }

  // The AT port doubles as the PPP port: the daemon owns it from its start.
  bool PortBusy(const CallContext& c) const override {
    return c.match.at_port == c.match.ppp_port && c.pid > 0;
  }

 private:
  // The U8300's context: its own dial number rule, the APN set only when it
  // differs, and its authentication set or cleared.
  static void U8300Context(CallContext& c, std::string* dial) {
    NetAccess& n = c.net;
    if (c.SysMode() == 10 && *dial == "#777") {
      *dial = "*99#";
      NET3G_LOG(4, "LONGUNG_LTE_U8300 set dail_num %s\n", dial->c_str());
    }
    std::string current;
    AtCmd q;
    q.text = "AT+CGDCONT?\r";
    q.timeout_ms = 3000;
    q.parse = [&](std::string_view l) {
      if (auto apn = ParseCgdcontApn(l, 2)) current = *apn;
      return l.substr(0, 2) == "OK" ? 1 : 0;
    };
    c.Cmd(q);
    if (current != n.apn &&
        c.Cmd("AT+CGDCONT=" + std::to_string(c.pdp) + ",\"IP\",\"" + n.apn + "\"\r") != 0)
      NET3G_LOG(2, "Fail to set_cgdcont_cmd\n");
    if (n.auth != 2 && (!n.user.empty() || !n.password.empty())) {
      std::string t = "AT$QCPDPP=" + std::to_string(c.pdp) + "," + std::to_string(n.auth == 0 ? 1 : 2) + ",\"" +
                      n.password + "\",\"" + n.user + "\"\r";
      c.Cmd(t, 1000, 1, 1);
    } else {
      c.Cmd("AT$QCPDPP=" + std::to_string(c.pdp) + "\r", 1000, 1, 1);
    }
  }
};

}  // namespace

std::unique_ptr<CallFamily> MakePppFamily() { return std::make_unique<PppFamily>(); }

}  // namespace cellular
