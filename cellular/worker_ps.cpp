// The worker's side of the data call: the call object on this modem's
// ports, and a data dial written to the PPP port.
#include "cellular/log.h"
#include "cellular/worker.h"

namespace cellular {

void Worker::StartCall() {
  CallModem m;
  m.cmd = [this](const AtCmd& c) { return Cmd(c); };
  m.dial = [this](const AtCmd& c) { return DialPpp(c); };
  m.release_ppp_port = [this] {
    if (ppp_name_ != at_name_) ppp_fd_.reset();
  };
  call_ = std::make_unique<DataCall>(control_, timing_, match_, match_.netcard, clock_, SystemCallOs(), std::move(m));
}

int Worker::DialPpp(const AtCmd& c) {
  if (ppp_name_ == at_name_) return Cmd(c);
  // A fresh open of the PPP port for every dial: the last daemon may have
  // left it in any state.
  ppp_fd_.reset();
  clock_.SleepMs(1000);
  ppp_fd_.reset(OpenModemPort(ppp_name_));
  if (!ppp_fd_) return -2;
  NET3G_LOG(5, "Open ppp_tty! \n");
  AtEngine e(ppp_fd_.get(), clock_, [this](std::string_view l) { Report(l); });
  return e.Run(c);
}

FamilyIo Worker::Io() {
  return FamilyIo{[this](const AtCmd& c) { return Cmd(c); }, control_, match_, &sim_, radio_, &status_valid_,
                  &sim_busy_,
                  [this](const std::string& model, const std::string& manufacturer, const std::string& imei) {
                    FillDevInfo(model, manufacturer, imei);
                  }};
}

void Worker::StepCall() {
  if (call_) call_->Step(radio_[6] != 0, no_signal_.resetting());
}

}  // namespace cellular
