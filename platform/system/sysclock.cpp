// The system clock hook: how the platform reads, sets and waits on system
// time.

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "osa/sys.h"
#include "platform/system/system.h"

namespace {

int real_now(timeval* tv) { return gettimeofday(tv, nullptr); }
int real_set(time_t secs) { return osa::sys::stime(secs); }
void real_sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const SystemClock kReal = {real_now, real_set, real_sleep};

std::atomic<const SystemClock*>& current() {
  static std::atomic<const SystemClock*> c{&kReal};
  return c;
}

}  // namespace

void SystemSetClock(const SystemClock* clock) { current() = clock ? clock : &kReal; }
const SystemClock& SystemGetClock() { return *current().load(); }
