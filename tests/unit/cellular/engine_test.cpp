// The AT engine against a scripted far end on a socket pair, and the
// worker's fault schedules counted in polls.
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cellular/internal.h"

namespace {

using cellular::AtCmd;
using cellular::AtEngine;

class NoWaitClock final : public cellular::Clock {
 public:
  int64_t NowMs() override { return now_; }
  void SleepMs(int ms) override { now_ += ms; }

 private:
  int64_t now_ = 1000;
};

// The modem end writes its replies (each a separate write after the
// command arrived) and records what it was sent.
struct Far {
  int fd[2] = {-1, -1};
  Far() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~Far() {
    close(fd[0]);
    close(fd[1]);
  }
  void Answer(const std::vector<std::string>& chunks) {
    std::thread([this, chunks] {
      char buf[256];
      if (read(fd[1], buf, sizeof buf) <= 0) return;
      for (const auto& c : chunks) {
        if (write(fd[1], c.data(), c.size()) < 0) return;
        usleep(20 * 1000);
      }
    }).join();
  }
};

AtCmd Ok(int reads = 2) {
  AtCmd c = cellular::SimpleCmd("AT\r", 200, 1, reads);
  return c;
}

TEST(AtEngine, SplitAnswerMatchesOnTheSecondRead) {
  Far far;
  NoWaitClock clock;
  std::vector<std::string> reports;
  AtEngine e(far.fd[0], clock, [&](std::string_view l) { reports.emplace_back(l); });
  std::thread t([&] { far.Answer({"\r\nO", "K\r\n+CREG: 1\r\n"}); });
  EXPECT_EQ(e.Run(Ok()), 0);
  t.join();
}

TEST(AtEngine, OutcomesOfErrorsTimeoutsAndOtherCmeCodes) {
  Far far;
  NoWaitClock clock;
  std::vector<std::string> reports;
  AtEngine e(far.fd[0], clock, [&](std::string_view l) { reports.emplace_back(l); });
  {
    std::thread t([&] { far.Answer({"\r\nERROR\r\n"}); });
    EXPECT_EQ(e.Run(Ok()), -1);
    t.join();
  }
  {
    std::thread t([&] { far.Answer({"\r\n+CME ERROR: 10\r\n"}); });
    EXPECT_EQ(e.Run(Ok()), -2);  // neither match nor failure; the last read timed out
    t.join();
  }
  {
    std::thread t([&] { far.Answer({"\r\n+CME ERROR: 10\r\n", "\r\nRING\r\n"}); });
    EXPECT_EQ(e.Run(Ok()), 1);  // last read had data
    t.join();
  }
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "+CME ERROR: 10"), 2);
  {
    // A callback that rejects its answer fails the command (CSQ 99).
    AtCmd csq;
    csq.text = "AT+CSQ\r";
    csq.timeout_ms = 200;
    csq.parse = [](std::string_view l) {
      auto v = cellular::ParseCsq(l);
      return !v ? 0 : *v > 98 ? -1 : 1;
    };
    std::thread t([&] { far.Answer({"\r\n+CSQ: 99,99\r\n\r\nOK\r\n"}); });
    EXPECT_EQ(e.Run(csq), -1);
    t.join();
  }
}

TEST(AtEngine, EndlessLineIsDroppedAndLaterLinesStillCount) {
  Far far;
  NoWaitClock clock;
  AtEngine e(far.fd[0], clock, [](std::string_view) {});
  std::string flood(5000, 'x');
  std::thread t([&] { far.Answer({flood, "\r\nOK\r\n"}); });
  EXPECT_EQ(e.Run(Ok(3)), 0);
  t.join();
}

TEST(AtEngine, UnsolicitedLinesBeforeACommandGoToTheReportHandler) {
  Far far;
  NoWaitClock clock;
  std::vector<std::string> reports;
  AtEngine e(far.fd[0], clock, [&](std::string_view l) { reports.emplace_back(l); });
  ASSERT_EQ(write(far.fd[1], "\r\n+CME ERROR: SIM failure\r\n", 27), 27);
  EXPECT_TRUE(e.Drain(100));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "+CME ERROR: SIM failure");
  close(far.fd[1]);
  far.fd[1] = -1;
  EXPECT_FALSE(e.Drain(100));  // the far end hung up
  EXPECT_EQ(e.Run(Ok()), -2);
}

TEST(FaultSchedules, FifthUnansweredAtCheckGivesUp) {
  cellular::AtFailCount f;
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(f.Failed());
  EXPECT_EQ(f.count(), 4);  // an answered check in between would not reset it
  EXPECT_TRUE(f.Failed());
  EXPECT_EQ(f.count(), 0);
}

TEST(FaultSchedules, NoSignalSoftResetsThenHardReset) {
  cellular::Timing t;  // 90 s windows, 3 soft resets, polls every 30 s
  cellular::NoSignalSchedule s(t);
  std::vector<int> soft;
  int hard_at = -1;
  for (int poll = 1; poll <= 20 && hard_at < 0; ++poll) {
    auto step = s.Poll();
    if (step == cellular::NoSignalSchedule::Step::SoftReset) soft.push_back(poll * 30);
    if (step == cellular::NoSignalSchedule::Step::HardReset) hard_at = poll * 30;
  }
  EXPECT_EQ(soft, (std::vector<int>{90, 180, 270}));
  EXPECT_EQ(hard_at, 360);
  s.SignalBack();
  EXPECT_FALSE(s.resetting());
  // Windows below one poll still advance (the timing file may say 0 or 1).
  cellular::Timing quick = cellular::ParseTiming("no_service_srst_time1=1\nno_service_srst_count=0\n", nullptr);
  cellular::NoSignalSchedule q(quick);
  EXPECT_EQ(q.Poll(), cellular::NoSignalSchedule::Step::SoftReset);
  EXPECT_EQ(q.Poll(), cellular::NoSignalSchedule::Step::Wait);
  EXPECT_EQ(q.Poll(), cellular::NoSignalSchedule::Step::Wait);
  EXPECT_EQ(q.Poll(), cellular::NoSignalSchedule::Step::HardReset);
}

// A routing netlink datagram with one RTM_NEWLINK message per (name, up).
std::string LinkDatagram(const std::vector<std::pair<std::string, bool>>& links) {
  std::string d;
  for (const auto& [name, up] : links) {
    std::string attr(RTA_SPACE(name.size() + 1), '\0');
    rtattr ra{static_cast<unsigned short>(RTA_LENGTH(name.size() + 1)), IFLA_IFNAME};
    std::memcpy(attr.data(), &ra, sizeof ra);
    std::memcpy(attr.data() + RTA_LENGTH(0), name.c_str(), name.size());
    ifinfomsg ifi{};
    ifi.ifi_flags = up ? IFF_LOWER_UP : 0;
    nlmsghdr h{};
    h.nlmsg_type = RTM_NEWLINK;
    h.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof ifi) + attr.size());
    std::string m(NLMSG_ALIGN(h.nlmsg_len), '\0');
    std::memcpy(m.data(), &h, sizeof h);
    std::memcpy(m.data() + NLMSG_HDRLEN, &ifi, sizeof ifi);
    std::memcpy(m.data() + NLMSG_LENGTH(sizeof ifi), attr.data(), attr.size());
    d += m;
  }
  return d;
}

TEST(LinkWatch, NewLinkMessagesAndTheirSlots) {
  std::string d = LinkDatagram({{"ppp5", false}, {"eth0", true}, {"lte_long_name", true}});
  bool error = true;
  auto links = cellular::ParseLinkMessages(d.data(), d.size(), &error);
  EXPECT_FALSE(error);
  ASSERT_EQ(links.size(), 3u);
  EXPECT_EQ(links[0].name, "ppp5");
  EXPECT_FALSE(links[0].up);
  EXPECT_TRUE(links[1].up);
  EXPECT_EQ(links[2].name, "lte_lon");  // at most 7 characters
  // A truncated datagram yields what is whole and nothing past it.
  EXPECT_EQ(cellular::ParseLinkMessages(d.data(), d.size() - 3, &error).size(), 2u);
  EXPECT_TRUE(cellular::ParseLinkMessages(d.data(), 10, &error).empty());
  EXPECT_EQ(cellular::LinkSlot("ppp5"), 0);
  EXPECT_EQ(cellular::LinkSlot("ppp20"), 15);
  EXPECT_EQ(cellular::LinkSlot("ppp21"), -1);
  EXPECT_EQ(cellular::LinkSlot("ppp4"), -1);
  EXPECT_EQ(cellular::LinkSlot("eth0"), -1);
  EXPECT_EQ(cellular::LinkSlot("lte6"), 1);
}

TEST(Uevents, OnlyModemAddsAndRemovesTriggerAScan) {
  EXPECT_TRUE(cellular::UeventWantsScan(std::string_view("add@/devices/usb1/1-1/1-1:1.3/ttyUSB3\0ACTION=add", 46)));
  EXPECT_TRUE(cellular::UeventWantsScan("remove@/devices/x/host0/scsi_device/0:0:0:0"));
  EXPECT_FALSE(cellular::UeventWantsScan("change@/devices/x/ttyUSB3"));
  EXPECT_FALSE(cellular::UeventWantsScan("add@/devices/x/sda"));
  EXPECT_FALSE(cellular::UeventWantsScan(std::string_view("add@/x\0ttyUSB0", 14)));
}

}  // namespace
