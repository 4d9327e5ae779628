// The control protocol: framing, record layouts and the command table.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cellular/cellular.h"
#include "cellular/log.h"
#include "osa/sys.h"

namespace cellular {

namespace {

struct Name {
  int32_t code;
  const char* name;
};

constexpr Name kCommandNames[] = {
    {1, "GET_SMS"}, {2, "PUT_SMS"}, {3, "GET_DIALOG"}, {4, "GET_DEV_STATUS"}, {5, "OPEN_PPP"},
    {6, "CLOSE_PPP"}, {7, "SET_SYSMOD"}, {8, "OPEN_RING"}, {9, "CLOSE_RING"}, {10, "GET_SIM_INFO"},
    {11, "SET_RX_VOLUME"}, {12, "GET_RX_VOLUME"}, {13, "UNLOCK_PIN"}, {14, "GET_GPS_DATA"},
    {15, "SET_DEV_CONFIG"}, {16, "GET_DEV_CONFIG"}, {17, "OPEN_DEV"}, {18, "CLOSE_DEV"}, {19, "RESET_DEV"},
    {20, "GET_DEV_STATE"}, {21, "SET_NETACCESS"}, {23, "GET_MODULE_VERSION"}, {128, "GET_DEV_INFO"},
    {129, "SAVE_LOG"}, {130, "GET_COURSE_VERSION"}, {131, "POWER_OFF_NOTICE"}, {132, "PUT_CID_CODE"},
    {133, "FIRMWARE_UPDATE"}, {134, "GET_UPDATE_STATE"}, {135, "SIM800_GPRS_SET_CFG"},
    {136, "SIM800_GPRS_GET_INFO"}, {137, "SIM800_GPRS_SENDDATA"}, {138, "SIM800_GPRS_RECVDATA"},
    {139, "GET_DTMF_CODE"}, {140, "PLAY_TTS"}, {141, "STOP_TTS"}, {142, "GET_TTS_STATE"}, {143, "GET_NMR"},
};

constexpr Name kResultNames[] = {
    {-1, "INDEX_INVAIL"}, {-2, "DEV_UNEXIST"}, {-4, "VERSION_INVAIL"}, {-5, "GET_DEV_ERROR"},
    {-6, "SEND_SMS_FULL"}, {-7, "RECV_SMS_EMPTY"}, {-8, "CALLER_EMPTY"}, {-9, "INVAIL_REP"},
    {-10, "DEV_POWER_ON"}, {-11, "DEV_CLOSING"}, {-12, "PPP_OPENED"}, {-13, "DEV_INITING"},
    {-15, "PARAM_INAIL"}, {-16, "FAIL_GET_STATE"}, {-18, "FAIL_OPEN_CONFIG"}, {-19, "FAIL_CREATE_CONFIG"},
    {-20, "SAVE_CONFIG_FAIL"}, {-21, "PPP_UNCLOSED"}, {-22, "RING_BUSY"}, {-100, "FATAL_ERROR"},
    {-101, "CMD_SEND_FAIL"}, {-102, "CMD_RECV_FAIL"}, {-103, "API_UNINIT"}, {-104, "CREATE_SOCK_FAIL"},
    {-105, "FAIL_START"}, {-106, "FAIL_CLOSE"}, {-107, "FAIL_CLOSE"},
};

const char* Lookup(const Name* table, std::size_t n, int32_t code) {
  for (std::size_t i = 0; i < n; ++i)
    if (table[i].code == code) return table[i].name;
  return "unknown";
}

// Commands the dispatcher serves (the SIM800 socket set-up and receive are
// named in logs only).
bool Served(int32_t cmd) {
  if (cmd == SIM800_GPRS_SET_CFG || cmd == SIM800_GPRS_GET_INFO || cmd == SIM800_GPRS_RECVDATA) return false;
  return std::strcmp(Lookup(kCommandNames, std::size(kCommandNames), cmd), "unknown") != 0 || cmd == GET_NETACCESS;
}

constexpr int kDevConfigState = 4;
constexpr int kDevConfigMtu = 328;
constexpr int kDevConfigSysmode = 520;

}  // namespace

const char* CommandName(int32_t cmd) { return Lookup(kCommandNames, std::size(kCommandNames), cmd); }
const char* ResultName(int32_t r) { return Lookup(kResultNames, std::size(kResultNames), r); }

const char* StateName(int s) {
  static const char* const n[] = {"POWER_OFF", "POWER_ON", "DEV_REDAY", "DEV_WORKING", "PPP_ON",
                                  "HARD_RESET_ENABLE", "HARD_RESET_DISABLE"};
  return s >= 0 && s < 7 ? n[s] : "INDEX_INVALID";
}

const char* SimStateName(int s) {
  static const char* const n[] = {"MOBILE_SIM_UNKNOW", "MOBILE_SIM_UNEXIST", "MOBILE_SIM_EXIST", "MOBILE_SIM_PIN",
                                  "MOBILE_SIM_PUK"};
  return s >= 0 && s < 5 ? n[s] : "INDEX_INVALID";
}

const char* SysModeName(int m) {
  switch (m) {
    case 2: return "CDMA_1X";
    case 3: return "EDGE";
    case 4: return "EVDO";
    case 5: return "WCDMA";
    case 7: return "AUTOSEL";
    case 8: return "TD_SCDMA";
    case 9: return "LTE";
    case 10: return "FDD_LTE";
    case 12: return "3G_4G_AUTOSEL";
    default: return "Invalid";
  }
}

void PutInt(std::string& rec, std::size_t off, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) rec[off + i] = static_cast<char>((u >> (8 * i)) & 0xff);
}

int32_t GetInt(std::string_view rec, std::size_t off) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(static_cast<unsigned char>(rec[off + i])) << (8 * i);
  return static_cast<int32_t>(u);
}

void PutText(std::string& rec, std::size_t off, std::size_t field, std::string_view text) {
  std::size_t n = std::min(text.size(), field - 1);
  std::memcpy(&rec[off], text.data(), n);
  std::memset(&rec[off + n], 0, field - n);
}

std::string GetText(std::string_view rec, std::size_t off, std::size_t field, std::size_t keep) {
  std::string_view f = rec.substr(off, field);
  std::size_t end = f.find('\0');
  f = f.substr(0, std::min({end, keep, f.size()}));
  return std::string(f);
}

Frame TakeRequest(std::string& buf, Request* out) {
  if (buf.size() < 8) return Frame::NeedMore;
  int32_t len = GetInt(buf, 0);
  if (len < static_cast<int32_t>(kHeaderLen) || len > static_cast<int32_t>(kMaxRequest)) return Frame::Bad;
  if (buf.size() < static_cast<std::size_t>(len)) return Frame::NeedMore;
  out->len = len;
  out->cmd = GetInt(buf, 4);
  out->index = GetInt(buf, 8);
  out->payload.assign(buf, kHeaderLen, static_cast<std::size_t>(len) - kHeaderLen);
  buf.erase(0, static_cast<std::size_t>(len));
  return Frame::Ready;
}

std::string PackReply(int32_t cmd, int32_t result, std::string_view payload) {
  std::string r(kHeaderLen, '\0');
  PutInt(r, 0, static_cast<int32_t>(kHeaderLen + payload.size()));
  PutInt(r, 4, cmd);
  PutInt(r, 8, result);
  r.append(payload);
  return r;
}

std::string PackRequest(int32_t cmd, int32_t index, std::string_view payload) {
  return PackReply(cmd, index, payload);  // same three-word header
}

Control::Control() {
  for (int i = 0; i < kSlots; ++i) {
    PutInt(slots_[i].dev_config, kDevConfigMtu, 1492);
    slots_[i].ppp_unit = i + 5;
  }
}

// Standard input, output and error to a new file in `dir`, named by the time.
int32_t Control::SaveLog(const std::string& dir) {
  if (dir.empty() || dir.find_first_of("\r\n") != std::string::npos) return PARAM_INAIL;
  char name[64];
  time_t now = time(nullptr);
  struct tm tm {};
  if (now != static_cast<time_t>(-1) && localtime_r(&now, &tm))
    std::snprintf(name, sizeof name, "3G_%04d%02d%02d_%02d%02d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  else
    std::snprintf(name, sizeof name, "3G_%d.txt", ++save_log_count_);
  std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) {
    NET3G_LOG(2, "cannot create %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  for (int std_fd = 0; std_fd < 3; ++std_fd) dup2(fd.get(), std_fd);
  SetLogThreshold(4);
  NET3G_LOG(4, "log saved to %s\n", path.c_str());
  return 0;
}

Reply Control::Handle(const Request& req) {
  Reply rep;
  if (!Served(req.cmd)) {
    NET3G_LOG(4, "unknown command %d dropped\n", req.cmd);
    return rep;
  }
  std::string out;
  int32_t result;
  if (req.index < 0 || req.index >= kSlots) {
    result = INDEX_INVAIL;
  } else {
    osa::LockGuard g(mu_);
    result = Serve(req, slots_[req.index], &out);
  }
  if (result < 0) {
    NET3G_LOG(4, "cmd %s index %d: result %d %s\n", CommandName(req.cmd), req.index, result, ResultName(result));
    out.clear();
  }
  rep.send = true;
  rep.bytes = PackReply(req.cmd, result, out);
  return rep;
}

int32_t Control::Serve(const Request& req, SlotState& s, std::string* out) {
  const std::string& p = req.payload;
  switch (req.cmd) {
    case GET_SMS: return RECV_SMS_EMPTY;
    case GET_DIALOG: return CALLER_EMPTY;
    case PUT_SMS: {
      if (s.target == 0) return DEV_CLOSING;
      if (p.size() < 24) return PARAM_INAIL;
      int32_t n = GetInt(p, 0);
      if (n < 1 || n > 16) return PARAM_INAIL;
      for (int i = 0; i < n; ++i)
        if (p[8 + i] < '0' || p[8 + i] > '9') {
          NET3G_LOG(4, "contain wrong number\n");
          return PARAM_INAIL;
        }
      NET3G_LOG(4, "short message service not available, message dropped\n");
      return 0;
    }
    case GET_DEV_STATUS: {
      std::string r(kDevStatusLen, '\0');
      PutInt(r, 0, s.sim);
      PutInt(r, 4, s.call_state);
      std::memcpy(&r[8], &s.addr, 4);
      std::memcpy(&r[12], &s.mask, 4);
      std::memcpy(&r[16], &s.gateway, 4);
      for (int i = 0; i < 16; ++i) PutInt(r, 136 + 4 * i, s.radio[i]);
      *out = std::move(r);
      return 0;
    }
    case OPEN_PPP: {
      if (p.size() < kNetAccessReqLen) return PARAM_INAIL;
      NetAccess n;
      n.apn = GetText(p, 0, 32, 31);
      n.dial = GetText(p, 32, 32, 31);
      n.user = GetText(p, 64, 128, 31);
      n.password = GetText(p, 192, 128, 31);
      n.mtu = GetInt(p, 320);
      n.auth = GetInt(p, 324);
      if (n.apn.empty()) {
        NET3G_LOG(4, "apn can't be NULL!\n");
        return PARAM_INAIL;
      }
      if (n.dial.empty()) {
        NET3G_LOG(4, "dail_num can't be NULL!\n");
        return PARAM_INAIL;
      }
      if (n.mtu < 128 || n.mtu > 16384) {
        NET3G_LOG(4, "mtu: %d is invalid!\n", n.mtu);
        return PARAM_INAIL;
      }
      if (n.auth < 0 || n.auth > 2 || !AtArgSafe(n.apn, 31) || !AtArgSafe(n.dial, 31) || !AtArgSafe(n.user, 31) ||
          !AtArgSafe(n.password, 31)) {
        NET3G_LOG(4, "network access text not usable in a modem command\n");
        return PARAM_INAIL;
      }
      s.net = std::move(n);
      s.target = 4;
      return 0;
    }
    case CLOSE_PPP:
      if (s.target == 4) s.target = 1;
      return 0;
    case SET_SYSMOD: {
      if (p.size() < 4) return PARAM_INAIL;
      int32_t m = GetInt(p, 0);
      if (m != s.sysmode) {
        s.sysmode = m;
        s.sysmode_changed = true;
      }
      return 0;
    }
    case OPEN_RING:
    case CLOSE_RING:
    case PUT_CID_CODE:
    case SIM800_GPRS_SENDDATA:
    case PLAY_TTS:
    case STOP_TTS:
    case GET_DTMF_CODE:
    case GET_GPS_DATA:
      return 0;
    case GET_SIM_INFO: {
      std::string r(kSimInfoLen, '\0');
      PutText(r, 0, 24, s.iccid);
      PutText(r, 24, 16, s.imsi);
      *out = std::move(r);
      return 0;
    }
    case SET_RX_VOLUME: {
      if (p.size() < 4) return PARAM_INAIL;
      int32_t v = GetInt(p, 0);
      if (v < -1 || v > 10) return PARAM_INAIL;
      s.rx_volume = v;
      return 0;
    }
    case GET_RX_VOLUME:
    case GET_DEV_STATE:
    case GET_UPDATE_STATE:
    case GET_TTS_STATE: {
      std::string r(4, '\0');
      if (req.cmd == GET_RX_VOLUME) PutInt(r, 0, s.rx_volume);
      if (req.cmd == GET_DEV_STATE) PutInt(r, 0, s.dev_state);
      *out = std::move(r);
      return 0;
    }
    case UNLOCK_PIN: {
      std::string pin = GetText(p, 0, p.size(), 16);
      if (pin.empty() || pin.find_first_not_of("0123456789") != std::string::npos) return PARAM_INAIL;
      return 0;  // the families run here need no PIN command
    }
    case SET_DEV_CONFIG: {
      if (p.size() < kDevConfigLen) return PARAM_INAIL;
      int32_t mtu = GetInt(s.dev_config, kDevConfigMtu);
      s.dev_config.assign(p, 0, kDevConfigLen);
      PutInt(s.dev_config, kDevConfigMtu, mtu);
      int32_t st = GetInt(p, kDevConfigState);
      const char* sn = st == 1 ? "POWER_ON " : st == 0 ? "POWER_OFF " : st == 4 ? "PPP_ON " : "unknow ";
      NET3G_LOG(4, "MobileState[%s],SYSMODE[%s],module index[%d],mtu[%d]\n", sn,
                SysModeName(GetInt(p, kDevConfigSysmode)), req.index, mtu);
      return 0;
    }
    case GET_DEV_CONFIG:
      *out = s.dev_config;
      return 0;
    case OPEN_DEV:
      if (p.size() < 4 || GetInt(p, 0) != 1) return PARAM_INAIL;
      if (!s.has_modem) return DEV_UNEXIST;
      if (s.target == 0 && !s.working) s.target = 1;
      return 0;
    case CLOSE_DEV:
      if (!s.has_modem) return DEV_UNEXIST;
      s.target = 0;
      return 0;
    case RESET_DEV:
      if (!s.has_modem) return DEV_UNEXIST;
      NET3G_LOG(4, "find a valid module index[%d],now reset 3G module from serial command or CGI\n", req.index);
      s.reset_requested = true;
      return 0;
    case SET_NETACCESS: {
      if (p.size() < 292) return PARAM_INAIL;
      NetAccess n;
      n.apn = GetText(p, 0, 32, 31);
      n.user = GetText(p, 32, 128, 31);
      n.password = GetText(p, 160, 128, 31);
      n.auth = GetInt(p, 288);
      if (!AtArgSafe(n.apn, 31) || !AtArgSafe(n.user, 31) || !AtArgSafe(n.password, 31)) return PARAM_INAIL;
      NET3G_LOG(4, "ZQ_PAL_MobileNetAccessConfig->apn=%s\n", n.apn.c_str());
      s.pending = std::move(n);
      s.pending_set = true;
      return 0;
    }
    case GET_NETACCESS:
      NET3G_LOG(4, "get_netaccess_config->apn = %s\n", GetText(s.netaccess_read, 0, 32, 31).c_str());
      *out = s.netaccess_read;
      return 0;
    case GET_MODULE_VERSION: {
      std::string r(256, '\0');
      PutText(r, 0, 64, s.revision);
      *out = std::move(r);
      return 0;
    }
    case GET_DEV_INFO: {
      std::string r(4, '\0');
      int count = 0;
      for (const auto& o : slots_)
        if (o.has_modem) {
          r += o.dev_info;
          ++count;
        }
      PutInt(r, 0, count);
      *out = std::move(r);
      return 0;
    }
    case GET_COURSE_VERSION:
      out->assign(4, '\0');
      PutInt(*out, 0, kCourseVersion);
      return 0;
    case POWER_OFF_NOTICE:
      s.close_requested = true;
      return 0;
    case SAVE_LOG:
      return SaveLog(GetText(p, 0, p.size(), 255));
    case FIRMWARE_UPDATE:
      NET3G_LOG(4, "%s is not available on this build\n", CommandName(req.cmd));
      return -1;
    case GET_NMR:
      out->assign(768, '\0');
      return 0;
    default:
      return -1;
  }
}

}  // namespace cellular
