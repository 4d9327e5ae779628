// net3g's data call over QMI against the simulator's qcqmi driver: the WDS
// requests as the far end logged them, and the call's states.
#include <arpa/inet.h>
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

#include "support/board.h"
#include "support/net3g_client.h"

namespace {

using testsupport::Ask;
using testsupport::TempBoard;
using testsupport::Word;
using testsupport::WordAt;

std::string QmiBoard(const nlohmann::json& qmi, const std::string& second_netcard = "") {
  nlohmann::json modems = nlohmann::json::array();
  modems.push_back({{"port", 0}, {"id", "2c7c:0125"}, {"manufacturer", "Android"}, {"product", "Android"},
                    {"ttys", 4}, {"family", "quectel_lte_ec20_20"}, {"netcard", "lte0"}, {"qmi", qmi}});
  if (!second_netcard.empty())
    modems.push_back({{"port", 1}, {"id", "2c7c:0125"}, {"manufacturer", "Android"}, {"product", "Android"},
                      {"ttys", 4}, {"family", "quectel_lte_ec20_20"}, {"netcard", second_netcard}, {"qmi", qmi}});
  nlohmann::json d = {{"base", "default"}, {"usb", {{"modems", modems}}}};
  static int n = 0;
  std::string path =
      testing::TempDir() + "/net3g_qmi_" + std::to_string(getpid()) + "_" + std::to_string(n++) + ".json";
  testsupport::WriteFile(path, d.dump());
  return path;
}

class Net3g {
 public:
  explicit Net3g(const TempBoard& b) : b_(b) {
    std::filesystem::create_directories(b.file("var/tmp"));
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

int CallState(const TempBoard& b, int slot) { return WordAt(Ask(b, 4, slot), 12 + 4); }

bool HasEvent(const TempBoard& b, const std::string& prefix) {
  for (auto& e : b.events())
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

void Open(const TempBoard& b, int slot, const std::string& user = "", const std::string& pw = "", int auth = 2) {
  ASSERT_TRUE(WaitFor([&] { return WordAt(Ask(b, 17, slot, Word(1)), 8) == 0; }, 20));
  auto req = testsupport::NetAccessRequest("internet", "*99#", user, pw, 1500, auth);
  ASSERT_EQ(WordAt(Ask(b, 5, slot, req), 8), 0);
}

TEST(Net3gQmi, AndroidEc20ReachesState3OverQmiAndHangsUp) {
  TempBoard b(QmiBoard(nlohmann::json::object()));
  Net3g n(b);
  Open(b, 0, "bob", "pw", 1);
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 3; }, 40)) << n.log();
  // The address of the modem's own interface.
  EXPECT_TRUE(WaitFor([&] { return uint32_t(WordAt(Ask(b, 4, 0), 20)) == inet_addr("10.64.0.2"); }, 10));
  EXPECT_TRUE(HasEvent(b, "qmi 0 client 1"));
  EXPECT_TRUE(HasEvent(b, "qmi 0 0x0020 30=01 14=696e7465726e6574 17=626f62 18=7077 16=02 19=04"))
      << testsupport::ReadFile(b.file("events.log"));
  EXPECT_TRUE(HasEvent(b, "qmi 0 0x0022"));
  EXPECT_TRUE(HasEvent(b, "tool ifconfig lte0 10.5.1.1 netmask 255.255.0.0 up"));
  EXPECT_EQ(testsupport::ReadFile(b.file("var/tmp/ppp5.pid")), "");  // no PPP daemon
  ASSERT_EQ(WordAt(Ask(b, 6, 0), 8), 0);  // CLOSE_PPP
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 0; }, 20)) << n.log();
  EXPECT_TRUE(HasEvent(b, "qmi 0 0x0021 01=78563412"));
}

TEST(Net3gQmi, RefusedConnectSilenceAndHangupEndInClose) {
  for (const char* how : {"error", "hangup"}) {
    SCOPED_TRACE(how);
    nlohmann::json q = std::string(how) == "hangup" ? nlohmann::json{{"fault", "hangup"}}
                                                     : nlohmann::json{{"connect", how}};
    TempBoard b(QmiBoard(q));
    Net3g n(b);
    Open(b, 0);
    ASSERT_TRUE(WaitFor([&] { return HasEvent(b, "qmi 0 0x0020"); }, 40)) << n.log();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_NE(CallState(b, 0), 3);
  }
}

TEST(Net3gQmi, TwoModemsOnOneDeviceAreRefused) {
  // lte4 would be the driver's device 0 again: the second call is refused.
  TempBoard b(QmiBoard(nlohmann::json::object(), "lte4"));
  Net3g n(b);
  Open(b, 0);
  Open(b, 1);
  ASSERT_TRUE(WaitFor([&] { return CallState(b, 0) == 3; }, 40)) << n.log();
  EXPECT_TRUE(WaitFor([&] { return n.log().find("no QMI device for network interface lte4") != std::string::npos; }, 20))
      << n.log();
  EXPECT_EQ(CallState(b, 1), 0);
}

}  // namespace
