// Microcontroller upgrades: the framed serial protocol (link frames with a
// start byte and an 8-bit sum, wrapped inner frames, a transfer loop in
// which the device asks for each frame), its receive buffer and package.
#pragma once

#include <cstddef>
#include <cstdint>

// A block list: the image handed over in memory as (pointer, length) pairs.
struct McuBlock_t {
  const uint8_t* Data;
  uint32_t Len;
};

inline constexpr uint8_t MCU_SOF = 0x5A;
inline constexpr uint8_t MCU_SOF2 = 0x56;
enum McuLinkCmd : uint8_t { MCU_CMD_ENTER = 0x15, MCU_CMD_WAKE = 0x1B, MCU_CMD_WRAP = 0x0D };
enum McuInnerCmd : uint8_t {
  MCU_I_START_REQ = 0x82, MCU_I_START_RESP = 0x83, MCU_I_TRANS_REQ = 0x84, MCU_I_DATA = 0x85, MCU_I_END = 0x86,
};
inline constexpr uint32_t MCU_FRAME_MAX = 64;   // the longest link frame the receive buffer hands out
inline constexpr uint32_t MCU_ACC_MAX = 96;     // bytes the receive buffer accumulates
inline constexpr uint32_t MCU_READ_MAX = 77;    // the longest single read it takes
inline constexpr uint32_t MCU_HEADER_LEN = 64;
inline constexpr uint32_t MCU_EXT_MAX = 47;
inline constexpr uint32_t MCU_ILEN_MAX = 245;   // inner data that still fits the one-byte link length

// Link frame: 5A 56 LEN CNT CMD data SUM, LEN = CNT + 2.  Returns its
// length, or -1 when it does not fit `cap` or the one-byte lengths.
int McuLinkFrame(uint8_t cmd, const uint8_t* data, uint32_t cnt, uint8_t* out, uint32_t cap);
// A 0x0D link frame around the inner frame FD 00 ADDR NUM ICMD ILEN data ISUM.
int McuWrapFrame(uint8_t addr, uint8_t num, uint8_t icmd, const uint8_t* data, uint32_t ilen, uint8_t* out,
                 uint32_t cap);
uint8_t McuSum8(const uint8_t* p, uint32_t n);
// CRC-16 with the reflected polynomial 0xA001 from 0xFFFF, no final
// complement (CRC-16/MODBUS).
uint16_t McuCrc16(const uint8_t* p, size_t n);

// A valid wrapped frame: link command 0x0D, inner start 0xFD, inner sum and
// length consistent with the link frame.  Fills the inner fields.
struct McuInner_t {
  uint8_t Addr, Num, Cmd, Len;
  const uint8_t* Data;
};
bool McuParseWrapped(const uint8_t* f, uint32_t len, McuInner_t* out);

// The receive buffer.
struct McuRxBuf_t {
  uint32_t Count;
  uint32_t FrameLen;  // length of the frame in Frame after a successful pop
  uint32_t Pos;
  uint8_t Pending;    // more frames may be waiting
  uint8_t Frame[MCU_FRAME_MAX];
  uint8_t Acc[MCU_ACC_MAX];
};
// 0, or -2 (buffer emptied) when the bytes would overflow it.
int Push_VerifyRxBuf(McuRxBuf_t* b, const uint8_t* bytes, uint32_t n);
// 0 with a frame in Frame/FrameLen; -1 nothing complete yet; -2 a frame
// too long for the output (buffer emptied).
int Pop_VerifyRxBuf(McuRxBuf_t* b);

// The package header of the framed protocol.
struct McuPkg_t {
  uint8_t DevType, DevAddr, Mode, ExtLen;
  const uint8_t* Ext;
  const uint8_t* Image;
  uint32_t ImageLen;
};
// nullptr when the package is usable, else what is wrong.
const char* McuParsePackage(const uint8_t* p, uint32_t len, McuPkg_t* out);

// Frame size of the transfer for a boot version and device maximum (0 when
// the device's maximum cannot be used), and the padded length of a last
// frame of `rest` bytes.
uint32_t McuFrameSize(uint16_t boot, uint8_t dev_max, uint8_t addr);
uint32_t McuPadded(uint16_t boot, uint32_t rest);

// The microcontroller driver: every request takes four words, the last the
// address of the data (32 bits on the board; the simulator runs in the
// caller's process and reads it there).
inline constexpr const char* ZQ_MCU_NODE_PATH = "/dev/zq_mcu";
inline constexpr char MCU_DRIVER_TAG[] = "ZQ-UPMCU";
inline constexpr unsigned long ZQ_MCU_JTAG_WRITE = 0xC0044D06;
inline constexpr unsigned long ZQ_MCU_UPGRADE_START = 0xC0044D07;
inline constexpr unsigned long ZQ_MCU_UPGRADE_END = 0xC0044D08;
inline constexpr unsigned long ZQ_MCU_UPGRADE_INFO = 0xC0044D13;
inline constexpr unsigned long ZQ_MCU_COMMAND = 0xC0044D19;
enum McuDriverCmd : uint8_t { MCU_DRV_UPGRADE = 8, MCU_DRV_DATA = 9, MCU_DRV_STATE = 10 };
struct McuDriverDesc_t {
  uint32_t Unused;
  uint32_t Offset;
  uint32_t Length;
  const void* Data;
};
#if defined(__arm__)
static_assert(sizeof(McuDriverDesc_t) == 16 && offsetof(McuDriverDesc_t, Data) == 12);
#endif

// The FPGA's configuration flash behind the SPI flash driver.
inline constexpr const char* VS_SPIFLASH_NODE = "/dev/vs_spiflash";
inline constexpr unsigned long SPIFLASH_INIT = 0x403C7301;   // _IOR('s', 1, 60)
inline constexpr unsigned long SPIFLASH_READ = 0x40487302;   // _IOR('s', 2, 72)
inline constexpr unsigned long SPIFLASH_WRITE = 0x40487303;  // _IOR('s', 3, 72)
inline constexpr unsigned long SPIFLASH_PREPARE = 0x403C7304;  // _IOR('s', 4, 60)
inline constexpr uint32_t SPIFLASH_PIECE = 4096;
struct SpiFlashXfer_t {
  uint32_t Len;
  const void* Data;  // 32 bits on the board
  uint32_t Addr;
  uint8_t Desc[60];
};
#if defined(__arm__)
static_assert(sizeof(SpiFlashXfer_t) == 72 && offsetof(SpiFlashXfer_t, Addr) == 8 &&
              offsetof(SpiFlashXfer_t, Desc) == 12);
#endif

// The EN773V modules' text protocol.  An image is an 80-byte header
// ("ZQ-UPDAT", the module tag at offset 17) and the data, written in 1 KiB
// frames from flash address 0x14000.
inline constexpr uint32_t EN773V_HEADER_LEN = 80;
inline constexpr uint32_t EN773V_CHUNK = 1024;
inline constexpr uint32_t EN773V_FRAME_LEN = EN773V_CHUNK + 6;
inline constexpr uint32_t EN773V_FLASH_BASE = 0x14000;
// The two module tags the table walk accepts (11 characters each).
inline constexpr char EN773V_TAG_A[] = "EN773V-V1.0";
inline constexpr char EN773V_TAG_B[] = "EN773V-V2.0";
static_assert(sizeof(EN773V_TAG_A) == 12 && sizeof(EN773V_TAG_B) == 12);
// The progress counters of one table walk: devices finished, and the
// walk's enabled serial-line entries.
struct En773vProgress_t {
  uint32_t Finished;
  uint32_t Devices;
};
// A data frame: 0x3A, 24-bit address, `n` bytes zero-padded to 1024, the
// 16-bit sum of the first 1028 bytes; all little-endian.  `out` holds
// EN773V_FRAME_LEN bytes.
void En773vDataFrame(uint32_t addr, const uint8_t* data, uint32_t n, uint8_t* out);
// True for an image that starts with "ZQ-UPDAT" and carries a known tag.
bool En773vImageTag(const uint8_t* image, uint32_t length);

// ---------------------------------------------------------------- entries

// Walks the System record's controller table and upgrades every enabled
// entry whose image tag matches; 0 or the first failure.
int SysDevUpgradeMCU(const void* system, const uint8_t* image, uint32_t length, uint32_t* progress);
int SysDevUpgradeFPGA(const McuBlock_t* blocks, uint32_t count, uint32_t* progress, const void* system);

// JTAG mode: the blocks in order, the first without its tag.
int McuUpgradeJtag(const McuBlock_t* blocks, uint32_t count, uint32_t* progress);
// The driver's boot-loader command sets, on the image after the tag.
int UpgradeMCU_Process_LPC11C22(const uint8_t* image, uint32_t length, uint32_t* progress);
int UpgradeMCU_Process_STM32(const uint8_t* image, uint32_t length);
// An EN773V on serial line `index` (one-based), the image with its header.
// `counters` carries the walk's progress (nullptr: a walk of one device).
int UpgradeMCU_Process_EN773V(uint32_t index, const uint8_t* image, uint32_t length, uint32_t* progress,
                              En773vProgress_t* counters = nullptr);
struct TransCom_t;
// The same on a given port (tests bring their own line).
int En773vUpgradeOn(TransCom_t* port, const uint8_t* image, uint32_t length, uint32_t* progress,
                    En773vProgress_t* counters = nullptr);

// Upgrades one controller from a package by the System record's method.
int SysDevUpgradeMCU_V(const McuBlock_t* blocks, uint32_t count, uint32_t* progress, const void* system);
// The framed protocol on serial line `index` (one-based).
int McuUpgradeFramed(uint32_t index, const uint8_t* pkg, uint32_t len, uint32_t* progress);
// The same on a given port (tests bring their own line).
struct TransCom_t;
int McuUpgradeFramedOn(TransCom_t* port, uint32_t index, const uint8_t* pkg, uint32_t len, uint32_t* progress);
