// QMI service messages as the qcqmi driver takes them: control flags (0
// request, 2 reply), transaction id, message id, TLV length, then TLVs of
// type (1 byte), length (2 bytes) and value; all little-endian.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "osa/osa.h"

namespace cellular {

inline constexpr std::size_t kQmiMax = 512;
inline constexpr unsigned long kQmiGetClientId = 0x8BE1;
inline constexpr uint16_t kWdsStart = 0x0020, kWdsStop = 0x0021, kWdsStatus = 0x0022;

struct QmiTlv {
  uint8_t type = 0;
  std::string value;
};

struct QmiMsg {
  uint8_t flags = 0;
  uint16_t txn = 0;
  uint16_t id = 0;
  std::vector<QmiTlv> tlvs;
  const QmiTlv* Find(uint8_t type) const;
};

std::string QmiPack(const QmiMsg& m);
// A whole message: every TLV inside the stated length, the stated length
// the bytes given.  nullopt with *err otherwise.
std::optional<QmiMsg> QmiParse(std::string_view bytes, std::string* err);
// Result and error codes of a reply's result TLV (type 2); false when the
// reply has none or it is short.
bool QmiResult(const QmiMsg& m, uint16_t* result, uint16_t* error);

// The WDS requests of the data call.
struct QmiCallParams {
  bool cdma = false;  // system mode CDMA 1x or EVDO
  std::string apn, user, password;
  int auth = 2;  // 0 PAP, 1 CHAP, 2 none
};
QmiMsg WdsStartRequest(const QmiCallParams& p);
QmiMsg WdsStopRequest(uint32_t handle);
// 0x0020 reply: the packet data handle (TLV 1), when the result is success.
std::optional<uint32_t> WdsStartHandle(const QmiMsg& reply);
// 0x0022 reply: connected (status 2, no reconfiguration asked).
bool WdsConnected(const QmiMsg& reply);

// One "/dev/qcqmiN" with its reader thread; one request at a time.
class QmiDevice {
 public:
  QmiDevice(std::string path, int index) : path_(std::move(path)), index_(index) {}
  ~QmiDevice();
  QmiDevice(const QmiDevice&) = delete;
  QmiDevice& operator=(const QmiDevice&) = delete;

  // Sends `req` (its transaction id is set here) and waits for the reply.
  std::optional<QmiMsg> Request(QmiMsg req, int timeout_ms);
  void Close();

 private:
  void Reader();
  bool EnsureOpen();

  std::string path_;
  int index_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::thread reader_;
  osa::UniqueFd fd_;
  bool open_ = false;    // the reader has the device and a client id
  bool failed_ = false;  // the reader gave up
  std::atomic<bool> stop_{false};
  uint16_t next_txn_ = 1;
  uint16_t want_txn_ = 0, want_id_ = 0;
  std::optional<QmiMsg> reply_;
};

}  // namespace cellular
