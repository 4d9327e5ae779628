// Pure parsers: the timing file, USB device matching and AT replies.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cellular/cellular.h"

namespace cellular {

namespace {

constexpr int kPollSeconds = 30;
constexpr int kPassSeconds = 2;
constexpr int kTimingMax = 1000000;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A decimal number filling the whole text, within [0, kTimingMax].
std::optional<int> Number(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > kTimingMax) return std::nullopt;
  return v;
}

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

int PollsIn(int seconds) { return std::max(1, seconds / kPollSeconds); }
int PassesIn(int seconds) { return std::max(1, seconds / kPassSeconds); }

Timing ParseTiming(std::string_view text, std::vector<std::string>* problems) {
  Timing t;
  struct Key {
    const char* name;
    int Timing::*field;
    int min;
  } const keys[] = {
      {"no_module_hrst_time", &Timing::no_module_hrst_time, 1},
      {"no_module_hrst_count", &Timing::no_module_hrst_count, 0},
      {"no_service_srst_count", &Timing::no_service_srst_count, 0},
      {"no_service_srst_time1", &Timing::no_service_srst_time1, 1},
      {"no_service_srst_time2", &Timing::no_service_srst_time2, 1},
      {"cc_lcp_echo_interval", &Timing::cc_lcp_echo_interval, 1},
      {"cc_lcp_echo_fails", &Timing::cc_lcp_echo_fails, 1},
  };
  int lineno = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++lineno;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view val = Trim(line.substr(eq + 1));
    for (const auto& k : keys) {
      if (key != k.name) continue;
      auto v = Number(val);
      if (!v || *v < k.min) {
        if (problems)
          problems->push_back("line " + std::to_string(lineno) + ": " + k.name + " needs a whole number from " +
                              std::to_string(k.min) + " to " + std::to_string(kTimingMax) + ", keeping " +
                              std::to_string(t.*k.field));
        break;
      }
      t.*k.field = *v;
      break;
    }
  }
  return t;
}

// ------------------------------------------------------------ USB match

std::string CleanUsbText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (static_cast<unsigned char>(c) <= 127) out.push_back(c);
  return out;
}

int FindRow(uint16_t vendor, uint16_t product, std::string_view manufacturer, std::string_view product_name) {
  for (int i = 0; i < kFallbackRow; ++i) {
    const ModuleRow& r = kModuleTable[i];
    if (r.vendor != vendor || r.product != product) continue;
    if (*r.manufacturer && manufacturer != r.manufacturer) continue;
    if (*r.product_name && product_name != r.product_name) continue;
    return i;
  }
  return -1;
}

namespace {

// The decimal number in a sub-device name ("ttyUSB12" → 12).
std::optional<int> PortNumber(std::string_view name) {
  std::size_t i = 0;
  while (i < name.size() && !std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
  if (i == name.size()) return std::nullopt;
  int v = 0;
  std::size_t n = 0;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && n < 6; ++i, ++n) v = v * 10 + (name[i] - '0');
  return v;
}

}  // namespace

std::optional<DeviceMatch> MatchDevice(const UsbDevice& dev, std::string* why) {
  auto fail = [&](std::string msg) -> std::optional<DeviceMatch> {
    if (why) *why = std::move(msg);
    return std::nullopt;
  };
  if (dev.vendor == 0x04e2 && dev.product == 0x1410) return fail("not a modem (04e2:1410)");
  if (dev.subdevs.empty()) return fail("usb_get_usb_devs devinfo parse error!! subdev_count = 0!!");
  DeviceMatch m;
  int row = FindRow(dev.vendor, dev.product, dev.manufacturer, dev.product_name);
  if (row < 0) {
    m.row = kFallbackRow;
    m.info = kModuleTable[kFallbackRow];
    m.info.vendor = dev.vendor;
    m.info.product = dev.product;
    m.manufacturer = dev.manufacturer;
    m.product_name = dev.product_name;
    if (why) *why = "current module do not support it,try default product!";
  } else {
    m.row = row;
    m.info = kModuleTable[row];
    m.manufacturer = m.info.manufacturer;
    m.product_name = m.info.product_name;
  }
  std::vector<int> ports;
  for (const auto& s : dev.subdevs)
    if (auto n = PortNumber(s)) ports.push_back(*n);
  if (ports.empty()) return fail("no serial port number in the device's ports");
  std::sort(ports.begin(), ports.end());
  int count = static_cast<int>(ports.size());
  int at = m.info.at_port, ppp = m.info.ppp_port;
  int slot = dev.interface;
  if (dev.vendor == 0x12d1 && dev.product == 0x140c && count < 4) {
    at = count - 1;
    ppp = 0;
  } else if (dev.vendor == 0x12d1 && dev.product == 0x1506 && count < 5) {
    at = 1;
    ppp = 0;
  }
  if (m.info.type == 51) {
    at = 1;
    ppp = 0;
    slot = 0;
  }
  if (at < 0 || ppp < 0 || at >= count || ppp >= count)
    return fail("port position beyond the " + std::to_string(count) + " ports found");
  if (slot < 0 || slot >= kSlots) return fail("interface number " + std::to_string(slot) + " above 15");
  m.info.at_port = at;
  m.info.ppp_port = ppp;
  m.at_port = ports[at];
  m.ppp_port = ports[ppp];
  m.slot = slot;
  m.netcard = dev.netcard.substr(0, 7);
  return m;
}

// ------------------------------------------------------------ AT replies

bool IsErrorReply(std::string_view line) {
  for (const char* p : {"ERROR", "NO ANSWER", "+CMS ERROR:", "COMMAND NOT SUPPORT", "TOO MANY PARAMETERS"})
    if (StartsWith(line, p)) return true;
  return false;
}

int ParseCpin(std::string_view line) {
  std::size_t at = line.find("+CPIN:");
  if (at == std::string_view::npos) return -1;
  std::string_view rest = line.substr(at + 6);
  if (rest.find("READY") != std::string_view::npos) return 2;
  if (rest.find("SIM PIN") != std::string_view::npos) return 3;
  if (rest.find("SIM PUK") != std::string_view::npos) return 4;
  return 1;
}

std::optional<int> ParseCgreg(std::string_view line) {
  std::size_t at = line.find("+CGREG:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + 7);
  std::size_t comma = rest.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  rest = Trim(rest.substr(comma + 1));
  std::size_t n = 0;
  int v = 0;
  while (n < rest.size() && n < 3 && std::isdigit(static_cast<unsigned char>(rest[n]))) v = v * 10 + (rest[n++] - '0');
  if (n == 0) return std::nullopt;
  return v;
}

std::optional<std::string> ParseImsi(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && !std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
  std::size_t j = i;
  while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]))) ++j;
  if (j - i != 15) return std::nullopt;
  return std::string(line.substr(i, 15));
}

std::optional<int> ParseCsq(std::string_view line) {
  std::size_t at = line.find("+CSQ:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(at + 5);
  std::size_t comma = rest.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  rest = Trim(rest.substr(0, comma));
  auto v = rest.size() <= 3 ? Number(rest) : std::nullopt;
  return v;
}

bool ParseAti(std::string_view text, AtiInfo* out) {
  auto field = [&](std::string_view key, std::size_t max) -> std::optional<std::string> {
    std::size_t at = text.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(at + key.size());
    std::size_t end = rest.find_first_of("\r\n");
    rest = rest.substr(0, std::min({end, max, rest.size()}));
    return CleanUsbText(rest);
  };
  auto imei = field("IMEI: ", 15);
  if (!imei) return false;
  AtiInfo info;
  info.imei = *imei;
  info.manufacturer = field("Manufacturer: ", 63).value_or("");
  info.model = field("Model: ", 63).value_or("");
  if (out) *out = std::move(info);
  return true;
}

std::optional<FifoCommand> ParseFifoLine(std::string_view line, std::string* err) {
  FifoCommand c;
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i == line.size()) break;
    std::string w;
    if (line[i] == '"') {
      std::size_t end = line.find('"', i + 1);
      if (end == std::string_view::npos) {
        if (err) *err = "unterminated quote";
        return std::nullopt;
      }
      w = std::string(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = line.find_first_of(" \t\r", i);
      if (end == std::string_view::npos) end = line.size();
      w = std::string(line.substr(i, end - i));
      i = end;
    }
    if (words.size() > kFifoMaxArgs) {
      if (err) *err = "Too many parameters!";
      return std::nullopt;
    }
    words.push_back(std::move(w));
  }
  if (words.empty()) {
    if (err) *err = "empty line";
    return std::nullopt;
  }
  c.name = std::move(words.front());
  c.args.assign(words.begin() + 1, words.end());
  return c;
}

bool AtArgSafe(std::string_view s, std::size_t max_len) {
  if (s.size() > max_len) return false;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7e || c == '"' || c == ';' || c == '\\') return false;
  }
  return true;
}

}  // namespace cellular
