// QMI messages and the qcqmi device: a reader thread takes every message
// off the device and hands the awaited reply to the one waiting request.
#include "cellular/qmi.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "cellular/log.h"
#include "osa/sys.h"

namespace cellular {

namespace {

void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}
uint16_t Get16(std::string_view s, std::size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

QmiTlv Byte(uint8_t type, uint8_t v) { return {type, std::string(1, static_cast<char>(v))}; }

std::string Hex(std::string_view b) {
  std::string out;
  char x[4];
  for (unsigned char c : b) {
    std::snprintf(x, sizeof x, "%02x ", c);
    out += x;
  }
  return out;
}

}  // namespace

const QmiTlv* QmiMsg::Find(uint8_t type) const {
  for (const auto& t : tlvs)
    if (t.type == type) return &t;
  return nullptr;
}

std::string QmiPack(const QmiMsg& m) {
  std::string body;
  for (const auto& t : m.tlvs) {
    body.push_back(static_cast<char>(t.type));
    Put16(body, static_cast<uint16_t>(t.value.size()));
    body += t.value;
  }
  std::string out(1, static_cast<char>(m.flags));
  Put16(out, m.txn);
  Put16(out, m.id);
  Put16(out, static_cast<uint16_t>(body.size()));
  return out + body;
}

std::optional<QmiMsg> QmiParse(std::string_view b, std::string* err) {
  auto bad = [&](const char* why) -> std::optional<QmiMsg> {
    if (err) *err = why;
    return std::nullopt;
  };
  if (b.size() < 7) return bad("message shorter than its header");
  if (b.size() > kQmiMax) return bad("message longer than 512 bytes");
  QmiMsg m;
  m.flags = static_cast<uint8_t>(b[0]);
  m.txn = Get16(b, 1);
  m.id = Get16(b, 3);
  std::size_t len = Get16(b, 5);
  if (len != b.size() - 7) return bad("TLV length disagrees with the message size");
  for (std::size_t at = 7; at < b.size();) {
    if (b.size() - at < 3) return bad("truncated TLV header");
    QmiTlv t;
    t.type = static_cast<uint8_t>(b[at]);
    std::size_t n = Get16(b, at + 1);
    if (n > b.size() - at - 3) return bad("TLV runs past the message");
    t.value.assign(b.substr(at + 3, n));
    m.tlvs.push_back(std::move(t));
    at += 3 + n;
  }
  return m;
}

bool QmiResult(const QmiMsg& m, uint16_t* result, uint16_t* error) {
  // The result TLV leads a reply; anything else is no proper reply.
  if (m.tlvs.empty() || m.tlvs[0].type != 2 || m.tlvs[0].value.size() < 4) return false;
  *result = Get16(m.tlvs[0].value, 0);
  *error = Get16(m.tlvs[0].value, 2);
  return true;
}

QmiMsg WdsStartRequest(const QmiCallParams& p) {
  QmiMsg m;
  m.id = kWdsStart;
  m.tlvs.push_back(Byte(0x30, p.cdma ? 2 : 1));
  if (!p.apn.empty()) m.tlvs.push_back({0x14, p.apn});
  if (!p.user.empty()) m.tlvs.push_back({0x17, p.user});
  if (!p.password.empty()) m.tlvs.push_back({0x18, p.password});
  if (!p.user.empty() && !p.password.empty())
    m.tlvs.push_back(Byte(0x16, p.auth == 0 ? 1 : p.auth == 1 ? 2 : 0));
  m.tlvs.push_back(Byte(0x19, 4));
  return m;
}

QmiMsg WdsStopRequest(uint32_t handle) {
  QmiMsg m;
  m.id = kWdsStop;
  std::string v(4, '\0');
  for (int i = 0; i < 4; ++i) v[i] = static_cast<char>(handle >> (8 * i));
  m.tlvs.push_back({0x01, v});
  return m;
}

std::optional<uint32_t> WdsStartHandle(const QmiMsg& r) {
  uint16_t res = 1, e = 0;
  if (!QmiResult(r, &res, &e) || res != 0 || e != 0) return std::nullopt;
  const QmiTlv* h = r.Find(0x01);
  if (!h || h->value.size() < 4) return std::nullopt;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<uint8_t>(h->value[i])) << (8 * i);
  return v;
}

bool WdsConnected(const QmiMsg& r) {
  const QmiTlv* s = r.Find(0x01);
  if (!s || s->value.empty()) return false;
  if (s->value.size() >= 2 && s->value[1] == 1) return false;  // reconfiguration required
  return s->value[0] == 2;
}

// ------------------------------------------------------------ device

QmiDevice::~QmiDevice() { Close(); }

void QmiDevice::Close() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  fd_.reset();
}

bool QmiDevice::EnsureOpen() {
  std::unique_lock lk(mu_);
  if (open_) return true;
  if (failed_ || !reader_.joinable()) {
    if (reader_.joinable()) {
      lk.unlock();
      stop_ = true;
      reader_.join();
      lk.lock();
    }
    failed_ = false;
    stop_ = false;
    reader_ = std::thread([this] { Reader(); });
  }
  // The reader opens the device; give it up to 16 s.
  for (int i = 0; i < 16 && !open_ && !failed_; ++i) cv_.wait_for(lk, std::chrono::seconds(1));
  return open_;
}

void QmiDevice::Reader() {
  int fd = osa::sys::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NET3G_LOG(2, "failed to open %s, errno: %d (%s)\n", path_.c_str(), errno, strerror(errno));
    std::lock_guard g(mu_);
    failed_ = true;
    cv_.notify_all();
    return;
  }
  if (osa::sys::ioctl(fd, kQmiGetClientId, reinterpret_cast<void*>(1)) < 0) {
    NET3G_LOG(2, "failed to get ClientID, errno: %d (%s)\n", errno, strerror(errno));
    osa::sys::close(fd);
    std::lock_guard g(mu_);
    failed_ = true;
    cv_.notify_all();
    return;
  }
  {
    std::lock_guard g(mu_);
    fd_.reset(fd);
    open_ = true;
    cv_.notify_all();
  }
  char buf[kQmiMax];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    int r = osa::sys::poll(&p, 1, 200);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      NET3G_LOG(2, "%s poll err/hup/inval\n", path_.c_str());
      break;
    }
    if (r == 0) continue;
    ssize_t n = osa::sys::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      NET3G_LOG(2, "%s poll err/hup/inval\n", path_.c_str());
      break;
    }
    std::string_view got(buf, static_cast<std::size_t>(n));
    NET3G_LOG(5, "qcqmi[%d]: %s\n", index_, Hex(got).c_str());
    std::string err;
    auto m = QmiParse(got, &err);
    if (!m) {
      NET3G_LOG(3, "qcqmi[%d]: message dropped: %s\n", index_, err.c_str());
      continue;
    }
    std::lock_guard g(mu_);
    if (m->flags == 2 && want_txn_ != 0 && m->txn == want_txn_ && m->id == want_id_) {
      reply_ = std::move(*m);
      want_txn_ = 0;
      cv_.notify_all();
    }
  }
  NET3G_LOG(4, "%s exit\n", path_.c_str());
  std::lock_guard g(mu_);
  open_ = false;
  failed_ = true;
  fd_.reset();
  cv_.notify_all();
}

std::optional<QmiMsg> QmiDevice::Request(QmiMsg req, int timeout_ms) {
  if (!EnsureOpen()) return std::nullopt;
  std::unique_lock lk(mu_);
  if (!open_) return std::nullopt;
  req.flags = 0;
  req.txn = next_txn_;
  next_txn_ = next_txn_ == 0xffff ? 1 : next_txn_ + 1;
  std::string bytes = QmiPack(req);
  want_txn_ = req.txn;
  want_id_ = req.id;
  reply_.reset();
  if (osa::sys::write(fd_.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    NET3G_LOG(2, "qcqmi[%d]: write failed: %s\n", index_, strerror(errno));
    want_txn_ = 0;
    return std::nullopt;
  }
  bool got = cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return reply_.has_value() || !open_; });
  want_txn_ = 0;
  if (!got) {
    NET3G_LOG(2, "%s pthread_cond_timeout_np=%d, errno: %d (%s)\n", "QmiThreadSendQMITimeout", timeout_ms, ETIMEDOUT,
              strerror(ETIMEDOUT));
    return std::nullopt;
  }
  return std::exchange(reply_, std::nullopt);
}

}  // namespace cellular
