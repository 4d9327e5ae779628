// The watchdog device types: command-slot microcontrollers (serial line,
// I2C, SPI), the soft watchdog driver and the kernel's watchdog.

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "osa/sys.h"
#include "platform/i2c/i2c.h"
#include "platform/uart/uart.h"
#include "platform/watchdog/watchdog.h"

namespace {

int ok(WdgDev_t*) { return OSA_SOK; }
int ok_timeout(uint32_t, WdgDev_t*) { return OSA_SOK; }

bool check(const WdgDev_t* d) {
  if (!d || !d->Res) {
    OSA_CHECK_FAIL("Thiz");
    return false;
  }
  return true;
}

void* int_arg(uintptr_t v) { return reinterpret_cast<void*>(v); }

// ------------------------------------------------------ command slots

enum class Cmd { KeepAlive, Stop, Shutdown, Reboot };

uint32_t slot_of(Cmd c) {
  switch (c) {
    case Cmd::KeepAlive: return WDG_CMD_KEEPALIVE;
    case Cmd::Stop: return WDG_CMD_STOP;
    case Cmd::Shutdown: return WDG_CMD_SHUTDOWN;
    case Cmd::Reboot: return WDG_CMD_REBOOT;
  }
  return WDG_CMD_KEEPALIVE;
}

void log_frame(const WdgDev_t* d, Cmd c, const uint8_t* f, uint32_t len) {
  uint8_t b[4] = {};
  std::memcpy(b, f, len < 4 ? len : 4);
  switch (d->Res->Type) {
    case WDG_FBD_UART: {
      static const char* const k[] = {"FrontBoad Keeping Alive", "FrontBoad Stop ", "FrontBoad Shutdown ",
                                      "FrontBoard Reboot "};
      DVR_INFO("%s[%x %x %x %x], Size[%d]\n", k[static_cast<int>(c)], b[0], b[1], b[2], b[3], static_cast<int>(len));
      break;
    }
    case WDG_MB_UART: {
      static const char* const k[] = {"MainBoardMcu Keeping Alive", "MainBoardMcu Stop ", "MainBoadMcu Shutdown ",
                                      "MainBoardMcu Reboot "};
      DVR_INFO("%s[%x %x %x %x], Size[%d]\n", k[static_cast<int>(c)], b[0], b[1], b[2], b[3], static_cast<int>(len));
      break;
    }
    case WDG_I2C: {
      static const char* const k[] = {"I2c Keeping Alive", "I2c Stop ", "I2c Shutdown ", "I2c reboot "};
      DVR_INFO("%s[%x %x %x %x], Size[%d]\n", k[static_cast<int>(c)], b[0], b[1], b[2], b[3], static_cast<int>(len));
      break;
    }
    default: {
      static const char* const k[] = {"Mcuspi Keeping Alive", "Mcuspi Stop ", "Mcuspi Shutdown ", "Mcuspi Reboot "};
      DVR_INFO("%s[%x %x %x %x], Size[%d]  %d \n", k[static_cast<int>(c)], b[0], b[1], b[2], b[3],
               static_cast<int>(len), static_cast<int>(len));
      break;
    }
  }
}

int send_uart(WdgDev_t* d, Cmd c, const uint8_t* f, uint32_t len) {
  const bool mb = d->Res->Type == WDG_MB_UART;
  if (c == Cmd::Reboot) DVR_INFO("%s", mb ? "write to MainBoardMcu reboot\n" : "write to frontboard reboot\n");
  int r = (d->pUart && d->pUart->Write) ? d->pUart->Write(f, len, d->pUart) : OSA_EFAIL;
  if (c == Cmd::Shutdown) {
    if (r != OSA_SOK) {
      DVR_ERROR("%s", mb ? "MainboardMcu Shutdown Failed, System may still running\n"
                   : "Fbd Shutdown Failed, System may still running\n");
      return OSA_EFAIL;
    }
    DVR_WARN("%s", mb ? "MainBoardMcu, System is Shutdown...\n" : "FrontBoard, System is Shutdown...\n");
  } else if (c == Cmd::Reboot) {
    if (r != OSA_SOK) {
      DVR_ERROR("%s", mb ? "MBMcu Reboot Failed, System may still running\n"
                   : "Fbd Reboot Failed, System may still running\n");
      return OSA_EFAIL;
    }
    DVR_WARN("%s", mb ? "MainBoardMcu, System is Rebooting..\n" : "FrontBoard, System is Rebooting..\n");
  }
  return r == OSA_SOK ? OSA_SOK : OSA_EFAIL;
}

int send_i2c(WdgDev_t* d, const uint8_t* f, uint32_t len) {
  const WdgI2cRes_t& p = d->Res->I2c;
  if (!d->pI2c || !d->pI2c->BlockWrite) return OSA_SOK;
  // The write's result is not the command's: the chip may answer late.
  for (uint32_t i = 0; i <= (p.WrRetry > 3 ? 3 : p.WrRetry); ++i)
    if (d->pI2c->BlockWrite(p.WrReg, p.WrRegLen, p.WrFlags, f, len, d->pI2c) == OSA_SOK) break;
  if (p.WrDelayUs) usleep(p.WrDelayUs > 100000 ? 100000 : p.WrDelayUs);
  return OSA_SOK;
}

int send_spi(WdgDev_t* d, const uint8_t* f, uint32_t len) {
  ZqMcuDesc_t desc{0, 0, len, f};
  if (!d->Fd || osa::sys::ioctl(d->Fd.get(), ZQ_MCU_SPI_WRITE, &desc) != 0) {
    DVR_ERROR("libdvr write fbd(spi) data error.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int command(WdgDev_t* d, Cmd c) {
  if (!check(d)) return OSA_EFAIL;
  const uint8_t* f = nullptr;
  uint32_t len = 0;
  if (WdgSlotFrame(*d->Res, slot_of(c), &f, &len) != OSA_SOK) {
    DVR_ERROR("Watchdog[%u] command slot %u is longer than %u bytes\n", d->Index, slot_of(c), WDG_FRAME_MAX);
    return OSA_EFAIL;
  }
  log_frame(d, c, f, len);
  const uint32_t t = d->Res->Type;
  const bool serial = t == WDG_FBD_UART || t == WDG_MB_UART;
  if (len == 0) {
    // A reboot nobody can carry out is not a reboot: the set must try the
    // next watchdog instead of reporting success.
    if (c == Cmd::Reboot) {
      DVR_WARN("%s", serial ? "Not Support This Cmd\n" : "Not Support This Function\n");
      return OSA_EFAIL;
    }
    if (!serial) {
      DVR_WARN("Not Support This Function\n");
      return OSA_SOK;
    }
    if (c == Cmd::Stop) DVR_WARN("Not Support This Cmd\n");
    if (c == Cmd::Shutdown)
      DVR_WARN("%s", t == WDG_MB_UART ? "MainBoardMcu, System is Shutdown...\n" : "FrontBoard, System is Shutdown...\n");
    return OSA_SOK;
  }
  if (serial) return send_uart(d, c, f, len);
  if (t == WDG_I2C) return send_i2c(d, f, len);
  return send_spi(d, f, len);
}

int cmd_keepalive(WdgDev_t* d) { return command(d, Cmd::KeepAlive); }
int cmd_stop(WdgDev_t* d) { return command(d, Cmd::Stop); }
int cmd_shutdown(WdgDev_t* d) { return command(d, Cmd::Shutdown); }
int cmd_reboot(WdgDev_t* d) { return command(d, Cmd::Reboot); }

int no_settimeout(uint32_t, WdgDev_t*) {
  DVR_INFO("Not Support SetTimeout Func.\n");
  return OSA_SOK;
}

int uart_create(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  if (const char* why = ResUartCheck(d->Res->Uart)) {
    DVR_ERROR("Watchdog[%u] serial line: %s\n", d->Index, why);
    return OSA_EFAIL;
  }
  if (UartDevProbe(&d->Res->Uart, &d->pUart) != OSA_SOK) {
    DVR_ERROR("UartDevProbe failed\n");
    return OSA_EFAIL;
  }
  if (d->Res->Type == WDG_MB_UART) {
    const ResLineAttr_t& a = d->Res->Mb.Attr;
    UartAttr_t attr{0, a.Rate, a.DataBits, a.Parity, a.StopBits};
    if (!d->pUart->SetAttr || d->pUart->SetAttr(&attr, d->pUart) != OSA_SOK) {
      DVR_ERROR("SetAttribute failed\n");
      return OSA_EFAIL;
    }
  }
  return OSA_SOK;
}

int i2c_create(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  I2cRes_t r{d->Res->I2c.Bus, d->Res->I2c.Addr, d->Res->I2c.Protocol};
  if (I2cDevProbe(&r, &d->pI2c) != OSA_SOK) {
    DVR_ERROR("i2c probe failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int spi_create(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  struct stat st;
  if (osa::sys::stat(ZQ_MCU_NODE, &st) != 0) return OSA_SOK;
  if (d->Fd) {
    DVR_WARN("mcufd aleardy open .\n");
    d->Fd.reset();
  }
  d->Fd.reset(osa::sys::open(ZQ_MCU_NODE, O_RDWR | O_NONBLOCK));
  if (!d->Fd) DVR_ERROR("fail to open mcu .\n");
  return OSA_SOK;
}

// ----------------------------------------------------- soft watchdog

int soft_open(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  if (d->Fd) return OSA_SOK;
  DVR_INFO("open device[%s], default timeout[%d]\n", d->Res->DevPath, static_cast<int>(d->Res->DefTimeout));
  osa::UniqueFd fd(osa::sys::open(d->Res->DevPath, O_RDWR));
  if (!fd) {
    DVR_ERROR("Open failed\n");
    return OSA_EFAIL;
  }
  if (osa::sys::ioctl(fd.get(), WDIOC_SETTIMEOUT_, int_arg(d->Res->DefTimeout)) != 0) {
    DVR_ERROR("ioctl failed, DefaultTimeOut=%d\n", static_cast<int>(d->Res->DefTimeout));
    return OSA_EFAIL;  // fd closes here; the device stays unopened
  }
  d->Fd = std::move(fd);
  return OSA_SOK;
}

int soft_create(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  DVR_INFO("Creating soft watchdog\n");
  if (memchr(d->Res->DevPath, 0, sizeof d->Res->DevPath) == nullptr || !d->Res->DevPath[0]) {
    DVR_ERROR("Watchdog[%u] has no device path\n", d->Index);
    return OSA_EFAIL;
  }
  return soft_open(d);
}

bool soft_ready(WdgDev_t* d) {
  if (!check(d)) return false;
  if (!d->Fd) {
    DVR_ERROR("soft watchdog %s is not open\n", d->Res->DevPath);
    return false;
  }
  return true;
}

int soft_close(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  d->Fd.reset();
  return OSA_SOK;
}

int soft_keepalive(WdgDev_t* d) {
  if (!soft_ready(d)) return OSA_EFAIL;
  DVR_INFO("SoftWatchDog Keeping...(fd=%d)\n", d->Fd.get());
  if (osa::sys::ioctl(d->Fd.get(), WDIOC_KEEPALIVE_, int_arg(0)) != 0) {
    DVR_ERROR("soft watchdog ioctl(ZQ_WDIOC_KEEPALIVE) failed.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int soft_settimeout(uint32_t seconds, WdgDev_t* d) {
  if (!soft_ready(d)) return OSA_EFAIL;
  if (osa::sys::ioctl(d->Fd.get(), WDIOC_SETTIMEOUT_, int_arg(seconds)) != 0) {
    DVR_ERROR("ioctl %lx failed.\n", WDIOC_SETTIMEOUT_);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int soft_stop(WdgDev_t* d) {
  if (!soft_ready(d)) return OSA_EFAIL;
  if (osa::sys::ioctl(d->Fd.get(), WDIOC_SETOPTIONS_, int_arg(WDIOS_DISABLECARD_)) != 0) {
    DVR_ERROR("ioctl %lx failed.\n", WDIOC_SETOPTIONS_);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int soft_shutdown(WdgDev_t* d) {
  if (!soft_ready(d) || osa::sys::ioctl(d->Fd.get(), ZQ_WDIOC_SHUTDOWN, int_arg(0)) != 0) {
    DVR_ERROR("Can't shutdown from internal watchdog, system still running\n");
    return OSA_EFAIL;
  }
  DVR_WARN("Internal Watchdog Going To Shutdown System, GoodBye...\n");
  return OSA_SOK;
}

int soft_reboot(WdgDev_t* d) {
  DVR_INFO("wdg soft reboot now\n");
  if (soft_settimeout(1, d) != OSA_SOK) {
    DVR_ERROR("Can't reboot from internal watchdog, system still running\n");
    return OSA_EFAIL;
  }
  DVR_INFO("Watchdog Still Running...\n");
  DVR_WARN("Internal Watchdog Going To Reboot, GoodBye...\n");
  return OSA_SOK;
}

// ---------------------------------------------- kernel standard watchdog

osa::UniqueFd linux_open() {
  osa::UniqueFd fd(osa::sys::open(WDG_LINUX_NODE, O_RDWR));
  if (!fd) DVR_ERROR("create watchdog failed(%s).\n", strerror(errno));
  return fd;
}

int linux_ioctl(unsigned long request, int value) {
  osa::UniqueFd fd = linux_open();
  if (!fd) return OSA_EFAIL;
  if (osa::sys::ioctl(fd.get(), request, &value) != 0) {
    DVR_ERROR("ioctl %lx failed.\n", request);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int linux_open_op(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  if (linux_ioctl(WDIOC_SETTIMEOUT_, static_cast<int>(d->Res->DefTimeout)) != OSA_SOK) {
    DVR_ERROR("setting default timeout failed(timeout=%d seconds)\n", static_cast<int>(d->Res->DefTimeout));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int linux_keepalive(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  osa::UniqueFd fd = linux_open();
  if (!fd) return OSA_EFAIL;
  if (osa::sys::write(fd.get(), "C", 2) != 2) {
    DVR_ERROR("write watchdog \"C\" failed.\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int linux_settimeout(uint32_t seconds, WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  return linux_ioctl(WDIOC_SETTIMEOUT_, static_cast<int>(seconds));
}

int linux_stop(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  DVR_INFO("watchdog stop.\n");
  return linux_ioctl(WDIOC_SETOPTIONS_, WDIOS_DISABLECARD_);
}

int linux_reboot(WdgDev_t* d) { return linux_settimeout(1, d); }

// ------------------------------------------------------------ misc MCU

// This platform has no miscellaneous device with a communication
// microcontroller, so such a watchdog cannot be made.
int misc_create(WdgDev_t* d) {
  if (!check(d)) return OSA_EFAIL;
  DVR_ERROR("wdgdev init miscdev failed\n");
  return OSA_EFAIL;
}

}  // namespace

const char* WdgTypeName(uint32_t type) {
  switch (type) {
    case WDG_FBD_UART: return "UART";
    case WDG_SOFT: return "SOFT";
    case WDG_MISC: return "MISC";
    case WDG_I2C: return "I2c";
    case WDG_LINUX: return "linux stand";
    case WDG_MB_UART: return "MBMCU_UART";
    case WDG_SPI_MCU: return "SPI MCU";
    default: return nullptr;
  }
}

const WdgSlot_t* WdgSlotTable(const WdgEntry_t& e) {
  switch (e.Type) {
    case WDG_FBD_UART: return e.FbdSlots;
    case WDG_MB_UART: return e.Mb.Slots;
    case WDG_I2C: return e.I2c.Slots;
    case WDG_SPI_MCU: return e.SpiSlots;
    default: return nullptr;
  }
}

int WdgSlotFrame(const WdgEntry_t& e, uint32_t slot, const uint8_t** frame, uint32_t* len) {
  const WdgSlot_t* t = WdgSlotTable(e);
  if (!t || slot >= WDG_SLOTS || t[slot].Len > WDG_FRAME_MAX) return OSA_EFAIL;
  *frame = t[slot].Frame;
  *len = t[slot].Len;
  return OSA_SOK;
}

void WdgInstallOps(WdgDev_t* d) {
  d->Create = ok;
  d->Destroy = ok;
  d->Open = ok;
  d->Close = ok;
  d->KeepAlive = ok;
  d->SetTimeout = ok_timeout;
  d->Stop = ok;
  d->Start = ok;
  d->Shutdown = ok;
  d->Reboot = ok;
  switch (d->Res->Type) {
    case WDG_FBD_UART:
    case WDG_MB_UART:
      d->Create = uart_create;
      d->SetTimeout = no_settimeout;
      [[fallthrough]];
    case WDG_I2C:
    case WDG_SPI_MCU:
      if (d->Res->Type == WDG_I2C) d->Create = i2c_create;
      if (d->Res->Type == WDG_SPI_MCU) d->Create = spi_create;
      d->KeepAlive = cmd_keepalive;
      d->Stop = cmd_stop;
      d->Shutdown = cmd_shutdown;
      d->Reboot = cmd_reboot;
      break;
    case WDG_SOFT:
      d->Create = soft_create;
      d->Open = soft_open;
      d->Close = soft_close;
      d->Destroy = soft_close;
      d->KeepAlive = soft_keepalive;
      d->SetTimeout = soft_settimeout;
      d->Stop = soft_stop;
      d->Shutdown = soft_shutdown;
      d->Reboot = soft_reboot;
      break;
    case WDG_LINUX:
      d->Create = linux_open_op;
      d->Open = linux_open_op;
      d->KeepAlive = linux_keepalive;
      d->SetTimeout = linux_settimeout;
      d->Stop = linux_stop;
      d->Reboot = linux_reboot;
      break;
    case WDG_MISC:
      d->Create = misc_create;
      break;
    default:
      break;
  }
}
