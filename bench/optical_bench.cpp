// Streaming a recording to a DVD+RW image against a raw sequential write
// of the same bytes to it: the writer's overhead (goal: ratio >= 0.9) and
// its CPU time per MiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "unit/optical/image_dev.h"

namespace {

constexpr size_t kTotal = size_t{256} << 20;
constexpr size_t kPiece = 100000;

std::string ImagePath() { return (std::filesystem::temp_directory_path() / "optical_bench.img").string(); }

void BM_UdfStream(benchmark::State& state) {
  std::vector<uint8_t> piece(kPiece, 0x5A);
  for (auto _ : state) {
    std::remove(ImagePath().c_str());
    optest::ImageDev dev(ImagePath(), kProfileDvdPlusRw);
    cdrw_udf_hdr_start(&dev, 0);
    cdrw_udf_open_file(&dev, "stream.mp4");
    for (size_t done = 0; done < kTotal; done += kPiece)
      cdrw_udf_filedata(&dev, piece.data(), std::min(kPiece, kTotal - done));
    cdrw_udf_close_file(&dev);
    cdrw_udf_hdr_end(&dev, nullptr, 0);
    cdrw_udf_end(&dev);
  }
  std::remove(ImagePath().c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_RawWrite(benchmark::State& state) {
  std::vector<uint8_t> piece(kPiece, 0x5A);
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
  std::remove(ImagePath().c_str());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_UdfStream)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RawWrite)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
