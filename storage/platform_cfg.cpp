// The board storage models.  A production board has no description file,
// so the table lives here and is picked by the product the resource driver
// reports.

#include <cstring>
#include <mutex>

#include "osa/osa.h"
#include "osa/singleton.h"
#include "platform/res/res.h"
#include "storage/storage.h"

namespace {

PlatformCfg base_row() {
  PlatformCfg c{};
  c.iPosixFs = 1;
  c.iPortType = 3;
  c.iPortNum = 16;
  c.iUsbDefaultUse = 6;
  c.iFeature = 1;
  std::strncpy(c.szBackupRoot, "/mnt/backup", sizeof c.szBackupRoot - 1);
  return c;
}

void log_cfg(int board_id, const PlatformCfg& c) {
  HD_INFO("Board Id: %d\n", board_id);
  HD_INFO("PlatformCfg: iDirectIO: %d\n", c.iDirectIO);
  HD_INFO("PlatformCfg: iDevType: %d\n", c.iDevType);
  HD_INFO("PlatformCfg: iDomDiskType: %d\n", c.iDomDiskType);
  HD_INFO("PlatformCfg: iPosixFs: %d\n", c.iPosixFs);
  HD_INFO("PlatformCfg: iRaidType: %d\n", c.iRaidType);
  HD_INFO("PlatformCfg: iHotspareType: %d\n", c.iHotspareType);
  HD_INFO("PlatformCfg: iMaxExpLayer: %d\n", c.iMaxExpLayer);
  HD_INFO("PlatformCfg: iMaxExpPort: %d\n", c.iMaxExpPort);
  HD_INFO("PlatformCfg: iPortType: %d\n", c.iPortType);
  HD_INFO("PlatformCfg: iPortNum: %d\n", c.iPortNum);
  HD_INFO("PlatformCfg: iVgType: %d\n", c.iVgType);
}

}  // namespace

PlatformCfg HdSelectPlatformCfg(int product_type, std::string_view product_name) {
  PlatformCfg c = base_row();
  bool p8 = product_name == "NVR3536C-8";
  bool p8p = product_name == "NVR3536C-8P";
  if (product_type == 6 && (p8 || p8p)) {
    c.iPortNum = 8;
    c.iRaidType = 1;
    c.iHotspareType = 1;
    c.iCleanParity = p8p ? 1 : 0;
    c.iUsbDefaultUse = 2;
    c.iDirectIO = p8p ? 1 : 0;
    c.iFeature = 3;
  }
  return c;
}

const PlatformCfg* GetPlatformCfg() {
  // Chosen once: the board does not change under a running process.
  struct Chosen {
    PlatformCfg cfg{};
    std::once_flag once;
  };
  Chosen& c = osa::Singleton<Chosen>();
  PlatformCfg& cfg = c.cfg;
  std::call_once(c.once, [&cfg] {
    SystemRes_t r{};
    int type = -1;
    char name[sizeof r.ProductName + 1] = {};
    if (SystemGetRes(&r) == OSA_SOK) {
      type = static_cast<int>(r.ProductType);
      ResCopyString(name, sizeof name, r.ProductName, sizeof r.ProductName);
    } else {
      HD_WARN("no product information, using the generic disk model\n");
    }
    cfg = HdSelectPlatformCfg(type, name);
    log_cfg(type, cfg);
  });
  return &cfg;
}
