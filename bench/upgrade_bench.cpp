// Upgrade costs: the package checksum against raw zlib crc32 on the same
// buffer, the container CRC, and the flash traffic of a 16 MiB partition
// update on a simulated NOR board (bytes erased, written and read per byte
// of image, as the flash set counts them).

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/fwpkg/fwpkg.h"
#include "sim/sim.h"

namespace {

constexpr size_t kBuf = 16u << 20;

const std::vector<uint8_t>& buffer() {
  static std::vector<uint8_t> b = [] {
    std::vector<uint8_t> v(kBuf);
    uint32_t s = 1;
    for (auto& c : v) c = static_cast<uint8_t>((s = s * 1103515245u + 12345u) >> 16);
    return v;
  }();
  return b;
}

void BM_PackageChecksum(benchmark::State& state) {
  const auto& b = buffer();
  std::span<const uint8_t> blocks[] = {b};
  for (auto _ : state) benchmark::DoNotOptimize(fwpkg::PackageChecksum(blocks));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.size() - fwpkg::kHeaderLen));
}
BENCHMARK(BM_PackageChecksum)->Unit(benchmark::kMillisecond);

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& b = buffer();
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0, b.data() + fwpkg::kHeaderLen, static_cast<uInt>(b.size() - fwpkg::kHeaderLen)));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.size() - fwpkg::kHeaderLen));
}
BENCHMARK(BM_ZlibCrc32)->Unit(benchmark::kMillisecond);

void BM_ContainerCrc(benchmark::State& state) {
  const auto& b = buffer();
  for (auto _ : state) benchmark::DoNotOptimize(fwpkg::ContainerCrc(b));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(b.size()));
}
BENCHMARK(BM_ContainerCrc)->Unit(benchmark::kMillisecond);

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// One update of a 16 MiB partition with an image that fills it.
void BM_PartitionUpdate16M(benchmark::State& state) {
  namespace fs = std::filesystem;
  std::string dir = fs::temp_directory_path() / ("upgrade-bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  const uint32_t part = 16u << 20, device = 32u << 20;
  std::ifstream in(sim::BoardsDir() + "/default.json");
  auto j = nlohmann::json::parse(in);
  j["mtd"] = {{"chips",
               {{{"type", "nor"}, {"erasesize", 0x10000}, {"parts", {{{"name", "pmcsp"}, {"size", device}}}}}}}};
  j["resource"]["records"]["FlashGetRes"] = {
      {"Chip", {{{"Type", 1}, {"Size", device}, {"Base", 0}, {"Mtd", {{{"MtdNum", 0}, {"Name", "pmcsp"}}}}}}}};
  std::ofstream(dir + "/board-in.json") << j.dump();
  std::string bin = DVR_BIN_DIR;
  std::string board = dir + "/board";
  run(bin + "/dvrsim new " + board + " " + dir + "/board-in.json");
  run(bin + "/fwpkg flash -s 32M -o " + board + "/dev/mtd0 --part big:0x20000:16M");
  const auto& b = buffer();
  std::ofstream(dir + "/img", std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), part - fwpkg::kContainerSlack);
  unsigned long long r = 0, w = 0, e = 0;
  for (auto _ : state) {
    std::string out = run("DVR_BOARD=" + board + " " + bin + "/fwupdate part --operator big " + dir + "/img 2>&1");
    size_t at = out.find("flash bytes read");
    if (at == std::string::npos || sscanf(out.c_str() + at, "flash bytes read %llu written %llu erased %llu", &r, &w, &e) != 3) {
      state.SkipWithError("fwupdate did not report its flash traffic");
      break;
    }
    // The next round must write again: spoil the stored image.
    run(bin + "/fwpkg flash -s 32M -o " + board + "/dev/mtd0 --part big:0x20000:16M");
  }
  double img = part - fwpkg::kContainerSlack;
  state.counters["erased_per_byte"] = e / img;
  state.counters["written_per_byte"] = w / img;
  state.counters["read_per_byte"] = r / img;
  fs::remove_all(dir);
}
BENCHMARK(BM_PartitionUpdate16M)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
