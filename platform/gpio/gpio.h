// The GPIO manager: one object per board signal line, created on first use
// and kept for the life of the process, over two drivers: the board
// driver's own lines (/dev/vs_gpio, types 0..2) and the I2C port expander's
// (/dev/zq_max7311_gpio, type 3).
#pragma once

#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "osa/osa.h"
#include "platform/res/res.h"

inline constexpr const char* GPIO_NODE = "/dev/vs_gpio";
inline constexpr const char* GPIO_EXTEND_NODE = "/dev/zq_max7311_gpio";
inline constexpr uint32_t GPIO_TYPE_EXTEND = 3;
inline constexpr uint32_t GPIO_TYPE_COUNT = 4;
enum GpioDir : uint32_t { GPIO_DIR_IN = 0, GPIO_DIR_OUT = 1 };

// The argument of every GPIO request: the identity, then the value.
struct GpioIoctl_t {
  uint8_t Port;
  uint8_t Bit;
  uint8_t Reserved[2];
  uint32_t Index;
  uint32_t Type;
  uint32_t Value;
};
static_assert(sizeof(GpioIoctl_t) == 16 && offsetof(GpioIoctl_t, Index) == 4 && offsetof(GpioIoctl_t, Type) == 8 &&
              offsetof(GpioIoctl_t, Value) == 12);

inline constexpr unsigned long GPIO_IOC_SET_DIR = _IOW('G', 1, GpioIoctl_t);
inline constexpr unsigned long GPIO_IOC_GET_DIR = _IOR('G', 2, GpioIoctl_t);
inline constexpr unsigned long GPIO_IOC_READ = _IOR('G', 3, GpioIoctl_t);
inline constexpr unsigned long GPIO_IOC_WRITE = _IOW('G', 4, GpioIoctl_t);
inline constexpr unsigned long GPIO_IOC_CONFIG_ALT = _IOW('G', 5, GpioIoctl_t);
static_assert(GPIO_IOC_SET_DIR == 0x40104701 && GPIO_IOC_GET_DIR == 0x80104702 && GPIO_IOC_READ == 0x80104703 &&
              GPIO_IOC_WRITE == 0x40104704 && GPIO_IOC_CONFIG_ALT == 0x40104705);

struct GpioManager_t;

// One line.  Callers keep the object and call its operations directly;
// each takes the object last.
struct GpioDev_t {
  GpioRes_t Res;
  int (*Read)(uint32_t* pValue, GpioDev_t* Thiz);   // 0 or 1
  int (*Write)(uint32_t* pValue, GpioDev_t* Thiz);  // only bit 0 is sent
  int (*Open)(GpioDev_t* Thiz);
  int (*SetDirOut)(GpioDev_t* Thiz);
  int (*SetDirIn)(GpioDev_t* Thiz);
  int (*WriteHigh)(GpioDev_t* Thiz);
  int (*WriteLow)(GpioDev_t* Thiz);
  int (*GetDir)(uint32_t* pDir, GpioDev_t* Thiz);
  int (*ConfigAlt)(GpioDev_t* Thiz);
  GpioManager_t* Parent;
  osa::Mutex Lock;  // serialises the requests on this line
};

struct GpioManager_t {
  // /dev/vs_gpio, shared by every board-driver line.  FdLock is held while
  // it is opened, used for one request, or closed by a test reset.
  osa::UniqueFd Fd;
  osa::Mutex FdLock;
  char DevName[32] = {};
  bool Inited = false;
  osa::Mutex Lock;  // guards the list: lookup and insertion only
  std::list<std::unique_ptr<GpioDev_t>> Devs;
  std::list<std::unique_ptr<GpioDev_t>> Retired;  // forgotten by a reset, never freed
  GpioDev_t* (*FindOrAlloc)(const GpioRes_t* pRes, GpioManager_t* Thiz) = nullptr;
  int (*Write)(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) = nullptr;
  int (*Read)(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) = nullptr;
  int (*ProbeDev)(const GpioRes_t* pRes, GpioManager_t* Thiz) = nullptr;
  // Forgets every line and closes the node, so the next probe starts
  // afresh (a test that switches boards).  Objects handed out stay
  // allocated.
  void ResetForTest();
};

// The process-wide manager (never torn down).
GpioManager_t* GpioManagerGet();

// Idempotent; logs "GpioManager Init sucessed." the first time.  0.
int GpioManagerInit();
// The GPIO part of osa::ResetSingletonsForTest(), kept for the tests that
// call it by name.
void GpioManagerReset();
// The object for a line, created, opened and configured on first use.
int GpioDevProbe(const GpioRes_t* pGpioRes, GpioDev_t** pGpioDev);
// A board switch on a board-driver line: probes port/bit, logs
// "NAME PORT %d, BIT %d!" and makes it an output.  0, or -1 after logging
// which step failed.
int GpioDevProbeOutput(uint32_t port, uint32_t bit, const char* name, GpioDev_t** pGpioDev);

GpioDev_t* ManagerFindGpioDev(const GpioRes_t* pRes, GpioManager_t* Thiz);
int GpioManagerProbeDev(const GpioRes_t* pRes, GpioManager_t* Thiz);
// Switch the line to output and write / to input and read.
int GpioManagerWrite(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz);
int GpioManagerRead(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz);

// Board-driver line operations.
int GpioCommonOpen(GpioDev_t* Thiz);
int GpioCommonConfigAlt(GpioDev_t* Thiz);
int GpioCommonSetDir(uint32_t dir, GpioDev_t* Thiz);
int GpioCommonGetDir(uint32_t* pDir, GpioDev_t* Thiz);
int GpioCommonRead(uint32_t* pValue, GpioDev_t* Thiz);
int GpioCommonWrite(uint32_t* pValue, GpioDev_t* Thiz);

// Port expander line operations: each request opens and closes the node.
int GpioExtendIoctl(unsigned long request, uint32_t* pValue, GpioDev_t* Thiz);
int GpioExtendOpen(GpioDev_t* Thiz);
int GpioExtendConfigAlt(GpioDev_t* Thiz);

// Two identities name the same line when port, bit, index and type agree.
bool GpioSameLine(const GpioRes_t& a, const GpioRes_t& b);
