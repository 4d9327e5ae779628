// Platform start on the default simulated board: dvrhelper without a
// program runs InitDvrSystem and the product dump, then ends.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <string>

#include <cstdlib>
#include <filesystem>

#include "sim/sim.h"

namespace {

void BM_InitDvrSystemProcess(benchmark::State& state) {
  char tmpl[] = "/tmp/dvrbench.XXXXXX";
  std::string dir = mkdtemp(tmpl), err;
  if (!sim::CreateBoard(dir, "default", DVRSIM_EXE, &err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::string dvrsim = std::string(DVR_BIN_DIR) + "/dvrsim";
  for (auto _ : state) {
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(dvrsim.c_str(), "dvrsim", "run", dir.c_str(), "dvrhelper", nullptr);
      _exit(127);
    }
    waitpid(pid, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_InitDvrSystemProcess)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
