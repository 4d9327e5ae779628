// The control protocol, driven with requests packed byte by byte here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cellular/cellular.h"

namespace {

std::string Word(int32_t v) {
  std::string w(4, '\0');
  auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) w[i] = static_cast<char>(u >> (8 * i));
  return w;
}

int32_t At(const std::string& s, std::size_t off) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t(uint8_t(s[off + i])) << (8 * i);
  return int32_t(u);
}

std::string Req(int32_t cmd, int32_t index, const std::string& payload = "") {
  return Word(int32_t(12 + payload.size())) + Word(cmd) + Word(index) + payload;
}

struct Answer {
  bool sent = false;
  int32_t len = 0, cmd = 0, result = 0;
  std::string payload;
};

Answer Ask(cellular::Control& c, const std::string& bytes) {
  std::string buf = bytes;
  cellular::Request r;
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Ready);
  auto rep = c.Handle(r);
  Answer a;
  a.sent = rep.send;
  if (!rep.send) return a;
  EXPECT_GE(rep.bytes.size(), 12u);
  a.len = At(rep.bytes, 0);
  a.cmd = At(rep.bytes, 4);
  a.result = At(rep.bytes, 8);
  a.payload = rep.bytes.substr(12);
  EXPECT_EQ(size_t(a.len), rep.bytes.size());
  return a;
}

std::string NetAccessReq(const std::string& apn, const std::string& dial, int mtu, int auth = 0) {
  std::string p(328, '\0');
  std::memcpy(&p[0], apn.data(), std::min<size_t>(apn.size(), 31));
  std::memcpy(&p[32], dial.data(), std::min<size_t>(dial.size(), 31));
  p.replace(320, 4, Word(mtu));
  p.replace(324, 4, Word(auth));
  return p;
}

TEST(ControlFraming, PartialRunsAndBackToBackRequests) {
  std::string buf;
  cellular::Request r;
  buf = std::string(6, '\x10');
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::NeedMore);  // runt: keep reading
  buf = Req(130, 0, std::string(28, 'x')).substr(0, 20);                  // says 40, has 20
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::NeedMore);
  buf = Word(8) + Word(130) + Word(0);
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Bad);
  buf = Word(1025) + Word(130) + Word(0);
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Bad);
  buf = Word(-12) + Word(130);
  EXPECT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Bad);
  buf = Req(130, 0) + Req(20, 3);
  ASSERT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Ready);
  EXPECT_EQ(r.cmd, 130);
  ASSERT_EQ(cellular::TakeRequest(buf, &r), cellular::Frame::Ready);
  EXPECT_EQ(r.cmd, 20);
  EXPECT_EQ(r.index, 3);
  EXPECT_TRUE(buf.empty());
}

TEST(ControlCommands, VersionIndexAndEmptySlots) {
  cellular::Control c;
  auto v = Ask(c, Req(130, 0));
  EXPECT_EQ(v.len, 16);
  EXPECT_EQ(v.cmd, 130);
  EXPECT_EQ(v.result, 0);
  EXPECT_EQ(At(v.payload, 0), 2548);
  EXPECT_EQ(Ask(c, Req(4, 16)).result, -1);
  EXPECT_EQ(Ask(c, Req(4, -3)).result, -1);
  EXPECT_EQ(Ask(c, Req(17, 2, Word(1))).result, -2);
  EXPECT_EQ(Ask(c, Req(18, 2)).result, -2);
  EXPECT_EQ(Ask(c, Req(17, 2, Word(2))).result, -15);
  EXPECT_EQ(Ask(c, Req(17, 2)).result, -15);  // payload shorter than its int
  auto gps = Ask(c, Req(14, 0));
  EXPECT_EQ(gps.len, 12);
  EXPECT_FALSE(Ask(c, Req(999, 0)).sent);
  EXPECT_FALSE(Ask(c, Req(135, 0)).sent);
  EXPECT_EQ(Ask(c, Req(1, 0)).result, -7);
  EXPECT_EQ(Ask(c, Req(3, 0)).result, -8);
}

TEST(ControlCommands, DeviceLifecycleAndStatus) {
  cellular::Control c;
  {
    osa::LockGuard g(c.mutex());
    auto& s = c.slot(0);
    s.has_modem = true;
    s.sim = 2;
    s.radio[0] = 11;
    s.radio[2] = 63;
    s.dev_state = 3;
  }
  EXPECT_EQ(Ask(c, Req(17, 0, Word(1))).result, 0);
  EXPECT_EQ(c.slot(0).target, 1);
  auto st = Ask(c, Req(4, 0));
  ASSERT_EQ(st.payload.size(), 200u);
  EXPECT_EQ(At(st.payload, 0), 2);
  EXPECT_EQ(At(st.payload, 136), 11);
  EXPECT_EQ(At(st.payload, 144), 63);
  EXPECT_EQ(At(Ask(c, Req(20, 0)).payload, 0), 3);
  EXPECT_EQ(Ask(c, Req(6, 0)).result, 0);  // CLOSE_PPP at target 1 changes nothing
  EXPECT_EQ(c.slot(0).target, 1);
  EXPECT_EQ(Ask(c, Req(19, 0)).result, 0);
  EXPECT_TRUE(c.slot(0).reset_requested);
  EXPECT_EQ(Ask(c, Req(18, 0)).result, 0);
  EXPECT_EQ(c.slot(0).target, 0);
  auto info = Ask(c, Req(128, 0));
  EXPECT_EQ(At(info.payload, 0), 1);
  EXPECT_EQ(info.payload.size(), 4u + 256u);
}

TEST(ControlCommands, OpenPppChecksEveryField) {
  cellular::Control c;
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 127))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 16385))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("", "*99#", 1500))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "", 1500))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cm\"net", "*99#", 1500))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#;", 1500))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 1500, 3))).result, -15);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 1500).substr(0, 300))).result, -15);
  EXPECT_EQ(c.slot(1).target, 0);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 128))).result, 0);
  EXPECT_EQ(Ask(c, Req(5, 1, NetAccessReq("cmnet", "*99#", 16384))).result, 0);
  EXPECT_EQ(c.slot(1).target, 4);
  EXPECT_EQ(c.slot(1).net.apn, "cmnet");
  EXPECT_EQ(Ask(c, Req(6, 1)).result, 0);
  EXPECT_EQ(c.slot(1).target, 1);
}

TEST(ControlCommands, ConfigRecordsAndQueues) {
  cellular::Control c;
  std::string cfg(576, '\x01');
  EXPECT_EQ(Ask(c, Req(15, 2, cfg)).result, 0);
  auto back = Ask(c, Req(16, 2));
  ASSERT_EQ(back.payload.size(), 576u);
  EXPECT_EQ(At(back.payload, 328), 1492);  // the stored MTU stays
  EXPECT_EQ(back.payload[0], '\x01');
  EXPECT_EQ(Ask(c, Req(15, 2, cfg.substr(0, 100))).result, -15);
  EXPECT_EQ(Ask(c, Req(11, 2, Word(11))).result, -15);
  EXPECT_EQ(Ask(c, Req(11, 2, Word(-1))).result, 0);
  EXPECT_EQ(At(Ask(c, Req(12, 2)).payload, 0), -1);
  // A short message needs a powered device and a digit-only number.
  std::string sms(560, '\0');
  sms.replace(0, 4, Word(5));
  sms.replace(8, 5, "12a45");
  EXPECT_EQ(Ask(c, Req(2, 2, sms)).result, -11);
  c.slot(2).target = 1;
  EXPECT_EQ(Ask(c, Req(2, 2, sms)).result, -15);
  sms.replace(8, 5, "12345");
  EXPECT_EQ(Ask(c, Req(2, 2, sms)).result, 0);
  std::string na(292, '\0');
  na.replace(0, 5, "cmnet");
  EXPECT_EQ(Ask(c, Req(21, 2, na)).result, 0);
  EXPECT_TRUE(c.slot(2).pending_set);
  auto read = Ask(c, Req(22, 2));
  EXPECT_EQ(read.payload.size(), 512u);
  EXPECT_EQ(Ask(c, Req(7, 2, Word(9))).result, 0);
  EXPECT_TRUE(c.slot(2).sysmode_changed);
  EXPECT_EQ(Ask(c, Req(143, 2)).payload.size(), 768u);
  EXPECT_EQ(Ask(c, Req(10, 2)).payload.size(), 128u);
}

TEST(ControlNames, LogNames) {
  EXPECT_STREQ(cellular::CommandName(130), "GET_COURSE_VERSION");
  EXPECT_STREQ(cellular::CommandName(22), "unknown");
  EXPECT_STREQ(cellular::ResultName(-15), "PARAM_INAIL");
  EXPECT_STREQ(cellular::ResultName(-3), "unknown");
  EXPECT_STREQ(cellular::StateName(2), "DEV_REDAY");
  EXPECT_STREQ(cellular::StateName(9), "INDEX_INVALID");
  EXPECT_STREQ(cellular::SysModeName(11), "Invalid");
}

}  // namespace
