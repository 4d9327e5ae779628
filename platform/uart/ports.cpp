// Port families built on the UART devices: the transport lines and the
// serial ports of the resource table.

#include <cerrno>
#include <cstring>

#include "osa/singleton.h"
#include "platform/env/bootenv.h"
#include "platform/uart/uart.h"

namespace {

// One family of ports, built from its resource record on first use.
template <typename Record, typename Port, uint32_t Max>
struct PortSet {
  osa::Mutex Lock;
  bool Inited = false;
  Record Res{};
  Port Ports[Max];
  void ResetForTest() {
    osa::LockGuard g(Lock);
    Inited = false;
  }
  // Fetches the record and checks it before anything walks it.
  bool load(int (*fetch)(void*), const char* (*check)(const Record&), const char* what) {
    if (fetch(&Res) != OSA_SOK) return false;
    if (const char* why = check(Res)) {
      DVR_ERROR("%s record: %s\n", what, why);
      return false;
    }
    return true;
  }
  // Port i, cleared and pointed at its record entry.
  Port& fresh(uint32_t i) {
    Ports[i] = Port{};
    Ports[i].Res = &Res.Entry[i];
    return Ports[i];
  }
  Port* get(uint32_t index) {
    osa::LockGuard g(Lock);
    return Inited && index < Res.Count ? &Ports[index] : nullptr;
  }
};
using TransComs = PortSet<TransComsRes_t, TransCom_t, RES_TRANSCOM_MAX>;
using Serials = PortSet<SerialRes_t, SerialPort_t, RES_SERIAL_MAX>;
TransComs& transcoms() { return osa::Singleton<TransComs>(); }
Serials& serials() { return osa::Singleton<Serials>(); }

UartAttr_t attr_of(const ResLineAttr_t& a) { return {0, a.Rate, a.DataBits, a.Parity, a.StopBits}; }

// The port and its UART device must exist, and the operation too.
#define NEED_DEV(Thiz, op)                       \
  do {                                           \
    if (!(Thiz)) {                               \
      OSA_CHECK_FAIL("Thiz");                    \
      return OSA_EFAIL;                          \
    }                                            \
    if (!(Thiz)->pUartDev) {                     \
      OSA_CHECK_FAIL("Thiz->pUartDev");          \
      return OSA_EFAIL;                          \
    }                                            \
    if (!(Thiz)->pUartDev->op) {                 \
      OSA_CHECK_FAIL("Thiz->pUartDev->" #op);    \
      return OSA_EFAIL;                          \
    }                                            \
  } while (0)

int nothing(TransCom_t*) { return OSA_SOK; }

bool have_port(const SerialPort_t* Thiz) {
  if (Thiz) return true;
  OSA_CHECK_FAIL("Thiz");
  return false;
}

// A console port has no UART device: it is not opened or configured.
bool not_console(const SerialPort_t* Thiz) {
  if (Thiz->pUartDev) return true;
  DVR_ERROR("uart %d will not open, enprint = 0?\n", Thiz->Res ? static_cast<int>(Thiz->Res->Uart.Index) : -1);
  return false;
}

}  // namespace

// ------------------------------------------------------------ transport

int TransComUartCreate(TransCom_t* Thiz) {
  if (!Thiz || !Thiz->Res) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (UartDevProbe(&Thiz->Res->Uart, &Thiz->pUartDev) != OSA_SOK) {
    DVR_ERROR("probe failed\n");
    return OSA_EFAIL;
  }
  UartAttr_t a = attr_of(Thiz->Res->Attr);
  if (!Thiz->pUartDev->SetAttr || Thiz->pUartDev->SetAttr(&a, Thiz->pUartDev) != OSA_SOK) {
    DVR_ERROR("SetAttribute failed, Thiz->SetAttribute = %p\n", reinterpret_cast<void*>(Thiz->SetAttribute));
    return OSA_EFAIL;
  }
  if (Thiz->Res->WorkMode) TransComUartSetWorkMode(Thiz->Res->WorkMode, Thiz);
  return OSA_SOK;
}

int TransComUartDestroy(TransCom_t* Thiz) {
  NEED_DEV(Thiz, Destroy);
  return Thiz->pUartDev->Destroy(Thiz->pUartDev);
}
int TransComUartOpen(TransCom_t* Thiz) {
  NEED_DEV(Thiz, Open);
  return Thiz->pUartDev->Open(Thiz->pUartDev);
}
int TransComUartClose(TransCom_t* Thiz) {
  NEED_DEV(Thiz, Close);
  return Thiz->pUartDev->Close(Thiz->pUartDev);
}
int TransComUartRead(void* buf, uint32_t len, TransCom_t* Thiz) {
  NEED_DEV(Thiz, Read);
  return Thiz->pUartDev->Read(buf, len, Thiz->pUartDev);
}
int TransComUartWrite(const void* buf, uint32_t len, TransCom_t* Thiz) {
  NEED_DEV(Thiz, Write);
  return Thiz->pUartDev->Write(buf, len, Thiz->pUartDev);
}
int TransComUartSetAttribute(const UartAttr_t* pAttr, TransCom_t* Thiz) {
  NEED_DEV(Thiz, SetAttr);
  return Thiz->pUartDev->SetAttr(pAttr, Thiz->pUartDev);
}
int TransComUartSetWorkMode(uint32_t mode, TransCom_t* Thiz) {
  NEED_DEV(Thiz, SetWorkMode);
  if (Thiz->pUartDev->SetWorkMode(mode, Thiz->pUartDev) != OSA_SOK) {
    DVR_ERROR("can't set workmode\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int TransComDevInit() {
  TransComs& t = transcoms();
  osa::LockGuard g(t.Lock);
  if (t.Inited) return OSA_SOK;
  if (!t.load(TransComsGetRes, ResTransComsCheck, "transport line")) return OSA_EFAIL;
  int rc = OSA_SOK;
  for (uint32_t i = 0; i < t.Res.Count; ++i) {
    TransCom_t& p = t.fresh(i);
    uint32_t type = p.Res->DevType;
    if (type > 1) {
      DVR_ERROR("dev type to large\n");
      return OSA_EFAIL;
    }
    if (type != 1) {
      DVR_INFO("unknow TransCom[%u]dev type\n", i);
      p.Create = p.Destroy = p.Open = p.Close = nothing;
      continue;
    }
    p.Create = TransComUartCreate;
    p.Destroy = TransComUartDestroy;
    p.Open = TransComUartOpen;
    p.Close = TransComUartClose;
    p.Read = TransComUartRead;
    p.Write = TransComUartWrite;
    p.SetAttribute = TransComUartSetAttribute;
    p.SetWorkMode = TransComUartSetWorkMode;
    if (p.Create(&p) != OSA_SOK) rc = OSA_EFAIL;
  }
  t.Inited = rc == OSA_SOK;
  return rc;
}

TransCom_t* TransComGet(uint32_t index) { return transcoms().get(index); }

// ---------------------------------------------------------- serial ports

int SerialUartOpen(SerialPort_t* Thiz) {
  if (!have_port(Thiz) || !not_console(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev->Open(Thiz->pUartDev);
}

int SerialUartSetAttribute(const UartAttr_t* pAttr, SerialPort_t* Thiz) {
  if (!have_port(Thiz) || !not_console(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev->SetAttr(pAttr, Thiz->pUartDev);
}

int SerialUartClose(SerialPort_t* Thiz) {
  if (!have_port(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev ? Thiz->pUartDev->Close(Thiz->pUartDev) : OSA_SOK;
}

int SerialUartDestroy(SerialPort_t* Thiz) {
  if (!have_port(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev ? Thiz->pUartDev->Destroy(Thiz->pUartDev) : OSA_SOK;
}

// A console port delivers nothing and takes nothing.
int SerialUartRead(void* buf, uint32_t len, SerialPort_t* Thiz) {
  if (!have_port(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev ? Thiz->pUartDev->Read(buf, len, Thiz->pUartDev) : -ENOENT;
}

int SerialUartWrite(const void* buf, uint32_t len, SerialPort_t* Thiz) {
  if (!have_port(Thiz)) return OSA_EFAIL;
  return Thiz->pUartDev ? Thiz->pUartDev->Write(buf, len, Thiz->pUartDev) : -ENOENT;
}

int SerialDevInit() {
  Serials& s = serials();
  osa::LockGuard g(s.Lock);
  if (s.Inited) return OSA_SOK;
  if (!s.load(SerialGetRes, ResSerialCheck, "serial port")) return OSA_EFAIL;
  char enprint[32] = {};
  bool have_enprint = BootEnvGetValue("enprint", enprint, sizeof enprint) >= 0;
  if (!have_enprint) DVR_ERROR("get enprint failed\n");
  int rc = OSA_SOK;
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    SerialPort_t& p = s.fresh(i);
    uint32_t role = p.Res->Role;
    if (have_enprint && std::strcmp(enprint, "0") == 0) {
      DVR_INFO("ZqKeyboard = 0, Always as Console\n");
      role = 1;
    } else if (role == 0) {
      DVR_INFO("use for common func\n");
    } else if (role == 1) {
      DVR_INFO("use for console\n");
    } else {
      DVR_ERROR("unkow type[%u]\n", role);
      rc = OSA_EFAIL;
      continue;
    }
    p.Role = role;
    if (role != 0) continue;
    if (UartDevProbe(&p.Res->Uart, &p.pUartDev) != OSA_SOK) {
      rc = OSA_EFAIL;
      continue;
    }
    UartAttr_t a = attr_of(p.Res->Attr);
    if (p.pUartDev->SetAttr(&a, p.pUartDev) != OSA_SOK) rc = OSA_EFAIL;
  }
  s.Inited = true;
  return rc;
}

SerialPort_t* SerialGet(uint32_t index) { return serials().get(index); }
