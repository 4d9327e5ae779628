// The data call over QMI (EC20 R2.0 and N720): start, query and stop the
// network interface with WDS requests on "/dev/qcqmiN", N from the modem's
// "lteN" interface.
#include <arpa/inet.h>

#include <cctype>

#include "cellular/log.h"
#include "cellular/ps_internal.h"
#include "cellular/qmi.h"

namespace cellular {

namespace {

constexpr int kStartTimeoutMs = 120000;
constexpr int kQueryTimeoutMs = 15000;
constexpr int kMaxQmiDevices = 4;

// The number after "lte" in a plain interface name; -1 for other names.
int LteNumber(const std::string& name) {
  std::size_t at = name.find("lte");
  if (at == std::string::npos || at + 3 >= name.size() || name.size() - at - 3 > 2) return -1;
  int n = 0;
  for (char c : name.substr(at + 3)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

class QmiFamily final : public CallFamily {
 public:
  explicit QmiFamily(int type) : type_(type) {}

  void Start(CallContext& c) override {
    if (!Prepare(c)) return;
    c.TakeNetAccess();
    const NetAccess& n = c.net;
    NET3G_LOG(4, "apn:%s user_name:%s passwd:%s auth:%d\n", n.apn.c_str(), n.user.c_str(),
              n.password.empty() ? "" : "******", n.auth);
    int mode = c.SysMode();
    QmiCallParams p;
    p.cdma = mode == 2 || mode == 4;
    p.apn = n.apn;
    p.user = n.user;
    p.password = n.password;
    p.auth = n.auth;
    if (p.cdma && type_ != 73 && AtArgSafe(n.user, 31) && AtArgSafe(n.password, 31))
      c.Cmd("at+qctpwdcfg=\"" + n.user + "\",\"" + n.password + "\"\r");
    if (auto r = dev_->Request(WdsStartRequest(p), kStartTimeoutMs)) {
      uint16_t res = 0, err = 0;
      if (auto h = WdsStartHandle(*r)) {
        handle_ = *h;
        NET3G_LOG(4, "qcqmi[%d]: %s WdsConnectionIPv4Handle: 0x%08x\n", index_, "qmi_wds_setup_data_call", *h);
      } else if (QmiResult(*r, &res, &err)) {
        NET3G_LOG(2, "qcqmi[%d]: %s QMUXResult = 0x%x, QMUXError = 0x%x\n", index_, "qmi_wds_setup_data_call", res,
                  err);
      } else {
        NET3G_LOG(2, "qcqmi[%d]: reply without result dropped\n", index_);
      }
    }
    c.Mark();
    c.SetState(kConnecting);
  }

  void Starting(CallContext& c) override { c.SetState(kConnecting); }
  void Connecting(CallContext& c) override { Query(c); }
  void Up(CallContext& c) override { Query(c); }

  void Close(CallContext& c) override {
    if (dev_ && handle_) {
      if (auto r = dev_->Request(WdsStopRequest(*handle_), kQueryTimeoutMs)) {
        uint16_t res = 1, err = 0;
        if (QmiResult(*r, &res, &err) && res == 0) handle_.reset();
      }
    }
    c.ClearLink();
    c.clock.SleepMs(4000);
    c.Mark();
    c.SetState(kDown);
  }

  void KillNow(CallContext& c) override {
    if (dev_) dev_->Close();
    osa::LockGuard g(c.control.mutex());
    if (c.control.slot(c.slot).qmi_device == index_) c.control.slot(c.slot).qmi_device = -1;
  }

 private:
  // The device, found once: refused when the name is unusable, the number
  // is beyond the driver's four devices or another modem uses it.
  bool Prepare(CallContext& c) {
    if (dev_) return true;
    if (refused_) return false;
    std::string name = c.netcard.empty() ? "lte0" : c.netcard;
    index_ = LteNumber(name);
    if (index_ < 0 || index_ >= kMaxQmiDevices) {
      NET3G_LOG(2, "no QMI device for network interface %s: data call refused\n", name.c_str());
      refused_ = true;
      return false;
    }
    {
      osa::LockGuard g(c.control.mutex());
      for (int i = 0; i < kSlots; ++i)
        if (i != c.slot && c.control.slot(i).qmi_device == index_) {
          NET3G_LOG(2, "/dev/qcqmi%d is used by the modem of index %d: data call refused\n", index_, i);
          return false;
        }
      c.control.slot(c.slot).qmi_device = index_;
    }
    if (type_ == 65 || type_ == 72) {
      NET3G_LOG(4, "module_dev_name[%s]\n", name.c_str());
      c.os.Shell("ifconfig " + name + " 10.5.1." + std::to_string(index_ + 1) + " netmask 255.255.0.0 up");
    }
    netcard_ = name;
    dev_ = std::make_unique<QmiDevice>("/dev/qcqmi" + std::to_string(index_), index_);
    return true;
  }

  void Query(CallContext& c) {
    bool up = false;
    if (dev_)
      if (auto r = dev_->Request(QmiMsg{0, 0, kWdsStatus, {}}, kQueryTimeoutMs)) up = WdsConnected(*r);
    if (up) {
      NET3G_LOG(5, "EC20 R2.0 ConnectionStatus: connect\n");
      uint32_t addr = 0, mask = 0;
      if (c.os.NetcardAddr(netcard_, &addr, &mask)) c.SetLink(addr, mask);
      if (c.State() != kUp) c.Mark();
      c.SetState(kUp);
      return;
    }
    NET3G_LOG(5, "EC20 R2.0 ConnectionStatus: disconnect\n");
    handle_.reset();
    if (c.Elapsed() > 29) {
      c.ClearLink();
      c.Mark();
      c.SetState(kClose);
    }
  }

  int type_;
  int index_ = -1;
  bool refused_ = false;
  std::string netcard_;
  std::unique_ptr<QmiDevice> dev_;
  std::optional<uint32_t> handle_;
};

}  // namespace

std::unique_ptr<CallFamily> MakeQmiFamily(int type) {
  if (type != 65 && type != 72 && type != 73) return nullptr;
  return std::make_unique<QmiFamily>(type);
}

}  // namespace cellular
