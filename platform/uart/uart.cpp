// UART devices: terminal set-up, direction control, reads and writes.

#include "platform/uart/uart.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>

#include "osa/singleton.h"
#include "osa/sys.h"

namespace {

using namespace std::chrono_literals;

struct RateRow {
  uint32_t rate;
  speed_t speed;
};
constexpr RateRow kRates[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},     {200, B200},
    {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

}  // namespace

// The parent of every line: the UART driver's control node.
struct UartParent_t {
  osa::Mutex Lock;
  osa::UniqueFd Ctrl;
  std::map<uint32_t, std::unique_ptr<UartDev_t>> Lines;  // by resource index
  void ResetForTest();
};

namespace {

UartParent_t& parent() { return osa::Singleton<UartParent_t>(); }

bool check(const void* p, const char* name) {
  if (p) return true;
  OSA_CHECK_FAIL(name);
  return false;
}

// Waits up to timeout_ms (-1 without limit) for the line to be readable.
// 1 readable, 0 time-out, -1 error.
int wait_readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  for (;;) {
    int n = osa::sys::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
  }
}

int set_dir(UartDev_t* d, uint32_t dir) {
  if (!d->SetRtsDir) return OSA_EFAIL;
  return d->SetRtsDir(dir, d);
}

// Receive direction before a read, as the work mode asks.
int enter_receive(UartDev_t* d) {
  if (d->WorkMode == UART_HALF_DUPLEX) {
    osa::LockGuard g(d->DirLock);
    if (set_dir(d, 0) != OSA_SOK) {
      DVR_ERROR("SetRtsDir failed\n");
      return OSA_EFAIL;
    }
  } else if (d->SetRtsDir) {
    d->SetRtsDir(1, d);
  }
  return OSA_SOK;
}

int rts_by_reg(uint32_t dir, UartDev_t* d) {
  UartRtsReg_t r = {d->Res.Index, d->Res.RtsReg, dir & 1u};
  int fd = d->Parent ? d->Parent->Ctrl.get() : -1;
  return fd >= 0 && osa::sys::ioctl(fd, ZQ_UART_SET_RTS, &r) == 0 ? OSA_SOK : OSA_EFAIL;
}

int rts_by_gpio(uint32_t dir, UartDev_t* d) {
  if (!d->RtsGpio) return OSA_EFAIL;
  uint32_t v = dir & 1u;
  return d->RtsGpio->Write(&v, d->RtsGpio);
}

int rts_by_tty(uint32_t dir, UartDev_t* d) {
  int bits = TIOCM_RTS;
  return osa::sys::ioctl(d->Fd.get(), dir ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? OSA_SOK : OSA_EFAIL;
}

int uart_destroy(UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  Thiz->StopReader = true;
  if (Thiz->Reader.joinable()) Thiz->Reader.join();
  if (Thiz->Fd) UartClose(Thiz);
  return OSA_SOK;
}

void reader_thread(UartDev_t* d);

bool valid_use_for(uint32_t u) { return u >= 1 && u <= 13; }

}  // namespace


bool UartRateCode(uint32_t rate, unsigned* speed) {
  for (auto& r : kRates)
    if (r.rate == rate) {
      *speed = r.speed;
      return true;
    }
  return false;
}

int UartDevProbe(const UartRes_t* pRes, UartDev_t** ppDev) {
  if (!pRes || !ppDev) {
    DVR_WARN("Invalied failed pRes\n");
    return OSA_EFAIL;
  }
  if (const char* why = ResUartCheck(*pRes)) {
    DVR_ERROR("uart resource index %u: %s\n", pRes->Index, why);
    return OSA_EFAIL;
  }
  UartParent_t& p = parent();
  osa::LockGuard g(p.Lock);
  if (auto it = p.Lines.find(pRes->Index); it != p.Lines.end()) {
    *ppDev = it->second.get();
    return OSA_SOK;
  }
  auto d = std::make_unique<UartDev_t>();
  d->Res = *pRes;
  std::memcpy(d->DevName, pRes->DevName, sizeof d->DevName);
  d->Flags = O_RDWR | O_NONBLOCK | O_SYNC | O_NOCTTY;
  d->UseFor = pRes->UseFor;
  d->UseMode = pRes->UseMode;
  d->WorkMode = pRes->WorkMode == UART_HALF_DUPLEX ? UART_HALF_DUPLEX : UART_FULL_DUPLEX;
  d->RtsUseMode = pRes->RtsUseMode;
  d->DelayMs = pRes->RtsDelayMs;
  d->TimeoutMs = pRes->TimeoutMs ? pRes->TimeoutMs : 300;
  std::memcpy(d->Sync, pRes->SyncByte, 2);
  d->Parent = &p;
  if (d->UseMode > UART_USEMODE_MUX) {
    DVR_ERROR("unknow uart usemode, index = %d\n", static_cast<int>(pRes->Index));
    return OSA_EFAIL;
  }
  if (pRes->IsBridge) {
    d->Open = Sc16is7xUartOpen;
    d->Close = Sc16is7xUartClose;
    d->SetAttr = Sc16is7xUartSetAttr;
    d->Read = Sc16is7xUartRead;
    d->Write = Sc16is7xUartWrite;
  } else {
    d->Open = UartOpen;
    d->Close = UartClose;
    d->SetAttr = UartSetAttr;
    d->Read = UartRead;
    d->ReadComm = UartReadComm;
    d->Write = UartWrite;
    d->Purge = UartPurge;
  }
  d->Destroy = uart_destroy;
  d->SetWorkMode = UartSetWorkMode;
  d->ConfigAlt = UartConfigAlt;
  switch (d->RtsUseMode) {
    case UART_RTS_NONE: break;
    case UART_RTS_REG: d->SetRtsDir = rts_by_reg; break;
    case UART_RTS_GPIO:
      if (GpioDevProbe(&pRes->RtsGpio, &d->RtsGpio) != OSA_SOK) {
        DVR_ERROR("GpioDevProbe failed\n");
        return OSA_EFAIL;
      }
      if (d->RtsGpio->SetDirOut(d->RtsGpio) != OSA_SOK) {
        DVR_ERROR("SetDir failed\n");
        return OSA_EFAIL;
      }
      d->SetRtsDir = rts_by_gpio;
      break;
    case UART_RTS_TTY:
      DVR_INFO("RTS using tty standard operation.\n");
      d->SetRtsDir = rts_by_tty;
      break;
    default: DVR_INFO("unknow RtsUseMode\n"); break;
  }
  if (d->Open(d.get()) != OSA_SOK) {
    DVR_ERROR("Open uart dev failed\n");
    return OSA_EFAIL;
  }
  if (d->ConfigAlt(d.get()) != OSA_SOK) {
    DVR_ERROR("ConfigAlt failed\n");
    d->Close(d.get());
    return OSA_EFAIL;
  }
  if (d->UseMode == UART_USEMODE_MUX) {
    for (uint32_t c = 1; c <= UART_CHANNELS; ++c)
      if (pRes->ChnMask & (1u << c))
        for (auto& r : d->Ring[c]) r = std::make_unique<UartRing_t>();
    d->Enabled = true;
    UartDev_t* raw = d.get();
    d->Reader = std::thread([raw] { reader_thread(raw); });
    if (!d->Reader.joinable()) {
      DVR_ERROR("ThreadCreate failed\n");
      d->Close(d.get());
      return OSA_EFAIL;
    }
  }
  *ppDev = d.get();
  p.Lines.emplace(pRes->Index, std::move(d));
  return OSA_SOK;
}

void UartParent_t::ResetForTest() {
  osa::LockGuard g(Lock);
  for (auto& [i, d] : Lines) d->Destroy(d.get());
  Lines.clear();
  Ctrl.reset();
}

void UartDevReleaseAll() { parent().ResetForTest(); }

int UartOpen(UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  if (Thiz->Parent && !Thiz->Parent->Ctrl) {
    Thiz->Parent->Ctrl.reset(osa::sys::open(UART_CTRL_NODE, O_RDWR | O_CLOEXEC));
    if (!Thiz->Parent->Ctrl) {
      DVR_ERROR("uart dev[%s] open failed\n", UART_CTRL_NODE);
      return OSA_EFAIL;
    }
  }
  osa::LockGuard r(Thiz->ReadLock);
  osa::LockGuard w(Thiz->WriteLock);
  if (Thiz->Fd) {
    DVR_WARN("index = %d, name = %s has opened\n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
    return OSA_SOK;
  }
  Thiz->Fd.reset(osa::sys::open(Thiz->DevName, Thiz->Flags | O_CLOEXEC));
  if (!Thiz->Fd) {
    DVR_ERROR("index = %d, name = %s open failed \n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int UartClose(UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  osa::LockGuard r(Thiz->ReadLock);
  osa::LockGuard w(Thiz->WriteLock);
  if (!Thiz->Fd) {
    DVR_WARN("uart is closed\n");
    return OSA_SOK;
  }
  Thiz->Fd.reset();
  return OSA_SOK;
}

int UartSetAttr(const UartAttr_t* pAttr, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(pAttr, "pAttr")) return OSA_EFAIL;
  osa::LockGuard r(Thiz->ReadLock);
  osa::LockGuard w(Thiz->WriteLock);
  int fd = Thiz->Fd.get();
  if (fd < 0) {
    DVR_ERROR("index = %d, name = %s not open\n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
    return OSA_EFAIL;
  }
  termios t{};
  if (osa::sys::tcgetattr(fd, &t) != 0) {
    DVR_ERROR("tcgetattr is failed\n");
    return OSA_EFAIL;
  }
  osa::sys::cfmakeraw(&t);
  if (pAttr->TermMode == 1) {
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST;
    t.c_lflag |= ISIG | ICANON | ECHO;
  }
  unsigned speed;
  if (!UartRateCode(pAttr->Rate, &speed)) {
    DVR_ERROR("set baudrate wrong\n");
    return OSA_EFAIL;
  }
  osa::sys::cfsetispeed(&t, speed);
  osa::sys::cfsetospeed(&t, speed);
  switch (pAttr->Parity) {
    case 0: t.c_cflag &= ~PARENB; t.c_iflag &= ~INPCK; break;
    case 1: t.c_cflag |= PARENB | PARODD; t.c_iflag |= INPCK; break;
    case 2: t.c_cflag |= PARENB; t.c_cflag &= ~PARODD; t.c_iflag |= INPCK; break;
    case 3: t.c_cflag |= PARENB | PARODD; break;
    case 4: t.c_cflag |= PARENB; break;
    default: DVR_ERROR("parity set wrong\n"); return OSA_EFAIL;
  }
  t.c_cflag &= ~CSIZE;
  switch (pAttr->DataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    case 8: t.c_cflag |= CS8; break;
    default: DVR_ERROR("databits set wrong\n"); return OSA_EFAIL;
  }
  switch (pAttr->StopBits) {
    case 0:
    case 1: t.c_cflag &= ~CSTOPB; break;
    case 2: t.c_cflag |= CSTOPB; break;
    default: DVR_ERROR("stopbit set wrong\n"); return OSA_EFAIL;
  }
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (osa::sys::tcflush(fd, TCIOFLUSH) != 0) {
    DVR_ERROR("tcflush is failed\n");
    return OSA_EFAIL;
  }
  if (osa::sys::tcsetattr(fd, TCSANOW, &t) != 0) {
    DVR_ERROR("tcsetattr is failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int UartSetWorkMode(uint32_t mode, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  if (mode != UART_FULL_DUPLEX && mode != UART_HALF_DUPLEX) {
    DVR_ERROR("workmode set wrong\n");
    return OSA_EFAIL;
  }
  Thiz->WorkMode = mode;
  return OSA_SOK;
}

int UartConfigAlt(UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  int fd = Thiz->Parent ? Thiz->Parent->Ctrl.get() : -1;
  UartRes_t desc = Thiz->Res;
  if (fd < 0 || osa::sys::ioctl(fd, ZQ_UART_INIT, &desc) != 0) {
    DVR_ERROR("uart dev ioctl ZQ_UART_INIT failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int UartRead(void* buf, uint32_t len, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(buf, "Buffer")) return OSA_EFAIL;
  osa::LockGuard g(Thiz->ReadLock);
  auto* out = static_cast<uint8_t*>(buf);
  uint32_t got = 0;
  while (got < len) {
    if (enter_receive(Thiz) != OSA_SOK) return OSA_EFAIL;
    int fd = Thiz->Fd.get();
    if (fd < 0) {
      DVR_ERROR("Thiz->Fd = %d\n", fd);
      return OSA_EFAIL;
    }
    int w = wait_readable(fd, 300);
    if (w < 0) {
      DVR_ERROR("read failed\n");
      return OSA_EFAIL;
    }
    if (w == 0) continue;
    ssize_t n = osa::sys::read(fd, out + got, len - got);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      DVR_ERROR("read failed\n");
      return OSA_EFAIL;
    }
    got += static_cast<uint32_t>(n);
  }
  return OSA_SOK;
}

int UartReadComm(void* buf, uint32_t len, uint32_t* received, int timeout_ms, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(buf, "Buffer") || !check(received, "received")) return OSA_EFAIL;
  osa::LockGuard g(Thiz->ReadLock);
  *received = 0;
  if (enter_receive(Thiz) != OSA_SOK) return OSA_EFAIL;
  int fd = Thiz->Fd.get();
  if (fd < 0) {
    DVR_ERROR("Thiz->Fd = %d\n", fd);
    return OSA_EFAIL;
  }
  int w;
  if (timeout_ms >= 0) {
    w = wait_readable(fd, timeout_ms);
    if (w == 0) return OSA_SOK;
  } else {
    while ((w = wait_readable(fd, static_cast<int>(Thiz->TimeoutMs))) == 0) {
    }
  }
  if (w < 0) {
    DVR_ERROR("read failed\n");
    return OSA_EFAIL;
  }
  ssize_t n = osa::sys::read(fd, buf, len);
  if (n < 0 && errno == EAGAIN) return OSA_SOK;
  if (n < 0) {
    DVR_ERROR("read failed\n");
    return OSA_EFAIL;
  }
  *received = static_cast<uint32_t>(n);
  return OSA_SOK;
}

int UartWrite(const void* buf, uint32_t len, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(buf, "Buffer")) return OSA_EFAIL;
  osa::LockGuard g(Thiz->WriteLock);
  const auto* p = static_cast<const uint8_t*>(buf);
  uint32_t done = 0;
  int failures = 0;
  const bool half = Thiz->WorkMode == UART_HALF_DUPLEX;
  const int fd = Thiz->Fd.get();  // stays put while the writer lock is held
  while (done < len) {
    // Half duplex: the transceiver is ours from switching to transmit until
    // the line is drained (or the write failed and it is back on receive).
    std::optional<osa::LockGuard> dir;
    if (half) dir.emplace(Thiz->DirLock, osa::SrcLoc::current());
    if ((half || Thiz->SetRtsDir) && set_dir(Thiz, 1) != OSA_SOK) {
      DVR_ERROR("set rts reg failed\n");
      return OSA_EFAIL;
    }
    uint32_t rest = len - done, amount = rest;
    if (half && Thiz->UseFor == 13) {
      usleep(100);
    } else if (half && Thiz->UseFor != 3 && rest > 1) {
      amount = rest - 1;  // the last byte follows in its own write
    }
    ssize_t n = fd >= 0 ? osa::sys::write(fd, p + done, amount) : (errno = EBADF, -1);
    if (n < 0) {
      int e = errno;
      ++failures;
      DVR_ERROR("Write failed %d times! errno: %d, %s\n", failures, e, strerror(e));
      if (half) set_dir(Thiz, 0);
      dir.reset();
      if (failures >= 100) {
        DVR_ERROR("Something wrong, give up writing! Tried 100 times but always failed.\n");
        return OSA_EFAIL;
      }
      // A full output queue is waited out instead of spinning on it.
      if (e == EAGAIN && fd >= 0) {
        pollfd pf = {fd, POLLOUT, 0};
        osa::sys::poll(&pf, 1, 300);
      }
      continue;
    }
    failures = 0;
    done += static_cast<uint32_t>(n);
    if (half) osa::sys::tcdrain(fd);
  }
  if (half) {
    osa::LockGuard d(Thiz->DirLock);
    if (Thiz->DelayMs) usleep(Thiz->DelayMs * 1000);
    set_dir(Thiz, 0);
  }
  return OSA_SOK;
}

int UartPurge(uint32_t flags, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  osa::LockGuard g(Thiz->WriteLock);  // keeps the descriptor open, never waits for a reader
  int fd = Thiz->Fd.get();
  if (fd < 0) {
    DVR_ERROR("uart is not opened\n");
    return OSA_EFAIL;
  }
  if (flags & 4) osa::sys::tcflush(fd, TCOFLUSH);
  if (flags & 8) osa::sys::tcflush(fd, TCIFLUSH);
  if (flags & 1) osa::sys::tcflow(fd, TCOOFF);
  if (flags & 2) osa::sys::tcflow(fd, TCIOFF);
  return OSA_SOK;
}

namespace {

// One byte, waiting in short steps so a stop request is seen.  1, 0 on
// stop, -1 on failure.  The reader lock is held for one step at a time,
// so the descriptor cannot be closed under the wait.
int read_byte(UartDev_t* d, uint8_t* b) {
  while (!d->StopReader) {
    osa::LockGuard g(d->ReadLock);
    int fd = d->Fd.get();
    if (fd < 0) return -1;
    int w = wait_readable(fd, 100);
    if (w < 0) return -1;
    if (w == 0) continue;
    ssize_t n = osa::sys::read(fd, b, 1);
    if (n == 1) return 1;
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return -1;
  }
  return 0;
}

bool line_open(UartDev_t* d) {
  osa::LockGuard g(d->ReadLock);
  return d->Fd.valid();
}

void reader_thread(UartDev_t* d) {
  if (!valid_use_for(d->UseFor)) {
    DVR_ERROR("unknow eUseFor %d\n", static_cast<int>(d->UseFor));
    return;
  }
  UartMuxParser parser(d->Sync[0], d->Sync[1]);
  bool in_frame = false;  // a read failure inside a frame ends the thread
  uint8_t b = 0;
  while (!d->StopReader) {
    if (!d->Enabled || !line_open(d)) {
      for (int i = 0; i < 10 && !d->StopReader; ++i) std::this_thread::sleep_for(100ms);
      continue;
    }
    int r = read_byte(d, &b);
    if (r == 0) break;
    if (r < 0 && in_frame) {
      DVR_ERROR("ReadNoLock failed\n");
      return;
    }
    if (r < 0) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    bool complete = parser.Feed(b);
    in_frame = parser.in_frame();
    if (!complete) continue;
    UartMuxRoute route = UartMuxRouteOf(parser.frame(), parser.frame_len());
    if (route.error) {
      DVR_ERROR("%s", route.error);
      continue;
    }
    UartRing_t* ring = d->Ring[parser.frame()[2]][route.ring].get();
    if (ring && Date_WriteBuf(ring, parser.frame(), parser.frame_len(), route.part_off, route.part_len,
                              &d->StopReader) != OSA_SOK)
      DVR_ERROR("%s", route.fail);
  }
}

}  // namespace

// ------------------------------------------------------------ bridge lines
// The SC16IS7xx sits on an I2C bus, and this platform has no I2C device
// layer yet: bridge lines report that they cannot be reached.

int Sc16is7xUartOpen(UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  DVR_ERROR("index = %d, name = %s open failed \n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
  return OSA_EFAIL;
}
int Sc16is7xUartClose(UartDev_t* Thiz) { return check(Thiz, "Thiz") ? OSA_SOK : OSA_EFAIL; }
int Sc16is7xUartSetAttr(const UartAttr_t*, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  DVR_ERROR("index = %d, name = %s SetAttr failed \n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
  return OSA_EFAIL;
}
int Sc16is7xUartRead(void*, uint32_t, UartDev_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  DVR_ERROR("index = %d, name = %s Read failed \n", static_cast<int>(Thiz->Res.Index), Thiz->DevName);
  return OSA_EFAIL;
}
int Sc16is7xUartWrite(const void*, uint32_t, UartDev_t* Thiz) { return Sc16is7xUartRead(nullptr, 0, Thiz); }
