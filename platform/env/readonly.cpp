// Read-only environments: a text line in an I2C EEPROM, and the BIOS
// serial number through dmidecode.

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "osa/shell.h"
#include "osa/sys.h"
#include "platform/env/store.h"

namespace bootenv {

namespace {

constexpr uint32_t kI2cMaxRead = 65535;

// Reads len bytes from the EEPROM's registers starting at d.RegOffset.
int eeprom_read(const EnvI2cPart& d, uint8_t* buf, uint16_t len) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/i2c-%u", d.Bus);
  osa::UniqueFd fd(osa::sys::open(path, O_RDWR | O_CLOEXEC));
  if (!fd) {
    DVR_ERROR("EnvI2cCreate\n");
    return OSA_EFAIL;
  }
  uint8_t reg[2];
  uint16_t reglen = d.RegWidth == 2 ? 2 : 1;
  if (reglen == 2) {
    reg[0] = static_cast<uint8_t>(d.RegOffset >> 8);
    reg[1] = static_cast<uint8_t>(d.RegOffset);
  } else {
    reg[0] = static_cast<uint8_t>(d.RegOffset);
  }
  i2c_msg msgs[2] = {{static_cast<uint16_t>(d.Addr), 0, reglen, reg}, {static_cast<uint16_t>(d.Addr), I2C_M_RD, len, buf}};
  i2c_rdwr_ioctl_data xfer{msgs, 2};
  if (osa::sys::ioctl(fd.get(), I2C_RDWR, &xfer) < 0) {
    DVR_ERROR("Thiz->pI2cDev->ReadByte failed\n");
    return OSA_EFAIL;
  }
  return OSA_SOK;
}

// The first line a command prints, at most `max` bytes of it.
int cmd_one_output(const char* cmd, std::string* out, size_t max) {
  auto r = osa::Capture(cmd, {4096, -1});
  if (!r.ok() || r.output.empty()) return OSA_EFAIL;
  out->assign(r.output, 0, std::min(r.output.find_first_of("\r\n"), max));
  return OSA_SOK;
}

}  // namespace

int EnvI2cGet(const EnvDesc& d, const char* name, char* buf, int size) {
  if (!name || !*name) {
    DVR_ERROR("empty string.\n");
    return OSA_EFAIL;
  }
  uint32_t len = d.Size < kI2cMaxRead ? d.Size : kI2cMaxRead;
  std::string data(len, '\0');
  if (len == 0 || eeprom_read(d.I2c, reinterpret_cast<uint8_t*>(data.data()), static_cast<uint16_t>(len)) != 0)
    return OSA_EFAIL;
  size_t at = data.find(name);
  if (at == std::string::npos) {
    DVR_ERROR("key=%s not found!\n", name);
    return OSA_EFAIL;
  }
  size_t v = at + std::strlen(name);
  if (v < data.size() && data[v] == '=') ++v;
  size_t nl = data.find('\n', v);
  if (nl == std::string::npos) {
    DVR_ERROR("size not enough\n");
    return OSA_EFAIL;
  }
  size_t n = std::min(nl - v, static_cast<size_t>(size) - 1);
  std::memcpy(buf, data.data() + v, n);
  buf[n] = '\0';
  DVR_WARN("KEY = %s, value=%s\n", name, buf);
  return OSA_SOK;
}

int EnvBIOSGet(const char* name, char* buf, int size) {
  if (!name || !*name) {
    DVR_ERROR("empty string, get failed.\n");
    return OSA_EFAIL;
  }
  if (std::strcmp(name, "ID") != 0) {
    DVR_WARN("unknow key(%s), return %d.\n", name, OSA_EFAIL);
    return OSA_EFAIL;
  }
  std::string serial;
  if (cmd_one_output("dmidecode --string system-serial-number", &serial, 32) != 0) {
    DVR_ERROR("getCmdOneOutput Failed\n");
    DVR_ERROR("get env value (%s) failed.\n", name);
    return OSA_EFAIL;
  }
  size_t n = std::min(serial.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buf, serial.data(), n);
  buf[n] = '\0';
  return OSA_SOK;
}

}  // namespace bootenv
