// Port families built on the UART devices: the transport lines and the
// serial ports of the resource table.

#include <cerrno>
#include <cstring>

#include "platform/env/bootenv.h"
#include "platform/uart/uart.h"

namespace {

struct TransComs {
  osa::Mutex Lock;
  bool Inited = false;
  TransComsRes_t Res{};
  TransCom_t Port[RES_TRANSCOM_MAX];
};
TransComs& transcoms() {
  static TransComs* t = new TransComs;
  return *t;
}

struct Serials {
  osa::Mutex Lock;
  bool Inited = false;
  SerialRes_t Res{};
  SerialPort_t Port[RES_SERIAL_MAX];
};
Serials& serials() {
  static Serials* s = new Serials;
  return *s;
}

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
  if (TransComsGetRes(&t.Res) != OSA_SOK) return OSA_EFAIL;
  if (const char* why = ResTransComsCheck(t.Res)) {
    DVR_ERROR("transport line record: %s\n", why);
    return OSA_EFAIL;
  }
  int rc = OSA_SOK;
  for (uint32_t i = 0; i < t.Res.Count; ++i) {
    TransCom_t& p = t.Port[i];
    p = TransCom_t{};
    p.Res = &t.Res.Entry[i];
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

TransCom_t* TransComGet(uint32_t index) {
  TransComs& t = transcoms();
  osa::LockGuard g(t.Lock);
  return t.Inited && index < t.Res.Count ? &t.Port[index] : nullptr;
}

// ---------------------------------------------------------- serial ports

int SerialUartOpen(SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!Thiz->pUartDev) {
    DVR_ERROR("uart %d will not open, enprint = 0?\n", Thiz->Res ? static_cast<int>(Thiz->Res->Uart.Index) : -1);
    return OSA_EFAIL;
  }
  return Thiz->pUartDev->Open(Thiz->pUartDev);
}

int SerialUartClose(SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  return Thiz->pUartDev ? Thiz->pUartDev->Close(Thiz->pUartDev) : OSA_SOK;
}

int SerialUartDestroy(SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  return Thiz->pUartDev ? Thiz->pUartDev->Destroy(Thiz->pUartDev) : OSA_SOK;
}

int SerialUartSetAttribute(const UartAttr_t* pAttr, SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!Thiz->pUartDev) {
    DVR_ERROR("uart %d will not open, enprint = 0?\n", Thiz->Res ? static_cast<int>(Thiz->Res->Uart.Index) : -1);
    return OSA_EFAIL;
  }
  return Thiz->pUartDev->SetAttr(pAttr, Thiz->pUartDev);
}

int SerialUartRead(void* buf, uint32_t len, SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!Thiz->pUartDev) return -ENOENT;  // a console port delivers nothing
  return Thiz->pUartDev->Read(buf, len, Thiz->pUartDev);
}

int SerialUartWrite(const void* buf, uint32_t len, SerialPort_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!Thiz->pUartDev) return -ENOENT;
  return Thiz->pUartDev->Write(buf, len, Thiz->pUartDev);
}

int SerialDevInit() {
  Serials& s = serials();
  osa::LockGuard g(s.Lock);
  if (s.Inited) return OSA_SOK;
  if (SerialGetRes(&s.Res) != OSA_SOK) return OSA_EFAIL;
  if (const char* why = ResSerialCheck(s.Res)) {
    DVR_ERROR("serial port record: %s\n", why);
    return OSA_EFAIL;
  }
  char enprint[32] = {};
  bool have_enprint = BootEnvGetValue("enprint", enprint, sizeof enprint) >= 0;
  if (!have_enprint) DVR_ERROR("get enprint failed\n");
  int rc = OSA_SOK;
  for (uint32_t i = 0; i < s.Res.Count; ++i) {
    SerialPort_t& p = s.Port[i];
    p = SerialPort_t{};
    p.Res = &s.Res.Entry[i];
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

SerialPort_t* SerialGet(uint32_t index) {
  Serials& s = serials();
  osa::LockGuard g(s.Lock);
  return s.Inited && index < s.Res.Count ? &s.Port[index] : nullptr;
}
