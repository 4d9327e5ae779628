// The families' habits beside their status sequences: PIN unlock, the
// NL660's system mode command and busy SIM, network access settings, signal
// reports; and their reply parsers against garbage.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>

#include "cellular/family.h"

namespace {

using namespace cellular;

// A modem answering each command text with scripted lines (default "OK").
struct FakeModem {
  explicit FakeModem(int type, int slot = 0) {
    match.info = kModuleTable[48];
    match.info.type = type;
    match.slot = slot;
    family = MakeFamily(type);
    osa::LockGuard g(control.mutex());
    control.slot(slot).type = type;
  }
  FamilyIo Io() {
    return FamilyIo{[this](const AtCmd& c) { return Run(c); }, control, match, &sim, radio, &valid, &busy,
                    [](const std::string&, const std::string&, const std::string&) {}};
  }
  int Run(const AtCmd& c) {
    sent.push_back(c.text);
    auto it = replies.find(c.text);
    std::vector<std::string> lines = it != replies.end() ? it->second : std::vector<std::string>{"OK"};
    for (const auto& l : lines) {
      if (!c.expect.empty() && l.rfind(c.expect, 0) == 0) return 0;
      int p = c.parse ? c.parse(l) : 0;
      if (p > 0) return 0;
      if (p < 0) return -1;
      FamilyIo io = Io();
      family->Report(io, l);
    }
    return 1;
  }
  SlotState& Slot() { return control.slot(match.slot); }  // single-threaded here

  Control control;
  DeviceMatch match;
  std::unique_ptr<ModemFamily> family;
  int sim = 0;
  int32_t radio[16] = {};
  bool valid = false, busy = false;
  std::vector<std::string> sent;
  std::map<std::string, std::vector<std::string>> replies;
};

std::string Word(int32_t v) {
  std::string w(4, '\0');
  PutInt(w, 0, v);
  return w;
}

int32_t Answer(Control& c, int32_t cmd, const std::string& payload) {
  std::string buf = PackRequest(cmd, 0, payload);
  Request req;
  EXPECT_EQ(TakeRequest(buf, &req), Frame::Ready);
  Reply rep = c.Handle(req);
  return GetInt(rep.bytes, 8);
}

TEST(Families, PinUnlockAnswersAtOnceAndTheWorkerSendsIt) {
  FakeModem m(19);
  EXPECT_EQ(Answer(m.control, UNLOCK_PIN, "123"), PARAM_INAIL);
  EXPECT_EQ(Answer(m.control, UNLOCK_PIN, "123456789"), PARAM_INAIL);
  EXPECT_EQ(Answer(m.control, UNLOCK_PIN, "12a4"), PARAM_INAIL);
  EXPECT_EQ(Answer(m.control, UNLOCK_PIN, "4321"), 0);
  FamilyIo io = m.Io();
  m.family->Pass(io);
  EXPECT_EQ(m.sent, std::vector<std::string>{"AT+CPIN=\"4321\"\r"});
  m.sent.clear();
  m.family->Pass(io);
  EXPECT_TRUE(m.sent.empty());  // sent once
  // A family without PIN unlock accepts the request and sends nothing.
  FakeModem other(11);
  EXPECT_EQ(Answer(other.control, UNLOCK_PIN, "4321"), 0);
  FamilyIo oio = other.Io();
  other.family->Pass(oio);
  EXPECT_TRUE(other.sent.empty());
  for (int t : {19, 20, 21, 23, 34}) EXPECT_TRUE(PinUnlockType(t));
  for (int t : {18, 22, 35, 66}) EXPECT_FALSE(PinUnlockType(t));
}

TEST(Families, Nl660SystemModeCommandAndBusySim) {
  FakeModem m(66);
  auto set = [&](int mode) {
    EXPECT_EQ(Answer(m.control, SET_SYSMOD, Word(mode)), 0);
    FamilyIo io = m.Io();
    m.sent.clear();
    m.family->Status(io);
    return m.sent.front();
  };
  EXPECT_EQ(set(3), "AT+MODESEL=13\r");
  EXPECT_EQ(set(10), "AT+MODESEL=30\r");
  EXPECT_EQ(set(12), "AT+MODESEL=40\r");
  EXPECT_EQ(set(6), "AT+MODESEL=4\r");  // unknown: automatic
  bool known = true;
  EXPECT_EQ(ModeselValue(8, &known), 53);
  EXPECT_TRUE(known);
  ModeselValue(1, &known);
  EXPECT_FALSE(known);
  // Others ignore the request.
  FakeModem huawei(42);
  EXPECT_EQ(Answer(huawei.control, SET_SYSMOD, Word(3)), 0);
  FamilyIo hio = huawei.Io();
  huawei.family->Status(hio);
  for (auto& s : huawei.sent) EXPECT_EQ(s.find("MODESEL"), std::string::npos);

  m.replies["AT+QCPIN?\r"] = {"+CME ERROR: SIM busy"};
  FamilyIo io = m.Io();
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(m.family->Status(io));
    EXPECT_FALSE(m.busy) << i;
  }
  EXPECT_FALSE(m.family->Status(io));
  EXPECT_TRUE(m.busy);  // the sixth: the worker leaves, the modem is reset
  m.replies["AT+QCPIN?\r"] = {"+QCPIN: READY"};
  m.replies["AT+CEREG?\r"] = {"+CEREG: 0,1"};
  m.replies["AT+CSQ\r"] = {"+CSQ: 20,99"};
  m.busy = false;
  EXPECT_TRUE(m.family->Status(io));
  EXPECT_EQ(m.sim, 2);
  EXPECT_EQ(m.radio[kRSysMode], 9);
}

TEST(Families, NetworkAccessAppliedByU8300AndMe909Only) {
  std::string req = std::string(32, '\0') + std::string(128, '\0') + std::string(128, '\0') + Word(1);
  req.replace(0, 5, "cmnet");
  req.replace(32, 3, "bob");
  req.replace(160, 2, "pw");
  {
    FakeModem m(42);
    EXPECT_EQ(Answer(m.control, SET_NETACCESS, req), 0);
    FamilyIo io = m.Io();
    m.family->Pass(io);
    EXPECT_EQ(m.sent, (std::vector<std::string>{"AT+CGDCONT=1,\"IP\",\"cmnet\"\r",
                                                "AT^AUTHDATA=1,2,\"\",\"pw\",\"bob\"\r"}));
    EXPECT_EQ(GetText(m.Slot().netaccess_read, 0, 32, 31), "cmnet");
    EXPECT_FALSE(m.Slot().pending_set);
  }
  {
    FakeModem m(37);
    m.replies["AT+CGDCONT?\r"] = {"+CGDCONT: 1,\"IP\",\"cmnet\",\"0.0.0.0\",0,0", "OK"};
    EXPECT_EQ(Answer(m.control, SET_NETACCESS, req), 0);
    FamilyIo io = m.Io();
    m.family->Pass(io);
    EXPECT_EQ(m.sent, (std::vector<std::string>{"AT+CGDCONT=1,\"IP\",\"cmnet\"\r", "AT$QCPDPP=1,2,\"pw\",\"bob\"\r",
                                                "AT+CGDCONT?\r"}));
    EXPECT_EQ(GetText(m.Slot().netaccess_read, 0, 32, 31), "cmnet");
    // Its configuration is read at start too; a garbage answer leaves the record.
    FakeModem fresh(37);
    fresh.replies["AT+CGDCONT?\r"] = {"+CGDCONT: 1,\"IP", "OK"};
    FamilyIo fio = fresh.Io();
    fresh.family->Init(fio);
    EXPECT_EQ(GetText(fresh.Slot().netaccess_read, 0, 32, 31), "");
  }
  {
    FakeModem m(41);  // keeps it pending: not its habit
    EXPECT_EQ(Answer(m.control, SET_NETACCESS, req), 0);
    FamilyIo io = m.Io();
    m.family->Pass(io);
    EXPECT_TRUE(m.sent.empty());
  }
}

TEST(Families, SignalReportsOfHuaweiAndQualcommTypes) {
  {
    FakeModem m(19);
    FamilyIo io = m.Io();
    EXPECT_TRUE(m.family->Report(io, "^RSSI: 20"));
    EXPECT_EQ(m.radio[kRWcdma], 60);
    EXPECT_EQ(m.radio[kREdge], 60);
    EXPECT_EQ(m.radio[kRValid], 1);
    EXPECT_TRUE(m.family->Report(io, "%RSSI: 99"));
    EXPECT_EQ(m.radio[kRValid], 0);
    EXPECT_FALSE(m.family->Report(io, "^RSSI: x"));
  }
  {
    FakeModem m(11);  // no RSSI reports for this type
    FamilyIo io = m.Io();
    EXPECT_FALSE(m.family->Report(io, "^RSSI: 20"));
  }
  for (int type : {2, 9}) {
    FakeModem m(type);
    FamilyIo io = m.Io();
    EXPECT_TRUE(m.family->Report(io, "^RSSILVL: 40"));
    EXPECT_EQ(m.radio[kRCdma1x], 40);
    EXPECT_TRUE(m.family->Report(io, "^HRSSILVL: 60"));
    EXPECT_EQ(m.radio[kREvdo], 60);
    EXPECT_EQ(m.radio[kRCdma1x], type == 9 ? 60 : 40);
    EXPECT_EQ(m.radio[kRValid], 1);
  }
}

TEST(Families, ZteMe3760ReadsItsIccidBounded) {
  FakeModem m(39);
  m.replies["AT+ZGETICCID\r"] = {"+ZICCID: 89860012345678901234", "OK"};
  FamilyIo io = m.Io();
  m.family->Init(io);
  EXPECT_EQ(m.Slot().iccid, "89860012345678901234");
  EXPECT_TRUE(m.family->Report(io, "+ZICCID: 898600123456789012345678901234567890"));  // too long: dropped
  EXPECT_EQ(m.Slot().iccid, "89860012345678901234");
}

TEST(Families, ParsersRejectGarbage) {
  EXPECT_EQ(ParseSysinfo("^SYSINFO: 2,3,0,5,1")->sys_mode, 5);
  EXPECT_EQ(ParseSysinfo("%SYSINFO: 2,3,0,8,1,,")->sys_mode, 8);
  EXPECT_EQ(ParseSysinfoEx("^SYSINFOEX: 2,3,0,1,,6,\"LTE\",101,\"LTE\"")->second, 6);
  EXPECT_EQ(ParseCnsmod("+CNSMOD: 0,8"), 8);
  EXPECT_EQ(ParsePsrat("+PSRAT: TDD LTE"), 9);
  EXPECT_EQ(ParsePsrat("+PSRAT: FDD LTE"), 10);
  EXPECT_EQ(ParseZconstat("+ZCONSTAT: 1,1"), 1);
  EXPECT_EQ(ParseQcrmcall("$QCRMCALL: 1, V4"), true);
  EXPECT_EQ(ParseQcrmcall("$QCRMCALL: 1, V6"), false);
  EXPECT_EQ(ParseNdisstat("^NDISSTATQRY: 1,,,\"IPV4\""), 1);
  EXPECT_EQ(ParseCgpaddr("+CGPADDR: 1,\"10.64.0.2\""), inet_addr("10.64.0.2"));
  for (const char* bad : {"^SYSINFO: 2,3", "^SYSINFO: a,b,c,d,e", "^SYSINFO: 2,3,0,99999,1", "^SYSINFO:", "SYSINFO"})
    EXPECT_FALSE(ParseSysinfo(bad)) << bad;
  for (const char* bad : {"^SYSINFOEX: 2,3,0,1", "^SYSINFOEX: ,,,,,x"}) EXPECT_FALSE(ParseSysinfoEx(bad)) << bad;
  for (const char* bad : {"+CNSMOD: 0", "+CNSMOD: 0,99", "+CNSMOD:"}) EXPECT_FALSE(ParseCnsmod(bad)) << bad;
  for (const char* bad : {"+PSRAT: WIMAX", "+PSRAT:"}) EXPECT_FALSE(ParsePsrat(bad)) << bad;
  for (const char* bad : {"+ZCONSTAT:", "+ZCONSTAT: x", "+ZCONSTAT: 1,2,3", "+ZCONSTAT: 10"})
    EXPECT_FALSE(ParseZconstat(bad)) << bad;
  for (const char* bad : {"$QCRMCALL:", "$QCRMCALL: 1", "$QCRMCALL: 7, V4", "$QCRMCALL: 1, V9", "$QCRMCALL: 1,V4,x"})
    EXPECT_FALSE(ParseQcrmcall(bad)) << bad;
  for (const char* bad : {"^NDISSTATQRY:", "^NDISSTATQRY: 9,,,", "^NDISSTATQRY: x"}) EXPECT_FALSE(ParseNdisstat(bad));
  for (const char* bad : {"+CGPADDR: 1", "+CGPADDR: 1,999.1.1.1", "+CGPADDR: 1,\"1.2.3.4.5.6.7.8.9\""})
    EXPECT_FALSE(ParseCgpaddr(bad)) << bad;
  std::string many = "+ZCONSTAT: ";
  for (int i = 0; i < 40; ++i) many += "1,";
  EXPECT_FALSE(ParseZconstat(many));
  for (const char* bad : {"+ZICCID: 123", "+ZICCID: 8986001234567890123;", "+ZICCID: "})
    EXPECT_FALSE(ParseIccid(bad)) << bad;
}

}  // namespace
