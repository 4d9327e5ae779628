// net3g's data call: OPEN_PPP until the call is up (state 3), a killed PPP
// daemon until the redialled call is up again (both with an EC20 peer and
// the board's 3gpp stand-in, in a network namespace: root), and one QMI
// request's round trip through the simulated qcqmi driver.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "cellular/qmi.h"
#include "sim/peers.h"
#include "sim/sim.h"
#include "support/board.h"
#include "support/net3g_client.h"

namespace {

using testsupport::Ask;
using testsupport::WordAt;

std::string Board(const char* family, const char* id, const char* man, const char* prod) {
  nlohmann::json m = {{"port", 0}, {"id", id}, {"manufacturer", man}, {"product", prod}, {"ttys", 4},
                      {"family", family}, {"netcard", "lte0"}};
  nlohmann::json d = {{"base", "default"}, {"usb", {{"modems", nlohmann::json::array({m})}}}};
  std::string path = std::string("/tmp/dvrbench-net3g-") + family + ".json";
  std::ofstream(path) << d.dump();
  return path;
}

bool WaitFor(const std::function<bool()>& ok, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int CallState(const testsupport::TempBoard& b) { return WordAt(Ask(b, 4, 0), 16); }

// net3g in a network namespace of its own with an EC20 whose call is open.
class NetnsNet3g {
 public:
  explicit NetnsNet3g(const testsupport::TempBoard& b) {
    std::filesystem::create_directories(b.file("var/tmp"));
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int fd = open("/dev/null", O_WRONLY);
      dup2(fd, 1);
      dup2(fd, 2);
      std::string exe = testsupport::Bin("dvrsim");
      execl(exe.c_str(), "dvrsim", "run", "--netns", b.dir().c_str(), "net3g", static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
  }
  ~NetnsNet3g() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

const std::string kOpen = testsupport::NetAccessRequest("internet", "*99#", "", "", 1400, 2);

bool Ready(const testsupport::TempBoard& b) {
  return WaitFor([&] { return WordAt(Ask(b, 17, 0, testsupport::Word(1)), 8) == 0; }, 30) &&
         WaitFor([&] { return WordAt(Ask(b, 4, 0), 12 + 136 + 24) == 1; }, 60);
}

void BM_OpenPppToUp(benchmark::State& state) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root (network namespace)");
    return;
  }
  testsupport::TempBoard b(Board("quectel_lte_ec20", "05c6:9215", "Quectel", "Quectel LTE Module"));
  NetnsNet3g n(b);
  if (!Ready(b)) {
    state.SkipWithError("the modem did not come up");
    return;
  }
  for (auto _ : state) {
    Ask(b, 5, 0, kOpen);
    if (!WaitFor([&] { return CallState(b) == 3; }, 60)) state.SkipWithError("no call");
    state.PauseTiming();
    Ask(b, 6, 0);
    WaitFor([&] { return CallState(b) == 0; }, 60);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_OpenPppToUp)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_KilledDaemonToUp(benchmark::State& state) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root (network namespace)");
    return;
  }
  testsupport::TempBoard b(Board("quectel_lte_ec20", "05c6:9215", "Quectel", "Quectel LTE Module"));
  NetnsNet3g n(b);
  if (!Ready(b)) {
    state.SkipWithError("the modem did not come up");
    return;
  }
  Ask(b, 5, 0, kOpen);
  WaitFor([&] { return CallState(b) == 3; }, 60);
  for (auto _ : state) {
    int pid = std::atoi(testsupport::ReadFile(b.file("var/tmp/ppp5.pid")).c_str());
    if (pid <= 0) {
      state.SkipWithError("no daemon");
      break;
    }
    kill(pid, SIGKILL);
    WaitFor([&] { return CallState(b) != 3; }, 10);
    if (!WaitFor([&] { return CallState(b) == 3; }, 60)) state.SkipWithError("no redial");
  }
}
BENCHMARK(BM_KilledDaemonToUp)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QmiRoundTrip(benchmark::State& state) {
  testsupport::TempBoard b(Board("quectel_lte_ec20_20", "2c7c:0125", "Android", "Android"));
  std::string err;
  if (!sim::StartPeers(b.dir(), getpid(), &err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  cellular::QmiDevice dev("/dev/qcqmi0", 0);
  for (auto _ : state) {
    auto r = dev.Request(cellular::QmiMsg{0, 0, cellular::kWdsStatus, {}}, 15000);
    if (!r) state.SkipWithError("no reply");
  }
}
BENCHMARK(BM_QmiRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
