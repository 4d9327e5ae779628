// The one way to hold state that lives once per process: a device set, a
// list of opened lines, the log registry.  The instance is built on first
// use and never destroyed, because reader threads and exit handlers may
// still reach it while static destructors run.
//
// A type that tests must be able to start afresh gives itself a member
// `void ResetForTest()`; osa::ResetSingletonsForTest() calls it on every
// instance built so far, the newest first (users before what they use).
#pragma once

namespace osa {

namespace detail {
// Remembers a reset hook; the hooks run newest first.
void RegisterSingletonReset(void (*reset)());
}  // namespace detail

template <typename T>
T& Singleton() {
  static T* instance = [] {
    T* t = new T;  // never deleted, see above
    if constexpr (requires { t->ResetForTest(); })
      detail::RegisterSingletonReset([] { Singleton<T>().ResetForTest(); });
    return t;
  }();
  return *instance;
}

// Tests only: forgets the state of every singleton that can be reset, so
// the next test (another simulated board) starts as a fresh process would.
void ResetSingletonsForTest();

}  // namespace osa
