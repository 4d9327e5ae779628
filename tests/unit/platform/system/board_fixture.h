// Test support for the system device on a fresh simulated board.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "osa/singleton.h"
#include "platform/gpio/gpio.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"
#include "support/board_edit.h"

namespace systest {

inline nlohmann::json& sysrec(nlohmann::json& j) { return j["resource"]["records"]["SystemGetRes"]; }

inline bool has(const std::string& out, const std::string& what) { return out.find(what) != std::string::npos; }

inline int count_events(const testsupport::TempBoard& b, const std::string& prefix) {
  auto ev = b.events();
  return static_cast<int>(
      std::count_if(ev.begin(), ev.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Every test starts from a system device that has never been built.
class SystemDev : public testing::Test {
 protected:
  void SetUp() override { Forget(); }
  void TearDown() override { Forget(); }
  static void Forget() {
    osa::ResetSingletonsForTest();
  }
  void Edit(const std::function<void(nlohmann::json&)>& fn) {
    testsupport::EditBoard(board_, [&](auto& j) { fn(sysrec(j)); });
  }
  testsupport::TempBoard board_;
};

}  // namespace systest
