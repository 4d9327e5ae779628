// The simulated resource driver.

#include "sim/models/resource.h"
#include "sim/models/flashset.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <map>

#include "platform/res/res.h"
#include "sim/device.h"
#include "sim/models/flash.h"
#include "sim/models/rtc.h"
#include "sim/models/watchdog.h"

namespace sim {

namespace {

const Schema* system_schema() {
  using T = SystemRes_t;
  static const Schema s{{
      SIM_FIELD(T, ProductName, Str, 28), SIM_FIELD(T, SerialIDKey, Str, 16), SIM_FIELD(T, ModCapMask, U32),
      SIM_FIELD(T, GpsModType, U32), SIM_FIELD(T, ForNRT, U32), SIM_FIELD(T, ForATM, U32),
      SIM_FIELD(T, HasAudioBoard, U32), SIM_FIELD(T, HasLoopBoard, U32), SIM_FIELD(T, HasMatrixBoard, U32),
      SIM_FIELD(T, HasPtzBoard, U32), SIM_FIELD(T, HasWlanBoard, U32), SIM_FIELD(T, RebootType, U32),
      SIM_FIELD(T, ShutdownType, U32), SIM_FIELD(T, RebootGpioPort, U8), SIM_FIELD(T, RebootGpioBit, U8),
      SIM_FIELD(T, RebootGpioLevel, U8), SIM_FIELD(T, BeepType, U32),
      Field{"BeepGpio", offsetof(T, BeepGpio.Gpio), FieldKind::Struct, 12, &GpioResSchema()},
      Field{"BeepGpioInitLevel", offsetof(T, BeepGpio.InitLevel), FieldKind::U32},
      Field{"BeepUart", offsetof(T, BeepUart), FieldKind::Struct, sizeof(UartRes_t), &UartResSchema()},
      Field{"BeepTtyToneClock", offsetof(T, BeepTty.ToneClock), FieldKind::U32},
      Field{"BeepTtyDevPath", offsetof(T, BeepTty.DevPath), FieldKind::Str, 308},
      SIM_FIELD(T, BeepStartCnt, U32), SIM_FIELD(T, BeepStart, Bytes, 16), SIM_FIELD(T, BeepStopCnt, U32),
      SIM_FIELD(T, BeepStop, Bytes, 16), SIM_FIELD(T, BeepAttr, Struct, 8, &LineAttrSchema()),
      SIM_FIELD(T, DspCount, U32), SIM_FIELD(T, ProductType, U32),
      Field{"Info", offsetof(T, Info), FieldKind::Struct, sizeof(ResSystemInfo_t), [] {
              using I = ResSystemInfo_t;
              static const Schema i{{
                  SIM_FIELD(I, CpldVersion, U32), SIM_FIELD(I, CpuChipType, U32), SIM_FIELD(I, IsInland, U32),
                  SIM_FIELD(I, SupportEsata, U32), SIM_FIELD(I, SupportPm, U32), SIM_FIELD(I, AppVersion, U32),
                  SIM_FIELD(I, SdcardToDisk, U32), SIM_FIELD(I, NetType, U32), SIM_FIELD(I, SwitchPoeNumber, U32),
                  SIM_FIELD(I, DspChip, U32), SIM_FIELD(I, VideoChip, U32), SIM_FIELD(I, AudioMode, U32),
                  SIM_FIELD(I, FbdSize, U32), SIM_FIELD(I, NetCard, U32), SIM_FIELD(I, FbdDigit, U32),
                  SIM_FIELD(I, FbdShift, U32), SIM_FIELD(I, AudioInterface, U32), SIM_FIELD(I, SupportHdmi, U32),
                  SIM_FIELD(I, VideoTour, U32), SIM_FIELD(I, DiskInterface, U32), SIM_FIELD(I, SupportLcd, U32),
                  SIM_FIELD(I, SupportTv, U32), SIM_FIELD(I, HdVersion, U32), SIM_FIELD(I, ProductVersion, U32),
                  SIM_FIELD(I, DevSubType, U32), SIM_FIELD(I, PoePortNum, U32), SIM_FIELD(I, ProductTypeV2, U32),
                  SIM_FIELD(I, ProductSubTypeV2, U32), SIM_FIELD(I, CpuChipIdV2, U32), SIM_FIELD(I, CameraNum, U32),
                  SIM_FIELD(I, VideoOutputNumV2, U32), SIM_FIELD(I, AudioInputNumV2, U32),
                  SIM_FIELD(I, AudioOutputNumV2, U32), SIM_FIELD(I, AudioStreamInputNumV2, U32),
                  SIM_FIELD(I, VideoChnEncodeNumV2, U32), SIM_FIELD(I, AudioChnEncodeNumV2, U32),
                  SIM_FIELD(I, VideoChnDecodeNumV2, U32), SIM_FIELD(I, AudioChnDecodeNumV2, U32),
                  SIM_FIELD(I, ProductSeriesType, U32), SIM_FIELD(I, IpChannelExterntType, U32),
              }};
              return &i;
            }()},
      SIM_FIELD(T, UsbDebugInhibit, U32), SIM_FIELD(T, HwVersion, U32), SIM_FIELD(T, ScriptRequired, U32),
      SIM_FIELD(T, McuUpgradeMethod, U32), SIM_FIELD(T, McuModule, U32), SIM_FIELD(T, McuSerialMode, U32),
      Field{"Mcu", offsetof(T, Mcu), FieldKind::Array, sizeof(ResMcuEntry_t), [] {
              static const Schema m{{SIM_FIELD(ResMcuEntry_t, Kind, U32), SIM_FIELD(ResMcuEntry_t, LineIdx, U32),
                                     SIM_FIELD(ResMcuEntry_t, Enabled, U32)}};
              return &m;
            }(), RES_MCU_MAX, offsetof(T, McuCount)},
      SIM_FIELD(T, TzFileFlag, U32), SIM_FIELD(T, SpiFlashDesc, Bytes, 60), SIM_FIELD(T, FpgaSwitchPort, U8),
      SIM_FIELD(T, FpgaSwitchBit, U8), SIM_FIELD(T, SubProductName, Str, 32),
  }};
  return &s;
}

const Schema* transcoms_schema() {
  static const Schema e{{SIM_FIELD(TransComEntry_t, DevType, U32),
                         SIM_FIELD(TransComEntry_t, Uart, Struct, sizeof(UartRes_t), &UartResSchema()),
                         SIM_FIELD(TransComEntry_t, Attr, Struct, 8, &LineAttrSchema()),
                         SIM_FIELD(TransComEntry_t, WorkMode, U32)}};
  static const Schema s{{Field{"Entry", offsetof(TransComsRes_t, Entry), FieldKind::Array, sizeof(TransComEntry_t),
                               &e, RES_TRANSCOM_MAX, offsetof(TransComsRes_t, Count)}}};
  return &s;
}

const Schema* serial_schema() {
  static const Schema e{{SIM_FIELD(SerialEntry_t, Role, U32),
                         SIM_FIELD(SerialEntry_t, Uart, Struct, sizeof(UartRes_t), &UartResSchema()),
                         SIM_FIELD(SerialEntry_t, Attr, Struct, 8, &LineAttrSchema())}};
  static const Schema s{{Field{"Entry", offsetof(SerialRes_t, Entry), FieldKind::Array, sizeof(SerialEntry_t), &e,
                               RES_SERIAL_MAX, offsetof(SerialRes_t, Count)}}};
  return &s;
}

const Schema* fbd_schema() {
  static const Schema e{{SIM_FIELD(FbdEntry_t, Type, U32),
                         SIM_FIELD(FbdEntry_t, Uart, Struct, sizeof(UartRes_t), &UartResSchema()),
                         SIM_FIELD(FbdEntry_t, Attr, Struct, 8, &LineAttrSchema())}};
  static const Schema s{{Field{"Entry", offsetof(FbdRes_t, Entry), FieldKind::Array, sizeof(FbdEntry_t), &e,
                               RES_FBD_MAX, offsetof(FbdRes_t, Count)}}};
  return &s;
}

const Schema* product_id_schema() {
  static const Schema s{{Field{"ProductId", 0, FieldKind::U32}}};
  return &s;
}

// Families add a row here (with a schema defined in their own model file).
const std::vector<ResRecordRow>& rows() {
  static const std::vector<ResRecordRow> k = {
      {"MonitorsGetRes", RES_IOC_MONITORS, RES_SIZE_MONITORS, nullptr},
      {"IRsGetRes", RES_IOC_IRS, RES_SIZE_IRS, nullptr},
      {"WdgsGetRes", RES_IOC_WDGS, RES_SIZE_WDGS, WdgsResSchema},
      {"AlarmGetRes", RES_IOC_ALARM, RES_SIZE_ALARM, nullptr},
      {"FbdGetRes", RES_IOC_FBD, RES_SIZE_FBD, fbd_schema},
      {"CmosGetRes", RES_IOC_CMOS, RES_SIZE_CMOS, nullptr},
      {"RtcGetRes", RES_IOC_RTC, RES_SIZE_RTC, RtcResSchema},
      {"FlashGetRes", RES_IOC_FLASH, RES_SIZE_FLASH, FlashResSchema},
      {"PtzGetRes", RES_IOC_PTZ, RES_SIZE_PTZ, nullptr},
      {"SerialGetRes", RES_IOC_SERIAL, RES_SIZE_SERIAL, serial_schema},
      {"SystemGetRes", RES_IOC_SYSTEM, RES_SIZE_SYSTEM, system_schema},
      {"ExtComsGetRes", RES_IOC_EXTCOMS, RES_SIZE_EXTCOMS, nullptr},
      {"EnvGetRes", RES_IOC_ENV, RES_SIZE_ENV, EnvResSchema},
      {"BoardGetRes", RES_IOC_BOARD, RES_SIZE_BOARD, nullptr},
      {"AdsGetRes", RES_IOC_ADS, RES_SIZE_ADS, nullptr},
      {"UsbGetRes", RES_IOC_USB, RES_SIZE_USB, nullptr},
      {"Mod3GGetRes", RES_IOC_MOD3G, RES_SIZE_MOD3G, nullptr},
      {"GpsGetRes", RES_IOC_GPS, RES_SIZE_GPS, nullptr},
      {"TransComsGetRes", RES_IOC_TRANSCOMS, RES_SIZE_TRANSCOMS, transcoms_schema},
      {"MiscGetRes", RES_IOC_MISC, RES_SIZE_MISC, nullptr},
      {"KeyboardGetRes", RES_IOC_KEYBOARD, RES_SIZE_KEYBOARD, nullptr},
      {"ProductIdGetRes", RES_IOC_PRODUCTID, RES_SIZE_PRODUCTID, product_id_schema},
      {"DcGetRes", RES_IOC_DC, RES_SIZE_DC, nullptr},
      {"MbussGetRes", RES_IOC_MBUSS, RES_SIZE_MBUSS, nullptr},
      {"ExternalHubGetRes", RES_IOC_EXTHUB, RES_SIZE_EXTHUB, nullptr},
  };
  return k;
}

bool failing(const nlohmann::json& res, const char* name) {
  auto it = res.find("fail");
  if (it == res.end() || !it->is_array()) return false;
  for (auto& f : *it)
    if (f.is_string() && f.get<std::string>() == name) return true;
  return false;
}

int refuse(int e) {
  errno = e;
  return -1;
}

class ResourceDriver final : public Device {
 public:
  ResourceDriver(int fd, nlohmann::json res, std::string dir) : Device(fd), res_(std::move(res)), dir_(std::move(dir)) {}

  int ioctl(unsigned long request, void* arg) override {
    if (!arg) return refuse(EFAULT);
    if (request == RES_IOC_VERSION) return version(static_cast<ResVersion_t*>(arg));
    if (request == RES_IOC_GETHWID || request == RES_IOC_SETHWID)
      return hwid(request == RES_IOC_SETHWID, static_cast<ResHwid_t*>(arg));
    for (auto& r : rows()) {
      if (r.request != request) continue;
      if (failing(res_, r.name)) return refuse(EIO);
      std::vector<uint8_t> rec;
      std::string err;
      if (!EncodeResRecord(res_, request, &rec, &err)) {
        fprintf(stderr, "dvrsim: resource record %s: %s\n", r.name, err.c_str());
        return refuse(EINVAL);
      }
      std::memcpy(arg, rec.data(), rec.size());
      return 0;
    }
    return refuse(ENOTTY);
  }

 private:
  int version(ResVersion_t* v) {
    if (failing(res_, "ResInit")) return refuse(EIO);
    ResVersion_t out{};
    std::string ver = res_.value("version", std::string(RES_VERSION));
    // Copies at most the 8 bytes of the field: a longer string comes back
    // unterminated, as a broken driver would hand it.
    std::memcpy(out.Version, ver.data(), std::min(ver.size(), sizeof out.Version));
    out.TotalSize = res_.value("size", RES_TOTAL_SIZE);
    *v = out;
    return 0;
  }

  // Answers set with ResSetHwid live in the node's backing file and win
  // over the board description.
  int hwid(bool set, ResHwid_t* q) {
    if (failing(res_, set ? "ResSetHwid" : "ResGetHwid")) return refuse(EIO);
    std::string key = std::to_string(q->Cmd);
    if (set) {
      if (::flock(fd_, LOCK_EX) != 0) return -1;
      std::string line = key + " " + std::to_string(q->Value) + "\n";
      ssize_t n = ::pwrite(fd_, line.data(), line.size(), ::lseek(fd_, 0, SEEK_END));
      ::flock(fd_, LOCK_UN);
      return n == static_cast<ssize_t>(line.size()) ? 0 : refuse(EIO);
    }
    std::map<std::string, long long> overrides;
    {
      std::string text;
      char buf[4096];
      ssize_t n;
      for (off_t off = 0; (n = ::pread(fd_, buf, sizeof buf, off)) > 0; off += n) text.append(buf, static_cast<size_t>(n));
      std::istringstream in(text);
      std::string k;
      long long v;
      while (in >> k >> v) overrides[k] = v;
    }
    if (auto it = overrides.find(key); it != overrides.end()) {
      q->Value = static_cast<int32_t>(it->second);
      return 0;
    }
    auto h = res_.find("hwid");
    if (h == res_.end() || !h->is_object() || !h->contains(key) || !(*h)[key].is_number_integer())
      return refuse(EINVAL);
    q->Value = static_cast<int32_t>((*h)[key].get<long long>());
    return 0;
  }

  nlohmann::json res_;
  std::string dir_;
};

std::unique_ptr<Device> open_resource(const Board& board, const std::string&, int fd, int) {
  // Read the description afresh: a test may have changed the board.
  std::string err;
  auto fresh = Board::Load(board.dir(), &err);
  const nlohmann::json& desc = fresh ? fresh->desc() : board.desc();
  return std::make_unique<ResourceDriver>(fd, desc.value("resource", nlohmann::json::object()), board.dir());
}

bool provision_resource(const Board& board, std::string* err) {
  auto res = board.desc().value("resource", nlohmann::json::object());
  if (!res.value("node", true)) return true;
  // Every described record must encode, so a bad board fails at "dvrsim new".
  for (auto& r : rows()) {
    std::vector<uint8_t> rec;
    if (!EncodeResRecord(res, r.request, &rec, err)) {
      *err = std::string("resource record ") + r.name + ": " + *err;
      return false;
    }
  }
  int fd = ::open(board.file("dev/vs_resource").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *err = "cannot create dev/vs_resource";
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace

std::span<const ResRecordRow> ResRecordRows() { return rows(); }

bool EncodeResRecord(const nlohmann::json& resource, unsigned long request, std::vector<uint8_t>* out,
                     std::string* err) {
  for (auto& r : rows()) {
    if (r.request != request) continue;
    out->assign(r.size, 0);
    auto recs = resource.find("records");
    if (recs == resource.end() || !recs->is_object() || !recs->contains(r.name)) return true;
    static const Schema kNone;
    return EncodeRecord(r.schema ? *r.schema() : kNone, (*recs)[r.name], *out, err);
  }
  *err = "no record for this request";
  return false;
}

extern const Model kResourceModel;
const Model kResourceModel = {"resource", "/dev/vs_resource", open_resource, provision_resource};

}  // namespace sim
