// The front-board set and the serial-line front board.

#include "platform/frontboard/frontboard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "osa/singleton.h"
#include "osa/sys.h"

namespace {

struct FbdSet {
  osa::Mutex Lock;  // guards building the set
  bool Inited = false;
  FbdRes_t Res{};
  std::unique_ptr<FbdBoard_t> Board[RES_FBD_MAX];
  osa::Mutex HeartLock;  // guards the heartbeat descriptor
  osa::UniqueFd Heart;
  void ResetForTest();
};

FbdSet& set() { return osa::Singleton<FbdSet>(); }

bool check(const void* p, const char* name) {
  if (p) return true;
  OSA_CHECK_FAIL(name);
  return false;
}

// Boards whose link this platform does not drive: never any data.
int quiet_read(void*, uint32_t, uint32_t* received, FbdBoard_t*) {
  if (received) *received = 0;
  return OSA_SOK;
}
int quiet_write(const void*, uint32_t, FbdBoard_t*) { return OSA_SOK; }
int quiet(FbdBoard_t*) { return OSA_SOK; }

void install(FbdBoard_t& b) {
  switch (b.Res->Type) {
    case FBD_UART:
      b.Read = FbdUartRead;
      b.Write = FbdUartWrite;
      b.Create = FbdUartCreate;
      b.Open = FbdUartOpen;
      b.Close = FbdUartClose;
      b.Destroy = FbdUartDestroy;
      break;
    case FBD_NONE: break;
    case FBD_GPIO_KEYS:
    case FBD_I2C:
    case FBD_IR:
    case FBD_MBUS:
    case FBD_SPI_MCU:
      // Links of the peripheral drivers, not part of this platform yet.
      b.Read = quiet_read;
      b.Write = quiet_write;
      b.Open = b.Close = quiet;
      break;
    default:
      DVR_ERROR("fbd unkonw type\n");
      b.Read = quiet_read;
      b.Write = quiet_write;
      b.Open = b.Close = quiet;
      break;
  }
}

bool heart_readable() { return osa::sys::access(HEART_NODE, R_OK) == 0; }

int set_read(void* buf, uint32_t len) {
  FbdSet& s = set();
  uint32_t n = s.Res.Count;
  for (uint32_t i = 0; i < n; ++i) {
    if (!s.Board[i]) {
      DVR_ERROR("Thiz->pFbdDev[%d] is NULL\n", static_cast<int>(i));
      return OSA_EFAIL;
    }
    if (!s.Board[i]->Read) {
      DVR_ERROR("Thiz->pFbdDev[%d]->Read is NULL\n", static_cast<int>(i));
      return OSA_EFAIL;
    }
  }
  if (n == 0) return OSA_EFAIL;
  auto* out = static_cast<uint8_t*>(buf);
  uint32_t got = 0;
  for (;;) {
    uint32_t failed = 0;
    for (uint32_t i = 0; i < n && got < len; ++i) {
      uint32_t r = 0;
      if (s.Board[i]->Read(out + got, len - got, &r, s.Board[i].get()) == OSA_SOK) got += std::min(r, len - got);
      else ++failed;
    }
    if (got >= len) return OSA_SOK;
    if (failed == n) return OSA_EFAIL;
    usleep(20 * 1000);
  }
}

int set_write(const void* buf, uint32_t len) {
  FbdSet& s = set();
  uint32_t failed = 0;
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    if (!s.Board[i] || !s.Board[i]->Write) {
      DVR_ERROR("Thiz->pFbdDev[%d] is NULL\n", static_cast<int>(i));
      return OSA_EFAIL;
    }
    if (s.Board[i]->Write(buf, len, s.Board[i].get()) != OSA_SOK) ++failed;
  }
  return s.Res.Count && failed == s.Res.Count ? OSA_EFAIL : OSA_SOK;
}

}  // namespace

int HeartDeviceOpen() {
  FbdSet& s = set();
  osa::LockGuard g(s.HeartLock);
  if (s.Heart) return OSA_SOK;
  s.Heart.reset(osa::sys::open(HEART_NODE, O_RDWR | O_CLOEXEC));
  if (!s.Heart) {
    DVR_ERROR("open %s failed heart_fd %d\n", HEART_NODE, s.Heart.get());
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int HeartDeviceFd() {
  FbdSet& s = set();
  osa::LockGuard g(s.HeartLock);
  return s.Heart.get();
}

namespace {
// The keep-alive frame also feeds the heartbeat device.
void heart_beat() {
  static const char beat[8] = {'0', 'x', 'a', 'f', 0, 0, 0, 0};
  FbdSet& s = set();
  osa::LockGuard g(s.HeartLock);
  if (osa::sys::write(s.Heart.get(), beat, sizeof beat) != static_cast<ssize_t>(sizeof beat))
    DVR_ERROR("write %s failed\n", HEART_NODE);
}
}  // namespace

int FbdDevInit() {
  FbdSet& s = set();
  osa::LockGuard g(s.Lock);
  if (s.Inited) return OSA_SOK;
  if (FbdGetRes(&s.Res) != OSA_SOK) {
    DVR_ERROR("get res failed\n");
    return OSA_EFAIL;
  }
  if (const char* why = ResFbdCheck(s.Res)) {
    DVR_ERROR("get res failed: %s\n", why);
    return OSA_EFAIL;
  }
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    if (!s.Board[i]) s.Board[i] = std::make_unique<FbdBoard_t>();
    s.Board[i]->Res = &s.Res.Entry[i];
    install(*s.Board[i]);
  }
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    FbdBoard_t* b = s.Board[i].get();
    if (b->Create && b->Create(b) != OSA_SOK) {
      DVR_INFO("create failed\n");
      return OSA_EFAIL;
    }
  }
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    FbdBoard_t* b = s.Board[i].get();
    if (b->ThreadRoutine) b->Thread = std::thread(b->ThreadRoutine, b);
  }
  s.Inited = true;
  return OSA_SOK;
}

void FbdSet::ResetForTest() {
  osa::LockGuard g(Lock);
  for (auto& b : Board) {
    if (b && b->Thread.joinable()) {
      if (b->ThreadStop) b->ThreadStop(b.get());
      b->Thread.join();
    }
    b.reset();
  }
  Inited = false;
  osa::LockGuard h(HeartLock);
  Heart.reset();
}

int FrontboardCreate() {
  if (FbdDevInit() != OSA_SOK) {
    DVR_ERROR("FbdDevInit failed\n");
    return OSA_EFAIL;
  }
  if (heart_readable()) HeartDeviceOpen();
  FbdSet& s = set();
  for (uint32_t i = 0; i < s.Res.Count; ++i)
    if (s.Board[i] && s.Board[i]->ThreadRoutine) s.Board[i]->Reporting = 1;
  return OSA_SOK;
}

int FrontboardDestroy() {
  FbdSet& s = set();
  for (uint32_t i = 0; i < s.Res.Count; ++i)
    if (s.Board[i] && s.Board[i]->ThreadRoutine) s.Board[i]->Reporting = 0;
  return OSA_SOK;
}

int FrontboardRead(void* buf, int len) {
  if (!check(buf, "Buffer") || len < 0) return OSA_EFAIL;
  if (FbdDevInit() != OSA_SOK) {
    DVR_ERROR("FrontboardRead failed, FbdDevInit failed.\n");
    return OSA_EFAIL;
  }
  if (set_read(buf, static_cast<uint32_t>(len)) != OSA_SOK) {
    DVR_ERROR("read failed\n");
    return OSA_EFAIL;
  }
  return len;
}

int FrontboardWrite(const void* buf, int len) {
  if (!check(buf, "Buffer") || len < 0) return OSA_EFAIL;
  if (FbdDevInit() != OSA_SOK) {
    DVR_ERROR("FrontboardRead failed, FbdDevInit failed.\n");
    return OSA_EFAIL;
  }
  if (len >= 4 && std::memcmp(buf, FBD_KEEPALIVE_FRAME, 4) == 0 && heart_readable() &&
      HeartDeviceOpen() == OSA_SOK)
    heart_beat();
  if (set_write(buf, static_cast<uint32_t>(len)) != OSA_SOK) {
    DVR_ERROR("write failed\n");
    return OSA_EFAIL;
  }
  return len;
}

namespace {
// The board that a caller addresses, once the set is built; null after
// the message.
FbdBoard_t* addressed(const void* buf, int len, int board, bool reading) {
  if (!check(buf, "Buffer") || len < 0) return nullptr;
  if (FbdDevInit() != OSA_SOK) {
    DVR_ERROR("FrontboardRead failed, FbdDevInit failed.\n");
    return nullptr;
  }
  FbdSet& s = set();
  FbdBoard_t* b = board >= 0 && static_cast<uint32_t>(board) < s.Res.Count ? s.Board[board].get() : nullptr;
  if (!b || !(reading ? reinterpret_cast<void*>(b->Read) : reinterpret_cast<void*>(b->Write))) {
    DVR_ERROR("param vailed\n");
    return nullptr;
  }
  return b;
}
}  // namespace

int FrontboardRead2(void* buf, int len, int board) {
  FbdBoard_t* b = addressed(buf, len, board, true);
  if (!b) return OSA_EFAIL;
  uint32_t r = 0;
  if (b->Read(buf, static_cast<uint32_t>(len), &r, b) != OSA_SOK) {
    DVR_ERROR("read failed\n");
    return OSA_EFAIL;
  }
  return static_cast<int>(r);
}

int FrontboardWrite2(const void* buf, int len, int board) {
  FbdBoard_t* b = addressed(buf, len, board, false);
  if (!b) return OSA_EFAIL;
  if (b->Write(buf, static_cast<uint32_t>(len), b) != OSA_SOK) {
    DVR_ERROR("write failed\n");
    return OSA_EFAIL;
  }
  return len;
}

namespace {
// Runs a thread operation of every board in order, up to the first failure.
int each_thread(int (*FbdBoard_t::*op)(FbdBoard_t*), const char* name) {
  FbdSet& s = set();
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    FbdBoard_t* b = s.Board[i].get();
    if (b && b->*op && (b->*op)(b) != OSA_SOK) {
      DVR_ERROR("pFbdDev[%d]->%s err\n", static_cast<int>(i), name);
      DVR_ERROR("%s failed\n", name);
      return OSA_EFAIL;
    }
  }
  return OSA_SOK;
}
}  // namespace

int FrontboardThreadStart() { return each_thread(&FbdBoard_t::ThreadStart, "ThreadStart"); }
int FrontboardThreadStop() { return each_thread(&FbdBoard_t::ThreadStop, "ThreadStop"); }

// ------------------------------------------------------ serial-line board

int FbdUartCreate(FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz")) return OSA_EFAIL;
  if (UartDevProbe(&Thiz->Res->Uart, &Thiz->pUartDev) != OSA_SOK) {
    DVR_ERROR("UartDevProbe falied\n");
    return OSA_EFAIL;
  }
  UartDev_t* u = Thiz->pUartDev;
  if (!u->Open) {
    DVR_ERROR("Thiz->pUartDev->Open == NULL\n");
    return OSA_EFAIL;
  }
  if (u->Open(u) != OSA_SOK) {
    DVR_ERROR("Open falied\n");
    return OSA_EFAIL;
  }
  if (!u->SetAttr) {
    DVR_ERROR("Thiz->pUartDev->SetAttr == NULL\n");
    return OSA_EFAIL;
  }
  const ResLineAttr_t& a = Thiz->Res->Attr;
  UartAttr_t attr = {0, a.Rate, a.DataBits, a.Parity, a.StopBits};
  if (u->SetAttr(&attr, u) != OSA_SOK) {
    DVR_ERROR("SetAttr falied\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int FbdUartRead(void* buf, uint32_t len, uint32_t* received, FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(Thiz->pUartDev, "Thiz->pUartDev") ||
      !check(reinterpret_cast<void*>(Thiz->pUartDev->ReadComm), "Thiz->pUartDev->Read") || !check(buf, "Buffer"))
    return OSA_EFAIL;
  return Thiz->pUartDev->ReadComm(buf, len, received, 0, Thiz->pUartDev);
}

int FbdUartWrite(const void* buf, uint32_t len, FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(Thiz->pUartDev, "Thiz->pUartDev") ||
      !check(reinterpret_cast<void*>(Thiz->pUartDev->Write), "Thiz->pUartDev->Write") || !check(buf, "Buffer"))
    return OSA_EFAIL;
  return Thiz->pUartDev->Write(buf, len, Thiz->pUartDev);
}

int FbdUartOpen(FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(Thiz->pUartDev, "Thiz->pUartDev") ||
      !check(reinterpret_cast<void*>(Thiz->pUartDev->Open), "Thiz->pUartDev->Open"))
    return OSA_EFAIL;
  return Thiz->pUartDev->Open(Thiz->pUartDev);
}

int FbdUartClose(FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(Thiz->pUartDev, "Thiz->pUartDev")) return OSA_EFAIL;
  return Thiz->pUartDev->Close(Thiz->pUartDev);
}

int FbdUartDestroy(FbdBoard_t* Thiz) {
  if (!check(Thiz, "Thiz") || !check(Thiz->pUartDev, "Thiz->pUartDev")) return OSA_EFAIL;
  return Thiz->pUartDev->Destroy(Thiz->pUartDev);
}
