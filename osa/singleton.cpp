// The reset hooks of the process-lifetime instances.

#include "osa/singleton.h"

#include <vector>

#include "osa/osa.h"

namespace osa {

namespace {

struct Resets {
  Mutex lock;
  std::vector<void (*)()> hooks;  // in the order the instances were built
};

Resets& resets() {
  static Resets* r = new Resets;  // the registry of the pattern itself, never destroyed
  return *r;
}

}  // namespace

void detail::RegisterSingletonReset(void (*reset)()) {
  Resets& r = resets();
  LockGuard g(r.lock);
  r.hooks.push_back(reset);
}

void ResetSingletonsForTest() {
  std::vector<void (*)()> hooks;
  {
    Resets& r = resets();
    LockGuard g(r.lock);
    hooks = r.hooks;
  }
  // A hook may build another instance; that one is new and needs no reset.
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
}

}  // namespace osa
