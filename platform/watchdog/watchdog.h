// The watchdog set: one device object per watchdog the resource table
// lists (kernel driver, soft driver, microcontrollers on serial lines, I2C
// or SPI), the set operations over all of them, and the public entry points
// the application keeps the board alive with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osa/osa.h"
#include "platform/res/res.h"

struct UartDev_t;
struct I2cDev_t;

enum WdgType : uint32_t {
  WDG_FBD_UART = 1, WDG_SOFT = 2, WDG_MISC = 3, WDG_I2C = 4, WDG_LINUX = 5, WDG_MB_UART = 6, WDG_SPI_MCU = 7,
};
enum WdgSlotIndex : uint32_t { WDG_CMD_KEEPALIVE = 0, WDG_CMD_STOP = 1, WDG_CMD_SHUTDOWN = 3, WDG_CMD_REBOOT = 4 };
inline constexpr uint32_t WDG_MAX = 9;
inline constexpr uint32_t WDG_SLOTS = 5;
inline constexpr uint32_t WDG_FRAME_MAX = 12;

// One command of a microcontroller: the frame bytes are the board's, sent
// unchanged; length 0 means the command is not available.
struct WdgSlot_t {
  uint32_t Len;
  uint8_t Frame[WDG_FRAME_MAX];
};

// The I2C watchdog's device and the parameters of its block write.
struct WdgI2cRes_t {
  uint32_t Bus;        // entry 8
  uint32_t Addr;       // 12
  uint32_t Protocol;   // 16
  uint8_t Reserved0[32];
  uint32_t WrReg;      // 0x34: first register of the block write
  uint8_t WrRegLen;    // 0x38: register address bytes
  uint8_t Reserved1;
  uint16_t WrFlags;    // 0x3A
  uint8_t Reserved2[4];
  uint32_t WrDelayUs;  // 0x40: settle time after the write
  uint32_t WrRetry;    // 0x44: further attempts after a failed write
  WdgSlot_t Slots[WDG_SLOTS];  // 0x48
};

struct WdgEntry_t {
  uint32_t Type;           // 0
  uint32_t DefTimeout;     // 4: seconds, soft and kernel watchdogs
  union {                  // 8
    char DevPath[312];     // soft watchdog node
    UartRes_t Uart;        // serial-line microcontrollers
    WdgI2cRes_t I2c;
    WdgSlot_t SpiSlots[WDG_SLOTS];
  };
  union {                  // 0x140
    WdgSlot_t FbdSlots[WDG_SLOTS];
    struct {
      ResLineAttr_t Attr;  // 0x140
      WdgSlot_t Slots[WDG_SLOTS];  // 0x148
    } Mb;
  };
  uint8_t Reserved[36];
};

struct WdgsRes_t {
  uint32_t Count;
  WdgEntry_t Entry[WDG_MAX];
  uint8_t Reserved[16];
};

static_assert(sizeof(WdgSlot_t) == 16);
static_assert(sizeof(WdgEntry_t) == 444 && sizeof(WdgsRes_t) == RES_SIZE_WDGS);
static_assert(offsetof(WdgEntry_t, DefTimeout) == 4 && offsetof(WdgEntry_t, DevPath) == 8);
static_assert(offsetof(WdgEntry_t, Uart) == 8 && offsetof(WdgEntry_t, SpiSlots) == 8);
static_assert(offsetof(WdgEntry_t, I2c.WrReg) == 0x34 && offsetof(WdgEntry_t, I2c.WrRegLen) == 0x38);
static_assert(offsetof(WdgEntry_t, I2c.WrFlags) == 0x3A && offsetof(WdgEntry_t, I2c.WrDelayUs) == 0x40);
static_assert(offsetof(WdgEntry_t, I2c.WrRetry) == 0x44 && offsetof(WdgEntry_t, I2c.Slots) == 0x48);
static_assert(offsetof(WdgEntry_t, FbdSlots) == 0x140 && offsetof(WdgEntry_t, Mb.Attr) == 0x140);
static_assert(offsetof(WdgEntry_t, Mb.Slots) == 0x148 && offsetof(WdgsRes_t, Entry) == 4);

// Kernel watchdog requests, and the soft driver's own power-off request.
inline constexpr unsigned long WDIOC_SETOPTIONS_ = 0x80045704;
inline constexpr unsigned long WDIOC_KEEPALIVE_ = 0x80045705;
inline constexpr unsigned long WDIOC_SETTIMEOUT_ = 0xC0045706;
inline constexpr unsigned long WDIOC_GETTIMEOUT_ = 0x80045707;
inline constexpr unsigned long ZQ_WDIOC_SHUTDOWN = 0x8004571E;
inline constexpr int WDIOS_DISABLECARD_ = 1;
inline constexpr int WDIOS_ENABLECARD_ = 2;
inline constexpr const char* WDG_LINUX_NODE = "/dev/watchdog";
inline constexpr const char* WDG_HEART_NODE = "/dev/beat_heart";

// The request of the SPI microcontroller driver and of every /dev/zq_mcu
// request: four words, the last the address of the data (32 bits on the
// board; the simulator runs in the caller's process and reads it there).
inline constexpr const char* ZQ_MCU_NODE = "/dev/zq_mcu";
inline constexpr unsigned long ZQ_MCU_SPI_WRITE = 0xC0044D20;
struct ZqMcuDesc_t {
  uint32_t Unused;
  uint32_t Offset;
  uint32_t Length;
  const void* Data;
};
#if defined(__arm__)
static_assert(sizeof(ZqMcuDesc_t) == 16 && offsetof(ZqMcuDesc_t, Data) == 12);
#endif

struct WdgDev_t {
  const WdgEntry_t* Res = nullptr;
  uint32_t Index = 0;
  UartDev_t* pUart = nullptr;
  I2cDev_t* pI2c = nullptr;
  osa::UniqueFd Fd;  // soft watchdog node or /dev/zq_mcu
  bool Created = false;
  int (*Create)(WdgDev_t* Thiz) = nullptr;
  int (*Destroy)(WdgDev_t* Thiz) = nullptr;
  int (*Open)(WdgDev_t* Thiz) = nullptr;
  int (*Close)(WdgDev_t* Thiz) = nullptr;
  int (*KeepAlive)(WdgDev_t* Thiz) = nullptr;
  int (*SetTimeout)(uint32_t seconds, WdgDev_t* Thiz) = nullptr;
  int (*Stop)(WdgDev_t* Thiz) = nullptr;
  int (*Start)(WdgDev_t* Thiz) = nullptr;
  int (*Shutdown)(WdgDev_t* Thiz) = nullptr;
  int (*Reboot)(WdgDev_t* Thiz) = nullptr;
};

struct Wdgs_t;

// ------------------------------------------------------------ the set

// Builds the set once per process; -1 when the record cannot be read or
// no listed watchdog could be created.
int WdgsDevInit();
// The set built by WdgsDevInit (nullptr before).
Wdgs_t* WdgsGet();
int WdgsOpen(Wdgs_t* Thiz);
int WdgsClose(Wdgs_t* Thiz);
int WdgsKeepAlive(Wdgs_t* Thiz);
int WdgsSetTimeout(uint32_t seconds, Wdgs_t* Thiz);
int WdgsStop(Wdgs_t* Thiz);
int WdgsStart(Wdgs_t* Thiz);
int WdgsShutdown(Wdgs_t* Thiz);  // ends the process with status 7 when every device took it
int WdgsReboot(Wdgs_t* Thiz);
int WdgsDestory(Wdgs_t* Thiz);

// --------------------------------------------------------- entry points

int WatchdogCreate();
int WatchdogKeepAlive();
int WatchdogClear();
int WatchdogStart();
int WatchdogStop();
int WatchdogDestory();

// Hands the set's reboot, shutdown and stop to the system device.
void WdgsRegisterWithSystem();

// ------------------------------------------------ pure pieces (tests, fuzz)

// nullptr when the record is sound, else what is wrong with it.
const char* WdgsResCheck(const WdgsRes_t& r);
// The log name of a type ("SOFT"), nullptr for an unknown one.
const char* WdgTypeName(uint32_t type);
// The command slot table of an entry (nullptr for types without one).
const WdgSlot_t* WdgSlotTable(const WdgEntry_t& e);
// A slot's frame: 0 and the length, or -1 when the slot is not usable.
int WdgSlotFrame(const WdgEntry_t& e, uint32_t slot, const uint8_t** frame, uint32_t* len);

// The device operations of each type (installed by WdgsDevInit).
void WdgInstallOps(WdgDev_t* d);
