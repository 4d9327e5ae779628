// The disk library on a simulated board: one SMART attribute read (time
// and the commands it sends), Raid_GetInfo of an 8-member array, and
// sequential ide_write64 against a plain pwrite of the same image.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "osa/osa.h"
#include "storage/storage.h"
#include "support/board.h"

namespace {

// Board with N SATA disks of 64 MiB, described in a temporary file.
std::unique_ptr<testsupport::TempBoard> board(int disks) {
  std::string path = (std::filesystem::temp_directory_path() / "raid_smart_bench.json").string();
  std::ofstream f(path);
  f << R"({"base": "default", "name": "default", "disks": [)";
  for (int i = 0; i < disks; ++i)
    f << (i ? "," : "") << R"({"name": "sd)" << static_cast<char>('b' + i) << R"(", "bus": "sata", "scsi": ")" << i
      << R"(:0:0:0", "size": "64M", "serial": "B)" << i << R"(", "vendor": "ATA"})";
  f << "]}";
  f.close();
  auto b = std::make_unique<testsupport::TempBoard>(path);
  std::remove(path.c_str());
  return b;
}

// The library logs to stdout; keep it out of the report.
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

size_t count_events(const testsupport::TempBoard& b, const std::string& prefix) {
  size_t n = 0;
  for (auto& e : b.events()) n += e.starts_with(prefix);
  return n;
}

void BM_SmartAttr(benchmark::State& state) {
  auto b = board(1);
  {
    Quiet q;
    ide_init();
  }
  size_t before = count_events(*b, "ata sdb");
  HdSmartAttr a[30];
  for (auto _ : state)
    if (ide_get_smart_attr(0, a, 30) < 0) state.SkipWithError("smart");
  state.counters["ata_cmds"] = static_cast<double>(count_events(*b, "ata sdb") - before) / state.iterations();
  Hd_StopHotplugThread();
}

void BM_RaidGetInfo8(benchmark::State& state) {
  auto b = board(8);
  RaidDesc d{"/dev/md0", "bench"};
  RaidCreateReq r{};
  for (int i = 0; i < 8; ++i) snprintf(r.disks[i], 32, "/dev/sd%c", 'b' + i);
  r.count = 8;
  {
    Quiet q;
    if (Raid_MakeRaid(&d, 6, &r) != 0) state.SkipWithError("create");
  }
  RaidInfo info;
  for (auto _ : state)
    if (Raid_GetInfo("/dev/md0", &info) != 0 || info.members != 8) state.SkipWithError("info");
}

constexpr uint32_t kSectors = 512;  // 256 KiB per call
constexpr uint64_t kTotal = 64ull << 20;

void BM_Write64(benchmark::State& state) {
  auto b = board(1);
  {
    Quiet q;
    ide_init();
  }
  Hd_SetSpeedCheck(static_cast<int>(state.range(0)));
  std::vector<uint8_t> buf(kSectors * 512, 0x5a);
  for (auto _ : state)
    for (uint64_t s = 0; s < kTotal / 512; s += kSectors)
      if (ide_write64(0, kSectors, s, buf.data()) != 0) state.SkipWithError("write");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
  Hd_StopHotplugThread();
}

void BM_PlainPwrite(benchmark::State& state) {
  auto b = board(1);
  // The simulator opens disk images without O_SYNC (flushing is the
  // model's business), so the plain write does the same.
  osa::UniqueFd fd(::open(b->file("dev/sdb").c_str(), O_RDWR));
  std::vector<uint8_t> buf(kSectors * 512, 0x5a);
  for (auto _ : state)
    for (uint64_t off = 0; off < kTotal; off += buf.size())
      if (::pwrite(fd.get(), buf.data(), buf.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(buf.size()))
        state.SkipWithError("pwrite");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

BENCHMARK(BM_SmartAttr)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RaidGetInfo8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Write64)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainPwrite)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
