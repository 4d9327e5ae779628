// The I2C device layer: one device object per chip (bus and address),
// reached through the board driver /dev/vs_i2c with requests of our own.
// Transfers on one bus are serialised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osa/osa.h"

inline constexpr const char* VS_I2C_NODE = "/dev/vs_i2c";
inline constexpr uint32_t VS_I2C_DATA_MAX = 32;

// One transfer: the chip, the first register and the bytes read or
// written, carried inside the record (no pointers).
struct VsI2cXfer_t {
  uint32_t Bus;
  uint32_t Addr;
  uint32_t Protocol;  // passed through as the resource table gives it
  uint32_t Reg;
  uint32_t RegLen;    // register address bytes, 0 taken as 1
  uint32_t Flags;
  uint32_t Len;       // data bytes, at most VS_I2C_DATA_MAX
  uint8_t Data[VS_I2C_DATA_MAX];
};
static_assert(sizeof(VsI2cXfer_t) == 60 && offsetof(VsI2cXfer_t, Data) == 28);

constexpr unsigned long VsI2cRequest(unsigned dir, unsigned nr) {
  return (static_cast<unsigned long>(dir) << 30) | (sizeof(VsI2cXfer_t) << 16) | ('i' << 8) | nr;
}
inline constexpr unsigned long VS_I2C_READ = VsI2cRequest(3, 1);   // _IOWR: fills Data
inline constexpr unsigned long VS_I2C_WRITE = VsI2cRequest(1, 2);  // _IOW
static_assert(VS_I2C_READ == 0xC03C6901 && VS_I2C_WRITE == 0x403C6902);

struct I2cRes_t {
  uint32_t Bus;
  uint32_t Addr;
  uint32_t Protocol;
};

struct I2cDev_t {
  I2cRes_t Res{};
  osa::UniqueFd Fd;
  osa::Mutex* BusLock = nullptr;
  int (*Open)(I2cDev_t* Thiz) = nullptr;
  int (*ReadByte)(uint32_t reg, uint8_t* value, I2cDev_t* Thiz) = nullptr;
  int (*WriteByte)(uint32_t reg, uint8_t value, I2cDev_t* Thiz) = nullptr;
  // Writes len bytes from reg on: register width and flags as given.
  int (*BlockWrite)(uint32_t reg, uint32_t reg_len, uint32_t flags, const uint8_t* data, uint32_t len,
                    I2cDev_t* Thiz) = nullptr;
};

// The device object of a chip, made on first use and kept; -1 when the
// driver node cannot be opened.
int I2cDevProbe(const I2cRes_t* pRes, I2cDev_t** ppDev);
// Forgets every device (tests that switch boards).
void I2cDevReleaseAll();
