// dvrplat: the platform start, then one watchdog, clock or upgrade
// operation.  Exit status 0, 7 after a watchdog shutdown, else 1.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/mcu/mcu.h"
#include "platform/rtc/rtc.h"
#include "platform/system/system.h"
#include "platform/watchdog/watchdog.h"

namespace {

int usage(FILE* to = stderr) {
  fprintf(to,
          "usage: dvrplat wdg feed [N [MS]]          create the watchdogs, feed N times every MS ms\n"
          "       dvrplat wdg stop|reboot|shutdown\n"
          "       dvrplat rtc get | set \"YYYY-MM-DD hh:mm:ss\"    the clock chip's time (UTC)\n"
          "       dvrplat mcu FILE...                       upgrade the controller, a block per file\n"
          "       dvrplat fpga FILE...                      write the FPGA's flash, a block per file\n"
          "       dvrplat mcu-table FILE                    upgrade every controller of the table the image fits\n");
  return to == stderr ? 2 : 0;
}

bool number(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int wdg(int argc, char** argv) {
  if (argc < 1) return usage();
  std::string op = argv[0];
  if (op == "feed") {
    long n = 1, ms = 1000;
    if ((argc > 1 && !number(argv[1], 0, 100000000, &n)) || (argc > 2 && !number(argv[2], 0, 86400000, &ms)) ||
        argc > 3) {
      fprintf(stderr, "dvrplat: bad feed count or period\n");
      return 2;
    }
    if (WatchdogCreate() != 0) return 1;
    int failed = 0;
    // Deadlines are absolute, so a slow feed does not push the next ones.
    auto next = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
      if (i) std::this_thread::sleep_until(next);
      if (WatchdogKeepAlive() != 0) ++failed;
      next += std::chrono::milliseconds(ms);
    }
    if (failed) fprintf(stderr, "dvrplat: %d of %ld feeds failed\n", failed, n);
    return failed ? 1 : 0;
  }
  if (argc != 1) return usage();
  if (WdgsDevInit() != 0) return 1;
  Wdgs_t* s = WdgsGet();
  if (op == "stop") return WdgsStop(s) == 0 ? 0 : 1;
  if (op == "reboot") return WdgsReboot(s) == 0 ? 0 : 1;
  if (op == "shutdown") return WdgsShutdown(s) == 0 ? APP_EXIT_SHUTDOWN : 1;  // success ends the process with 7
  return usage();
}

// "YYYY-MM-DD hh:mm:ss", every field in range.
bool parse_time(const char* s, tm* out) {
  int y, mo, d, h, mi, se;
  char tail;
  if (std::strlen(s) != 19 || sscanf(s, "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &tail) != 6)
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59 || y < 1900) return false;
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = se;
  *out = t;
  return true;
}

int rtc(int argc, char** argv) {
  if (argc == 1 && std::string(argv[0]) == "get") {
    tm t{};
    if (RtcGetTime(&t) != 0) return 1;
    printf("%04d-%02d-%02d %02d:%02d:%02d\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
           t.tm_sec);
    return 0;
  }
  if (argc == 2 && std::string(argv[0]) == "set") {
    tm t{};
    if (!parse_time(argv[1], &t)) {
      fprintf(stderr, "dvrplat: time must be \"YYYY-MM-DD hh:mm:ss\"\n");
      return 2;
    }
    return RtcSetTime(&t) == 0 ? 0 : 1;
  }
  return usage();
}

int mcu(int argc, char** argv, bool fpga, bool table) {
  if (argc < 1) return usage();
  std::vector<std::vector<uint8_t>> files(static_cast<size_t>(argc));
  std::vector<McuBlock_t> blocks;
  for (int i = 0; i < argc; ++i) {
    FILE* f = fopen(argv[i], "rb");
    if (!f) {
      fprintf(stderr, "dvrplat: cannot open %s\n", argv[i]);
      return 1;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) files[static_cast<size_t>(i)].insert(files[static_cast<size_t>(i)].end(), buf, buf + n);
    fclose(f);
    blocks.push_back({files[static_cast<size_t>(i)].data(), static_cast<uint32_t>(files[static_cast<size_t>(i)].size())});
  }
  const SystemRes_t* sys = SystemGetRecord();
  if (!sys) {
    fprintf(stderr, "dvrplat: no System record\n");
    return 1;
  }
  uint32_t progress = 0;
  if (table) {
    if (files.size() != 1) return usage();
    int t = SysDevUpgradeMCU(sys, files[0].data(), static_cast<uint32_t>(files[0].size()), &progress);
    printf("progress %u\n", progress);
    return t == 0 ? 0 : 1;
  }
  int r = fpga ? SysDevUpgradeFPGA(blocks.data(), static_cast<uint32_t>(blocks.size()), &progress, sys)
               : SysDevUpgradeMCU_V(blocks.data(), static_cast<uint32_t>(blocks.size()), &progress, sys);
  printf("progress %u\n", progress);
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string family = argv[1];
  if (family == "--help" || family == "-h") return usage(stdout);
  if (family != "wdg" && family != "rtc" && family != "mcu" && family != "fpga" && family != "mcu-table")
    return usage();
  InitDvrSystem(argc, argv);
  fflush(stdout);
  if (family == "mcu" || family == "fpga" || family == "mcu-table")
    return mcu(argc - 2, argv + 2, family == "fpga", family == "mcu-table");
  return family == "wdg" ? wdg(argc - 2, argv + 2) : rtc(argc - 2, argv + 2);
}
