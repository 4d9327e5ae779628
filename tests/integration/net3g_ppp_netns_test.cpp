// net3g's data call on a real network stack: `dvrsim run --netns` gives the
// manager a network namespace of its own, where the board's PPP daemon
// stand-in makes "ppp<unit>" a tun device with the modem's addresses.  The
// kernel's view is read back with `ip -j` inside that namespace.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "cellular/ps.h"
#include "support/board.h"
#include "support/net3g_client.h"

namespace {

using testsupport::Ask;
using testsupport::TempBoard;
using testsupport::Word;
using testsupport::WordAt;

#define NEED_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs root: runs net3g in a network namespace of its own"

constexpr int kOpenDev = 17, kDevStatus = 4, kOpenPpp = 5, kClosePpp = 6;

// A board description with EC20s on the given ports, each with a "ppp" block.
std::string ModemBoard(const std::vector<nlohmann::json>& ppp) {
  nlohmann::json modems = nlohmann::json::array();
  for (size_t i = 0; i < ppp.size(); ++i)
    modems.push_back({{"port", i}, {"id", "05c6:9215"}, {"manufacturer", "Quectel"},
                      {"product", "Quectel LTE Module"}, {"ttys", 4}, {"family", "quectel_lte_ec20"},
                      {"ppp", ppp[i]}});
  nlohmann::json d = {{"base", "default"}, {"usb", {{"modems", modems}}}};
  static int n = 0;
  std::string path = testing::TempDir() + "/net3g_ppp_" + std::to_string(getpid()) + "_" + std::to_string(n++) +
                     ".json";
  testsupport::WriteFile(path, d.dump());
  return path;
}

// net3g in its own namespace, in its own process group.
class Net3gNetns {
 public:
  explicit Net3gNetns(const TempBoard& b) : b_(b) {
    std::filesystem::create_directories(b.file("var/tmp"));
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open(b.file("net3g.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string exe = testsupport::Bin("dvrsim");
      execl(exe.c_str(), "dvrsim", "run", "--netns", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
  }
  ~Net3gNetns() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  std::string log() const { return testsupport::ReadFile(b_.file("net3g.out")); }
  // `ip -j addr` inside the manager's namespace.
  nlohmann::json Addr() const {
    auto r = testsupport::Run({"/usr/bin/nsenter", "-t", std::to_string(pid_), "-n", "/usr/sbin/ip", "-j", "addr"});
    return nlohmann::json::parse(r.out, nullptr, false);
  }
  // The manager's children (the daemons) and zombies among them.
  std::vector<std::string> Children() const {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator("/proc")) {
      std::string stat = testsupport::ReadFile(e.path().string() + "/stat");
      auto close = stat.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      int ppid = 0;
      if (sscanf(stat.c_str() + close + 2, "%c %d", &state, &ppid) == 2 && ppid == pid_)
        out.push_back(e.path().filename().string() + ":" + state);
    }
    return out;
  }
  size_t Threads() const {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) ++n;
    return n;
  }

 private:
  const TempBoard& b_;
  pid_t pid_;
};

bool WaitFor(const std::function<bool()>& ok, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ok();
}

int CallState(const TempBoard& b, int slot) { return WordAt(Ask(b, kDevStatus, slot), 12 + 4); }
uint32_t CallAddr(const TempBoard& b, int slot) { return uint32_t(WordAt(Ask(b, kDevStatus, slot), 12 + 8)); }

int Count(const TempBoard& b, const std::string& prefix) {
  int n = 0;
  for (auto& e : b.events()) n += e.rfind(prefix, 0) == 0;
  return n;
}

bool HasIface(const nlohmann::json& addr, const std::string& name, const std::string& local) {
  if (!addr.is_array()) return false;
  for (auto& i : addr) {
    if (i.value("ifname", "") != name) continue;
    for (auto& a : i.value("addr_info", nlohmann::json::array()))
      if (a.value("local", "") == local) return true;
  }
  return false;
}

void OpenDev(const TempBoard& b, int slot) {
  ASSERT_TRUE(WaitFor([&] { return WordAt(Ask(b, kOpenDev, slot, Word(1)), 8) == 0; }, 20));
}

TEST(Net3gNetns, Ec20CallUpRedialAfterKillOrLinkDownCloseStaysDownUnplugLeavesNothing) {
  NEED_ROOT();
  TempBoard b(ModemBoard({nlohmann::json::object()}));
  Net3gNetns n(b);
  OpenDev(b, 0);
  std::string req = testsupport::NetAccessRequest("internet", "*99#", "", "", 1400, 2);
  ASSERT_EQ(WordAt(Ask(b, kOpenPpp, 0, req), 8), 0);
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 3; }, 60)) << n.log();
  EXPECT_EQ(CallAddr(b, 0), inet_addr("10.64.0.2"));
  EXPECT_TRUE(HasIface(n.Addr(), "ppp5", "10.64.0.2")) << n.Addr().dump();
  EXPECT_EQ(Count(b, "tool 3gpp noipdefault usepeerdns unit 5 /dev/ttyUSB2 921600 noauth nodetach nobsdcomp "
                     "nodeflate novjccomp novj lcp-echo-interval 10 lcp-echo-failure 6 mtu 1400 debug"),
            1);
  std::string at = testsupport::ReadFile(b.file("modem/ttyUSB3.log"));
  std::string ppp = testsupport::ReadFile(b.file("modem/ttyUSB2.log"));
  EXPECT_NE(at.find(" < AT+CGDCONT=1,\"IP\",\"internet\"\\r"), std::string::npos) << at;
  EXPECT_NE(ppp.find(" < ATD*99***1#\\r"), std::string::npos) << ppp;
  EXPECT_EQ(at.find("ATD"), std::string::npos);

  // The daemon killed from outside: the call is dialled again.
  int daemon = std::atoi(testsupport::ReadFile(b.file("var/tmp/ppp5.pid")).c_str());
  ASSERT_GT(daemon, 0);
  kill(daemon, SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return Count(b, "tool 3gpp ") == 2 && CallState(b, 0) == 3; }, 60)) << n.log();

  // The kernel reports the link down: the link watcher closes the call, which is dialled again.
  auto r = testsupport::Run({"/usr/bin/nsenter", "-t", std::to_string(n.pid()), "-n", "/usr/sbin/ip", "link", "set",
                             "ppp5", "down"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(WaitFor([&] { return n.log().find("PPP link is down!") != std::string::npos; }, 10)) << n.log();
  ASSERT_TRUE(WaitFor([&] { return Count(b, "tool 3gpp ") == 3 && CallState(b, 0) == 3; }, 60)) << n.log();

  // CLOSE_PPP: down, and no new dial.
  ASSERT_EQ(WordAt(Ask(b, kClosePpp, 0), 8), 0);
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 0; }, 40)) << n.log();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(CallState(b, 0), 0);
  EXPECT_EQ(Count(b, "tool 3gpp "), 3);
  EXPECT_FALSE(HasIface(n.Addr(), "ppp5", "10.64.0.2"));
  EXPECT_TRUE(n.Children().empty());

  // Unplugged in the middle of a call: no daemon, zombie or worker stays.
  ASSERT_EQ(WordAt(Ask(b, kOpenPpp, 0, req), 8), 0);
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 3; }, 60)) << n.log();
  EXPECT_EQ(n.Children().size(), 1u);
  EXPECT_EQ(testsupport::Run({"dvrsim", "modem", b.dir(), "unplug", "0"}).status, 0);
  ASSERT_TRUE(WaitFor([&] { return n.Children().empty(); }, 20)) << n.log();
  EXPECT_TRUE(WaitFor([&] { return !HasIface(n.Addr(), "ppp5", "10.64.0.2"); }, 5));
  EXPECT_TRUE(WaitFor([&] { return n.log().find("The radio_process_thd thd:") != std::string::npos; }, 10));
}

TEST(Net3gNetns, DaemonFaultsHitTheirTimers) {
  NEED_ROOT();
  // Three modems, one fault each: slot 0 writes no pid file, slot 1 gets no
  // address, slot 2 ignores SIGTERM; slot 3 exits at once.
  TempBoard b(ModemBoard({{{"fault", "nopid"}}, {{"fault", "noaddr"}}, {{"fault", "ignoreterm"}},
                          {{"fault", "exit"}}}));
  Net3gNetns n(b);
  std::string req = testsupport::NetAccessRequest("internet", "*99#", "", "", 1400, 2);
  for (int s = 0; s < 4; ++s) {
    OpenDev(b, s);
    ASSERT_EQ(WordAt(Ask(b, kOpenPpp, s, req), 8), 0);
  }
  using Clock = std::chrono::steady_clock;
  auto started = [&](int unit) { return Count(b, "3gpp ppp" + std::to_string(unit) + " up"); };
  ASSERT_TRUE(WaitFor([&] { return started(5) >= 1 && started(6) >= 1 && started(7) >= 1; }, 60)) << n.log();
  auto t0 = Clock::now();
  // nopid: terminated 31 s after the start; noaddr: 21 s after its pid file.
  ASSERT_TRUE(WaitFor([&] { return Count(b, "3gpp ppp6 down") >= 1; }, 40)) << n.log();
  auto noaddr = Clock::now() - t0;
  ASSERT_TRUE(WaitFor([&] { return Count(b, "3gpp ppp5 down") >= 1; }, 40)) << n.log();
  auto nopid = Clock::now() - t0;
  EXPECT_GE(noaddr, std::chrono::seconds(19));
  EXPECT_GE(nopid, std::chrono::seconds(29));
  EXPECT_GT(nopid, noaddr);
  // The daemon that exits at once is dialled again and again.
  EXPECT_GE(Count(b, "3gpp ppp8 exit"), 2);
  EXPECT_NE(n.log().find("Fail to start pppd, pppd quit!"), std::string::npos);

  // ignoreterm: up; CLOSE_PPP takes 30 s of SIGTERM, then SIGKILL.
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 2) == 3; }, 20)) << n.log();
  ASSERT_EQ(WordAt(Ask(b, kClosePpp, 2), 8), 0);
  auto t1 = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return n.log().find("kill_pppd SIGTERM failed, using SIGKILL") != std::string::npos; }, 45))
      << n.log();
  EXPECT_GE(Clock::now() - t1, std::chrono::seconds(28));
  EXPECT_TRUE(WaitFor([&] { return CallState(b, 2) == 0; }, 10));
}

// The argument vector is one Debian's pppd accepts (a pty stands in for the
// modem's port; pppd only parses and checks, in a network namespace of its own).
TEST(Net3gNetns, PppdAcceptsTheArgumentVector) {
  NEED_ROOT();
  if (access("/usr/sbin/pppd", X_OK) != 0) GTEST_SKIP() << "no /usr/sbin/pppd";
  // pppd opens /dev/ppp before it checks its options; a kernel without the
  // PPP driver cannot run even a dry run.
  if (testsupport::ReadFile("/proc/devices").find(" ppp\n") == std::string::npos)
    GTEST_SKIP() << "this kernel has no PPP driver (/proc/devices)";
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(m, 0);
  ASSERT_EQ(grantpt(m), 0);
  ASSERT_EQ(unlockpt(m), 0);
  std::string pty = ptsname(m);
  cellular::NetAccess net;
  net.user = "bob";
  net.password = "pw";
  net.auth = 0;
  net.mtu = 1400;
  auto args = cellular::PppdArgs(net, 5, pty, cellular::Timing{});
  std::vector<std::string> argv = {"/usr/bin/unshare", "--net", "/usr/sbin/pppd", "dryrun"};
  argv.insert(argv.end(), args.begin() + 1, args.end());
  auto r = testsupport::Run(argv);
  close(m);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

}  // namespace
