#include "sim/qmi_peer.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/device.h"
#include "sim/modem_families.h"
#include "sim/modems.h"
#include "sim/peers.h"

namespace sim {

namespace {

uint16_t Get16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}
void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}

std::string Tlv(uint8_t type, const std::string& v) {
  std::string t(1, static_cast<char>(type));
  Put16(t, static_cast<uint16_t>(v.size()));
  return t + v;
}

std::string Reply(uint16_t txn, uint16_t id, const std::string& tlvs) {
  std::string r(1, '\x02');
  Put16(r, txn);
  Put16(r, id);
  Put16(r, static_cast<uint16_t>(tlvs.size()));
  return r + tlvs;
}

std::string Result(uint16_t result, uint16_t error) {
  std::string v;
  Put16(v, result);
  Put16(v, error);
  return Tlv(0x02, v);
}

// While the call is up the modem's interface has its address (the seam
// answers it from this file).
void SetCallFile(const Board& b, int modem, bool up) {
  std::error_code ec;
  std::filesystem::create_directories(b.file("sim"), ec);
  std::ofstream(ModemCallFile(b, modem)) << (up ? "up" : "down") << "\n";
}

// The ioctl of the qcqmi driver: a WDS client for the opener.
class QcqmiDevice final : public Device {
 public:
  QcqmiDevice(const Board& b, std::string path, int fd) : Device(fd), b_(b), path_(std::move(path)) {}
  int ioctl(unsigned long request, void* arg) override {
    if (request != 0x8BE1) {
      errno = ENOTTY;
      return -1;
    }
    b_.event("qmi " + path_.substr(path_.size() - 1) + " client " + std::to_string(reinterpret_cast<uintptr_t>(arg)));
    return 0;
  }

 private:
  const Board& b_;
  std::string path_;
};

}  // namespace

int QmiDeviceOf(const nlohmann::json& m) {
  if (!m.is_object()) return -1;
  std::string fam = m.value("family", "");
  if (!m.contains("qmi") && fam != "quectel_lte_ec20_20" && fam != "neoway_lte_n720") return -1;
  std::string nc = m.value("netcard", "lte0");
  if (nc.size() != 4 || nc.compare(0, 3, "lte") != 0 || nc[3] < '0' || nc[3] > '3') return -1;
  return nc[3] - '0';
}

bool QmiPeers::Open(const Board& b, std::string* err) {
  const auto& modems = BoardModems(b);
  for (int i = 0; i < static_cast<int>(modems.size()); ++i) {
    int n = QmiDeviceOf(modems[i]);
    if (n < 0) continue;
    bool taken = false;
    for (auto& d : devs_) taken |= d.index == n;
    if (taken) continue;  // the first modem has the device, as the driver numbers them
    Dev d{i, n};
    if (!OpenRawPty(b.file("dev/qcqmi" + std::to_string(n)), &d.master, &d.slave, err)) return false;
    devs_.push_back(d);
  }
  return true;
}

void QmiPeers::AddFds(std::vector<pollfd>* p) const {
  for (const auto& d : devs_)
    if (d.master >= 0) p->push_back({d.master, POLLIN, 0});
}

void QmiPeers::Input(const Board& b, int fd) {
  for (auto& d : devs_) {
    if (d.master != fd) continue;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 7) return;
    std::string m(buf, static_cast<size_t>(n));
    uint16_t txn = Get16(m, 1), id = Get16(m, 3);
    char head[40];
    std::snprintf(head, sizeof head, "qmi %d 0x%04x", d.index, id);
    std::string line = head;
    for (size_t at = 7; at + 3 <= m.size();) {
      size_t len = Get16(m, at + 1);
      if (at + 3 + len > m.size()) break;
      char t[8];
      std::snprintf(t, sizeof t, " %02x=", static_cast<uint8_t>(m[at]));
      line += t;
      for (size_t k = 0; k < len; ++k) {
        char x[3];
        std::snprintf(x, sizeof x, "%02x", static_cast<uint8_t>(m[at + 3 + k]));
        line += x;
      }
      at += 3 + len;
    }
    b.event(line);
    const auto& modem = BoardModems(b)[d.modem];
    nlohmann::json q = modem.value("qmi", nlohmann::json::object());
    if (q.value("fault", "") == "hangup") {
      ::close(d.master);
      d.master = -1;
      return;
    }
    std::string reply;
    if (id == 0x0020) {
      std::string how = q.value("connect", "ok");
      if (how == "silent") return;
      if (how == "ok") {
        d.connected = true;
        SetCallFile(b, d.modem, true);
        reply = Reply(txn, id, Result(0, 0) + Tlv(0x01, std::string("\x78\x56\x34\x12", 4)));
      } else {
        reply = Reply(txn, id, Result(1, 0x0e));
      }
    } else if (id == 0x0021) {
      d.connected = false;
      SetCallFile(b, d.modem, false);
      reply = Reply(txn, id, Result(0, 0));
    } else if (id == 0x0022) {
      int st = d.connected ? q.value("status", 2) : 1;
      reply = Reply(txn, id, Result(0, 0) + Tlv(0x01, std::string{static_cast<char>(st), '\0'}));
    } else {
      reply = Reply(txn, id, Result(1, 0x47));  // not supported
    }
    ssize_t w = ::write(fd, reply.data(), reply.size());
    (void)w;
    return;
  }
}

namespace {

std::unique_ptr<Device> OpenQcqmi(const Board& b, const std::string& path, int fd, int) {
  return std::make_unique<QcqmiDevice>(b, path, fd);
}

}  // namespace

extern const Model kQcqmiModel;
const Model kQcqmiModel = {"qcqmi", "/dev/qcqmi*", OpenQcqmi, nullptr};

}  // namespace sim
