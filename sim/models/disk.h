// Simulated disks: each entry of the board's "disks" list is a sparse image
// DIR/dev/NAME with the sysfs trees the kernel shows for it.
//
//   "disks": [{"name": "sdb", "bus": "sata"|"sas"|"esata"|"usb"|"iscsi",
//              "scsi": "H:C:T:L", "size": "1G" (bytes or K/M/G/T) | "sectors": N,
//              "serial": "S1", "vendor": "ATA", "model": "...", "usb": "1-1.2",
//              "plugged": true, "faults": ["no_drive_cmd"]}]
//
// The node answers the block size and geometry ioctls, INQUIRY and ATA
// IDENTIFY over SG_IO and the drive-command ioctl (each ATA command is
// logged "ata NAME cmd=HH feature=HH count=N via=hdio|sgio").  `dvrsim plug`
// and `unplug` build or remove the trees and send the kernel's burst.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/device.h"

namespace sim {

struct DiskSpec {
  std::string name, bus, scsi, serial, vendor, model, usb;
  uint64_t sectors = 0;
  bool plugged = true;
  bool no_drive_cmd = false;
};

// "1G", "512M", "4096" -> bytes; false on anything else or overflow.
bool ParseDiskSize(std::string_view text, uint64_t* bytes);
// The board's entry for NAME; false when there is none or it is malformed.
bool FindDisk(const Board& b, std::string_view name, DiskSpec* out, std::string* err);

extern const Model kDiskModel;

// A board device ("/dev/sdb" or a partition "/dev/sdb1") as a window on
// its plugged disk's image.
struct DiskWindow {
  std::string disk;   // sdb
  std::string image;  // host path of the image
  uint64_t offset = 0, bytes = 0;
  int number = 0;  // partition number, 0 for the whole disk
};
bool FindWindow(const Board& b, std::string_view board_dev, DiskWindow* out, std::string* err);
// The board device a window of an image stands for ("/dev/sdb1"), or "".
std::string WindowDevice(const Board& b, const std::string& image, uint64_t offset);
// Re-reads a plugged disk's partition table, as the kernel does after a
// table change: partition nodes, sysfs entries, /proc/partitions, and with
// `events` an add or remove message for each partition that came or went.
void RefreshPartitions(const Board& b, const std::string& disk, bool events);

// dvrsim plug|unplug DIR NAME
int DiskPlugCommand(int argc, char** argv);

}  // namespace sim
