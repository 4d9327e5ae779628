// CPU and memory statistics from /proc.

#include <sys/sysinfo.h>

#include <string>
#include <utility>
#include <vector>

#include "osa/file.h"
#include "osa/sys.h"
#include "platform/system/sysdev.h"

using sysdev::Dev;
using sysdev::SysDev;

namespace {
// At most `max` bytes of a /proc file (the start of a longer one).
bool read_text(const char* path, std::string* out, std::size_t max) {
  osa::ReadResult r = osa::ReadFile(path, max);
  if (!r.readable()) return false;
  *out = std::move(r.data);
  return true;
}

// Usage over the interval since `prev`, which becomes the new sample when
// at least 100 ticks have passed.
int usage_since(CpuSample* prev, int* last, const CpuSample& now) {
  auto total = [](const CpuSample& s) {
    return s.user + s.nice + s.system + s.idle + s.iowait + s.irq + s.softirq;
  };
  unsigned long long dt = total(now) - total(*prev);
  if (total(now) >= total(*prev) + 100) {
    unsigned long long di = now.idle - prev->idle;
    *last = static_cast<int>(100 - di * 100 / dt);
    *prev = now;
  }
  return *last;
}
}  // namespace

int SystemGetCPUUsage() {
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, -1, &s)) {
    DVR_ERROR("read /proc/stat failed\n");
    return OSA_EFAIL;
  }
  unsigned long long t = s.user + s.nice + s.system + s.idle;
  if (t == 0) return 0;
  auto pm = [&](unsigned long long v) { return v * 1000 / t; };
  DVR_INFO("CPU states: %2llu.%-llu%% user,%2llu.%-llu%% system, %2llu.%-llu%% nice, %2llu.%-llu%% idle\n",
           pm(s.user) / 10, pm(s.user) % 10, pm(s.system) / 10, pm(s.system) % 10, pm(s.nice) / 10, pm(s.nice) % 10,
           pm(s.idle) / 10, pm(s.idle) % 10);
  return static_cast<int>(100 - s.idle * 100 / t);
}

int SystemGetCPUUsageRt() {
  SysDev& d = Dev();
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, -1, &s)) {
    DVR_ERROR("read /proc/stat failed\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(d.CpuLock);
  return usage_since(&d.RtSample, &d.RtUsage, s);
}

int SystemGetCPUCoreNum() {
  std::string stat;
  int n = read_text("/proc/stat", &stat, 8192) ? CpuCountCores(stat) : -1;
  if (n < 0) DVR_ERROR("find no cpu in /proc/stat.\n");
  return n;
}

int SystemGetCPUUsageEx(int core) {
  struct CoreSample {
    CpuSample s{};
    int usage = 0;
  };
  static osa::Mutex lock;
  static std::vector<CoreSample>* samples = nullptr;
  if (!sysdev::Inited()) {
    DVR_ERROR("SystemDev Not Inited.\n");
    return OSA_EFAIL;
  }
  osa::LockGuard g(lock);
  if (!samples) {
    int n = SystemGetCPUCoreNum();
    if (n < 0) return OSA_EFAIL;
    DVR_INFO("Total Cpu Core:%d\n", n);
    samples = new std::vector<CoreSample>(static_cast<std::size_t>(n));
  }
  if (core < 0 || static_cast<std::size_t>(core) >= samples->size()) {
    DVR_ERROR("CPU Index error:(idx:%d corenum:%d)\n", core, static_cast<int>(samples->size()));
    DVR_ERROR("GetCpuUsageEx failed.(Index:%d)\n", core);
    return OSA_EFAIL;
  }
  std::string stat;
  CpuSample s;
  if (!read_text("/proc/stat", &stat, 8192) || !CpuParseStat(stat, core, &s)) {
    DVR_ERROR("no such cpu core: core id:%d\n", core);
    DVR_ERROR("GetCpuUsageEx failed.(Index:%d)\n", core);
    return OSA_EFAIL;
  }
  auto& cs = (*samples)[static_cast<std::size_t>(core)];
  return usage_since(&cs.s, &cs.usage, s);
}

int SystemGetCpuVersion(char* buf, int size) {
  std::string info;
  if (!buf || size <= 0 || !read_text("/proc/cpuinfo", &info, 1023) ||
      !CpuParseModel(info, buf, static_cast<std::size_t>(size))) {
    DVR_ERROR("SysGetCpuVersion failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int SystemGetMemInfo(uint32_t out[3]) {
  if (!out) {
    OSA_CHECK_FAIL("pMem");
    return OSA_EFAIL;
  }
  struct sysinfo si;
  if (osa::sys::sysinfo(&si) != 0) {
    DVR_ERROR("sysinfo failed\n");
    return OSA_EFAIL;
  }
  uint64_t total = static_cast<uint64_t>(si.totalram) * si.mem_unit / 1024;
  uint64_t free_ = static_cast<uint64_t>(si.freeram) * si.mem_unit / 1024;
  uint64_t buffers = static_cast<uint64_t>(si.bufferram) * si.mem_unit / 1024;
  out[0] = static_cast<uint32_t>(total);
  out[1] = static_cast<uint32_t>(free_);
  out[2] = static_cast<uint32_t>(buffers);
  return OSA_SOK;
}

