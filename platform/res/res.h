// The hardware resource table: the board's description as the resource
// driver behind /dev/vs_resource holds it.  Each device family fetches its
// own fixed-size record once; the HWID service answers numbered questions
// about the product.  The records are shared with the simulator's driver.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- requests

// The driver's request encoding: direction 1 in bits 30-31, record size in
// bits 16-29, type 'H' in bits 8-15, number in bits 0-7.
constexpr unsigned long ResRequest(unsigned nr, unsigned size) {
  return (1ul << 30) | (static_cast<unsigned long>(size) << 16) | (0x48ul << 8) | nr;
}

enum ResRecordSize : unsigned {
  RES_SIZE_VERSION = 16, RES_SIZE_MONITORS = 384, RES_SIZE_IRS = 172, RES_SIZE_WDGS = 4016,
  RES_SIZE_ALARM = 4016, RES_SIZE_FBD = 2724, RES_SIZE_CMOS = 100, RES_SIZE_RTC = 84,
  RES_SIZE_FLASH = 3100, RES_SIZE_PTZ = 348, RES_SIZE_SERIAL = 356, RES_SIZE_SYSTEM = 1248,
  RES_SIZE_EXTCOMS = 656, RES_SIZE_ENV = 564, RES_SIZE_HWID = 40, RES_SIZE_BOARD = 20,
  RES_SIZE_ADS = 4, RES_SIZE_USB = 596, RES_SIZE_MOD3G = 200, RES_SIZE_GPS = 716,
  RES_SIZE_TRANSCOMS = 716, RES_SIZE_MISC = 1504, RES_SIZE_KEYBOARD = 7736, RES_SIZE_PRODUCTID = 4,
  RES_SIZE_DC = 120, RES_SIZE_MBUSS = 268, RES_SIZE_EXTHUB = 72,
};

inline constexpr unsigned long RES_IOC_VERSION = ResRequest(0, RES_SIZE_VERSION);
inline constexpr unsigned long RES_IOC_MONITORS = ResRequest(16, RES_SIZE_MONITORS);
inline constexpr unsigned long RES_IOC_IRS = ResRequest(18, RES_SIZE_IRS);
inline constexpr unsigned long RES_IOC_WDGS = ResRequest(19, RES_SIZE_WDGS);
inline constexpr unsigned long RES_IOC_ALARM = ResRequest(20, RES_SIZE_ALARM);
inline constexpr unsigned long RES_IOC_FBD = ResRequest(21, RES_SIZE_FBD);
inline constexpr unsigned long RES_IOC_CMOS = ResRequest(22, RES_SIZE_CMOS);
inline constexpr unsigned long RES_IOC_RTC = ResRequest(23, RES_SIZE_RTC);
inline constexpr unsigned long RES_IOC_FLASH = ResRequest(24, RES_SIZE_FLASH);
inline constexpr unsigned long RES_IOC_PTZ = ResRequest(25, RES_SIZE_PTZ);
inline constexpr unsigned long RES_IOC_SERIAL = ResRequest(26, RES_SIZE_SERIAL);
inline constexpr unsigned long RES_IOC_SYSTEM = ResRequest(27, RES_SIZE_SYSTEM);
inline constexpr unsigned long RES_IOC_EXTCOMS = ResRequest(28, RES_SIZE_EXTCOMS);
inline constexpr unsigned long RES_IOC_ENV = ResRequest(29, RES_SIZE_ENV);
inline constexpr unsigned long RES_IOC_SETHWID = ResRequest(30, RES_SIZE_HWID);
inline constexpr unsigned long RES_IOC_GETHWID = ResRequest(31, RES_SIZE_HWID);
inline constexpr unsigned long RES_IOC_BOARD = ResRequest(32, RES_SIZE_BOARD);
inline constexpr unsigned long RES_IOC_ADS = ResRequest(84, RES_SIZE_ADS);
inline constexpr unsigned long RES_IOC_USB = ResRequest(90, RES_SIZE_USB);
inline constexpr unsigned long RES_IOC_MOD3G = ResRequest(91, RES_SIZE_MOD3G);
inline constexpr unsigned long RES_IOC_GPS = ResRequest(92, RES_SIZE_GPS);
inline constexpr unsigned long RES_IOC_TRANSCOMS = ResRequest(93, RES_SIZE_TRANSCOMS);
inline constexpr unsigned long RES_IOC_MISC = ResRequest(94, RES_SIZE_MISC);
inline constexpr unsigned long RES_IOC_KEYBOARD = ResRequest(94, RES_SIZE_KEYBOARD);
inline constexpr unsigned long RES_IOC_PRODUCTID = ResRequest(99, RES_SIZE_PRODUCTID);
inline constexpr unsigned long RES_IOC_DC = ResRequest(100, RES_SIZE_DC);
inline constexpr unsigned long RES_IOC_MBUSS = ResRequest(106, RES_SIZE_MBUSS);
inline constexpr unsigned long RES_IOC_EXTHUB = ResRequest(120, RES_SIZE_EXTHUB);

// The library's side of the version handshake.
inline constexpr char RES_VERSION[] = "V0.0.2";
inline constexpr uint32_t RES_TOTAL_SIZE = 94976;
inline constexpr const char* RES_NODE = "/dev/vs_resource";

// HWID commands the platform asks.
enum ResHwidCmd : uint32_t {
  HWID_VIDEO_CHANNELS = 0, HWID_AUDIO_CHANNELS = 1, HWID_CDROM_NUM = 15, HWID_DISK_NUM = 18,
  HWID_DIGITAL_CHANNELS = 22, HWID_PLAYBACK_NUM = 26, HWID_PRODUCT_TYPE = 27, HWID_PRODUCT_SUBTYPE = 29,
  HWID_SUPPORT_RS232 = 33, HWID_SUPPORT_RS485 = 34, HWID_DIGITAL_REAL_CHANNELS = 1006,
};
inline constexpr uint32_t RES_HWID_CACHED = 57;  // commands 0..56 are cached

// ----------------------------------------------------------------- records

struct ResVersion_t {
  char Version[8];     // NUL-terminated
  uint32_t TotalSize;
  uint32_t Reserved;
};

struct ResHwid_t {
  uint32_t Cmd;
  int32_t Value;
  uint8_t Reserved[32];
};

// A GPIO line identity as the records hold it.  The two reserved bytes
// travel with port and bit and stay zero.
struct GpioRes_t {
  uint8_t Port;
  uint8_t Bit;
  uint8_t Reserved[2];
  uint32_t Index;
  uint32_t Type;  // 0..2 board driver, 3 port expander
};

// A serial line description, also handed whole to the UART driver.
struct UartRes_t {
  uint32_t Index;        // identity of the line; every user of one index shares it
  char DevName[64];      // terminal device path, NUL-terminated
  uint32_t UseFor;       // use kind 1..13
  uint32_t UseMode;      // 2: multiplexed line served by the reader thread
  uint32_t IsBridge;     // 1: behind an SC16IS7xx I2C-to-UART bridge
  uint32_t WorkMode;     // 1 full duplex, 2 half duplex
  uint32_t RtsUseMode;   // direction control: 0 none, 1 driver register, 2 GPIO, 3 RTS
  GpioRes_t RtsGpio;     // direction GPIO (method 2)
  uint32_t RtsReg;       // direction register (method 1)
  uint32_t RtsDelayMs;   // turnaround delay after the last byte
  uint32_t TimeoutMs;    // default read timeout, 0 means 300
  uint8_t SyncByte[2];   // multiplexed frame start
  uint8_t Reserved0[2];
  uint32_t ChnMask;      // channels with ring buffers, bit n for channel n (1..13)
  uint32_t I2cBus;       // bridge lines: bus, chip address, bridge channel
  uint32_t I2cAddr;
  uint32_t BridgeChn;
  uint8_t Reserved[180];
};

// Line settings that travel beside a UART entry.
struct ResLineAttr_t {
  uint32_t Rate;
  uint8_t DataBits;
  uint8_t Parity;
  uint8_t StopBits;
  uint8_t Reserved;
};

struct ResMcuEntry_t {
  uint32_t Kind;
  uint32_t LineIdx;  // one-based serial line index
  uint32_t Enabled;
  uint8_t Reserved[32];
};
inline constexpr uint32_t RES_MCU_MAX = 5;

// The fields of the System record that the product information dump shows
// and no other code reads.
struct ResSystemInfo_t {
  uint32_t CpldVersion, CpuChipType, IsInland, SupportEsata, SupportPm, AppVersion, SdcardToDisk, NetType,
      SwitchPoeNumber, DspChip, VideoChip, AudioMode, FbdSize, NetCard, FbdDigit, FbdShift, AudioInterface,
      SupportHdmi, VideoTour, DiskInterface, SupportLcd, SupportTv, HdVersion, ProductVersion, DevSubType,
      PoePortNum, ProductTypeV2, ProductSubTypeV2, CpuChipIdV2, CameraNum, VideoOutputNumV2, AudioInputNumV2,
      AudioOutputNumV2, AudioStreamInputNumV2, VideoChnEncodeNumV2, AudioChnEncodeNumV2, VideoChnDecodeNumV2,
      AudioChnDecodeNumV2, ProductSeriesType, IpChannelExterntType;
};

enum SysRebootType : uint32_t { REBOOT_WATCHDOG = 0, REBOOT_COMMAND = 1, REBOOT_NONE = 3, REBOOT_GPIO = 4 };
enum SysShutdownType : uint32_t { SHUTDOWN_WATCHDOG = 0, SHUTDOWN_POWEROFF = 1, SHUTDOWN_HALT = 2, SHUTDOWN_NONE = 3 };
enum SysBeepType : uint32_t { BEEP_NONE = 0, BEEP_GPIO = 1, BEEP_TTY = 2, BEEP_UART = 3 };

struct SystemRes_t {
  char ProductName[28];        // readers copy at most 28 bytes
  char SerialIDKey[16];        // boot environment key of the serial number
  uint32_t ModCapMask;         // 44
  uint32_t GpsModType;         // 48
  uint32_t ForNRT, ForATM, HasAudioBoard, HasLoopBoard, HasMatrixBoard, HasPtzBoard, HasWlanBoard;  // 52..76
  uint32_t BoardFlagsEx[4];    // 80: further board flags (SysGetCapsEx copies 52..95)
  uint32_t RebootType;         // 96
  uint32_t ShutdownType;       // 100
  uint8_t RebootGpioPort;      // 104
  uint8_t RebootGpioBit;
  uint8_t RebootGpioLevel;     // non-zero: drive 1
  uint8_t Reserved1;
  uint32_t BeepType;           // 108
  union {                      // 112: the buzzer device, by BeepType
    struct {
      GpioRes_t Gpio;
      uint32_t InitLevel;      // 124
    } BeepGpio;
    UartRes_t BeepUart;
    struct {
      uint32_t ToneClock;
      char DevPath[308];       // 116
    } BeepTty;
  };
  uint32_t BeepStartCnt;       // 424
  uint32_t Reserved2;
  uint8_t BeepStart[16];       // 432
  uint32_t BeepStopCnt;        // 448
  uint32_t Reserved3;
  uint8_t BeepStop[16];        // 456
  uint8_t Reserved4[48];
  ResLineAttr_t BeepAttr;      // 520
  uint8_t Reserved5[8];
  uint32_t DspCount;           // 536
  uint32_t ProductType;        // 540
  ResSystemInfo_t Info;        // 544
  uint32_t UsbDebugInhibit;    // 704
  uint32_t HwVersion;          // 708
  uint32_t Reserved6;
  uint32_t ScriptRequired;     // 716
  uint32_t Reserved7[2];
  uint32_t McuUpgradeMethod;   // 728
  uint32_t McuModule;          // 732
  uint32_t McuSerialMode;      // 736
  uint8_t Reserved8[68];
  uint32_t McuCount;           // 808
  ResMcuEntry_t Mcu[RES_MCU_MAX];  // 812
  uint8_t Reserved9[24];
  uint32_t TzFileFlag;         // 1056
  uint8_t SpiFlashDesc[60];    // 1060
  uint8_t FpgaSwitchPort;      // 1120
  uint8_t FpgaSwitchBit;
  uint8_t Reserved10[54];
  char SubProductName[32];     // 1176
  uint8_t Reserved11[40];
};

// Transport serial lines (TransComsGetRes).
struct TransComEntry_t {
  uint32_t DevType;  // 0 none, 1 UART
  UartRes_t Uart;
  ResLineAttr_t Attr;
  uint32_t WorkMode;
  uint8_t Reserved[28];
};
inline constexpr uint32_t RES_TRANSCOM_MAX = 2;
struct TransComsRes_t {
  uint32_t Count;
  TransComEntry_t Entry[RES_TRANSCOM_MAX];
};

// Serial ports (SerialGetRes).
struct SerialEntry_t {
  uint32_t Role;  // 0 common port, 1 console
  UartRes_t Uart;
  ResLineAttr_t Attr;
  uint8_t Reserved[28];
};
inline constexpr uint32_t RES_SERIAL_MAX = 1;
struct SerialRes_t {
  uint32_t Count;
  SerialEntry_t Entry[RES_SERIAL_MAX];
};

// Front boards (FbdGetRes).
enum FbdType : uint32_t {
  FBD_UART = 1, FBD_GPIO_KEYS = 2, FBD_I2C = 3, FBD_NONE = 4, FBD_IR = 5, FBD_MBUS = 6, FBD_SPI_MCU = 7,
};
struct FbdEntry_t {
  uint32_t Type;
  UartRes_t Uart;      // serial-line boards
  ResLineAttr_t Attr;  // 316
  uint8_t Reserved[16];
};
inline constexpr uint32_t RES_FBD_MAX = 8;
struct FbdRes_t {
  uint32_t Count;
  FbdEntry_t Entry[RES_FBD_MAX];
};

// ------------------------------------------------------- layout checks

static_assert(RES_IOC_VERSION == 0x40104800 && RES_IOC_MONITORS == 0x41804810 && RES_IOC_IRS == 0x40AC4812);
static_assert(RES_IOC_WDGS == 0x4FB04813 && RES_IOC_ALARM == 0x4FB04814 && RES_IOC_FBD == 0x4AA44815);
static_assert(RES_IOC_CMOS == 0x40644816 && RES_IOC_RTC == 0x40544817 && RES_IOC_FLASH == 0x4C1C4818);
static_assert(RES_IOC_PTZ == 0x415C4819 && RES_IOC_SERIAL == 0x4164481A && RES_IOC_SYSTEM == 0x44E0481B);
static_assert(RES_IOC_EXTCOMS == 0x4290481C && RES_IOC_ENV == 0x4234481D && RES_IOC_SETHWID == 0x4028481E);
static_assert(RES_IOC_GETHWID == 0x4028481F && RES_IOC_BOARD == 0x40144820 && RES_IOC_ADS == 0x40044854);
static_assert(RES_IOC_USB == 0x4254485A && RES_IOC_MOD3G == 0x40C8485B && RES_IOC_GPS == 0x42CC485C);
static_assert(RES_IOC_TRANSCOMS == 0x42CC485D && RES_IOC_MISC == 0x45E0485E && RES_IOC_KEYBOARD == 0x5E38485E);
static_assert(RES_IOC_PRODUCTID == 0x40044863 && RES_IOC_DC == 0x40784864 && RES_IOC_MBUSS == 0x410C486A);
static_assert(RES_IOC_EXTHUB == 0x40484878);

static_assert(sizeof(ResVersion_t) == RES_SIZE_VERSION && offsetof(ResVersion_t, TotalSize) == 8);
static_assert(sizeof(ResHwid_t) == RES_SIZE_HWID && offsetof(ResHwid_t, Value) == 4);
static_assert(sizeof(GpioRes_t) == 12 && offsetof(GpioRes_t, Index) == 4 && offsetof(GpioRes_t, Type) == 8);
static_assert(sizeof(UartRes_t) == 312 && offsetof(UartRes_t, UseFor) == 68 && offsetof(UartRes_t, RtsGpio) == 88);
static_assert(offsetof(UartRes_t, SyncByte) == 112 && offsetof(UartRes_t, ChnMask) == 116 && offsetof(UartRes_t, Reserved) == 132);
static_assert(sizeof(ResLineAttr_t) == 8 && sizeof(ResMcuEntry_t) == 44 && sizeof(ResSystemInfo_t) == 160);

static_assert(sizeof(SystemRes_t) == RES_SIZE_SYSTEM);
static_assert(offsetof(SystemRes_t, SerialIDKey) == 28 && offsetof(SystemRes_t, ModCapMask) == 44);
static_assert(offsetof(SystemRes_t, GpsModType) == 48 && offsetof(SystemRes_t, ForNRT) == 52);
static_assert(offsetof(SystemRes_t, ForATM) == 56 && offsetof(SystemRes_t, HasAudioBoard) == 60);
static_assert(offsetof(SystemRes_t, HasLoopBoard) == 64 && offsetof(SystemRes_t, HasMatrixBoard) == 68);
static_assert(offsetof(SystemRes_t, HasPtzBoard) == 72 && offsetof(SystemRes_t, HasWlanBoard) == 76);
static_assert(offsetof(SystemRes_t, RebootType) == 96 && offsetof(SystemRes_t, ShutdownType) == 100);
static_assert(offsetof(SystemRes_t, RebootGpioPort) == 104 && offsetof(SystemRes_t, RebootGpioBit) == 105);
static_assert(offsetof(SystemRes_t, RebootGpioLevel) == 106 && offsetof(SystemRes_t, BeepType) == 108);
static_assert(offsetof(SystemRes_t, BeepGpio) == 112 && offsetof(SystemRes_t, BeepGpio.InitLevel) == 124);
static_assert(offsetof(SystemRes_t, BeepUart) == 112 && offsetof(SystemRes_t, BeepTty.DevPath) == 116);
static_assert(offsetof(SystemRes_t, BeepStartCnt) == 424 && offsetof(SystemRes_t, BeepStart) == 432);
static_assert(offsetof(SystemRes_t, BeepStopCnt) == 448 && offsetof(SystemRes_t, BeepStop) == 456);
static_assert(offsetof(SystemRes_t, BeepAttr) == 520 && offsetof(SystemRes_t, BeepAttr.DataBits) == 524);
static_assert(offsetof(SystemRes_t, DspCount) == 536 && offsetof(SystemRes_t, ProductType) == 540);
static_assert(offsetof(SystemRes_t, Info) == 544 && offsetof(SystemRes_t, UsbDebugInhibit) == 704);
static_assert(offsetof(SystemRes_t, HwVersion) == 708 && offsetof(SystemRes_t, ScriptRequired) == 716);
static_assert(offsetof(SystemRes_t, McuUpgradeMethod) == 728 && offsetof(SystemRes_t, McuModule) == 732);
static_assert(offsetof(SystemRes_t, McuSerialMode) == 736 && offsetof(SystemRes_t, McuCount) == 808);
static_assert(offsetof(SystemRes_t, Mcu) == 812 && offsetof(SystemRes_t, TzFileFlag) == 1056);
static_assert(offsetof(SystemRes_t, SpiFlashDesc) == 1060 && offsetof(SystemRes_t, FpgaSwitchPort) == 1120);
static_assert(offsetof(SystemRes_t, FpgaSwitchBit) == 1121 && offsetof(SystemRes_t, SubProductName) == 1176);

static_assert(sizeof(TransComEntry_t) == 356 && sizeof(TransComsRes_t) == RES_SIZE_TRANSCOMS);
static_assert(sizeof(SerialEntry_t) == 352 && sizeof(SerialRes_t) == RES_SIZE_SERIAL);
static_assert(sizeof(FbdEntry_t) == 340 && sizeof(FbdRes_t) == RES_SIZE_FBD);
static_assert(offsetof(FbdEntry_t, Uart) == 4 && offsetof(FbdEntry_t, Attr) == 316);
static_assert(offsetof(FbdEntry_t, Attr.DataBits) == 320 && offsetof(FbdEntry_t, Attr.StopBits) == 322);

// ------------------------------------------------------------ interfaces

// One request on a freshly opened /dev/vs_resource.  0 or -1 (logged).
int ResIoctl(unsigned long request, void* buffer, const char* name);

// The record operations: each fills a caller buffer of its record's size.
int MonitorsGetRes(void* buffer);
int IRsGetRes(void* buffer);
int WdgsGetRes(void* buffer);
int AlarmGetRes(void* buffer);
int FbdGetRes(void* buffer);
int CmosGetRes(void* buffer);
int RtcGetRes(void* buffer);
int FlashGetRes(void* buffer);
int PtzGetRes(void* buffer);
int SerialGetRes(void* buffer);
int SystemGetRes(void* buffer);
int ExtComsGetRes(void* buffer);
int EnvGetRes(void* buffer);
int ResSetHwid(void* query);
int ResGetHwid(void* query);
int BoardGetRes(void* buffer);
int AdsGetRes(void* buffer);
int UsbGetRes(void* buffer);
int Mod3GGetRes(void* buffer);
int GpsGetRes(void* buffer);
int TransComsGetRes(void* buffer);
int MiscGetRes(void* buffer);
int KeyboardGetRes(void* buffer);
int ProductIdGetRes(void* buffer);
int DcGetRes(void* buffer);
int MbussGetRes(void* buffer);
int ExternalHubGetRes(void* buffer);

// The start-up handshake: prints the banner, checks the driver's version
// and total size.  Returns 0; on any failure the process ends (status 0).
int ResInit();
// The handshake without ending the process: 0 or -1 after the same lines.
int ResHandshake();

// One HWID answer straight from the driver; -1 on failure ("cmd:%d.").
int SysGetHwidInfo(uint32_t command);
// Cached for commands 0..56 (a failure is not cached); -1 on failure.
int DvrGetHwidInformation(uint32_t command);

// 0; -1 for a null out ("param err"); -2 when the driver fails.
int CFG_HWID_GetProductType(int* out);
// BoardGetRes into buffer; -1 for a null buffer ("param err").
int GetDeviceInfo(void* buffer);

// ------------------------------------------------------- record checks

// Pure checks of records as a driver returned them: nullptr when sound,
// else what is wrong.  Families check their record before using it.
const char* ResVersionCheck(const ResVersion_t& v);       // the handshake's own rule
const char* ResUartCheck(const UartRes_t& u);
const char* ResSystemCheck(const SystemRes_t& s);
const char* ResTransComsCheck(const TransComsRes_t& r);
const char* ResSerialCheck(const SerialRes_t& r);
const char* ResFbdCheck(const FbdRes_t& r);

// Copies at most min(field, size - 1) bytes of a fixed record string and
// terminates it; nothing for size 0.
void ResCopyString(char* out, std::size_t size, const char* field, std::size_t field_len);
