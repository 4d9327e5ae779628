// The device model registry.  Each device family adds its model to the
// table below.

#include <fnmatch.h>

#include <deque>
#include <mutex>
#include <vector>

#include "sim/device.h"
#include "sim/models/disk.h"
#include "sim/models/flash.h"
#include "sim/models/md.h"
#include "sim/models/flashset.h"
#include "sim/models/gpio.h"
#include "sim/models/mmcdrive.h"
#include "sim/models/procstat.h"
#include "sim/models/resource.h"
#include "sim/models/rtc.h"
#include "sim/models/serial.h"
#include "sim/models/watchdog.h"
#include "sim/net.h"

namespace sim {

extern const Model kZqMcuModel;
extern const Model kSpiFlashModel;
extern const Model kUsbAuthorizedModel;
extern const Model kProcUsbModel;

namespace {

const std::vector<Model>& builtin() {
  static const std::vector<Model> k = {
      kResourceModel,
      kGpioModel,
      kGpioExtendModel,
      kUartCtrlModel,
      kHeartModel,
      kProcStatModel,
      kMtdModel, kEmmcModel, kEepromModel,
      kSramModel, kRtcModel, kCmosModel, kBondingModel,
      kMtdBlockModel,
      kWatchdogModel,
      kI2cModel,
      kKernelRtcModel, kMiscRtcModel, kSocRtcModel,
      kZqMcuModel,
      kSpiFlashModel,
      kDiskModel,
      kMdModel,
      kUsbAuthorizedModel, kProcUsbModel,
      kMmcSgModel, kMmcSrModel,
  };
  return k;
}

std::mutex g_lock;
std::deque<Model>& runtime() {  // a deque: registering never moves a model already found
  static std::deque<Model> v;
  return v;
}

}  // namespace

std::span<const Model> BuiltinModels() { return builtin(); }

void RegisterModel(const Model& m) {
  std::lock_guard g(g_lock);
  runtime().push_back(m);
}

const Model* FindModel(std::string_view board_path) {
  std::string p(board_path);
  {
    std::lock_guard g(g_lock);
    for (auto& m : runtime())
      if (fnmatch(m.pattern, p.c_str(), 0) == 0) return &m;
  }
  for (auto& m : BuiltinModels())
    if (fnmatch(m.pattern, p.c_str(), 0) == 0) return &m;
  return nullptr;
}

}  // namespace sim
