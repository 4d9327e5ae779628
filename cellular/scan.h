// The platform's USB device list, read from sysfs.
#pragma once

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

// The board port a device sits on, from its sysfs "devpath" ("1" is port 0,
// "1.3" port 2 behind a hub).
std::optional<int> PortFromDevpath(std::string_view devpath);
// True when the USB device tree can be read.
bool UsbInitUsbLib();
std::vector<UsbScanEntry> GetUsbDevs(std::size_t max, std::vector<std::string>* problems);

// Storage mode: the vendors whose disc is ejected first, the usb_modeswitch
// argument vectors for a storage-mode id, one switch (0 when every run
// exited 0), and the eject.
bool EjectListed(uint16_t vendor);
std::vector<std::vector<std::string>> ModeSwitchCommands(uint16_t vendor, uint16_t product);
int SwitchUsbMode(const UsbDevice& dev);
void EjectDisc(const UsbDevice& dev);

}  // namespace cellular
