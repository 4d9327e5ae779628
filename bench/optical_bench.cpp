// Streaming a recording to a DVD+RW image against a raw sequential write
// of the same bytes to it: the writer's overhead (goal: ratio >= 0.9) and
// its CPU time per MiB.  Three ways: the writer over an image file (the
// writer alone), the whole stack through the simulated recorder (MMC over
// SG_IO, each command a locked state update), and the raw write.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "optical/drive.h"
#include "support/board.h"
#include "unit/optical/image_dev.h"

namespace {

constexpr size_t kTotal = size_t{256} << 20;
constexpr size_t kPiece = 100000;

std::string ImagePath() { return (std::filesystem::temp_directory_path() / "optical_bench.img").string(); }

double CpuSeconds() {
  struct rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per MiB over the timed iterations.
class CpuPerMiB {
 public:
  CpuPerMiB() : start_(CpuSeconds()) {}
  void Report(benchmark::State& state) {
    double mib = static_cast<double>(state.iterations()) * static_cast<double>(kTotal) / (1 << 20);
    state.counters["cpu_s_per_MiB"] = (CpuSeconds() - start_) / mib;
  }

 private:
  double start_;
};

int Stream(CdrwBlockDev* dev) {
  std::vector<uint8_t> piece(kPiece, 0x5A);
  int ret = cdrw_udf_hdr_start(dev, 0);
  ret |= cdrw_udf_open_file(dev, "stream.mp4");
  for (size_t done = 0; done < kTotal && ret == 0; done += kPiece)
    ret = cdrw_udf_filedata(dev, piece.data(), std::min(kPiece, kTotal - done));
  ret |= cdrw_udf_close_file(dev);
  ret |= cdrw_udf_hdr_end(dev, nullptr, 0);
  cdrw_udf_end(dev);
  return ret;
}

void BM_UdfStream(benchmark::State& state) {
  CpuPerMiB cpu;
  for (auto _ : state) {
    std::remove(ImagePath().c_str());
    optest::ImageDev dev(ImagePath(), kProfileDvdPlusRw);
    if (Stream(&dev) != 0) state.SkipWithError("recording failed");
  }
  cpu.Report(state);
  std::remove(ImagePath().c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_UdfStreamSimDrive(benchmark::State& state) {
  testsupport::TempBoard board;
  CpuPerMiB cpu;
  for (auto _ : state) {
    state.PauseTiming();
    testsupport::Run({testsupport::Bin("dvrsim"), "disc", board.dir(), "1A"});
    std::remove(board.file("events.log").c_str());
    cddev_t dev;
    dev.drv.sleep = [](int) {};
    if (cdrw_init(&dev, "/dev/sg0") != 0) state.SkipWithError("no drive");
    state.ResumeTiming();
    if (Stream(&dev) != 0) state.SkipWithError("recording failed");
    cdrw_close(&dev);
  }
  cpu.Report(state);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_RawWrite(benchmark::State& state) {
  std::vector<uint8_t> piece(kPiece, 0x5A);
  CpuPerMiB cpu;
  for (auto _ : state) {
    std::remove(ImagePath().c_str());
    osa::UniqueFd fd(::open(ImagePath().c_str(), O_RDWR | O_CREAT, 0644));
    off_t off = off_t{576} * 2048;
    for (size_t done = 0; done < kTotal; done += kPiece) {
      size_t n = std::min(kPiece, kTotal - done);
      if (::pwrite(fd.get(), piece.data(), n, off) != static_cast<ssize_t>(n)) state.SkipWithError("write");
      off += static_cast<off_t>(n);
    }
  }
  cpu.Report(state);
  std::remove(ImagePath().c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_UdfStream)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UdfStreamSimDrive)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_RawWrite)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
