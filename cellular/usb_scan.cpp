// The USB device list from sysfs: one record per device with its ids,
// strings, serial ports, network card and the port it sits on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cellular/scan.h"
#include "osa/file.h"
#include "osa/osa.h"
#include "osa/sys.h"

namespace cellular {

namespace {

constexpr const char* kUsbDevices = "/sys/bus/usb/devices";
constexpr const char* kProcDevices = "/proc/bus/usb/devices";
constexpr std::size_t kProcDevicesMax = 64 * 1024;
constexpr std::size_t kAttrMax = 256;

std::string Attr(const std::string& dir, const char* name) {
  auto r = osa::ReadFile((dir + "/" + name).c_str(), kAttrMax);
  if (!r.readable()) return {};
  std::string s = r.data.substr(0, r.data.find('\n'));
  return s;
}

// A sane device never has more entries than this.
std::vector<std::string> List(const std::string& dir) { return osa::ListDir(dir, 256); }

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
  struct stat st;
  if (osa::sys::stat(kProcDevices, &st) == 0) {
    // usbfs is mounted: its list must be readable.
    osa::UniqueFd fd(osa::sys::open(kProcDevices, O_RDONLY | O_CLOEXEC));
    return static_cast<bool>(fd);
  }
  DIR* d = osa::sys::opendir(kUsbDevices);
  if (!d) return false;
  osa::sys::closedir(d);
  return true;
}

namespace {

// Serial ports and network card of the device in sysfs folder `name`, and
// whether an interface is mass storage.
void FromInterfaces(const std::string& name, UsbDevice* dev, bool* storage) {
  std::string dir = std::string(kUsbDevices) + "/" + name;
  for (const auto& ifname : List(dir)) {
    if (!Starts(ifname, (name + ":").c_str())) continue;
    std::string ifdir = dir + "/" + ifname;
    bool is_storage = Attr(ifdir, "bInterfaceClass") == "08";
    *storage |= is_storage;
    for (const auto& sub : List(ifdir)) {
      if (Starts(sub, "ttyUSB") || Starts(sub, "ttyACM")) dev->subdevs.push_back(sub);
      if (Starts(sub, "sr") && is_storage) dev->subdevs.push_back(sub);
      if (sub == "tty")
        for (const auto& t : List(ifdir + "/tty"))
          if (Starts(t, "ttyACM")) dev->subdevs.push_back(t);
      if (sub == "net") {
        auto nets = List(ifdir + "/net");
        if (!nets.empty() && dev->netcard.empty()) dev->netcard = nets.front().substr(0, 7);
      }
    }
  }
}

std::vector<UsbScanEntry> FromSysfs(std::size_t max, std::vector<std::string>* problems) {
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
    bool storage = false;
    FromInterfaces(name, &e.dev, &storage);
    if (storage) e.dev.driver_type = 2;
    out.push_back(std::move(e));
    if (out.size() >= max) break;
  }
  return out;
}

}  // namespace

std::vector<UsbScanEntry> GetUsbDevs(std::size_t max, std::vector<std::string>* problems) {
  auto r = osa::ReadFile(kProcDevices, kProcDevicesMax);
  if (r.status == osa::ReadStatus::Missing) return FromSysfs(max, problems);
  if (!r.readable()) {
    if (problems) problems->push_back(std::string(kProcDevices) + ": " + strerror(r.err));
    return {};
  }
  std::vector<UsbScanEntry> out;
  for (auto& d : ParseProcUsbDevices(r.data, problems)) {
    if (d.level == 0 || d.sysname.empty()) continue;  // root hubs
    bool hub = false;
    for (const auto& i : d.interfaces) hub |= i.cls == 0x09;
    if (hub) continue;
    UsbScanEntry e;
    e.sysname = d.sysname;
    e.dev.vendor = d.vendor;
    e.dev.product = d.product;
    e.dev.manufacturer = std::move(d.manufacturer);
    e.dev.product_name = std::move(d.product_name);
    e.dev.interface = d.port;
    bool storage = false;
    FromInterfaces(d.sysname, &e.dev, &storage);
    e.dev.driver_type = storage ? 2 : DriverType(d);
    out.push_back(std::move(e));
    if (out.size() >= max) break;
  }
  return out;
}

}  // namespace cellular
