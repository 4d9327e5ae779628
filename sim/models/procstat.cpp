// The board's /proc statistics files, written when the board is made:
//
//   "proc": {"cpus": 2, "mem_kb": 262144, "free_kb": 131072, "buffers_kb": 2048,
//            "cpuinfo": "..."}     (defaults describe the board's dual-core ARM)

#include "sim/models/procstat.h"

#include <fstream>

namespace sim {

namespace {

bool provision_proc(const Board& b, std::string* err) {
  auto p = b.desc().value("proc", nlohmann::json::object());
  int cpus = p.value("cpus", 2);
  std::ofstream stat(b.file("proc/stat"));
  // Ticks as a board up for a while: a tenth busy.
  unsigned long long user = 9000, nice = 100, sys = 900, idle = 90000;
  stat << "cpu  " << user * cpus << " " << nice * cpus << " " << sys * cpus << " " << idle * cpus
       << " 0 0 0 0 0 0\n";
  for (int c = 0; c < cpus; ++c)
    stat << "cpu" << c << " " << user << " " << nice << " " << sys << " " << idle << " 0 0 0 0 0 0\n";
  stat << "intr 0\nctxt 0\nbtime 1700000000\nprocesses 1\nprocs_running 1\nprocs_blocked 0\n";
  std::ofstream mem(b.file("proc/meminfo"));
  mem << "MemTotal:       " << p.value("mem_kb", 262144) << " kB\n"
      << "MemFree:        " << p.value("free_kb", 131072) << " kB\n"
      << "Buffers:        " << p.value("buffers_kb", 2048) << " kB\n"
      << "Cached:         16384 kB\n";
  std::ofstream info(b.file("proc/cpuinfo"));
  if (p.contains("cpuinfo") && p["cpuinfo"].is_string()) {
    info << p["cpuinfo"].get<std::string>();
  } else {
    for (int c = 0; c < cpus; ++c)
      info << "processor\t: " << c << "\nmodel name\t: ARMv7 Processor rev 5 (v7l)\nBogoMIPS\t: 1987.37\n"
           << "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt vfpd32 lpae\n"
           << "CPU implementer\t: 0x41\nCPU architecture: 7\nCPU part\t: 0xc07\n\n";
    info << "Hardware\t: hi3536c\n";
  }
  if (!stat || !mem || !info) {
    *err = "cannot write the board's /proc files";
    return false;
  }
  return true;
}

std::unique_ptr<Device> open_plain(const Board&, const std::string&, int fd, int) {
  return std::make_unique<Device>(fd);
}

}  // namespace

const Model kProcStatModel = {"proc-stat", "/proc/stat", open_plain, provision_proc};

}  // namespace sim
