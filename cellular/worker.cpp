// The worker of one modem: initialise it by its family's commands, poll its
// status, apply the target state the control socket set, and leave on a
// fault so the main loop can power-cycle it.
#include "cellular/worker.h"

#include <unistd.h>

#include <cstring>

#include "cellular/log.h"
#include "osa/sys.h"

namespace cellular {

namespace {

constexpr int kPollPeriodMs = 30000;
constexpr int kCgregDeniedMax = 5;
constexpr int kFamilyEc20 = 35;

enum Radio { kSysMode = 0, kTdScdma, kWcdma, kCdma1x, kEdge, kEvdo, kSignalValid, kLte, kFddLte, kMixLte, kNr };

}  // namespace

Worker::Worker(Control& control, const Timing& timing, const DeviceMatch& match, Clock& clock)
    : control_(control), timing_(timing), match_(match), clock_(clock) {
  at_name_ = std::string(match.info.tty_prefix) + std::to_string(match.at_port);
  ppp_name_ = std::string(match.info.tty_prefix) + std::to_string(match.ppp_port);
}

Worker::~Worker() { Join(); }

void Worker::Start(std::function<void(int, bool)> on_exit) {
  on_exit_ = std::move(on_exit);
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void Worker::Join() {
  if (thread_.joinable()) thread_.join();
}

void Worker::Report(std::string_view line) {
  if (call_ && call_->Report(line)) return;
  if (family_) {
    FamilyIo io = Io();
    if (family_->Report(io, line)) return;
  }
  if (line.find("+CME ERROR: SIM busy") != std::string_view::npos) {
    NET3G_LOG(4, "sim notify: %.*s \n", static_cast<int>(line.size()), line.data());
  } else if (line.find("+CME ERROR: SIM failure") != std::string_view::npos) {
    sim_ = 1;
  } else if (line.find("+CGREG: 3") != std::string_view::npos) {
    // Counted per modem; the radio cycle runs after the command, outside the engine.
    if (++cgreg_denied_ >= kCgregDeniedMax) {
      cgreg_denied_ = 0;
      radio_cycle_due_ = true;
    }
  }
}

int Worker::Cmd(const AtCmd& c) {
  int r = engine_->Run(c);
  RadioCycleIfDue();
  return r;
}

void Worker::RadioCycleIfDue() {
  if (!radio_cycle_due_) return;
  radio_cycle_due_ = false;
  NET3G_LOG(4, "registration denied %d times, radio off and on\n", kCgregDeniedMax);
  engine_->Run(CfunCmd(0));
  clock_.SleepMs(1000);
  engine_->Run(CfunCmd(1));
}

bool Worker::AtCheck() {
  for (int i = 0; i < 3; ++i)
    if (Cmd(AtCheckCmd()) == 0) {
      at_abnormal_ = false;
      return true;
    }
  bool given_up = at_fail_.Failed();
  NET3G_LOG(4, "current at cmd fail count[%d]\n", given_up ? AtFailCount::kMax : at_fail_.count());
  if (given_up) {
    at_abnormal_ = true;
    NET3G_LOG(4, "at cmd fail has reached max count[%d],now set at_abnormal_flag 1\n", AtFailCount::kMax);
    return false;
  }
  return true;
}

void Worker::FillDevInfo(const std::string& model, const std::string& manufacturer, const std::string& imei) {
  std::string rec(kDevInfoLen, '\0');
  int slot = match_.slot;
  PutInt(rec, 0, slot);
  PutText(rec, 4, 32, "ppp" + std::to_string(slot + 5));
  PutText(rec, 36, 64, model);
  uint32_t mask = match_.row == kFallbackRow ? 0x80 : match_.info.mask;
  PutInt(rec, 100, static_cast<int32_t>(mask));
  PutText(rec, 108, 64, manufacturer);
  PutText(rec, 172, 16, imei);
  PutText(rec, 204, 32, match_.info.name);
  osa::LockGuard g(control_.mutex());
  control_.slot(slot).dev_info = rec;
}

void Worker::InitEc20() {
  AtCmd ati;
  ati.text = "ATI\r";
  ati.timeout_ms = 1000;
  ati.sends = 2;
  ati.reads = 2;
  std::string text;
  AtiInfo info;
  // The answer spans lines: collect them until the IMEI line arrives.
  ati.parse = [&](std::string_view line) {
    text.append(line).append("\n");
    return ParseAti(text, &info) ? 1 : 0;
  };
  if (Cmd(ati) != 0) NET3G_LOG(4, "Fail to get ati\n");
  FillDevInfo(info.model.empty() ? match_.info.name : info.model, info.manufacturer, info.imei);
  struct Step {
    AtCmd cmd;
    const char* fail;
  } const steps[] = {
      {CfunCmd(1), "Fail to process CFUN"},
      {SimpleCmd("ATH\r", 1000, 2, 2), "Fail to process ATH"},
      {SimpleCmd("ATE0\r", 1000, 1, 2), "Fail to process ATE0"},
      {SimpleCmd("AT+CREG=1\r", 500, 2, 2), "Fail to process CREG"},
      {SimpleCmd("at+cpms=\"SM\",\"SM\",\"SM\"\r", 500, 2, 2), "Fail to process CPMS"},
      {SimpleCmd("at+cnmi=1,1,0,0,0\r", 500, 1, 2), "Fail to process CNMI"},
      {SimpleCmd("AT+CMGD=0,4\r", 1000, 1, 2), "Fail to process CMGD"},
  };
  for (const auto& s : steps)
    if (Cmd(s.cmd) != 0) NET3G_LOG(4, "%s\n", s.fail);
}

void Worker::InitGeneric() {
  Cmd(CfunCmd(0));
  if (Cmd(CfunCmd(1)) != 0) NET3G_LOG(4, "Fail to process CFUN1\n");
  if (match_.row == kFallbackRow)
    FillDevInfo(match_.product_name, match_.manufacturer, "");
  else
    FillDevInfo(match_.info.name, match_.info.manufacturer, "");
}

bool Worker::StatusEc20() {
  sim_ = 1;
  AtCmd cpin;
  cpin.text = "AT+CPIN?\r";
  cpin.sends = 2;
  cpin.parse = [&](std::string_view l) {
    int s = ParseCpin(l);
    if (s < 0) return 0;
    sim_ = s;
    return 1;
  };
  if (Cmd(cpin) != 0) NET3G_LOG(4, "Fail to process CPIN\n");
  auto no_service = [&] {
    status_valid_ = false;
    std::memset(radio_, 0, sizeof radio_);
    return false;
  };
  if (sim_ <= 1) return no_service();
  AtCmd cgreg;
  cgreg.text = "AT+CGREG?\r";
  int mode = 0;
  cgreg.parse = [&](std::string_view l) {
    auto st = ParseCgreg(l);
    if (!st) return 0;
    NET3G_LOG(4, "get cgreg: %.*s\n", static_cast<int>(l.size()), l.data());
    mode = (*st == 1 || *st == 5) ? 11 : 0;
    return 1;
  };
  if (Cmd(cgreg) != 0) {
    NET3G_LOG(4, "Fail to process CGREG\n");
    return false;
  }
  if (mode == 0) {
    NET3G_LOG(4, "Fail to get network system mode\n");
    return no_service();
  }
  status_valid_ = true;
  AtCmd cimi;
  cimi.text = "AT+CIMI\r";
  cimi.sends = 2;
  std::string imsi;
  cimi.parse = [&](std::string_view l) {
    auto v = ParseImsi(l);
    if (!v) return 0;
    imsi = *v;
    return 1;
  };
  if (Cmd(cimi) != 0) NET3G_LOG(4, "Fail to process cimi\n");
  AtCmd csq;
  csq.text = "AT+CSQ\r";
  int v = 99;
  csq.parse = [&](std::string_view l) {
    auto n = ParseCsq(l);
    if (!n) return 0;
    v = *n;
    return v > 98 ? -1 : 1;
  };
  if (Cmd(csq) != 0) NET3G_LOG(4, "Fail to process CSQ\n");
  std::memset(radio_, 0, sizeof radio_);
  radio_[kSysMode] = mode;
  if (!imsi.empty()) {
    osa::LockGuard g(control_.mutex());
    control_.slot(match_.slot).imsi = imsi;
  }
  if (v < 32) {
    radio_[kWcdma] = radio_[kEdge] = CsqToSignal(v);
    radio_[kSignalValid] = 1;
    return true;
  }
  return false;
}

bool Worker::StatusGeneric() {
  sim_ = 2;
  std::memset(radio_, 0, sizeof radio_);
  radio_[kSysMode] = 7;
  radio_[kWcdma] = radio_[kEdge] = 60;
  radio_[kSignalValid] = 1;
  status_valid_ = true;
  return true;
}

bool Worker::SoftReset() {
  if (Cmd(CfunCmd(0)) != 0) NET3G_LOG(4, "Fail to process CFUN = 0\n");
  if (Cmd(CfunCmd(1)) != 0) NET3G_LOG(4, "Fail to process CFUN = 1\n");
  if (match_.info.type == 37) Cmd(SimpleCmd("at+cops=0\r", 500, 1, 2));  // the U8300 re-selects its operator
  return true;
}

bool Worker::NoSignalCheck() {
  switch (no_signal_.Poll()) {
    case NoSignalSchedule::Step::Wait:
      return true;
    case NoSignalSchedule::Step::SoftReset:
      NET3G_LOG(4, "no rssi software reset\n");
      SoftReset();
      return true;
    case NoSignalSchedule::Step::HardReset:
      no_service_ = true;
      NET3G_LOG(4, "no rssi hardware reset\n");
      return false;
  }
  return true;
}

void Worker::Publish() {
  osa::LockGuard g(control_.mutex());
  SlotState& s = control_.slot(match_.slot);
  s.sim = sim_;
  std::memcpy(s.radio, radio_, sizeof radio_);
}

bool Worker::StatusPoll(bool device_on) {
  if (!engine_->Drain(1000)) {
    NET3G_LOG(4, "Fail to read urc!\n");
    if (!AtCheck()) return false;
  }
  if (!device_on) {
    std::memset(radio_, 0, sizeof radio_);
    sim_ = 0;
    status_valid_ = false;
    Publish();
    return true;
  }
  int64_t now = clock_.NowMs();
  if (last_poll_ms_ != 0 && now >= last_poll_ms_ && now - last_poll_ms_ < kPollPeriodMs) return true;
  last_poll_ms_ = now == 0 ? 1 : now;
  bool ec20 = match_.info.type == kFamilyEc20;
  if (family_) {
    FamilyIo io = Io();
    family_->Status(io);
    if (sim_busy_) return false;
  } else if (ec20) {
    StatusEc20();
  } else {
    StatusGeneric();
  }
  NET3G_LOG(4,
            "sim_state = %d, sys_mod = %d, td_scdma = %d, edge = %d, wcdma = %d, evdo = %d, cdma_1x = %d, lte = %d, "
            "fdd_lte = %d, mix_lte = %d,nr = %d, dBm = -%d\n",
            sim_, radio_[kSysMode], radio_[kTdScdma], radio_[kEdge], radio_[kWcdma], radio_[kEvdo], radio_[kCdma1x],
            radio_[kLte], radio_[kFddLte], radio_[kMixLte], radio_[kNr], 113 - 2 * (radio_[kWcdma] * 31 / 99));
  Publish();
  if (sim_ >= 2) {
    if (status_valid_ && radio_[kSignalValid]) {
      no_signal_.SignalBack();
      return true;
    }
    return NoSignalCheck();
  }
  return AtCheck();
}

void Worker::Run() {
  const int slot = match_.slot;
  NET3G_LOG(4, "succeed in creating radio_process_thd tid=%d index:%d\n", static_cast<int>(gettid()), slot);
  NET3G_LOG(4, "dev_ctl->at_tty_name=%s\n", at_name_.c_str());
  bool module_exited = false;
  at_fd_.reset(OpenModemPort(at_name_));
  ppp_fd_.reset(at_name_ == ppp_name_ ? -1 : OpenModemPort(ppp_name_));
  if (!at_fd_ || (at_name_ != ppp_name_ && !ppp_fd_)) {
    NET3G_LOG(4, "Fail to open ttyUSB, need hard_reset module\n");
  } else {
    engine_ = std::make_unique<AtEngine>(at_fd_.get(), clock_, [this](std::string_view l) { Report(l); });
    Publish();
    StartCall();
    for (int i = 0; i < 100 && !stop_; ++i) clock_.SleepMs(100);  // let the module settle
    if (!stop_ && AtCheck()) {
      family_ = MakeFamily(match_.info.type);
      FamilyIo io = Io();
      if (family_)
        family_->Init(io);
      else if (match_.info.type == kFamilyEc20)
        InitEc20();
      else
        InitGeneric();
      Loop();
    }
  }
  module_exited = stop_.load();
  // Exit path: the daemon goes first.
  if (call_) call_->KillNow();
  call_.reset();
  std::memset(radio_, 0, sizeof radio_);
  sim_ = 0;
  {
    osa::LockGuard g(control_.mutex());
    SlotState& s = control_.slot(slot);
    s.dev_state = 0;
    s.working = false;
    s.sim = 0;
    std::memset(s.radio, 0, sizeof s.radio);
    s.call_state = 0;
    s.addr = s.mask = s.gateway = 0;
  }
  engine_.reset();
  at_fd_.reset();
  ppp_fd_.reset();
  NET3G_LOG(4, "The radio_process_thd thd:%d exit!\n", static_cast<int>(gettid()));
  running_ = false;
  if (on_exit_) on_exit_(slot, !module_exited);
}

void Worker::Loop() {
  const int slot = match_.slot;
  bool first_on = true;
  for (;;) {
    if (stop_) return;
    if (no_service_ || at_abnormal_ || sim_busy_) {
      if (Cmd(CfunCmd(0)) != 0) NET3G_LOG(4, "set_cfun_cmd failed\n");
      NET3G_LOG(4,
                "The radio_process_thd will exit!,reason:no_service_rssi_flag[%d],at_abnormal_flag[%d],"
                "module_exit_flag[%d],sim_busy_flag[%d]\n",
                no_service_ ? 1 : 0, at_abnormal_ ? 1 : 0, 0, sim_busy_ ? 1 : 0);
      return;
    }
    bool on = false, leave = false, reset = false;
    std::string debug_at;
    {
      osa::LockGuard g(control_.mutex());
      SlotState& s = control_.slot(slot);
      switch (s.target) {
        case 1:
          if (first_on) first_on = false;
          on = true;
          s.dev_state = 3;
          s.working = true;
          break;
        case 0:
          s.dev_state = 0;
          s.working = false;
          break;
        case 4:
          on = true;
          s.dev_state = 3;
          s.working = true;
          break;
        default:
          NET3G_LOG(4, "Device state is invalid!\n");
      }
      leave = std::exchange(s.close_requested, false);
      reset = std::exchange(s.reset_requested, false);
      debug_at = std::exchange(s.debug_at, {});
    }
    if (reset) {
      // A reset request: radio off now, then the main loop power-cycles it.
      Cmd(CfunCmd(0));
      return;
    }
    if (leave) {
      Cmd(CfunCmd(0));
      NET3G_LOG(4, "Send cfun=0 to module, and module will be power off!!\n");
      return;
    }
    if (call_ && call_->PortBusy()) {
      // The PPP daemon owns the only port: neither read nor write it.
      clock_.SleepMs(1000);
      StepCall();
      continue;
    }
    bool polled = StatusPoll(on);
    RadioCycleIfDue();  // denials reported between commands
    if (!polled) continue;
    if (family_) {
      FamilyIo io = Io();
      family_->Pass(io);
    }
    StepCall();
    if (!debug_at.empty()) {
      AtCmd c = SimpleCmd(debug_at.c_str(), 1000, 1, 2);
      c.parse = [](std::string_view l) {
        NET3G_LOG(4, "at_cmd reply: %.*s\n", static_cast<int>(l.size()), l.data());
        return l.substr(0, 2) == "OK" ? 1 : 0;
      };
      NET3G_LOG(4, "at_cmd result %d\n", Cmd(c));
    }
  }
}

}  // namespace cellular
