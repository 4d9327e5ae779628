// The GPIO manager and its two line drivers.

#include "platform/gpio/gpio.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "osa/sys.h"

#define GPIO_DEBUG(fmt, ...) \
  OSA_logWrite(OSA_LOG_DBG, OSA_COLOUR_PLAIN, OSA_TAG_LIBDVR fmt __VA_OPT__(, ) __VA_ARGS__)

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

// The board driver's descriptor, or -1 after "invalid output param".
int board_fd(const GpioDev_t& d) {
  int fd = d.Parent ? d.Parent->Fd.load(std::memory_order_acquire) : -1;
  if (fd < 0) DVR_ERROR("invalid output param\n");
  return fd;
}

int common_dir_out(GpioDev_t* Thiz) { return GpioCommonSetDir(GPIO_DIR_OUT, Thiz); }
int common_dir_in(GpioDev_t* Thiz) { return GpioCommonSetDir(GPIO_DIR_IN, Thiz); }
int common_high(GpioDev_t* Thiz) {
  uint32_t v = 1;
  return GpioCommonWrite(&v, Thiz);
}
int common_low(GpioDev_t* Thiz) {
  uint32_t v = 0;
  return GpioCommonWrite(&v, Thiz);
}

int extend_read(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  uint32_t v = 0;
  if (GpioExtendIoctl(GPIO_IOC_READ, &v, Thiz) != OSA_SOK) return OSA_EFAIL;
  *pValue = v & 1u;
  return OSA_SOK;
}
int extend_write(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  uint32_t v = *pValue & 1u;
  return GpioExtendIoctl(GPIO_IOC_WRITE, &v, Thiz);
}
int extend_set_dir(uint32_t dir, GpioDev_t* Thiz) {
  uint32_t v = dir & 1u;
  return GpioExtendIoctl(GPIO_IOC_SET_DIR, &v, Thiz);
}
int extend_dir_out(GpioDev_t* Thiz) { return extend_set_dir(GPIO_DIR_OUT, Thiz); }
int extend_dir_in(GpioDev_t* Thiz) { return extend_set_dir(GPIO_DIR_IN, Thiz); }
int extend_high(GpioDev_t* Thiz) {
  uint32_t v = 1;
  return extend_write(&v, Thiz);
}
int extend_low(GpioDev_t* Thiz) {
  uint32_t v = 0;
  return extend_write(&v, Thiz);
}
int extend_get_dir(uint32_t* pDir, GpioDev_t* Thiz) {
  if (!pDir) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  return GpioExtendIoctl(GPIO_IOC_GET_DIR, pDir, Thiz);
}

void install_common(GpioDev_t& d) {
  d.Read = GpioCommonRead;
  d.Write = GpioCommonWrite;
  d.Open = GpioCommonOpen;
  d.SetDirOut = common_dir_out;
  d.SetDirIn = common_dir_in;
  d.WriteHigh = common_high;
  d.WriteLow = common_low;
  d.GetDir = GpioCommonGetDir;
  d.ConfigAlt = GpioCommonConfigAlt;
}

void install_extend(GpioDev_t& d) {
  d.Read = extend_read;
  d.Write = extend_write;
  d.Open = GpioExtendOpen;
  d.SetDirOut = extend_dir_out;
  d.SetDirIn = extend_dir_in;
  d.WriteHigh = extend_high;
  d.WriteLow = extend_low;
  d.GetDir = extend_get_dir;
  d.ConfigAlt = GpioExtendConfigAlt;
}

void log_identity_error(const GpioRes_t& r) {
  DVR_ERROR("error(port:%u bit:%d type:%d index:%d)\n", r.Port, r.Bit, static_cast<int>(r.Type),
            static_cast<int>(r.Index));
}

}  // namespace

bool GpioSameLine(const GpioRes_t& a, const GpioRes_t& b) {
  return a.Port == b.Port && a.Bit == b.Bit && a.Index == b.Index && a.Type == b.Type;
}

GpioManager_t* GpioManagerGet() {
  static GpioManager_t* m = new GpioManager_t;  // lines outlive every static destructor
  return m;
}

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

void GpioManagerReset() {
  GpioManager_t* m = GpioManagerGet();
  osa::LockGuard g(m->Lock);
  m->Retired.splice(m->Retired.end(), m->Devs);
  int fd = m->Fd.exchange(-1);
  if (fd >= 0) osa::sys::close(fd);
}

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
    install_extend(*d);
  } else {
    DVR_INFO("embeded/pch/sio gpio driver(implentment in drvbox).\n");
    install_common(*d);
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
// blocks lookups of other lines.
int GpioManagerWrite(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) {
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
  if (d->SetDirOut(d) != OSA_SOK) {
    DVR_ERROR("Set Dir failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  if (d->Write(pValue, d) != OSA_SOK) {
    DVR_ERROR("Write GPIO failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioManagerRead(const GpioRes_t* pRes, uint32_t* pValue, GpioManager_t* Thiz) {
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
  if (d->SetDirIn(d) != OSA_SOK) {
    DVR_ERROR("Set Dir failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  if (d->Read(pValue, d) != OSA_SOK) {
    DVR_ERROR("Read GPIO failed(%p).\n", static_cast<void*>(d));
    log_identity_error(d->Res);
    return OSA_EFAIL;
  }
  return OSA_SOK;
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
  // Called with the manager lock held, so the node is opened once.
  GpioManager_t* m = Thiz->Parent;
  if (m->Fd.load(std::memory_order_acquire) >= 0) return OSA_SOK;
  int fd = osa::sys::open(GPIO_NODE, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    DVR_ERROR("Gpio device open failed, Full Devname:%s\n", GPIO_NODE);
    return OSA_EFAIL;
  }
  m->Fd.store(fd, std::memory_order_release);
  return OSA_SOK;
}

int GpioCommonConfigAlt(GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  int fd = board_fd(*Thiz);
  if (fd < 0) return OSA_EFAIL;
  GpioIoctl_t r = request_for(*Thiz, 0);
  if (osa::sys::ioctl(fd, GPIO_IOC_CONFIG_ALT, &r) < 0) {
    DVR_ERROR("ZQ_GPIO_INIT ioctl failed,port:%d bit:%d type:%d idx:%d\n", r.Port, r.Bit, static_cast<int>(r.Type),
              static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioCommonSetDir(uint32_t dir, GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  int fd = board_fd(*Thiz);
  if (fd < 0) return OSA_EFAIL;
  GpioIoctl_t r = request_for(*Thiz, dir & 1u);
  if (osa::sys::ioctl(fd, GPIO_IOC_SET_DIR, &r) < 0) {
    DVR_ERROR("ZQ_GPIO_SET_DIR ioctl failed,dir:%d port:%d bit:%d type:%d idx:%d\n", static_cast<int>(dir & 1u),
              r.Port, r.Bit, static_cast<int>(r.Type), static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int GpioCommonGetDir(uint32_t* pDir, GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!pDir) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  int fd = board_fd(*Thiz);
  if (fd < 0) return OSA_EFAIL;
  GpioIoctl_t r = request_for(*Thiz, 0);
  if (osa::sys::ioctl(fd, GPIO_IOC_GET_DIR, &r) < 0) {
    DVR_ERROR("ZQ_GPIO_GET_DIR ioctl failed,port:%d bit:%d type:%d idx:%d\n", r.Port, r.Bit,
              static_cast<int>(r.Type), static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  *pDir = r.Value;
  return OSA_SOK;
}

int GpioCommonRead(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  int fd = board_fd(*Thiz);
  if (fd < 0) return OSA_EFAIL;
  GpioIoctl_t r = request_for(*Thiz, 0);
  if (osa::sys::ioctl(fd, GPIO_IOC_READ, &r) < 0) {
    DVR_ERROR("Read ioctl failed, port:%d,bit:%d,type:%d,idx:%d\n", r.Port, r.Bit, static_cast<int>(r.Type),
              static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  *pValue = r.Value & 1u;
  return OSA_SOK;
}

int GpioCommonWrite(uint32_t* pValue, GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
  osa::LockGuard g(Thiz->Lock);
  int fd = board_fd(*Thiz);
  if (fd < 0) return OSA_EFAIL;
  GpioIoctl_t r = request_for(*Thiz, *pValue & 1u);
  if (osa::sys::ioctl(fd, GPIO_IOC_WRITE, &r) < 0) {
    DVR_ERROR("Write ioctl failed, val:%d port:%d,bit:%d,type:%d,idx:%d\n", static_cast<int>(*pValue & 1u), r.Port,
              r.Bit, static_cast<int>(r.Type), static_cast<int>(r.Index));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// -------------------------------------------------------- expander lines

int GpioExtendIoctl(unsigned long request, uint32_t* pValue, GpioDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  if (!pValue) {
    OSA_CHECK_FAIL("pValue");
    return OSA_EFAIL;
  }
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
