// The resource driver's client: one open, one request, one close per call.

#include "platform/res/res.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "osa/osa.h"
#include "osa/sys.h"

namespace {

constexpr int kRevision = 4517;

// The cache is written by whichever thread asks first; atomics make the
// benign race of two first askers well defined.
struct HwidSlot {
  std::atomic<int32_t> value{0};
  std::atomic<bool> valid{false};
};
HwidSlot g_hwid[RES_HWID_CACHED];

// One HWID exchange without a log line of its own.
bool ask_hwid(uint32_t command, int32_t* answer) {
  ResHwid_t q{};
  q.Cmd = command;
  if (ResGetHwid(&q) != 0) return false;
  *answer = q.Value;
  return true;
}

bool terminated(const char* s, std::size_t len) { return std::memchr(s, '\0', len) != nullptr; }

}  // namespace

int ResIoctl(unsigned long request, void* buffer, const char* name) {
  if (!buffer || !name) {
    DVR_ERROR("Invaled param\n");
    return OSA_EFAIL;
  }
  osa::UniqueFd fd(osa::sys::open(RES_NODE, O_RDWR | O_CLOEXEC));
  if (!fd) {
    DVR_ERROR("open %s failed\n", RES_NODE);
    return OSA_EFAIL;
  }
  if (osa::sys::ioctl(fd.get(), request, buffer) < 0) {
    DVR_ERROR("ioctl failed in [%s].\n", name);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

#define RES_OP(fn, code) \
  int fn(void* buffer) { return ResIoctl(code, buffer, #fn); }
RES_OP(MonitorsGetRes, RES_IOC_MONITORS)
RES_OP(IRsGetRes, RES_IOC_IRS)
RES_OP(WdgsGetRes, RES_IOC_WDGS)
RES_OP(AlarmGetRes, RES_IOC_ALARM)
RES_OP(FbdGetRes, RES_IOC_FBD)
RES_OP(CmosGetRes, RES_IOC_CMOS)
RES_OP(RtcGetRes, RES_IOC_RTC)
RES_OP(FlashGetRes, RES_IOC_FLASH)
RES_OP(PtzGetRes, RES_IOC_PTZ)
RES_OP(SerialGetRes, RES_IOC_SERIAL)
RES_OP(SystemGetRes, RES_IOC_SYSTEM)
RES_OP(ExtComsGetRes, RES_IOC_EXTCOMS)
RES_OP(EnvGetRes, RES_IOC_ENV)
RES_OP(ResSetHwid, RES_IOC_SETHWID)
RES_OP(ResGetHwid, RES_IOC_GETHWID)
RES_OP(BoardGetRes, RES_IOC_BOARD)
RES_OP(AdsGetRes, RES_IOC_ADS)
RES_OP(UsbGetRes, RES_IOC_USB)
RES_OP(Mod3GGetRes, RES_IOC_MOD3G)
RES_OP(GpsGetRes, RES_IOC_GPS)
RES_OP(TransComsGetRes, RES_IOC_TRANSCOMS)
RES_OP(MiscGetRes, RES_IOC_MISC)
RES_OP(KeyboardGetRes, RES_IOC_KEYBOARD)
RES_OP(ProductIdGetRes, RES_IOC_PRODUCTID)
RES_OP(DcGetRes, RES_IOC_DC)
RES_OP(MbussGetRes, RES_IOC_MBUSS)
RES_OP(ExternalHubGetRes, RES_IOC_EXTHUB)
#undef RES_OP

int ResHandshake() {
  OSA_LOG_DEBUG("|       libres version:    %d - %s %s\n", kRevision, __DATE__, __TIME__);
  ResVersion_t v{};
  if (ResIoctl(RES_IOC_VERSION, &v, "ResInit") != OSA_SOK) {
    DVR_ERROR("resource init faild,exit the process\n");
    return OSA_EFAIL;
  }
  if (!ResVersionCheck(v)) return OSA_SOK;
  DVR_ERROR("resource version match faild,exit the process\n");
  DVR_ERROR("drvbox ressize=%d, libdvr ressize=%zu\n", static_cast<int>(v.TotalSize),
            static_cast<std::size_t>(RES_TOTAL_SIZE));
  // The driver's string need not be terminated; print its 8 bytes at most.
  DVR_ERROR("drvbox version=%.*s, libdvr version=%s\n", static_cast<int>(sizeof v.Version), v.Version, RES_VERSION);
  return OSA_EFAIL;
}

int ResInit() {
  if (ResHandshake() != OSA_SOK) {
    fflush(stdout);
    std::exit(0);  // a process that does not know its board does not go on
  }
  return OSA_SOK;
}

int SysGetHwidInfo(uint32_t command) {
  int32_t v;
  if (!ask_hwid(command, &v)) {
    DVR_ERROR("cmd:%d.\n", static_cast<int>(command));
    return OSA_EFAIL;
  }
  return v;
}

int DvrGetHwidInformation(uint32_t command) {
  HwidSlot* slot = command < RES_HWID_CACHED ? &g_hwid[command] : nullptr;
  if (slot && slot->valid.load(std::memory_order_acquire)) return slot->value.load(std::memory_order_relaxed);
  int32_t v;
  if (!ask_hwid(command, &v)) {
    DVR_ERROR("get hwid cmd:%d failed.\n", static_cast<int>(command));
    return OSA_EFAIL;
  }
  if (slot) {
    slot->value.store(v, std::memory_order_relaxed);
    slot->valid.store(true, std::memory_order_release);
  }
  return v;
}

int CFG_HWID_GetProductType(int* out) {
  if (!out) {
    DVR_ERROR("param err\n");
    return OSA_EFAIL;
  }
  uint32_t v = 0;
  if (ProductIdGetRes(&v) != OSA_SOK) {
    DVR_ERROR("ProductIdGetRes failed.\n");
    return -ENOENT;
  }
  *out = static_cast<int>(v);
  return OSA_SOK;
}

int GetDeviceInfo(void* buffer) {
  if (!buffer) {
    DVR_ERROR("param err\n");
    return OSA_EFAIL;
  }
  return BoardGetRes(buffer);
}

// ------------------------------------------------------------ record checks

const char* ResVersionCheck(const ResVersion_t& v) {
  if (v.TotalSize != RES_TOTAL_SIZE) return "total resource size differs";
  // Exact match: the terminating NUL is part of the comparison.
  if (std::memcmp(v.Version, RES_VERSION, sizeof RES_VERSION) != 0) return "resource version differs";
  return nullptr;
}

const char* ResUartCheck(const UartRes_t& u) {
  if (!terminated(u.DevName, sizeof u.DevName)) return "uart device path is not terminated";
  if (u.UseFor > 13) return "uart use kind above 13";
  if (u.ChnMask & ~0x3FFEu) return "uart channel outside 1..13";
  return nullptr;
}

const char* ResSystemCheck(const SystemRes_t& s) {
  if (!terminated(s.SerialIDKey, sizeof s.SerialIDKey)) return "serial number key is not terminated";
  if (s.BeepStartCnt > sizeof s.BeepStart) return "beep start command longer than 16 bytes";
  if (s.BeepStopCnt > sizeof s.BeepStop) return "beep stop command longer than 16 bytes";
  if (s.McuCount > RES_MCU_MAX) return "too many microcontroller entries";
  if (s.BeepType == BEEP_TTY && !terminated(s.BeepTty.DevPath, sizeof s.BeepTty.DevPath))
    return "buzzer device path is not terminated";
  if (s.BeepType == BEEP_UART) return ResUartCheck(s.BeepUart);
  return nullptr;
}

const char* ResTransComsCheck(const TransComsRes_t& r) {
  if (r.Count > RES_TRANSCOM_MAX) return "too many transport lines";
  for (uint32_t i = 0; i < r.Count; ++i)
    if (r.Entry[i].DevType == 1)
      if (const char* why = ResUartCheck(r.Entry[i].Uart)) return why;
  return nullptr;
}

const char* ResSerialCheck(const SerialRes_t& r) {
  if (r.Count > RES_SERIAL_MAX) return "too many serial ports";
  for (uint32_t i = 0; i < r.Count; ++i)
    if (const char* why = ResUartCheck(r.Entry[i].Uart)) return why;
  return nullptr;
}

const char* ResFbdCheck(const FbdRes_t& r) {
  if (r.Count > RES_FBD_MAX) return "too many front boards";
  for (uint32_t i = 0; i < r.Count; ++i)
    if (r.Entry[i].Type == FBD_UART)
      if (const char* why = ResUartCheck(r.Entry[i].Uart)) return why;
  return nullptr;
}

void ResCopyString(char* out, std::size_t size, const char* field, std::size_t field_len) {
  if (!out || size == 0) return;
  std::size_t n = 0;
  std::size_t max = size - 1 < field_len ? size - 1 : field_len;
  while (n < max && field[n]) ++n;
  std::memcpy(out, field, n);
  out[n] = '\0';
}
