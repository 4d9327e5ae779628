// The kernel's USB device list text ("/proc/bus/usb/devices"): one block
// per device, "T:" topology, "P:" ids, "S:" strings, "I:" interfaces.
#include <cstdlib>
#include <map>

#include "cellular/scan.h"

namespace cellular {

namespace {

constexpr std::size_t kMaxDevices = 128;
constexpr std::size_t kMaxInterfaces = 32;
constexpr std::size_t kMaxText = 255;

// The value of "Key=" in a line: blanks after '=' skipped, up to the next blank.
std::optional<std::string_view> Field(std::string_view line, std::string_view key) {
  for (std::size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
    if (at > 0 && line[at - 1] != ' ' && line[at - 1] != ':') continue;
    std::size_t v = at + key.size();
    if (v >= line.size() || line[v] != '=') continue;
    ++v;
    while (v < line.size() && line[v] == ' ') ++v;
    std::size_t end = line.find(' ', v);
    return line.substr(v, end == std::string_view::npos ? std::string_view::npos : end - v);
  }
  return std::nullopt;
}

std::optional<long> Number(std::optional<std::string_view> s, int base, long max) {
  if (!s || s->empty() || s->size() > 8) return std::nullopt;
  std::string t(*s);
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, base);
  if (*end != '\0' && *end != '(') return std::nullopt;  // "Cls=ff(vend.)"
  if (v < 0 || v > max) return std::nullopt;
  return v;
}

}  // namespace

std::vector<ProcUsbDevice> ParseProcUsbDevices(std::string_view text, std::vector<std::string>* problems) {
  std::vector<ProcUsbDevice> out;
  std::map<std::pair<int, int>, std::string> names;  // (bus, device number) → sysfs name
  auto problem = [&](std::string s) {
    if (problems && problems->size() < 16) problems->push_back(std::move(s));
  };
  bool skip = false;  // the current block is unusable
  int lineno = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    ++lineno;
    if (line.size() < 2 || line[1] != ':') continue;
    char tag = line[0];
    if (tag == 'T') {
      skip = true;
      if (out.size() >= kMaxDevices) {
        problem("more than " + std::to_string(kMaxDevices) + " devices, the rest ignored");
        break;
      }
      auto bus = Number(Field(line, "Bus"), 10, 999);
      auto lev = Number(Field(line, "Lev"), 10, 16);
      auto prnt = Number(Field(line, "Prnt"), 10, 999);
      auto port = Number(Field(line, "Port"), 10, 255);
      auto dev = Number(Field(line, "Dev#"), 10, 999);
      if (!bus || !lev || !prnt || !port || !dev) {
        problem("line " + std::to_string(lineno) + ": unreadable topology");
        continue;
      }
      ProcUsbDevice d;
      d.bus = static_cast<int>(*bus);
      d.level = static_cast<int>(*lev);
      d.port = static_cast<int>(*port);
      d.devnum = static_cast<int>(*dev);
      std::string parent;
      if (d.level == 0) {
        names[{d.bus, d.devnum}] = std::to_string(d.bus) + "-";
      } else if (auto it = names.find({d.bus, static_cast<int>(*prnt)}); it != names.end()) {
        d.sysname = it->second + std::to_string(d.port + 1);
        names[{d.bus, d.devnum}] = d.sysname + ".";
      } else {
        problem("line " + std::to_string(lineno) + ": parent device " + std::to_string(*prnt) + " unknown");
        continue;
      }
      out.push_back(std::move(d));
      skip = false;
      continue;
    }
    if (skip || out.empty()) continue;
    ProcUsbDevice& d = out.back();
    if (tag == 'P') {
      auto v = Number(Field(line, "Vendor"), 16, 0xffff);
      auto p = Number(Field(line, "ProdID"), 16, 0xffff);
      if (!v || !p) {
        problem("line " + std::to_string(lineno) + ": unreadable ids");
        out.pop_back();
        skip = true;
        continue;
      }
      d.vendor = static_cast<uint16_t>(*v);
      d.product = static_cast<uint16_t>(*p);
    } else if (tag == 'S') {
      std::string_view rest = line.substr(2);
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      auto text_of = [&](std::string_view key) { return CleanUsbText(rest.substr(key.size(), kMaxText)); };
      if (rest.substr(0, 13) == "Manufacturer=") d.manufacturer = text_of("Manufacturer=");
      else if (rest.substr(0, 8) == "Product=") d.product_name = text_of("Product=");
    } else if (tag == 'I') {
      if (d.interfaces.size() >= kMaxInterfaces) continue;
      auto cls = Number(Field(line, "Cls"), 16, 0xff);
      auto drv = Field(line, "Driver");
      ProcUsbDevice::Interface i;
      i.cls = cls ? static_cast<int>(*cls) : -1;
      if (drv && *drv != "(none)") i.driver = std::string(drv->substr(0, 32));
      d.interfaces.push_back(std::move(i));
    }
  }
  // Devices whose block never said who they are are of no use.
  std::erase_if(out, [](const ProcUsbDevice& d) { return d.vendor == 0 && d.product == 0; });
  return out;
}

int DriverType(const ProcUsbDevice& d) {
  for (const auto& i : d.interfaces)
    if (i.cls == 0x08 || i.driver == "usb-storage") return 2;
  return 0;
}

}  // namespace cellular
