// The I2C device layer over /dev/vs_i2c.

#include "platform/i2c/i2c.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "osa/sys.h"

namespace {

struct Registry {
  osa::Mutex Lock;
  std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<I2cDev_t>> Devs;
  std::map<uint32_t, std::unique_ptr<osa::Mutex>> Buses;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

int xfer(unsigned long request, VsI2cXfer_t* x, I2cDev_t* Thiz) {
  osa::LockGuard g(*Thiz->BusLock);
  if (!Thiz->Fd) {
    DVR_ERROR("i2c device %u-0x%x not open\n", Thiz->Res.Bus, Thiz->Res.Addr);
    return OSA_EFAIL;
  }
  if (osa::sys::ioctl(Thiz->Fd.get(), request, x) != 0) {
    DVR_ERROR("i2c %s failed, bus %u addr 0x%x reg 0x%x: %s\n", request == VS_I2C_READ ? "read" : "write",
              Thiz->Res.Bus, Thiz->Res.Addr, x->Reg, strerror(errno));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

VsI2cXfer_t request_for(const I2cDev_t* d, uint32_t reg, uint32_t len) {
  VsI2cXfer_t x{};
  x.Bus = d->Res.Bus;
  x.Addr = d->Res.Addr;
  x.Protocol = d->Res.Protocol;
  x.Reg = reg;
  x.RegLen = 1;
  x.Len = len;
  return x;
}

int open_dev(I2cDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  osa::LockGuard g(*Thiz->BusLock);
  if (Thiz->Fd) return OSA_SOK;
  Thiz->Fd.reset(osa::sys::open(VS_I2C_NODE, O_RDWR));
  if (!Thiz->Fd) {
    DVR_ERROR("open %s failed: %s\n", VS_I2C_NODE, strerror(errno));
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

int read_byte(uint32_t reg, uint8_t* value, I2cDev_t* Thiz) {
  if (!Thiz || !value) {
    OSA_CHECK_FAIL(Thiz ? "pValue" : "Thiz");
    return OSA_EFAIL;
  }
  VsI2cXfer_t x = request_for(Thiz, reg, 1);
  if (xfer(VS_I2C_READ, &x, Thiz) != OSA_SOK) return OSA_EFAIL;
  *value = x.Data[0];
  return OSA_SOK;
}

int write_byte(uint32_t reg, uint8_t value, I2cDev_t* Thiz) {
  if (!Thiz) {
    OSA_CHECK_FAIL("Thiz");
    return OSA_EFAIL;
  }
  VsI2cXfer_t x = request_for(Thiz, reg, 1);
  x.Data[0] = value;
  return xfer(VS_I2C_WRITE, &x, Thiz);
}

int block_write(uint32_t reg, uint32_t reg_len, uint32_t flags, const uint8_t* data, uint32_t len, I2cDev_t* Thiz) {
  if (!Thiz || (!data && len)) {
    OSA_CHECK_FAIL(Thiz ? "pData" : "Thiz");
    return OSA_EFAIL;
  }
  if (len > VS_I2C_DATA_MAX) {
    DVR_ERROR("i2c block of %u bytes, at most %u\n", len, VS_I2C_DATA_MAX);
    return OSA_EFAIL;
  }
  VsI2cXfer_t x = request_for(Thiz, reg, len);
  x.RegLen = reg_len ? reg_len : 1;
  x.Flags = flags;
  if (len) std::memcpy(x.Data, data, len);
  return xfer(VS_I2C_WRITE, &x, Thiz);
}

}  // namespace

int I2cDevProbe(const I2cRes_t* pRes, I2cDev_t** ppDev) {
  if (!pRes || !ppDev) {
    OSA_CHECK_FAIL(pRes ? "ppDev" : "pRes");
    return OSA_EFAIL;
  }
  Registry& r = registry();
  osa::LockGuard g(r.Lock);
  auto key = std::make_pair(pRes->Bus, pRes->Addr);
  auto it = r.Devs.find(key);
  if (it == r.Devs.end()) {
    auto d = std::make_unique<I2cDev_t>();
    d->Res = *pRes;
    auto& bus = r.Buses[pRes->Bus];
    if (!bus) bus = std::make_unique<osa::Mutex>();
    d->BusLock = bus.get();
    d->Open = open_dev;
    d->ReadByte = read_byte;
    d->WriteByte = write_byte;
    d->BlockWrite = block_write;
    it = r.Devs.emplace(key, std::move(d)).first;
  }
  if (open_dev(it->second.get()) != OSA_SOK) return OSA_EFAIL;
  *ppDev = it->second.get();
  return OSA_SOK;
}

void I2cDevReleaseAll() {
  Registry& r = registry();
  osa::LockGuard g(r.Lock);
  r.Devs.clear();
}
