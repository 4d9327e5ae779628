// The GPIO manager and its two line drivers.

#include "platform/gpio/gpio.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "osa/singleton.h"
#include "osa/sys.h"

#define GPIO_DEBUG(fmt, ...) \
  OSA_logWrite(OSA_LOG_DBG, OSA_COLOUR_PLAIN, OSA_TAG_LIBDVR fmt __VA_OPT__(, ) __VA_ARGS__)
// An error line naming the given function (the public operation, not the
// helper that noticed the failure).
#define GPIO_ERROR(fn, fmt, ...) \
  OSA_logWrite(OSA_LOG_ERR, OSA_COLOUR_RED, OSA_TAG_LIBDVR "ERROR  (%s|%d): " fmt, fn, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

GpioIoctl_t request_for(const GpioDev_t& d, uint32_t value) {
  GpioIoctl_t r{};
  r.Port = d.Res.Port;
  r.Bit = d.Res.Bit;
  std::memcpy(r.Reserved, d.Res.Reserved, sizeof r.Reserved);
  r.Index = d.Res.Index;
  r.Type = d.Res.Type;
  r.Value = value;
  return r;
}

bool have_value(const GpioDev_t* Thiz, const uint32_t* pValue) {
  if (!Thiz) OSA_CHECK_FAIL("Thiz");
  else if (!pValue) OSA_CHECK_FAIL("pValue");
  else return true;
  return false;
}

// One request to the board driver on a line: `value` goes out, the value
// word that comes back goes to *back.  report logs a failed ioctl.
template <typename Report>
int board_request(GpioDev_t* Thiz, unsigned long request, uint32_t value, uint32_t* back, Report report) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  GpioManager_t* m = Thiz->Parent;
  if (!m) {
    DVR_ERROR("invalid output param\n");
    return OSA_EFAIL;
  }
  osa::LockGuard f(m->FdLock);
  if (!m->Fd) {
    DVR_ERROR("invalid output param\n");
    return OSA_EFAIL;
  }
  GpioIoctl_t r = request_for(*Thiz, value);
  if (osa::sys::ioctl(m->Fd.get(), request, &r) < 0) {
    report(r);
    return OSA_EFAIL;
  }
  if (back) *back = r.Value;
  return OSA_SOK;
}

// The derived operations of either driver: direction and level constants.
template <int (*SetDir)(uint32_t, GpioDev_t*)>
int dir_out(GpioDev_t* Thiz) {
  return SetDir(GPIO_DIR_OUT, Thiz);
}
template <int (*SetDir)(uint32_t, GpioDev_t*)>
int dir_in(GpioDev_t* Thiz) {
  return SetDir(GPIO_DIR_IN, Thiz);
}
template <int (*Write)(uint32_t*, GpioDev_t*), uint32_t Level>
int write_level(GpioDev_t* Thiz) {
  uint32_t v = Level;
  return Write(&v, Thiz);
}

int extend_read(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pValue)) return OSA_EFAIL;
  uint32_t v = 0;
  if (GpioExtendIoctl(GPIO_IOC_READ, &v, Thiz) != OSA_SOK) return OSA_EFAIL;
  *pValue = v & 1u;
  return OSA_SOK;
}
int extend_write(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pValue)) return OSA_EFAIL;
  uint32_t v = *pValue & 1u;
  return GpioExtendIoctl(GPIO_IOC_WRITE, &v, Thiz);
}
int extend_set_dir(uint32_t dir, GpioDev_t* Thiz) {
  uint32_t v = dir & 1u;
  return GpioExtendIoctl(GPIO_IOC_SET_DIR, &v, Thiz);
}
int extend_get_dir(uint32_t* pDir, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pDir)) return OSA_EFAIL;
  return GpioExtendIoctl(GPIO_IOC_GET_DIR, pDir, Thiz);
}

// Both drivers offer the same operations; the derived ones come from
// their direction and write requests.
template <int (*Read)(uint32_t*, GpioDev_t*), int (*Write)(uint32_t*, GpioDev_t*), int (*Open)(GpioDev_t*),
          int (*SetDir)(uint32_t, GpioDev_t*), int (*GetDir)(uint32_t*, GpioDev_t*), int (*ConfigAlt)(GpioDev_t*)>
void install(GpioDev_t& d) {
  d.Read = Read;
  d.Write = Write;
  d.Open = Open;
  d.SetDirOut = dir_out<SetDir>;
  d.SetDirIn = dir_in<SetDir>;
  d.WriteHigh = write_level<Write, 1>;
  d.WriteLow = write_level<Write, 0>;
  d.GetDir = GetDir;
  d.ConfigAlt = ConfigAlt;
}

void log_identity_error(const GpioRes_t& r) {
  DVR_ERROR("error(port:%u bit:%d type:%d index:%d)\n", r.Port, r.Bit, static_cast<int>(r.Type),
            static_cast<int>(r.Index));
}

}  // namespace

bool GpioSameLine(const GpioRes_t& a, const GpioRes_t& b) {
  return a.Port == b.Port && a.Bit == b.Bit && a.Index == b.Index && a.Type == b.Type;
}

GpioManager_t* GpioManagerGet() { return &osa::Singleton<GpioManager_t>(); }

int GpioManagerInit() {
  GpioManager_t* m = GpioManagerGet();
  osa::LockGuard g(m->Lock);
  if (m->Inited) return OSA_SOK;
  std::snprintf(m->DevName, sizeof m->DevName, "%s", GPIO_NODE);
  m->FindOrAlloc = ManagerFindGpioDev;
  m->Write = GpioManagerWrite;
  m->Read = GpioManagerRead;
  m->ProbeDev = GpioManagerProbeDev;
  m->Inited = true;
  DVR_INFO("GpioManager Init sucessed.\n");
  return OSA_SOK;
}

void GpioManager_t::ResetForTest() {
  osa::LockGuard g(Lock);
  Retired.splice(Retired.end(), Devs);
  osa::LockGuard f(FdLock);
  Fd.reset();
}

void GpioManagerReset() { GpioManagerGet()->ResetForTest(); }

int GpioDevProbe(const GpioRes_t* pGpioRes, GpioDev_t** pGpioDev) {
  if (!pGpioRes || !pGpioDev) {
    DVR_ERROR("invailed param, pGpioRes=%p, pGpioDev=%p, Ret:%d\n", static_cast<const void*>(pGpioRes),
              static_cast<void*>(pGpioDev), OSA_EFAIL);
    return OSA_EFAIL;
  }
  GpioManagerInit();
  GPIO_DEBUG("GpioDevProbing(port:%u bit:%u Idx:%u type:%d)\n", pGpioRes->Port, pGpioRes->Bit, pGpioRes->Index,
             static_cast<int>(pGpioRes->Type));
  GpioDev_t* d = ManagerFindGpioDev(pGpioRes, GpioManagerGet());
  if (!d) {
    DVR_ERROR("GpioProbe failed, can't get such Dev\n");
    return OSA_EFAIL;
  }
  *pGpioDev = d;
  return OSA_SOK;
}

int GpioDevProbeOutput(uint32_t port, uint32_t bit, const char* name, GpioDev_t** pGpioDev) {
  if (!name || !pGpioDev) {
    OSA_CHECK_FAIL(name ? "pGpioDev" : "name");
    return OSA_EFAIL;
  }
  GpioRes_t r{};
  r.Port = port;
  r.Bit = bit;
  if (GpioDevProbe(&r, pGpioDev) != OSA_SOK) {
    DVR_ERROR("probe gpio res failed, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  DVR_INFO("%s PORT %d, BIT %d!\n", name, r.Port, r.Bit);
  if ((*pGpioDev)->SetDirOut(*pGpioDev) != OSA_SOK) {
    DVR_ERROR(" set gpio dir-out failed, port=%d, bit=%d\n", r.Port, r.Bit);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioManagerProbeDev(const GpioRes_t* pRes, GpioManager_t*) {
  GpioDev_t* scratch = nullptr;
  if (GpioDevProbe(pRes, &scratch) != OSA_SOK) {
    if (pRes)
      DVR_ERROR("Probe GpioDev failed, port=%d,bit=%d,type:%d,idx:%d\n", pRes->Port, pRes->Bit,
                static_cast<int>(pRes->Type), static_cast<int>(pRes->Index));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

GpioDev_t* ManagerFindGpioDev(const GpioRes_t* pRes, GpioManager_t* Thiz) {
  if (!pRes || !Thiz) {
    DVR_ERROR("pRes is %p, Thiz is %p\n", static_cast<const void*>(pRes), static_cast<void*>(Thiz));
    return nullptr;
  }
  if (pRes->Type >= GPIO_TYPE_COUNT) {
    DVR_ERROR("invalid paramter(tpye:%d port:%d bit:%d).\n", static_cast<int>(pRes->Type), pRes->Port, pRes->Bit);
    return nullptr;
  }
  osa::LockGuard g(Thiz->Lock);
  for (auto& d : Thiz->Devs)
    if (GpioSameLine(d->Res, *pRes)) return d.get();
  DVR_INFO("Alloc New Gpio(port:%u bit:%u Idx:%u type:%d)\n", pRes->Port, pRes->Bit, pRes->Index,
           static_cast<int>(pRes->Type));
  std::unique_ptr<GpioDev_t> d(new (std::nothrow) GpioDev_t());
  if (!d) {
    DVR_ERROR("alloc GpioDev_t failed. no mem\n");
    return nullptr;
  }
  d->Res = *pRes;
  if (pRes->Type == GPIO_TYPE_EXTEND) {
    DVR_INFO("stand extend gpio driver(implentment in kernel module).\n");
    install<extend_read, extend_write, GpioExtendOpen, extend_set_dir, extend_get_dir, GpioExtendConfigAlt>(*d);
  } else {
    DVR_INFO("embeded/pch/sio gpio driver(implentment in drvbox).\n");
    install<GpioCommonRead, GpioCommonWrite, GpioCommonOpen, GpioCommonSetDir, GpioCommonGetDir,
            GpioCommonConfigAlt>(*d);
  }
  d->Parent = Thiz;
  bool opened = d->Open(d.get()) == OSA_SOK;
  if (!opened) DVR_ERROR("Open gpio dev failed.\n");
  if (opened && d->ConfigAlt(d.get()) != OSA_SOK) {
    DVR_ERROR("Config gpio dev failed.\n");
    opened = false;
  }
  if (!opened) {
    DVR_ERROR("GpioDevProbe error(port:%u bit:%d type:%d index:%d)\n", pRes->Port, pRes->Bit,
              static_cast<int>(pRes->Type), static_cast<int>(pRes->Index));
    DVR_ERROR("GpioInitGpioDevUnLock failed.\n");
    return nullptr;
  }
  Thiz->Devs.push_back(std::move(d));
  return Thiz->Devs.back().get();
}

// The manager lock is held only for the lookup, so a slow line never
// blocks lookups of other lines.  The direction is set before every access.
namespace {
int manager_access(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz, bool write) {
  if (!Thiz || !Thiz->Inited) {
    DVR_ERROR("You Did not Call Init or Init failed.\n");
    return OSA_EFAIL;
  }
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  GpioDev_t* d = ManagerFindGpioDev(pRes, Thiz);
  if (!d) return OSA_EFAIL;
  if ((write ? d->SetDirOut(d) : d->SetDirIn(d)) != OSA_SOK) {
    DVR_ERROR("Set Dir failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  if ((write ? d->Write(pValue, d) : d->Read(pValue, d)) != OSA_SOK) {
    if (write) DVR_ERROR("Write GPIO failed(%p).\n", static_cast<void*>(d));
    else DVR_ERROR("Read GPIO failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}
}  // namespace

int GpioManagerWrite(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) {
  return manager_access(pRes, pValue, Thiz, true);
}

int GpioManagerRead(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) {
  return manager_access(pRes, pValue, Thiz, false);
}

// ------------------------------------------------------ board driver lines

int GpioCommonOpen(GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!Thiz->Parent) {
    OSA_CHECK_FAIL("Thiz->Parent");
    return OSA_EFAIL;
  }
  GpioManager_t* m = Thiz->Parent;
  osa::LockGuard f(m->FdLock);
  if (m->Fd) return OSA_SOK;
  m->Fd.reset(osa::sys::open(GPIO_NODE, O_RDWR | O_CLOEXEC));
  if (!m->Fd) {
    DVR_ERROR("Gpio device open failed, Full Devname:%s\n", GPIO_NODE);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioCommonConfigAlt(GpioDev_t* Thiz) {
  return board_request(Thiz, GPIO_IOC_CONFIG_ALT, 0, nullptr, [fn = __func__](const GpioIoctl_t& r) {
    GPIO_ERROR(fn, "ZQ_GPIO_INIT ioctl failed,port:%d bit:%d type:%d idx:%d\n", r.Port, r.Bit,
               static_cast<int>(r.Type), static_cast<int>(r.Index));
  });
}

int GpioCommonSetDir(uint32_t dir, GpioDev_t* Thiz) {
  return board_request(Thiz, GPIO_IOC_SET_DIR, dir & 1u, nullptr, [fn = __func__, dir](const GpioIoctl_t& r) {
    GPIO_ERROR(fn, "ZQ_GPIO_SET_DIR ioctl failed,dir:%d port:%d bit:%d type:%d idx:%d\n",
               static_cast<int>(dir & 1u), r.Port, r.Bit, static_cast<int>(r.Type), static_cast<int>(r.Index));
  });
}

int GpioCommonGetDir(uint32_t* pDir, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pDir)) return OSA_EFAIL;
  return board_request(Thiz, GPIO_IOC_GET_DIR, 0, pDir, [fn = __func__](const GpioIoctl_t& r) {
    GPIO_ERROR(fn, "ZQ_GPIO_GET_DIR ioctl failed,port:%d bit:%d type:%d idx:%d\n", r.Port, r.Bit,
               static_cast<int>(r.Type), static_cast<int>(r.Index));
  });
}

int GpioCommonRead(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pValue)) return OSA_EFAIL;
  uint32_t v = 0;
  if (board_request(Thiz, GPIO_IOC_READ, 0, &v, [fn = __func__](const GpioIoctl_t& r) {
        GPIO_ERROR(fn, "Read ioctl failed, port:%d,bit:%d,type:%d,idx:%d\n", r.Port, r.Bit,
                   static_cast<int>(r.Type), static_cast<int>(r.Index));
      }) != OSA_SOK)
    return OSA_EFAIL;
  *pValue = v & 1u;
  return OSA_SOK;
}

int GpioCommonWrite(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pValue)) return OSA_EFAIL;
  uint32_t v = *pValue & 1u;
  return board_request(Thiz, GPIO_IOC_WRITE, v, nullptr, [fn = __func__, v](const GpioIoctl_t& r) {
    GPIO_ERROR(fn, "Write ioctl failed, val:%d port:%d,bit:%d,type:%d,idx:%d\n", static_cast<int>(v), r.Port,
               r.Bit, static_cast<int>(r.Type), static_cast<int>(r.Index));
  });
}

// -------------------------------------------------------- expander lines

int GpioExtendIoctl(unsigned long request, uint32_t* pValue, GpioDev_t* Thiz) {
  if (!have_value(Thiz, pValue)) return OSA_EFAIL;
  osa::LockGuard g(Thiz->Lock);
  osa::UniqueFd fd(osa::sys::open(GPIO_EXTEND_NODE, O_RDWR | O_CLOEXEC));
  if (!fd) {
    DVR_ERROR("open %s failed\n", GPIO_EXTEND_NODE);
    return OSA_EFAIL;
  }
  GpioIoctl_t r = request_for(*Thiz, *pValue);
  if (osa::sys::ioctl(fd.get(), request, &r) < 0) {
    DVR_ERROR("extend gpio ioctl 0x%lx failed, port:%d bit:%d idx:%d\n", request, r.Port, r.Bit,
              static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  *pValue = r.Value;
  return OSA_SOK;
}

int GpioExtendOpen(GpioDev_t* Thiz) {
  if (!Thiz || !Thiz->Parent) {
    OSA_CHECK_FAIL(Thiz ? "Thiz->Parent" : "Thiz");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioExtendConfigAlt(GpioDev_t* Thiz) { return GpioExtendOpen(Thiz); }
