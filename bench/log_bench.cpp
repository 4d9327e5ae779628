// Cost of one log line: the registry look-up, formatting and the write.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "osa/osa.h"

namespace {

// Send stdout to /dev/null so the figure is the log call, not a terminal.
struct NullStdout {
  NullStdout() {
    fflush(stdout);
    saved = dup(1);
    int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    close(fd);
  }
  ~NullStdout() {
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
  int saved;
};

void BM_TaggedInfoLine(benchmark::State& state) {
  NullStdout quiet;
  for (auto _ : state) DVR_INFO("bench line %d of %s\n", 42, "info");
}
BENCHMARK(BM_TaggedInfoLine);

void BM_TaggedErrorLine(benchmark::State& state) {
  NullStdout quiet;
  for (auto _ : state) DVR_ERROR("bench line %d of %s\n", 42, "error");
}
BENCHMARK(BM_TaggedErrorLine);

void BM_DroppedDebugLine(benchmark::State& state) {
  NullStdout quiet;
  for (auto _ : state) OSA_logWrite(OSA_LOG_DBG, 0, OSA_TAG_LIBDVR "dropped %d\n", 1);
}
BENCHMARK(BM_DroppedDebugLine);

void BM_UntaggedLine(benchmark::State& state) {
  NullStdout quiet;
  for (auto _ : state) OSA_LOG_DEBUG("untagged %d\n", 7);
}
BENCHMARK(BM_UntaggedLine);

}  // namespace

BENCHMARK_MAIN();
