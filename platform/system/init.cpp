// Platform start: the resource handshake, every family's initialiser in
// the fixed order, and the product information dump.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "osa/osa.h"
#include "platform/env/bootenv.h"
#include "platform/flashset/flashset.h"
#include "platform/frontboard/frontboard.h"
#include "platform/gpio/gpio.h"
#include "platform/system/system.h"
#include "platform/rtc/rtc.h"
#include "platform/uart/uart.h"
#include "platform/watchdog/watchdog.h"

namespace {

constexpr int kRevision = 4517;

// Peripheral families without their drivers on this platform: each reads
// its record once and keeps it; no devices are made from it.
template <int (*Get)(void*), typename Rec>
struct Kept {
  static Rec* rec() {
    static Rec r;
    return &r;
  }
  static bool& done() {
    static bool d = false;
    return d;
  }
  static int init() {
    if (done()) return OSA_SOK;
    if (Get(rec()) != OSA_SOK) return OSA_EFAIL;
    done() = true;
    return OSA_SOK;
  }
};

// The leading fields of the records whose families have no driver here;
// the dump shows only these.
template <unsigned Size>
struct Raw {
  uint8_t Bytes[Size];
};
struct AlarmRes {
  uint32_t InNum, OutNum;
  uint8_t Reserved[RES_SIZE_ALARM - 8];
};
struct CmosRes {
  uint32_t Reserved1[2];
  uint32_t Offset;
  uint8_t Reserved[RES_SIZE_CMOS - 12];
};
static_assert(sizeof(AlarmRes) == RES_SIZE_ALARM && offsetof(AlarmRes, OutNum) == 4);
static_assert(sizeof(CmosRes) == RES_SIZE_CMOS && offsetof(CmosRes, Offset) == 8);

using Alarm = Kept<AlarmGetRes, AlarmRes>;
using Cmos = Kept<CmosGetRes, CmosRes>;
using Rtc = Kept<RtcGetRes, RtcRes_t>;
using Ptz = Kept<PtzGetRes, Raw<RES_SIZE_PTZ>>;
using Keyboard = Kept<KeyboardGetRes, Raw<RES_SIZE_KEYBOARD>>;
using Extcoms = Kept<ExtComsGetRes, Raw<RES_SIZE_EXTCOMS>>;
using Ads = Kept<AdsGetRes, Raw<RES_SIZE_ADS>>;
using Misc = Kept<MiscGetRes, Raw<RES_SIZE_MISC>>;
using Gps = Kept<GpsGetRes, Raw<RES_SIZE_GPS>>;
using IRs = Kept<IRsGetRes, Raw<RES_SIZE_IRS>>;
using Monitors = Kept<MonitorsGetRes, Raw<RES_SIZE_MONITORS>>;
using Env = Kept<EnvGetRes, EnvRes>;
using Flash = Kept<FlashGetRes, FlashRes>;

// The boot-burning check: the MAC variables the boot loader needs exist.
int BootBurningInit() {
  char mac[32];
  if (BootEnvGetValue("ethaddr", mac, sizeof mac) < 0) {
    DVR_WARN("ethaddr not burnt in the boot environment\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int gpio_init() { return GpioManagerInit(); }
// The system device reboots and shuts down through the watchdog set.
int system_init() {
  int r = SystemDevInit();
  WdgsRegisterWithSystem();
  return r;
}

struct Step {
  const char* name;
  int (*init)();  // nullptr: the family is not part of this build
  const char* fail;
};

// The fixed order.
const Step kSteps[] = {
    {"GpioManager", gpio_init, "GpioManager init error\r\n"},
    {"TransComDevInit", TransComDevInit, "TransComDevInit init error\r\n"},
    {"SystemDevInit", system_init, "SystemDevInit init error\r\n"},
    {"EnvDevInit", EnvDevInit, "EnvDevInit init error\r\n"},
    {"BootBurningInit", BootBurningInit, "BootBurningInit init error\r\n"},
    {"AlmDevInit", Alarm::init, "AlmDevInit init error\r\n"},
    {"FbdDevInit", FbdDevInit, "FbdDevInit\r\n"},
    {"FlashDevInit", FlashDevInit, "FlashDevInit\r\n"},
    {"CmosDevInit", Cmos::init, "CmosDevInit\r\n"},
    {"RtcDevInit", RtcDevInit, "RtcDevInit init error\r\n"},
    {"PtzDevInit", Ptz::init, "PtzDevInit init error\r\n"},
    {"SerialDevInit", SerialDevInit, "SerialDevInit init error\r\n"},
    {"KeyboardDev_Init", Keyboard::init, "KeyboardDev_Init init error\r\n"},
    {"ExtcomsInit", Extcoms::init, "ExtcomsInit init error\r\n"},
    {"AdsDevInit", Ads::init, "AdsDevInit init error\r\n"},
    {"MiscDevInit", Misc::init, "MiscDevInit init error\r\n"},
    {"GpsDevInit", Gps::init, "GpsDevInit init error\r\n"},
    {"IRsDevInit", IRs::init, "IRsDevInit init error\r\n"},
    {"MonitorsDevInit", Monitors::init, "MonitorsDevInit init error\r\n"},
    {"DulBackupDevInit", DulBackupDevInit, "DulBackupDevInit init error\r\n"},
};

void line(const char* label, const char* value) { OSA_LOG_DEBUG("|%20s:    %s\n", label, value); }
void line(const char* label, uint32_t value) {
  char v[16];
  std::snprintf(v, sizeof v, "%u", value);
  line(label, v);
}
void yes_no(const char* label, uint32_t v) { line(label, v ? "YES" : "NO"); }
void hwid(const char* label, uint32_t cmd) {
  char v[16];
  std::snprintf(v, sizeof v, "%d", DvrGetHwidInformation(cmd));
  line(label, v);
}
void heading(const char* h) { OSA_LOG_DEBUG("|                 %s\n", h); }

const char* name_of(const char* const* table, std::size_t n, uint32_t v) { return v < n ? table[v] : "Unknow"; }

}  // namespace

int SystemPrintProductInfo() {
  const SystemRes_t* r = SystemGetRecord();
  if (!r) {
    DVR_ERROR("SystemDev Not Inited.\n");
    return OSA_EFAIL;
  }
  static const char* const kSubTypes[] = {"BOTH", "NO RS232", "NO RS485", "NO"};
  static const char* const kBeep[] = {"NONE", "GPIO", "TTY", "UART"};
  static const char* const kReboot[] = {"WATCHDOG", "REBOOT", "Unknow", "NONE", "GPIO"};
  static const char* const kShutdown[] = {"WATCHDOG", "POWEROFF", "HALT", "NONE"};
  const char stars[] = "*********************************************************";
  OSA_LOG_DEBUG("%s\n", stars);
  heading("PRODUCT INFORMATION");
  OSA_LOG_DEBUG("|       libsysbase version:  %d - %s %s\n", kRevision, __DATE__, __TIME__);
  heading("1.system information");
  char name[29];
  ResCopyString(name, sizeof name, r->ProductName, sizeof r->ProductName);
  line("ProductName", name);
  line("DeviceCategory", DeviceCategory(static_cast<int>(r->ProductType)));
  line("ModCapMask", r->ModCapMask);
  line("GpsModType", r->GpsModType);
  yes_no("ForNRT", r->ForNRT);
  yes_no("ForATM", r->ForATM);
  yes_no("HasAudioBoard", r->HasAudioBoard);
  yes_no("HasLoopBoard", r->HasLoopBoard);
  yes_no("HasMatrixBoard", r->HasMatrixBoard);
  yes_no("HasPtzBoard", r->HasPtzBoard);
  yes_no("HasWlanBoard", r->HasWlanBoard);
  line("SystemRestType", "TEMP DON'T KNOW");
  line("RebootType", name_of(kReboot, 5, r->RebootType));
  line("ShutdownType", name_of(kShutdown, 4, r->ShutdownType));
  line("BeepType", name_of(kBeep, 4, r->BeepType));
  line("DspCount", r->DspCount);
  line("ProductType", r->ProductType);
  const ResSystemInfo_t& i = r->Info;
  const struct {
    const char* label;
    uint32_t v;
    bool flag;
  } info[] = {
      {"CpldVersion", i.CpldVersion, false}, {"CpuChipType", i.CpuChipType, false}, {"IsInland", i.IsInland, true},
      {"SupportEsata", i.SupportEsata, true}, {"SupportPm", i.SupportPm, true}, {"AppVersion", i.AppVersion, false},
      {"SdcardToDisk", i.SdcardToDisk, true}, {"NetType", i.NetType, false},
      {"SwitchPoeNumber", i.SwitchPoeNumber, false}, {"DspChip", i.DspChip, false},
      {"VideoChip", i.VideoChip, false}, {"AudioMode", i.AudioMode, false}, {"FbdSize", i.FbdSize, false},
      {"NetCard", i.NetCard, false}, {"FbdDigit", i.FbdDigit, false}, {"FbdShift", i.FbdShift, false},
      {"AudioInterface", i.AudioInterface, false}, {"SupportHdmi", i.SupportHdmi, true},
      {"VideoTour", i.VideoTour, true}, {"DiskInterface", i.DiskInterface, false},
      {"SupportLcd", i.SupportLcd, true}, {"SupportTv", i.SupportTv, true}, {"HdVersion", i.HdVersion, false},
      {"ProductVersion", i.ProductVersion, false}, {"DevSubType", i.DevSubType, false},
      {"PoePortNum", i.PoePortNum, false}, {"ProductTypeV2", i.ProductTypeV2, false},
      {"ProductSubTypeV2", i.ProductSubTypeV2, false}, {"CpuChipIdV2", i.CpuChipIdV2, false},
      {"CameraNum", i.CameraNum, false}, {"VideoOutputNumV2", i.VideoOutputNumV2, false},
      {"AudioInputNumV2", i.AudioInputNumV2, false}, {"AudioOutputNumV2", i.AudioOutputNumV2, false},
      {"AudioStreamInputNumV2", i.AudioStreamInputNumV2, false},
      {"VideoChnEncodeNumV2", i.VideoChnEncodeNumV2, false},
      {"AudioChnEncodeNumV2", i.AudioChnEncodeNumV2, false},
      {"VideoChnDecodeNumV2", i.VideoChnDecodeNumV2, false},
      {"AudioChnDecodeNumV2", i.AudioChnDecodeNumV2, false},
  };
  for (auto& f : info) f.flag ? yes_no(f.label, f.v) : line(f.label, f.v);
  line("ProductSubType", name_of(kSubTypes, 4, static_cast<uint32_t>(DvrGetHwidInformation(HWID_PRODUCT_SUBTYPE))));
  line("HwVersion", r->HwVersion);
  heading("2.Env information");
  if (Env::init() == OSA_SOK) {
    line("EnvStartAddr", Env::rec()->Main.Offset);
    line("EnvSize", Env::rec()->Main.Size);
  }
  heading("3.Alarm information");
  if (Alarm::init() == OSA_SOK) {
    line("AlarmInNum", Alarm::rec()->InNum);
    line("AlarmOutNum", Alarm::rec()->OutNum);
  }
  heading("4.Frontboard information");
  {
    FbdRes_t f{};
    if (FbdGetRes(&f) == OSA_SOK) line("FrontboardNum", f.Count);
  }
  heading("5.Flash information");
  if (Flash::init() == OSA_SOK) {
    const FlashRes& fr = *Flash::rec();
    uint32_t chips = std::min<uint32_t>(fr.ChipCount, kFlashMaxChips);
    line("FlashChipNum", chips);
    for (uint32_t c = 0; c < chips; ++c) {
      char v[48];
      std::snprintf(v, sizeof v, "size 0x%x base 0x%x", fr.Chip[c].Size, fr.Chip[c].Base);
      line("FlashChip", v);
    }
  }
  heading("6.Cmos,Rtc information");
  if (Rtc::init() == OSA_SOK) {
    line("RtcChip", Rtc::rec()->Chip);
    line("RtcAddr", Rtc::rec()->I2cAddr);
  }
  if (Cmos::init() == OSA_SOK) line("CmosOffset", Cmos::rec()->Offset);
  heading("7.others information");
  hwid("VideoChannel", HWID_VIDEO_CHANNELS);
  hwid("AudioChannel", HWID_AUDIO_CHANNELS);
  hwid("DigitalChannel", HWID_DIGITAL_CHANNELS);
  hwid("DiskNumber", HWID_DISK_NUM);
  hwid("DigitalRealChn", HWID_DIGITAL_REAL_CHANNELS);
  hwid("CDRomSupportNum", HWID_CDROM_NUM);
  hwid("PlayBackNum", HWID_PLAYBACK_NUM);
  hwid("SupportRs232", HWID_SUPPORT_RS232);
  hwid("SupportRs485", HWID_SUPPORT_RS485);
  line("ProductSeriesType", i.ProductSeriesType);
  line("IpChannelExterntType", i.IpChannelExterntType);
  OSA_LOG_DEBUG("%s\n", stars);
  return OSA_SOK;
}

void InitDvrSystem(int, char**) {
  const char dashes[] = "---------------------------------------------------------";
  OSA_LOG_DEBUG("\n\n%s\n", dashes);
  OSA_LOG_DEBUG("|       libdvr.a   version:  %d - %s %s\n", kRevision, __DATE__, __TIME__);
  OSA_LOG_DEBUG("|       libsysbase version:  %d - %s %s\n", kRevision, __DATE__, __TIME__);
  OSA_LOG_DEBUG("%s\n", dashes);
  ResInit();
  for (const Step& s : kSteps) {
    if (!s.init) continue;
    if (s.init() != OSA_SOK) DVR_ERROR("%s", s.fail);
  }
  SystemPrintProductInfo();
}
