// netinit's full boot on a board with two ports bridged into br0, each run
// in a fresh network namespace (root).  Compared with the same namespace
// doing nothing and with a plain shell script that sets up the same state
// with the classic tools.  Counters: shell commands per boot (the events
// log's "sh" lines; the script's own lines for the script).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "sim/sim.h"
#include "support/board.h"

namespace {

std::string TwoPortBoard() {
  std::ifstream in(sim::BoardsDir() + "/netns.json");
  auto d = nlohmann::json::parse(in);
  d["network"]["ports"] = {"eth0", "eth1"};
  d["network"].erase("bonds");
  std::string path = "/tmp/dvrbench-netns2.json";
  std::ofstream(path) << d.dump();
  return path;
}

void Configure(const testsupport::TempBoard& b) {
  auto put = [&](const char* f, const char* t) { testsupport::WriteFile(b.file(std::string("mnt/mtd/Config/") + f), t); };
  put("network", "BRIDGEEDED = 1\nBRIDGENAME = br0\nMTU = 1500\nDEFAULT_ETH = br0\n");
  put("network1", "BRIDGEEDED = 1\nBRIDGENAME = br0\nMTU = 1500\n");
  put("networkbr0", "HOSTIP = 10.30.0.1\nSUBMASK = 255.255.0.0\nGATEWAYIP = 10.30.0.254\nMTU = 1500\nPRIO = 0\n");
}

const char kScript[] =
    "ifconfig eth0 hw ether 00:12:34:56:78:9a\n"
    "ifconfig eth1 hw ether 00:12:34:56:78:9b\n"
    "brctl addbr br0\n"
    "brctl addif br0 eth0\n"
    "brctl addif br0 eth1\n"
    "ifconfig eth0 0.0.0.0 up\n"
    "ifconfig eth1 0.0.0.0 up\n"
    "ifconfig br0 10.30.0.1 netmask 255.255.0.0 mtu 1500 up\n"
    "route add default gw 10.30.0.254\n"
    "printf 'nameserver 8.8.8.8\\nnameserver 8.8.4.4\\n' > /tmp/dvrbench-resolv.conf\n";

int Boot(benchmark::State& state, const std::string& cmd, int* commands) {
  state.PauseTiming();
  testsupport::TempBoard b(TwoPortBoard());
  Configure(b);
  state.ResumeTiming();
  auto r = testsupport::Run({testsupport::Bin("dvrsim"), "run", "--netns", b.dir(), "sh", "-c", cmd});
  state.PauseTiming();
  *commands = 0;
  for (auto& e : b.events()) *commands += e.rfind("sh ", 0) == 0;
  state.ResumeTiming();
  return r.status;
}

void Run(benchmark::State& state, const std::string& cmd, int script_lines) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root (network namespaces)");
    return;
  }
  int commands = 0;
  for (auto _ : state)
    if (Boot(state, cmd, &commands) != 0) {
      state.SkipWithError("the boot failed");
      return;
    }
  state.counters["commands"] = script_lines >= 0 ? script_lines : commands;
}

void BM_EmptyNamespace(benchmark::State& state) { Run(state, "true", 0); }
void BM_NetinitBoot(benchmark::State& state) { Run(state, "netinit > /dev/null 2>&1; true", -1); }
void BM_ShellScriptBoot(benchmark::State& state) { Run(state, std::string("set -e\n") + kScript, 10); }

BENCHMARK(BM_EmptyNamespace)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_NetinitBoot)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ShellScriptBoot)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
