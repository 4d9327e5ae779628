// The disk library's own FAT32 against mkfs.vfat on a 64 GiB sparse image
// (the ratio is the figure that matters), and the time from a disk plugged
// on the simulated board to ide_check_hotplug reporting it (at least one
// 500 ms quiet period by design).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "storage/storage.h"
#include "support/board.h"

namespace {

struct Quiet {
  Quiet() : saved(dup(1)) {
    fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    ::close(null);
  }
  ~Quiet() {
    fflush(stdout);
    dup2(saved, 1);
    ::close(saved);
  }
  int saved;
};

std::string sparse_image(uint64_t bytes) {
  std::string path = (std::filesystem::temp_directory_path() / "disk_bench.img").string();
  std::filesystem::remove(path);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) path.clear();
  if (fd >= 0) ::close(fd);
  return path;
}

void BM_FatDiskFormat64G(benchmark::State& state) {
  std::string img = sparse_image(64ull << 30);
  if (img.empty()) return state.SkipWithError("no image");
  for (auto _ : state) {
    Quiet q;
    if (fat_disk_format(img.c_str()) != 0) state.SkipWithError("format failed");
  }
  std::filesystem::remove(img);
}
BENCHMARK(BM_FatDiskFormat64G)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_MkfsVfat64G(benchmark::State& state) {
  if (std::system("command -v mkfs.vfat > /dev/null") != 0) return state.SkipWithError("no mkfs.vfat");
  std::string img = sparse_image(64ull << 30);
  if (img.empty()) return state.SkipWithError("no image");
  std::string cmd = "mkfs.vfat -F 32 -s 64 " + img + " > /dev/null 2>&1";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("mkfs.vfat failed");
  std::filesystem::remove(img);
}
BENCHMARK(BM_MkfsVfat64G)->Unit(benchmark::kMillisecond)->Iterations(5);

// Polls ide_check_hotplug until it reports a change (false after 10 s).
bool wait_hotplug() {
  Quiet q;
  int changed = 0;
  for (int i = 0; i < 2000; ++i) {
    if (ide_check_hotplug(&changed) == 1) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// dvrsim plug to the first ide_check_hotplug that reports the disk.
void BM_PlugToHotplug(benchmark::State& state) {
  testsupport::TempBoard b;
  std::string dvrsim = testsupport::Bin("dvrsim");
  {
    Quiet q;
    if (ide_init() != 0) return state.SkipWithError("ide_init failed");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the listener is up
  for (auto _ : state) {
    {
      // Nothing pending from earlier scans: the report must be this plug's.
      Quiet q;
      int changed = 0;
      while (ide_check_hotplug(&changed) == 1) {
      }
    }
    auto start = std::chrono::steady_clock::now();
    if (std::system((dvrsim + " plug " + b.dir() + " sdf").c_str()) != 0) return state.SkipWithError("plug failed");
    if (!wait_hotplug()) return state.SkipWithError("no hotplug reported");
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // Back to the start, outside the timing: unplug, let that burst end
    // and take the inventory afresh.
    if (std::system((dvrsim + " unplug " + b.dir() + " sdf").c_str()) != 0) return state.SkipWithError("unplug");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    Quiet q;
    int changed = 0;
    ide_check_hotplug(&changed);
    ide_init();
  }
  Hd_StopHotplugThread();
}
BENCHMARK(BM_PlugToHotplug)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
