// net3g on the simulator's USB bus (boards/modem.json): the kernel's device
// list, power cycles, live modem changes, link events, a failing USB
// library, and many plug/unplug cycles without leaks.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/board.h"
#include "support/net3g_client.h"
#include "support/board_edit.h"

namespace {

using testsupport::TempBoard;
namespace fs = std::filesystem;

using testsupport::Ask;
using testsupport::Word;
using testsupport::WordAt;

// net3g under "dvrsim run" in its own process group.
class Net3g {
 public:
  explicit Net3g(const TempBoard& b) : b_(b) {
    fs::create_directories(b.file("var/tmp"));
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(b.file("net3g.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string exe = testsupport::Bin("dvrsim");
      execl(exe.c_str(), "dvrsim", "run", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
  }
  ~Net3g() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::string log() const { return testsupport::ReadFile(b_.file("net3g.out")); }
  bool WaitLog(const std::string& text, int seconds) const {
    for (int i = 0; i < seconds * 10; ++i) {
      if (log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  int Count(const std::string& text) const {
    std::string l = log();
    int n = 0;
    for (size_t at = 0; (at = l.find(text, at)) != std::string::npos; ++at) ++n;
    return n;
  }
  // Threads, open descriptors and child processes (zombies too) of net3g.
  struct Usage {
    int threads = -1, fds = -1, children = -1;
    bool operator==(const Usage&) const = default;
  };
  Usage Use() const {
    Usage u;
    pid_t me = -1;
    for (const auto& e : fs::directory_iterator("/proc")) {
      std::string n = e.path().filename();
      if (n.find_first_not_of("0123456789") != std::string::npos) continue;
      if (testsupport::ReadFile(e.path() / "comm") != "net3g\n" || getpgid(std::stoi(n)) != pid_) continue;
      me = std::stoi(n);
      auto count = [](const fs::path& d) {
        int c = 0;
        std::error_code ec;
        for (auto it = fs::directory_iterator(d, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++c;
        return c;
      };
      u.threads = count(e.path() / "task");
      u.fds = count(e.path() / "fd");
    }
    if (me < 0) return u;
    u.children = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
      std::string st = testsupport::ReadFile(e.path() / "stat");
      size_t close = st.rfind(')');
      if (close == std::string::npos) continue;
      int ppid = -1;
      char state;
      if (std::sscanf(st.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == me) ++u.children;
    }
    return u;
  }

 private:
  const TempBoard& b_;
  pid_t pid_ = -1;
};

int Slots(const TempBoard& b) { return WordAt(Ask(b, 128, 0), 12); }
bool WaitSlots(const TempBoard& b, int n, int seconds = 10) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (Slots(b) == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
int Modem(const TempBoard& b, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"dvrsim", "modem", b.dir()};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::Run(argv).status;
}
bool HasEvent(const TempBoard& b, const std::string& prefix) {
  for (const auto& e : b.events())
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

TEST(Net3gBus, KernelListResetsLiveChangesAndLinkEvents) {
  TempBoard b("modem");
  Net3g net(b);
  ASSERT_TRUE(net.WaitLog("dev_ctl->at_tty_name=/dev/ttyUSB3", 15)) << net.log();
  // The kernel's list names the EC20 with its serial driver, and the disc
  // of port 2 until it is switched.
  std::string list = testsupport::ReadFile(b.file("proc/bus/usb/devices"));
  EXPECT_NE(list.find("P:  Vendor=05c6 ProdID=9215"), std::string::npos) << list;
  EXPECT_NE(list.find("Driver=option"), std::string::npos);
  ASSERT_TRUE(WaitSlots(b, 2)) << net.log();
  EXPECT_TRUE(HasEvent(b, "tool busybox eject /dev/sr0"));
  list = testsupport::ReadFile(b.file("proc/bus/usb/devices"));
  EXPECT_NE(list.find("P:  Vendor=19d2 ProdID=0117"), std::string::npos) << list;
  EXPECT_EQ(list.find("usb-storage"), std::string::npos);

  // A modem that reports registration denied five times is turned off and on
  // once, after the poll, by its own worker.
  EXPECT_EQ(Modem(b, {"set", "0", R"(urc={"text": "\r\n+CGREG: 3\r\n", "every_ms": 100, "count": 5, "tty": 3})"}), 0);
  EXPECT_TRUE(net.WaitLog("registration denied 5 times, radio off and on", 15)) << net.log();
  std::string t;
  size_t last_urc = std::string::npos;
  for (int i = 0; i < 50; ++i) {  // the radio is turned on a second after it went off
    t = testsupport::ReadFile(b.file("modem/ttyUSB3.log"));
    last_urc = t.rfind("+CGREG: 3\\r\\n");
    if (last_urc != std::string::npos && t.find("< AT+CFUN=1\\r", last_urc) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(last_urc, std::string::npos) << t;
  size_t off = t.find("< AT+CFUN=0\\r", last_urc);
  EXPECT_NE(off, std::string::npos) << t;
  EXPECT_NE(t.find("< AT+CFUN=1\\r", off), std::string::npos) << t;
  EXPECT_EQ(Modem(b, {"set", "0", "ttys=2"}), 2);
  EXPECT_EQ(Modem(b, {"set", "0", "urc={"}), 2);

  // Link events reach the watcher; only the slot's own interfaces count.
  // (The watcher joins once a slot has a modem: repeat until it hears.)
  for (int i = 0; i < 50 && net.Count("netcard:ppp5,state:down!") == 0; ++i) {
    EXPECT_EQ(Modem(b, {"link", "ppp30", "down"}), 0);
    EXPECT_EQ(Modem(b, {"link", "ppp5", "down"}), 0);
    net.WaitLog("netcard:ppp5,state:down!", 1);
  }
  EXPECT_TRUE(net.WaitLog("netcard:ppp5,state:down!", 2)) << net.log();
  EXPECT_TRUE(net.WaitLog("PPP link is down!", 1));
  EXPECT_EQ(net.log().find("ppp30"), std::string::npos);

  // RESET_DEV: radio off, then the port is power-cycled and the modem comes back.
  int workers = net.Count("at_tty_name=/dev/ttyUSB3");
  EXPECT_EQ(WordAt(Ask(b, 19, 0), 8), 0);
  EXPECT_TRUE(net.WaitLog("Now call usb_reset_multusb_module to hard reset 3G module index[0]!!", 20));
  for (int i = 0; i < 100 && !HasEvent(b, "usb-reset 0"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(HasEvent(b, "usb-reset 0"));
  for (int i = 0; i < 150 && net.Count("at_tty_name=/dev/ttyUSB3") <= workers; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(net.Count("at_tty_name=/dev/ttyUSB3"), workers + 1) << net.log();

  // The command line's power cycle: gone, then back.
  EXPECT_EQ(Modem(b, {"reset", "0"}), 0);
  EXPECT_TRUE(HasEvent(b, "reset modem 0"));
  EXPECT_TRUE(WaitSlots(b, 1, 5));
  EXPECT_TRUE(WaitSlots(b, 2, 10));
}

TEST(Net3gBus, FailingUsbLibraryEndsTheProgram) {
  TempBoard b("modem");
  testsupport::EditBoard(b, [](nlohmann::json& j) { j["usb"]["init"] = "fail"; });
  fs::create_directories(b.file("var/tmp"));
  auto r = testsupport::Run({"net3g"}, &b);
  EXPECT_EQ(r.status, 255) << r.err;
  EXPECT_NE(r.out.find("Radio program error exit!"), std::string::npos) << r.out << r.err;
}

TEST(Net3gBus, FailingModeSwitchIsTriedFiveTimesPerScan) {
  TempBoard b("modem");
  testsupport::EditBoard(b, [](nlohmann::json& j) { j["usb"]["modems"][2]["switch_fails"] = 7; });
  auto switches = [&] {
    int n = 0;
    for (const auto& e : b.events()) n += e.rfind("tool usb_modeswitch -v 0x19d2 -p 0x2000 ", 0) == 0;
    return n;
  };
  Net3g net(b);
  // The first pass ends with the EC20 added: by then the disc had its five tries.
  ASSERT_TRUE(net.WaitLog("The device have been added!", 15)) << net.log();
  EXPECT_EQ(switches(), 5);
  EXPECT_EQ(net.Count("usbmodeswitch child Pid is"), 5);
  // The next pass fails twice more, then switches it.
  EXPECT_TRUE(WaitSlots(b, 2, 15)) << net.log();
  EXPECT_EQ(switches(), 8);
}

TEST(Net3gBus, HundredPlugCyclesLeaveNoThreadDescriptorOrChild) {
  TempBoard b("modem");
  Net3g net(b);
  ASSERT_TRUE(WaitSlots(b, 2, 20)) << net.log();
  // Settled: both workers hold their ports.
  ASSERT_TRUE(net.WaitLog("dev_ctl->at_tty_name=/dev/ttyUSB6", 10)) << net.log();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto before = net.Use();
  ASSERT_GT(before.threads, 0);
  for (int cycle = 0; cycle < 100; ++cycle) {
    ASSERT_EQ(Modem(b, {"plug", "1"}), 0);
    ASSERT_TRUE(WaitSlots(b, 3)) << "cycle " << cycle << "\n" << net.log();
    ASSERT_EQ(Modem(b, {"unplug", "1"}), 0);
    ASSERT_TRUE(WaitSlots(b, 2)) << "cycle " << cycle;
  }
  // The disc modem: each plug ejects and switches it again (children of net3g).
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(Modem(b, {"unplug", "2"}), 0);
    ASSERT_TRUE(WaitSlots(b, 1)) << "cycle " << cycle;
    ASSERT_EQ(Modem(b, {"plug", "2"}), 0);
    ASSERT_TRUE(WaitSlots(b, 2, 20)) << "cycle " << cycle << "\n" << net.log();
  }
  Net3g::Usage after;
  for (int i = 0; i < 50 && !((after = net.Use()) == before); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.children, 0);
}

}  // namespace
