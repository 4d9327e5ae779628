// A 32 KiB framed microcontroller upgrade against the simulated boot
// loader on a line paced at 115200 and 9600 baud, against the time the
// bytes need on the wire (bytes x 10 / baud, both directions).  Run with
// the protocol's fixed pauses (2 s to enter, 1 s each for the wake report,
// the start and the end) and without them.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/mcu/mcu.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"
#include "sim/sim.h"
#include "support/board.h"
#include "support/pty.h"
#include "unit/platform/mcu/line_device.h"

namespace {

void BM_McuUpgrade32KiB(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  const bool pauses = state.range(1) != 0;
  testsupport::TempBoard board;
  std::vector<uint8_t> pkg(64 + 32 * 1024);
  pkg[14] = 3;
  pkg[15] = 1;
  for (size_t i = 64; i < pkg.size(); ++i) pkg[i] = static_cast<uint8_t>(i * 13);
  TransComEntry_t entry{};
  entry.DevType = 1;
  entry.Uart.Index = 9;
  std::strcpy(entry.Uart.DevName, "/dev/ttyS9");
  entry.Uart.UseFor = 1;
  entry.Uart.WorkMode = 1;
  entry.Attr = {baud, 8, 0, 1, 0};
  double wire_s = 0;
  for (auto _ : state) {
    testsupport::Pty line(board, "dev/ttyS9");
    sim::McuLineOptions o;
    o.baud = baud;
    mcutest::Device dev(line, o);
    TransCom_t port{};
    port.Res = &entry;
    port.Open = TransComUartOpen;
    port.Close = TransComUartClose;
    port.Write = TransComUartWrite;
    port.SetAttribute = TransComUartSetAttribute;
    port.SetWorkMode = TransComUartSetWorkMode;
    SystemSetClock(pauses ? nullptr : mcutest::no_pauses());
    uint32_t progress = 0;
    if (TransComUartCreate(&port) != 0 ||
        McuUpgradeFramedOn(&port, 1, pkg.data(), static_cast<uint32_t>(pkg.size()), &progress) != 0) {
      state.SkipWithError("upgrade failed");
      break;
    }
    dev.ends();
    state.PauseTiming();
    // Bytes each way: what the host wrote and what the device answered.
    wire_s = (static_cast<double>(dev.written()) + static_cast<double>(dev.answered())) * 10.0 / baud;
    if (dev.peer().image() != std::vector<uint8_t>(pkg.begin() + 64, pkg.end())) state.SkipWithError("image differs");
    UartDevReleaseAll();
    SystemSetClock(nullptr);
    state.ResumeTiming();
  }
  state.counters["wire_s"] = wire_s;
}
BENCHMARK(BM_McuUpgrade32KiB)
    ->ArgNames({"baud", "pauses"})
    ->Args({115200, 1})
    ->Args({115200, 0})
    ->Args({9600, 1})
    ->Args({9600, 0})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
