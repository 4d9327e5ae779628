// bootenv on a simulated board: start-up of "bootenv" (print all) against
// busybox's true in the same run, and what one change costs the flash.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/models/flash.h"
#include "sim/sim.h"

extern char** environ;

namespace {

struct BenchBoard {
  explicit BenchBoard(const char* name) {
    char tmpl[] = "/tmp/dvrbench.XXXXXX";
    dir = mkdtemp(tmpl);
    std::string err;
    if (!sim::CreateBoard(dir, name, DVRSIM_EXE, &err)) dir.clear();
  }
  ~BenchBoard() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
};

// Runs argv with DVR_BOARD=dir (no board: the host), output discarded;
// returns the wall time in microseconds.
double run(const std::vector<std::string>& argv, const std::string& dir) {
  std::vector<char*> av;
  for (auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("DVR_BOARD=", 0) != 0) envs.emplace_back(*e);
  if (!dir.empty()) envs.push_back("DVR_BOARD=" + dir);
  std::vector<char*> ev;
  for (auto& e : envs) ev.push_back(e.data());
  ev.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, av[0], &fa, nullptr, av.data(), ev.data()) == 0) waitpid(pid, nullptr, 0);
  auto t1 = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&fa);
  return std::chrono::duration<double, std::micro>(t1 - t0).count();
}

void BM_BootenvPrintAllVsBusyboxTrue(benchmark::State& state) {
  BenchBoard b("default");
  std::string bootenv = std::string(DVR_BIN_DIR) + "/bootenv";
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    theirs += run({"/bin/busybox", "true"}, "");
    ours += run({bootenv}, b.dir);
  }
  double n = static_cast<double>(state.iterations());
  state.counters["bootenv_us"] = ours / n;
  state.counters["busybox_true_us"] = theirs / n;
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_BootenvPrintAllVsBusyboxTrue)->Unit(benchmark::kMicrosecond)->Iterations(200);

// Flash operations per "bootenv NAME VALUE", main copy and backup together.
void BM_EnvSetCost(benchmark::State& state, const char* board) {
  BenchBoard b(board);
  std::string bootenv = std::string(DVR_BIN_DIR) + "/bootenv";
  sim::FlashState before, after;
  sim::ReadFlashState(b.dir, &before);
  int i = 0;
  for (auto _ : state) run({bootenv, "bench", std::to_string(i++)}, b.dir);
  sim::ReadFlashState(b.dir, &after);
  double n = static_cast<double>(state.iterations());
  state.counters["erases"] = static_cast<double>(after.erases - before.erases) / n;
  state.counters["writes"] = static_cast<double>(after.writes - before.writes) / n;
  state.counters["reads"] = static_cast<double>(after.reads - before.reads) / n;
  state.counters["bad_queries"] = static_cast<double>(after.bad_queries - before.bad_queries) / n;
}
BENCHMARK_CAPTURE(BM_EnvSetCost, nor, "default")->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK_CAPTURE(BM_EnvSetCost, nand, "nand")->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK_CAPTURE(BM_EnvSetCost, emmc, "emmc")->Unit(benchmark::kMicrosecond)->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
