// The data call's five states on a hand-stepped clock, against a modem and
// a system played here: the dial, the daemon's argument vector, every timer
// and the redial rules.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <csignal>
#include <algorithm>
#include <map>
#include <set>

#include "cellular/ps.h"

namespace {

using namespace cellular;

class StepClock final : public Clock {
 public:
  int64_t NowMs() override { return now; }
  void SleepMs(int ms) override { now += ms; }
  int64_t now = 100000;
};

// The daemon and the kernel as the data call sees them.
class FakeOs final : public CallOs {
 public:
  pid_t Spawn(const std::vector<std::string>& argv) override {
    runs.push_back(argv);
    if (spawn_fails) return -1;
    alive = !exits_at_once;
    reaped = false;
    return ++pid;
  }
  bool Ended(pid_t p) override {
    if (p != pid || alive) return false;
    if (reaped) return true;  // waitpid: ECHILD
    reaped = true;
    return true;
  }
  std::optional<std::string> Cmdline(pid_t p) override {
    if (p != pid || !alive) return std::nullopt;
    return cmdline;
  }
  int Signal(pid_t p, int sig) override {
    signals.push_back({p, sig});
    if (sig == SIGKILL || (sig == SIGTERM && !ignore_term)) alive = false;
    return 0;
  }
  bool Remove(const std::string& path) override {
    removed.push_back(path);
    files.erase(path);
    return true;
  }
  std::optional<std::string> Read(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
  bool HasNetcard(const std::string& name) override { return addrs.count(name) != 0; }
  bool NetcardAddr(const std::string& name, uint32_t* a, uint32_t* m) override {
    auto it = addrs.find(name);
    if (it == addrs.end()) return false;
    *a = it->second;
    *m = 0xffffffff;
    return true;
  }
  int Shell(const std::string& cmd) override {
    shell.push_back(cmd);
    return 0;
  }

  // The daemon wrote its pid file and its link got the address.
  void Connect() {
    files["/var/tmp/ppp5.pid"] = std::to_string(pid) + "\n";
    addrs["ppp5"] = inet_addr("10.64.0.2");
  }

  pid_t pid = 4000;
  bool alive = false, reaped = true, ignore_term = false, exits_at_once = false, spawn_fails = false;
  std::string cmdline = "3gpp noipdefault";
  std::vector<std::vector<std::string>> runs;
  std::vector<std::pair<pid_t, int>> signals;
  std::vector<std::string> removed, shell;
  std::map<std::string, std::string> files;
  std::map<std::string, uint32_t> addrs;
};

struct Rig {
  explicit Rig(int type, int at_port = 3, int ppp_port = 2, const std::string& netcard = "") {
    match.info = kModuleTable[48];
    match.info.type = type;
    match.at_port = at_port;
    match.ppp_port = ppp_port;
    match.slot = 0;
    NetAccess n;
    n.apn = "internet";
    n.dial = "*99#";
    n.auth = 2;
    n.mtu = 1400;
    {
      osa::LockGuard g(control.mutex());
      control.slot(0).net = n;
      control.slot(0).target = 4;
    }
    CallModem m;
    m.cmd = [this](const AtCmd& c) {
      at.push_back(c.text);
      auto it = replies.find(c.text);
      if (it != replies.end() && c.parse) c.parse(it->second);
      return fails.count(c.text) ? -1 : 0;
    };
    m.dial = [this](const AtCmd& c) {
      dials.push_back(c.text);
      EXPECT_EQ(c.expect, "CONNECT");
      return dial_result;
    };
    m.release_ppp_port = [this] { ++released; };
    call = std::make_unique<DataCall>(control, timing, match, netcard, clock, os, std::move(m));
  }
  void Want(int target) {
    osa::LockGuard g(control.mutex());
    control.slot(0).target = target;
  }
  SlotState Slot() {
    osa::LockGuard g(control.mutex());
    return control.slot(0);
  }
  void Step(int seconds = 1) {
    call->Step(true, false);
    clock.now += seconds * 1000;
  }
  int State() { return call->state(); }

  Control control;
  Timing timing;
  DeviceMatch match;
  StepClock clock;
  FakeOs os;
  std::vector<std::string> at, dials;
  std::map<std::string, std::string> replies;
  std::set<std::string> fails;
  int dial_result = 0;
  int released = 0;
  std::unique_ptr<DataCall> call;
};

TEST(DataCall, Ec20CallComesUpRedialsAfterAKillAndStaysDownAfterClose) {
  Rig r(35);
  r.Step();
  ASSERT_EQ(r.State(), kStarting);
  EXPECT_EQ(r.at, (std::vector<std::string>{"ATH\r", "AT+CGDCONT=1,\"IP\",\"internet\"\r"}));
  EXPECT_EQ(r.dials, std::vector<std::string>{"ATD*99***1#\r"});
  ASSERT_EQ(r.os.runs.size(), 1u);
  EXPECT_EQ(r.os.runs[0],
            (std::vector<std::string>{"3gpp", "noipdefault", "usepeerdns", "unit", "5", "/dev/ttyUSB2", "921600",
                                      "noauth", "nodetach", "nobsdcomp", "nodeflate", "novjccomp", "novj",
                                      "lcp-echo-interval", "10", "lcp-echo-failure", "6", "mtu", "1400", "debug"}));
  EXPECT_EQ(r.os.removed, std::vector<std::string>{"/var/tmp/ppp5.pid"});
  r.os.Connect();
  r.Step();
  EXPECT_EQ(r.State(), kConnecting);
  r.Step();
  ASSERT_EQ(r.State(), kUp);
  EXPECT_EQ(r.Slot().addr, inet_addr("10.64.0.2"));
  EXPECT_EQ(r.released, 1);  // the daemon owns the PPP port now
  r.Step();
  EXPECT_EQ(r.State(), kUp);

  r.os.alive = false;  // killed from outside
  r.Step();
  EXPECT_EQ(r.State(), kClose);
  EXPECT_EQ(r.Slot().addr, 0u);
  r.Step();
  EXPECT_EQ(r.State(), kDown);
  r.Step();
  EXPECT_EQ(r.State(), kStarting);
  EXPECT_EQ(r.os.runs.size(), 2u);
  // The dead daemon was never signalled: its pid may be someone else's.
  for (auto& s : r.os.signals) EXPECT_NE(s.first, 4001);

  r.Want(1);  // CLOSE_PPP
  r.Step();
  EXPECT_EQ(r.State(), kClose);
  r.Step();
  EXPECT_EQ(r.State(), kDown);
  EXPECT_EQ(r.os.signals.back(), std::make_pair(pid_t(4002), SIGTERM));
  for (int i = 0; i < 5; ++i) r.Step();
  EXPECT_EQ(r.State(), kDown);
  EXPECT_EQ(r.os.runs.size(), 2u);
}

TEST(DataCall, PapGivesUserPasswordAndPapOptionsAndTheLogMasksThePassword) {
  Rig r(35);
  {
    osa::LockGuard g(r.control.mutex());
    r.control.slot(0).net.auth = 0;
    r.control.slot(0).net.user = "bob";
    r.control.slot(0).net.password = "s3cret";
  }
  r.Step();
  ASSERT_EQ(r.os.runs.size(), 1u);
  const auto& a = r.os.runs[0];
  std::vector<std::string> mid(a.begin() + 9, a.begin() + 17);
  EXPECT_EQ(mid, (std::vector<std::string>{"user", "bob", "password", "s3cret", "+pap", "-chap", "refuse-eap",
                                           "noauth"}));
  std::string shown = ShowArgs(a);
  EXPECT_EQ(shown.find("s3cret"), std::string::npos);
  EXPECT_NE(shown.find("password ******"), std::string::npos);
  // CHAP: user and password without the PAP options.
  NetAccess n;
  n.auth = 1;
  n.user = "u";
  n.password = "p";
  n.mtu = 1500;
  auto chap = PppdArgs(n, 6, "/dev/ttyUSB0", Timing{});
  EXPECT_EQ(chap.size(), 24u);
  EXPECT_EQ(chap[13], "nobsdcomp");
}

TEST(DataCall, DaemonTimersNoPidFileNoAddressAndIgnoredTerm) {
  {  // no pid file: SIGTERM 31 s after the start
    Rig r(35);
    r.Step();
    for (int i = 0; i < 30; ++i) r.Step();  // 30 s after the start
    EXPECT_EQ(r.State(), kStarting);
    r.Step();
    EXPECT_EQ(r.State(), kClose);
    EXPECT_EQ(r.os.signals.back().second, SIGTERM);
    r.Step();
    EXPECT_EQ(r.State(), kDown);
  }
  {  // pid file but no address: SIGTERM 21 s after the pid file
    Rig r(35);
    r.Step();
    r.os.files["/var/tmp/ppp5.pid"] = std::to_string(r.os.pid) + "\n";
    r.Step();
    ASSERT_EQ(r.State(), kConnecting);
    int64_t from = r.clock.now - 1000;  // the pass that saw the pid file
    while (r.State() == kConnecting && r.clock.now - from < 60000) r.Step(0);
    EXPECT_EQ(r.State(), kClose);
    EXPECT_GE(r.clock.now - from, 21000);
    EXPECT_LT(r.clock.now - from, 27000);
  }
  {  // a daemon that ignores SIGTERM is killed 30 s later
    Rig r(35);
    r.os.ignore_term = true;
    r.Step();
    r.Want(1);
    r.Step();
    ASSERT_EQ(r.State(), kClose);
    int64_t from = r.clock.now;
    r.Step(0);
    EXPECT_EQ(r.State(), kDown);
    ASSERT_GE(r.os.signals.size(), 2u);
    EXPECT_EQ(r.os.signals[r.os.signals.size() - 2].second, SIGTERM);
    EXPECT_EQ(r.os.signals.back().second, SIGKILL);
    EXPECT_GE(r.clock.now - from, 30000);
  }
}

TEST(DataCall, BadPidFilesFailedDialsAndDaemonsThatDieAtOnce) {
  {
    Rig r(35);
    r.Step();
    r.os.files["/var/tmp/ppp5.pid"] = "garbage\n";
    r.Step();
    EXPECT_EQ(r.State(), kStarting);
    r.os.files["/var/tmp/ppp5.pid"] = "77\n";  // someone else's
    r.Step();
    EXPECT_EQ(r.State(), kStarting);
  }
  {
    Rig r(35);
    r.dial_result = -2;
    r.Step();
    EXPECT_EQ(r.State(), kClose);
    EXPECT_TRUE(r.os.runs.empty());
    r.Step();
    EXPECT_EQ(r.State(), kDown);
  }
  {
    Rig r(35);
    r.os.exits_at_once = true;
    r.Step();
    r.Step();
    EXPECT_EQ(r.State(), kClose);
    r.Step();
    r.Step();
    EXPECT_EQ(r.State(), kStarting);  // redialled
    EXPECT_EQ(r.os.runs.size(), 2u);
  }
  {
    Rig r(35);
    r.os.spawn_fails = true;
    r.Step();
    EXPECT_EQ(r.State(), kDown);  // tried again next pass
  }
  {
    Rig r(35);
    r.os.cmdline = "sshd: root";  // the pid is no longer our daemon
    r.Step();
    r.Step();
    EXPECT_EQ(r.State(), kClose);
    EXPECT_TRUE(r.os.signals.empty());
  }
  EXPECT_EQ(ParsePidFile("123\n"), 123);
  EXPECT_EQ(ParsePidFile(" 9"), 9);
  for (const char* bad : {"", "\n", "-5", "12a", "99999999999", "0"}) EXPECT_FALSE(ParsePidFile(bad)) << bad;
}

TEST(DataCall, FamilyVariantsOfStartAndClose) {
  {  // type 75: authentication, then a tone dial
    Rig r(75);
    r.Step();
    EXPECT_NE(std::find(r.at.begin(), r.at.end(), "AT^AUTHDATA=1,0,\"\",\"\",\"\"\r"), r.at.end());
    EXPECT_EQ(r.dials, std::vector<std::string>{"ATDT*99***1#\r"});
  }
  {  // type 22 closes with five ATZ
    Rig r(22);
    r.Step();
    r.Want(1);
    r.Step();
    r.at.clear();
    r.Step();
    EXPECT_EQ(std::count(r.at.begin(), r.at.end(), "ATZ\r"), 5);
  }
  {  // type 51: no hang-up at all
    Rig r(51);
    r.Step();
    r.Want(1);
    r.Step();
    r.Step();
    EXPECT_EQ(std::count(r.at.begin(), r.at.end(), "ATH\r"), 0);
  }
  {  // U8300 in PPP mode: "#777" in FDD LTE, APN kept when equal, auth cleared
    Rig r(37);
    {
      osa::LockGuard g(r.control.mutex());
      r.control.slot(0).net.dial = "#777";
      r.control.slot(0).radio[0] = 10;
    }
    r.replies["AT+CGDCONT?\r"] = "+CGDCONT: 2,\"IP\",\"internet\",\"0.0.0.0\",0,0";
    int64_t before = r.clock.now;
    r.Step(0);
    EXPECT_EQ(r.dials, std::vector<std::string>{"ATD*99***1#\r"});
    EXPECT_EQ(r.at, (std::vector<std::string>{"ATH\r", "AT+CGDCONT?\r", "AT$QCPDPP=1\r"}));
    EXPECT_GE(r.clock.now - before, 2000);  // waits before the daemon
  }
  EXPECT_EQ(RewriteDial("*98*1#", 1), "*98*1#");
  EXPECT_EQ(RewriteDial("#777", 1), "#777");
  EXPECT_EQ(ParseCgdcontApn("+CGDCONT: 2,\"IP\",\"cmnet\"", 2), "cmnet");
  for (const char* bad : {"+CGDCONT: 2,\"IP\"", "+CGDCONT: 2,\"IP\",\"a\"b\"", "+CGDCONT: 1,\"IP\",\"x\"",
                          "+CGDCONT: 2,", "+CGDCONT: 2,\"IP\",\"" /* unterminated */})
    EXPECT_FALSE(ParseCgdcontApn(bad, 2)) << bad;
}

TEST(DataCall, SharedPortIsTheDaemonsAndLeavingKillsIt) {
  Rig r(77, 0, 0);
  EXPECT_FALSE(r.call->PortBusy());
  r.Step();
  EXPECT_TRUE(r.call->PortBusy());
  pid_t p = r.call->daemon_pid();
  r.call->KillNow();
  EXPECT_EQ(r.os.signals.back(), std::make_pair(p, SIGKILL));
  EXPECT_EQ(r.call->daemon_pid(), -1);
  EXPECT_FALSE(r.call->PortBusy());
}

// ------------------------------------------------------------ own data calls

TEST(OwnDataCall, Me3760FollowsZconstatReportsWithoutADaemon) {
  Rig r(39);
  r.Step();
  EXPECT_EQ(r.at.back(), "AT+ZGACT=1,1\r");
  EXPECT_EQ(r.State(), kConnecting);
  EXPECT_TRUE(r.call->Report("+ZCONSTAT: 1,1"));
  EXPECT_EQ(r.State(), kUp);
  r.os.addrs["lte0"] = inet_addr("10.64.0.2");
  r.Step();
  EXPECT_EQ(r.State(), kUp);
  EXPECT_EQ(r.Slot().addr, inet_addr("10.64.0.2"));
  EXPECT_TRUE(r.os.runs.empty());  // no PPP daemon to tear the call down
  EXPECT_TRUE(r.call->Report("+ZCONSTAT: 7"));  // bad state: logged, nothing changes
  EXPECT_TRUE(r.call->Report("+ZCONSTAT: x,1"));
  EXPECT_EQ(r.State(), kUp);
  EXPECT_TRUE(r.call->Report("+ZCONSTAT: 0,1"));
  EXPECT_EQ(r.State(), kDown);
  r.Want(1);
  r.Step();
  EXPECT_EQ(r.State(), kDown);
}

TEST(OwnDataCall, U8300NdisFollowsQcrmcallAndDataDisconnect) {
  Rig r(37, 2, 1, "usb0");
  r.os.addrs["usb0"] = inet_addr("10.64.0.2");
  r.Step();
  EXPECT_EQ(r.at.back(), "AT$QCRMCALL=1,1\r");
  r.Step();
  EXPECT_EQ(r.State(), kConnecting);  // no report yet
  EXPECT_TRUE(r.call->Report("$QCRMCALL: 9, V4"));  // garbage
  r.Step();
  EXPECT_EQ(r.State(), kConnecting);
  EXPECT_TRUE(r.call->Report("$QCRMCALL: 1, V4"));
  EXPECT_EQ(r.State(), kUp);
  r.Step();
  EXPECT_EQ(r.Slot().addr, inet_addr("10.64.0.2"));
  EXPECT_TRUE(r.call->Report("^DATADISCONN"));
  EXPECT_EQ(r.State(), kClose);
  r.Step();
  EXPECT_EQ(r.at.back(), "AT$QCRMCALL=0,1\r");
  EXPECT_EQ(r.State(), kDown);
  // Without its interface the U8300 dials PPP.
  Rig ppp(37);
  ppp.Step();
  EXPECT_EQ(ppp.dials.size(), 1u);
}

TEST(OwnDataCall, Me909NdisStateQueriedAndTimedOut) {
  Rig r(42, 2, 0, "lte1");
  r.replies["AT^NDISSTATQRY?\r"] = "^NDISSTATQRY: 0,,,\"IPV4\"";
  r.os.addrs["lte1"] = inet_addr("10.64.0.2");
  r.Step();
  EXPECT_EQ(r.at.back(), "AT^NDISDUP=1,1,\"internet\"\r");
  r.Step();
  EXPECT_EQ(r.State(), kConnecting);
  r.replies["AT^NDISSTATQRY?\r"] = "^NDISSTATQRY: 1,,,\"IPV4\"";
  r.Step();
  EXPECT_EQ(r.State(), kUp);
  r.replies["AT^NDISSTATQRY?\r"] = "^NDISSTATQRY: garbage";
  r.Step();
  EXPECT_EQ(r.State(), kClose);
  r.Step();
  EXPECT_EQ(r.at.back(), "AT^NDISDUP=1,0,\"internet\"\r");
  // Never up: closed 30 s after the dial.
  r.replies["AT^NDISSTATQRY?\r"] = "^NDISSTATQRY: 0,,,\"IPV4\"";
  r.Step();
  for (int i = 0; i < 29; ++i) r.Step();
  EXPECT_EQ(r.State(), kConnecting);
  r.Step();
  EXPECT_EQ(r.State(), kClose);
}

TEST(OwnDataCall, RepeatedDialFailuresSoftResetAndAddressMismatchRecalls) {
  Rig r(66, 2, 1, "lte2");
  r.fails.insert("AT$QCRMCALL=1,1\r");
  for (int i = 0; i < 3; ++i) {
    r.Step();
    EXPECT_EQ(r.State(), kClose);
    r.Step();
  }
  EXPECT_EQ(std::count(r.at.begin(), r.at.end(), "AT+CFUN=0\r"), 1);
  EXPECT_EQ(std::count(r.at.begin(), r.at.end(), "AT+CFUN=1\r"), 1);

  Rig u(68, 2, 1, "lte3");
  u.os.addrs["lte3"] = inet_addr("10.64.0.2");
  u.replies["AT+CGPADDR=1\r"] = "+CGPADDR: 1,10.64.0.9";
  u.Step();
  u.Step();
  ASSERT_EQ(u.State(), kUp);
  for (int i = 0; i < 4; ++i) u.Step();
  EXPECT_EQ(u.State(), kUp);
  u.Step();
  EXPECT_EQ(u.State(), kClose);  // the fifth mismatch
  u.Step();
  u.Step();
  EXPECT_EQ(u.State(), kConnecting);  // called again
}

}  // namespace
