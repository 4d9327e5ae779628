// Applet start-up: exec of an applet link against busybox's true, in the
// same run so the ratio is what counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

void spawn_and_wait(const char* path, const char* argv0) {
  char* argv[] = {const_cast<char*>(argv0), nullptr};
  pid_t pid;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid, path, &fa, nullptr, argv, environ) == 0) waitpid(pid, nullptr, 0);
  posix_spawn_file_actions_destroy(&fa);
}

// An unknown applet name: dispatch runs, prints one line and exits, so this
// is the executable's own start-up cost.
void BM_AppletLinkStart(benchmark::State& state) {
  std::string link = std::string(DVR_BIN_DIR) + "/dvrhelper2";
  for (auto _ : state) spawn_and_wait(link.c_str(), "dvrhelper2");
}
BENCHMARK(BM_AppletLinkStart)->Unit(benchmark::kMicrosecond);

void BM_BusyboxTrue(benchmark::State& state) {
  for (auto _ : state) spawn_and_wait("/bin/busybox", "true");
}
BENCHMARK(BM_BusyboxTrue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
