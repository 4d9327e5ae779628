// "dvrplat wdg feed 1000 100" on the default board: how late each feed
// reaches the watchdog model against its absolute deadline (i x 100 ms
// after the start, the start placed so the earliest feed is on time),
// idle and with four threads spinning beside it.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "support/board.h"

namespace {

void BM_WatchdogFeedJitter(benchmark::State& state) {
  const long n = state.range(0), period = state.range(1);
  const bool loaded = state.range(2) != 0;
  std::vector<double> late;
  for (auto _ : state) {
    testsupport::TempBoard b;
    {
      std::ifstream in(b.file("board.json"));
      auto j = nlohmann::json::parse(in);
      j["watchdog"]["feed_log"] = true;
      std::ofstream(b.file("board.json"), std::ios::trunc) << j.dump(2) << "\n";
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    for (int i = 0; loaded && i < 4; ++i)
      load.emplace_back([&] {
        volatile unsigned long x = 0;
        while (!stop) x = x + 1;
      });
    auto r = testsupport::Run({testsupport::Bin("dvrplat"), "wdg", "feed", std::to_string(n), std::to_string(period)},
                              &b);
    stop = true;
    for (auto& t : load) t.join();
    if (r.status != 0) {
      fprintf(stderr, "%s\n", r.err.c_str());
      state.SkipWithError("dvrplat failed");
      break;
    }
    std::ifstream in(b.file("sim/watchdog-feeds.log"));
    std::string path;
    long long ms, first = -1;
    long i = 0;
    while (in >> path >> ms) {
      if (path != "/dev/watchdog") continue;
      if (first < 0) first = ms;
      late.push_back(static_cast<double>(ms - (first + i * period)));
      ++i;
    }
  }
  if (late.empty()) return;
  std::sort(late.begin(), late.end());
  // Anchored on the earliest feed: the first one may itself be late.
  const double earliest = late.front();
  for (auto& l : late) l -= earliest;
  auto pct = [&](double p) { return late[std::min(late.size() - 1, static_cast<size_t>(p * late.size()))]; };
  state.counters["feeds"] = static_cast<double>(late.size());
  state.counters["p50_ms"] = pct(0.50);
  state.counters["p99_ms"] = pct(0.99);
  state.counters["max_ms"] = late.back();
}
BENCHMARK(BM_WatchdogFeedJitter)
    ->ArgNames({"n", "ms", "loaded"})
    ->Args({1000, 100, 0})
    ->Args({1000, 100, 1})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
