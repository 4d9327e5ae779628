// Optical drives from the SCSI scan (see scsi_lookup.h).

#include "storage/scsi_lookup.h"

#include <cerrno>

#include "osa/file.h"
#include "osa/sys.h"
#include "storage/internal.h"

namespace hd {

namespace {

constexpr int kPeriphCdrom = 5;

bool SgName(const std::string& n) {
  if (n.size() < 3 || n.size() > 8 || !n.starts_with("sg")) return false;
  for (size_t i = 2; i < n.size(); ++i)
    if (n[i] < '0' || n[i] > '9') return false;
  return true;
}

}  // namespace

bool GetOpticalDrives(std::vector<OpticalDrive>* out) {
  PlatformCfg cfg{};  // the bus decision plays no part here
  std::vector<ScsiEntry> scsi;
  if (!GetScsiDeviceList(cfg, &scsi)) return false;
  out->clear();
  for (const ScsiEntry& e : scsi) {
    if (e.periph != kPeriphCdrom) continue;
    OpticalDrive d;
    d.scsi = std::to_string(e.addr.host) + ":" + std::to_string(e.addr.channel) + ":" +
             std::to_string(e.addr.target) + ":" + std::to_string(e.addr.lun);
    for (const std::string& g : osa::ListDir("/sys/bus/scsi/devices/" + d.scsi + "/scsi_generic"))
      if (SgName(g)) d.sg = "/dev/" + g;
    if (d.sg.empty()) continue;
    if (e.name.starts_with("sr")) d.sr = "/dev/" + e.name;
    out->push_back(std::move(d));
  }
  return true;
}

int OpticalSrFromSg(const std::string& sg, std::string* sr) {
  std::string want = sg.substr(sg.rfind('/') + 1);
  std::vector<OpticalDrive> drives;
  if (!SgName(want) || !GetOpticalDrives(&drives)) return -ENODEV;
  for (const OpticalDrive& d : drives)
    if (d.sg == "/dev/" + want && !d.sr.empty()) {
      *sr = d.sr;
      return 0;
    }
  return -ENODEV;
}

}  // namespace hd
