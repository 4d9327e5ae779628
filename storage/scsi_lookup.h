// Optical drives in the SCSI scan: peripheral type 5 devices, each with its
// SCSI generic node and its sr block device.
#pragma once

#include <string>
#include <vector>

namespace hd {

struct OpticalDrive {
  std::string sg;  // "/dev/sgN"
  std::string sr;  // "/dev/srM", empty when the kernel shows no block device
  std::string scsi;  // "H:C:T:L"
};

// Every optical drive the kernel shows; false when the scan cannot be read.
bool GetOpticalDrives(std::vector<OpticalDrive>* out);
// The sr block device of the drive behind `sg` ("/dev/sg1" or "sg1"):
// 0, or -ENODEV when no optical drive has that node.
int OpticalSrFromSg(const std::string& sg, std::string* sr);

}  // namespace hd
