// The platform's USB device list, read from sysfs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cellular/cellular.h"

namespace cellular {

struct UsbScanEntry {
  std::string sysname;  // "1-1"
  UsbDevice dev;
};

// One device block of the kernel's USB device list ("/proc/bus/usb/devices").
struct ProcUsbDevice {
  int bus = 0, level = 0, port = 0, devnum = 0;
  uint16_t vendor = 0, product = 0;
  std::string manufacturer, product_name;  // bytes above 127 dropped
  struct Interface {
    int cls = -1;
    std::string driver;  // "" when none is bound
  };
  std::vector<Interface> interfaces;
  std::string sysname;  // its sysfs name from the topology ("1-1", "1-1.3"); "" for a root hub
};
// Unusable blocks are skipped with a line in `problems`.
std::vector<ProcUsbDevice> ParseProcUsbDevices(std::string_view text, std::vector<std::string>* problems);
// 2 when an interface is mass storage (a modem still in its CD-ROM mode), else 0.
int DriverType(const ProcUsbDevice& d);

// The board port a device sits on, from its sysfs "devpath" ("1" is port 0,
// "1.3" port 2 behind a hub).
std::optional<int> PortFromDevpath(std::string_view devpath);
// True when the USB device list can be read: the kernel's list when it is
// there, else the sysfs tree.
bool UsbInitUsbLib();
// Devices from the kernel's list, completed from sysfs (serial ports and
// network card); from sysfs alone where the list is missing.
std::vector<UsbScanEntry> GetUsbDevs(std::size_t max, std::vector<std::string>* problems);

// Storage mode: the vendors whose disc is ejected first, the usb_modeswitch
// argument vectors for a storage-mode id, one switch (0 when every run
// exited 0), and the eject.
bool EjectListed(uint16_t vendor);
std::vector<std::vector<std::string>> ModeSwitchCommands(uint16_t vendor, uint16_t product);
int SwitchUsbMode(const UsbDevice& dev);
void EjectDisc(const UsbDevice& dev);

}  // namespace cellular
