// The cellular modem manager: the module table, the timing file, the AT
// reply parsers, the USB device match, and the control protocol spoken over
// "/var/tmp/wireless_server_socket".  The parsers here are pure; the process
// around them (main loop, workers, servers) lives in manager.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "osa/osa.h"

namespace cellular {

inline constexpr int kSlots = 16;

// ------------------------------------------------------------ module table

struct ModuleRow {
  uint16_t vendor;
  uint16_t product;
  const char* manufacturer;  // "" matches any
  const char* product_name;  // "" matches any
  int type;                  // driver family selector
  uint32_t mask;             // capability mask
  int at_port;               // positions in the sorted serial port numbers
  int ppp_port;
  const char* tty_prefix;
  const char* name;
};

inline constexpr int kModuleRows = 102;
inline constexpr int kFallbackRow = kModuleRows - 1;
inline constexpr int kFallbackType = 77;
extern const ModuleRow kModuleTable[kModuleRows];

// ------------------------------------------------------------ timing file

struct Timing {
  int no_module_hrst_time = 90;
  int no_module_hrst_count = 3;
  int no_service_srst_count = 3;
  int no_service_srst_time1 = 90;
  int no_service_srst_time2 = 90;
  int cc_lcp_echo_interval = 10;
  int cc_lcp_echo_fails = 6;
};

// Reads "key=value" lines over the defaults.  A bad value keeps the default
// and adds a line to `problems`; windows shorter than one poll period are
// raised to it so no schedule divides by zero.
Timing ParseTiming(std::string_view text, std::vector<std::string>* problems);

// Polls of 30 s and empty passes of 2 s that make up a timing window; never 0.
int PollsIn(int seconds);
int PassesIn(int seconds);

// ------------------------------------------------------------ USB match

struct UsbDevice {
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string manufacturer;
  std::string product_name;
  int driver_type = 0;  // 0 serial, 2 storage
  int interface = 0;
  std::string netcard;
  std::vector<std::string> subdevs;  // "ttyUSB3", "sr0", ...
};

// The row a device runs with, kept per device: port rules and the fallback
// never change the shared table.
struct DeviceMatch {
  int row = kFallbackRow;
  ModuleRow info{};
  std::string manufacturer;  // the fallback's strings are the device's own
  std::string product_name;
  int at_port = 0;  // serial port numbers, e.g. 3 for ttyUSB3
  int ppp_port = 0;
  int slot = 0;
};

// Drops every byte above 127 (device strings are shown and matched as text).
std::string CleanUsbText(std::string_view s);
// First table row with the device's ids and matching strings, or -1.
int FindRow(uint16_t vendor, uint16_t product, std::string_view manufacturer, std::string_view product_name);
// Match for a serial-mode device; nullopt (with the reason) when it is skipped.
std::optional<DeviceMatch> MatchDevice(const UsbDevice& dev, std::string* why);

// ------------------------------------------------------------ AT replies

inline constexpr std::size_t kAtReplyMax = 4096;

bool IsErrorReply(std::string_view line);
// -1 when the line is no "+CPIN:" answer, else the SIM state 1..4.
int ParseCpin(std::string_view line);
// The registration status (second field) of a "+CGREG:" line.
std::optional<int> ParseCgreg(std::string_view line);
// Exactly 15 digits (the first digit run of the line).
std::optional<std::string> ParseImsi(std::string_view line);
// The value before the comma of "+CSQ: v,b"; nullopt for no answer or bad text.
std::optional<int> ParseCsq(std::string_view line);
inline int CsqToSignal(int v) { return v * 99 / 31; }

struct AtiInfo {
  std::string manufacturer;  // at most 63 characters
  std::string model;
  std::string imei;  // 15 characters
};
// True (and fills `out`) only when the text carries "IMEI: ".
bool ParseAti(std::string_view text, AtiInfo* out);

// One debug FIFO line: a command name and its blank-separated arguments
// (a double-quoted argument may hold blanks).
struct FifoCommand {
  std::string name;
  std::vector<std::string> args;
};
inline constexpr std::size_t kFifoMaxArgs = 8;
std::optional<FifoCommand> ParseFifoLine(std::string_view line, std::string* err);

// True for text that may sit inside a quoted AT argument.
bool AtArgSafe(std::string_view s, std::size_t max_len);

// ------------------------------------------------------------ control protocol

inline constexpr std::size_t kHeaderLen = 12;
inline constexpr std::size_t kMaxRequest = 1024;

enum Command : int32_t {
  GET_SMS = 1, PUT_SMS = 2, GET_DIALOG = 3, GET_DEV_STATUS = 4, OPEN_PPP = 5, CLOSE_PPP = 6,
  SET_SYSMOD = 7, OPEN_RING = 8, CLOSE_RING = 9, GET_SIM_INFO = 10, SET_RX_VOLUME = 11,
  GET_RX_VOLUME = 12, UNLOCK_PIN = 13, GET_GPS_DATA = 14, SET_DEV_CONFIG = 15, GET_DEV_CONFIG = 16,
  OPEN_DEV = 17, CLOSE_DEV = 18, RESET_DEV = 19, GET_DEV_STATE = 20, SET_NETACCESS = 21,
  GET_NETACCESS = 22, GET_MODULE_VERSION = 23, GET_DEV_INFO = 128, SAVE_LOG = 129,
  GET_COURSE_VERSION = 130, POWER_OFF_NOTICE = 131, PUT_CID_CODE = 132, FIRMWARE_UPDATE = 133,
  GET_UPDATE_STATE = 134, SIM800_GPRS_SET_CFG = 135, SIM800_GPRS_GET_INFO = 136,
  SIM800_GPRS_SENDDATA = 137, SIM800_GPRS_RECVDATA = 138, GET_DTMF_CODE = 139, PLAY_TTS = 140,
  STOP_TTS = 141, GET_TTS_STATE = 142, GET_NMR = 143,
};

inline constexpr int kCourseVersion = 2548;

enum Result : int32_t {
  INDEX_INVAIL = -1, DEV_UNEXIST = -2, RECV_SMS_EMPTY = -7, CALLER_EMPTY = -8, DEV_CLOSING = -11,
  PARAM_INAIL = -15,
};

const char* CommandName(int32_t cmd);  // "unknown" when not in the table
const char* ResultName(int32_t result);
const char* StateName(int state);
const char* SimStateName(int state);
const char* SysModeName(int mode);

struct Request {
  int32_t len = 0;
  int32_t cmd = 0;
  int32_t index = 0;
  std::string payload;
};

enum class Frame {
  NeedMore,  // keep reading
  Ready,     // *out holds one request, its bytes are gone from the buffer
  Bad,       // unusable length: close the connection
};
// Takes the first request off `buf` (bytes read so far, in order); bytes past
// it stay for the next call.
Frame TakeRequest(std::string& buf, Request* out);

std::string PackReply(int32_t cmd, int32_t result, std::string_view payload);
std::string PackRequest(int32_t cmd, int32_t index, std::string_view payload);

// What the socket writes for one request; nothing for unknown commands.
struct Reply {
  bool send = false;
  std::string bytes;
};

// Record sizes crossing the socket.
inline constexpr std::size_t kDevStatusLen = 200;
inline constexpr std::size_t kDevConfigLen = 576;
inline constexpr std::size_t kDevInfoLen = 256;
inline constexpr std::size_t kNetAccessReqLen = 328;
inline constexpr std::size_t kNetAccessCfgLen = 512;
inline constexpr std::size_t kSimInfoLen = 128;

struct NetAccess {
  std::string apn, dial, user, password;
  int mtu = 1492;
  int auth = 0;
};

// Everything a control command reads or writes in one slot; the worker owns
// the modem and copies its findings here.
struct SlotState {
  bool has_modem = false;
  int type = 0;
  int row = kFallbackRow;
  int target = 0;
  int dev_state = 0;
  bool working = false;
  int sim = 0;
  int call_state = 0;
  uint32_t addr = 0, mask = 0, gateway = 0;
  int32_t radio[16] = {};
  std::string iccid, imsi, revision;
  NetAccess net;
  NetAccess pending;
  bool pending_set = false;
  std::string dev_config = std::string(kDevConfigLen, '\0');
  std::string dev_info = std::string(kDevInfoLen, '\0');
  std::string netaccess_read = std::string(kNetAccessCfgLen, '\0');
  int sysmode = 7;
  bool sysmode_changed = false;
  int rx_volume = 0;
  bool close_requested = false;
  bool reset_requested = false;  // "AT+CFUN=0" then a power cycle, by the worker
  std::string debug_at;          // a command from the debug FIFO for the worker's next pass
  int ppp_unit = 0;
};

// The slots' shared records and the command dispatcher.  Handle never talks
// to a modem: it records the request and answers at once.
class Control {
 public:
  Control();
  Reply Handle(const Request& req);
  osa::Mutex& mutex() { return mu_; }
  SlotState& slot(int i) { return slots_[i]; }  // under mutex()

 private:
  int32_t Serve(const Request& req, SlotState& s, std::string* out);
  int32_t SaveLog(const std::string& dir);
  osa::Mutex mu_;
  int save_log_count_ = 0;
  SlotState slots_[kSlots];
};

// Little-endian word access inside fixed records.
void PutInt(std::string& rec, std::size_t off, int32_t v);
int32_t GetInt(std::string_view rec, std::size_t off);
void PutText(std::string& rec, std::size_t off, std::size_t field, std::string_view text);
std::string GetText(std::string_view rec, std::size_t off, std::size_t field, std::size_t keep);

// ------------------------------------------------------------ process

// The manager process (the net3g applet): returns only when it cannot run.
int Net3gRun();

}  // namespace cellular
