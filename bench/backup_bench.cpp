// dvrbackup put of 256 MiB onto an ext3 USB disk image of a simulated board
// against dd conv=fsync of the same file into the same mount: the backup
// path's overhead (ratio of the two) and its CPU seconds per MiB.  Needs
// root (the board mounts its image in a private namespace).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "support/board.h"

namespace {

constexpr int kMiB = 256;

// The default board with a 1 GiB USB stick.
std::string Desc() {
  std::string p = "/tmp/backup_bench_board.json";
  FILE* f = std::fopen(p.c_str(), "w");
  if (f) {
    std::fputs(R"({"base": "default", "disks": [{"name": "sdd", "bus": "usb", "scsi": "4:0:0:0", "size": "1G",
               "serial": "U1", "vendor": "Generic", "usb": "1-1.2"}]})",
               f);
    std::fclose(f);
  }
  return p;
}

struct Fixture {
  Fixture() : board(Desc()) {
    std::string img = board.file("dev/sdd");
    src = board.dir() + "/src.sav";
    ok = std::system(("mkfs.ext3 -q -F " + img + " && dd if=/dev/urandom of=" + src +
                      " bs=1M count=" + std::to_string(kMiB) + " status=none")
                         .c_str()) == 0;
  }
  testsupport::TempBoard board;
  std::string src;
  bool ok = false;
};

double ChildCpu() {
  struct rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs `script` in the board's sandbox after mounting the stick there.
void Run(benchmark::State& state, const std::string& what) {
  if (geteuid() != 0) {
    state.SkipWithError("needs root");
    return;
  }
  Fixture f;
  if (!f.ok) {
    state.SkipWithError("image");
    return;
  }
  std::string bin = DVR_BIN_DIR;
  std::string body = what == "dd" ? "dd if=" + f.src + " of=/mnt/backup/sdd/dd.sav bs=100000 conv=fsync status=none"
                                  : bin + "/dvrbackup put /dev/sdd " + f.src + " > /dev/null";
  std::string cmd = bin + "/dvrsim run " + f.board.dir() + " sh -c '" + bin +
                    "/dvrbackup mount /dev/sdd > /dev/null && rm -f /mnt/backup/sdd/*.sav && " + body + "'";
  double cpu = 0;
  for (auto _ : state) {
    double before = ChildCpu();
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("run failed");
    cpu += ChildCpu() - before;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (int64_t{kMiB} << 20));
  state.counters["cpu_s_per_MiB"] = cpu / static_cast<double>(state.iterations()) / kMiB;
}

void BM_DvrbackupPut(benchmark::State& state) { Run(state, "put"); }
void BM_DdFsync(benchmark::State& state) { Run(state, "dd"); }

BENCHMARK(BM_DvrbackupPut)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DdFsync)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
