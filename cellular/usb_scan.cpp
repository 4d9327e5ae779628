// The USB device list from sysfs: one record per device with its ids,
// strings, serial ports, network card and the port it sits on.
#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>

#include "cellular/scan.h"
#include "osa/file.h"
#include "osa/sys.h"

namespace cellular {

namespace {

constexpr const char* kUsbDevices = "/sys/bus/usb/devices";
constexpr std::size_t kAttrMax = 256;

std::string Attr(const std::string& dir, const char* name) {
  auto r = osa::ReadFile((dir + "/" + name).c_str(), kAttrMax);
  if (!r.readable()) return {};
  std::string s = r.data.substr(0, r.data.find('\n'));
  return s;
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = osa::sys::opendir(dir.c_str());
  if (!d) return out;
  while (struct dirent* e = osa::sys::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
    if (out.size() > 256) break;  // a sane device never has this many entries
  }
  osa::sys::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<uint16_t> Hex16(const std::string& s) {
  if (s.empty() || s.size() > 4) return std::nullopt;
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0') return std::nullopt;
  return static_cast<uint16_t>(v);
}

bool Starts(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

}  // namespace

std::optional<int> PortFromDevpath(std::string_view devpath) {
  std::size_t dot = devpath.rfind('.');
  std::string_view last = dot == std::string_view::npos ? devpath : devpath.substr(dot + 1);
  if (last.empty() || last.size() > 3) return std::nullopt;
  int v = 0;
  for (char c : last) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v < 1) return std::nullopt;
  return v - 1;
}

bool UsbInitUsbLib() {
  DIR* d = osa::sys::opendir(kUsbDevices);
  if (!d) return false;
  osa::sys::closedir(d);
  return true;
}

std::vector<UsbScanEntry> GetUsbDevs(std::size_t max, std::vector<std::string>* problems) {
  std::vector<UsbScanEntry> out;
  for (const auto& name : List(kUsbDevices)) {
    if (name.find(':') != std::string::npos || Starts(name, "usb")) continue;
    std::string dir = std::string(kUsbDevices) + "/" + name;
    auto vendor = Hex16(Attr(dir, "idVendor"));
    auto product = Hex16(Attr(dir, "idProduct"));
    auto port = PortFromDevpath(Attr(dir, "devpath"));
    if (!vendor || !product || !port) {
      if (problems) problems->push_back(name + ": unreadable ids or port");
      continue;
    }
    UsbScanEntry e;
    e.sysname = name;
    e.dev.vendor = *vendor;
    e.dev.product = *product;
    e.dev.manufacturer = CleanUsbText(Attr(dir, "manufacturer"));
    e.dev.product_name = CleanUsbText(Attr(dir, "product"));
    e.dev.interface = *port;
    for (const auto& ifname : List(dir)) {
      if (!Starts(ifname, (name + ":").c_str())) continue;
      std::string ifdir = dir + "/" + ifname;
      if (Attr(ifdir, "bInterfaceClass") == "08") e.dev.driver_type = 2;
      for (const auto& sub : List(ifdir)) {
        if (Starts(sub, "ttyUSB") || Starts(sub, "ttyACM")) e.dev.subdevs.push_back(sub);
        if (Starts(sub, "sr") && e.dev.driver_type == 2) e.dev.subdevs.push_back(sub);
        if (sub == "tty")
          for (const auto& t : List(ifdir + "/tty"))
            if (Starts(t, "ttyACM")) e.dev.subdevs.push_back(t);
        if (sub == "net") {
          auto nets = List(ifdir + "/net");
          if (!nets.empty() && e.dev.netcard.empty()) e.dev.netcard = nets.front().substr(0, 7);
        }
      }
    }
    out.push_back(std::move(e));
    if (out.size() >= max) break;
  }
  return out;
}

}  // namespace cellular
