// The worker thread of one modem slot.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "cellular/internal.h"
#include "cellular/family.h"
#include "cellular/ps.h"

namespace cellular {

class Worker {
 public:
  Worker(Control& control, const Timing& timing, const DeviceMatch& match, Clock& clock);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // on_exit(slot, wants_hard_reset) runs on the worker thread as it ends.
  void Start(std::function<void(int, bool)> on_exit);
  void Stop() { stop_ = true; }  // the modem vanished: leave without a reset
  void Join();
  bool running() const { return running_; }
  const DeviceMatch& match() const { return match_; }

  // Pieces the tests drive on their own engine.
  void Run();

 private:
  void Loop();
  void Report(std::string_view line);
  int Cmd(const AtCmd& c);
  void RadioCycleIfDue();
  bool AtCheck();
  void FillDevInfo(const std::string& model, const std::string& manufacturer, const std::string& imei);
  void InitEc20();
  void InitGeneric();
  bool StatusEc20();
  bool StatusGeneric();
  bool StatusPoll(bool device_on);
  bool NoSignalCheck();
  bool SoftReset();
  void Publish();
  // The data call's pieces (worker_ps.cpp).
  void StartCall();
  int DialPpp(const AtCmd& c);
  void StepCall();
  // The other families (worker_ps.cpp).
  FamilyIo Io();

  Control& control_;
  const Timing& timing_;
  DeviceMatch match_;
  Clock& clock_;
  std::string at_name_, ppp_name_;
  osa::UniqueFd at_fd_, ppp_fd_;
  std::unique_ptr<AtEngine> engine_;
  std::unique_ptr<DataCall> call_;
  std::unique_ptr<ModemFamily> family_;
  bool sim_busy_ = false;
  std::thread thread_;
  std::function<void(int, bool)> on_exit_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};

  int sim_ = 0;
  int32_t radio_[16] = {};
  bool status_valid_ = false;
  int64_t last_poll_ms_ = 0;
  AtFailCount at_fail_;
  bool at_abnormal_ = false;
  bool no_service_ = false;
  NoSignalSchedule no_signal_{timing_};
  int cgreg_denied_ = 0;
  bool radio_cycle_due_ = false;
};

}  // namespace cellular
