// Internal to platform/system: the system device object shared by the
// files of this folder, and the few helpers they have in common.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "osa/osa.h"
#include "platform/gpio/gpio.h"
#include "platform/system/system.h"
#include "platform/uart/uart.h"

namespace sysdev {

inline constexpr int kMaxExitFuncs = 10;
inline constexpr int kSnLen = 128;

// The operations a board's record chooses once, when the device is built.
struct Ops {
  int (*Beep)(uint32_t freq, uint32_t ms);
  int (*StopBeep)();
  int (*Reboot)();
  int (*Shutdown)();
};

struct SysDev {
  std::atomic<int> Inited{0};
  SystemRes_t Res{};
  std::atomic<int> BeepState{0};
  int SnValid = 0;
  char Sn[kSnLen] = {};
  int BoardSnValid = 0;
  char BoardSn[kSnLen] = {};
  uint8_t ExitCount = 0;
  void (*ExitFuncs[kMaxExitFuncs])() = {};
  osa::Mutex ExitLock, BeepLock, InitLock, CpuLock;
  GpioDev_t* BeepGpio = nullptr;
  UartDev_t* BeepUart = nullptr;
  Ops Op{};
  CpuSample RtSample{};
  int RtUsage = 0;
  // Devices of families built later, plugged in by them.
  std::atomic<const SystemRtcOps*> Rtc{nullptr};
  std::atomic<const SystemWdgOps*> Wdg{nullptr};

  void ResetForTest();  // the system device as a fresh process finds it
};

SysDev& Dev();
inline bool Inited() { return Dev().Inited.load() == 1; }

// The variants SystemDevInit chooses from (power.cpp, buzzer.cpp); their
// names are the function names their log lines carry.
int reboot_watchdog();
int reboot_command();
int reboot_none();
int reboot_gpio();
int shutdown_watchdog();
int shutdown_poweroff();
int shutdown_halt();
int shutdown_none();
int beep_default(uint32_t freq, uint32_t ms);
int stop_default();
int beep_gpio(uint32_t freq, uint32_t ms);
int stop_gpio();
int beep_tty(uint32_t freq, uint32_t ms);
int stop_tty();
int beep_uart(uint32_t freq, uint32_t ms);
int stop_uart();

// The first line of `s`, at most `max` bytes.
std::string FirstLine(const std::string& s, std::size_t max);

}  // namespace sysdev
