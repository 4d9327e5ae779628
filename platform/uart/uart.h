// Serial lines: one UART device per resource index, shared by every user
// of the line.  The device hides the terminal settings, RS-485 direction
// switching (driver register, GPIO or RTS) and, on multiplexed lines, a
// reader thread that splits the incoming stream into per-channel rings.
#pragma once

#include <sys/ioctl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "osa/osa.h"
#include "platform/gpio/gpio.h"
#include "platform/res/res.h"

inline constexpr const char* UART_CTRL_NODE = "/dev/vs_uart";
// Hands a line's description to the UART driver.
inline constexpr unsigned long ZQ_UART_INIT = (1ul << 30) | (sizeof(UartRes_t) << 16) | ('U' << 8) | 0;
static_assert(ZQ_UART_INIT == 0x41385500);
// Direction register of a line (method 1): the argument is the record below.
struct UartRtsReg_t {
  uint32_t Index;
  uint32_t Reg;
  uint32_t Value;  // 1 transmit, 0 receive
};
static_assert(sizeof(UartRtsReg_t) == 12);
inline constexpr unsigned long ZQ_UART_SET_RTS = (1ul << 30) | (sizeof(UartRtsReg_t) << 16) | ('U' << 8) | 1;

enum UartWorkMode : uint32_t { UART_FULL_DUPLEX = 1, UART_HALF_DUPLEX = 2 };
enum UartRtsMode : uint32_t { UART_RTS_NONE = 0, UART_RTS_REG = 1, UART_RTS_GPIO = 2, UART_RTS_TTY = 3 };
inline constexpr uint32_t UART_USEMODE_MUX = 2;
inline constexpr uint32_t UART_CHANNELS = 13;  // multiplexed channels 1..13

struct UartAttr_t {
  uint32_t TermMode;  // 1 console-style, other raw
  uint32_t Rate;
  uint32_t DataBits;
  uint32_t Parity;    // 0 none, 1 odd, 2 even, 3 on+odd, 4 on
  uint32_t StopBits;  // 0/1 one, 2 two
};

// 512 bytes, one slot always empty.
inline constexpr uint32_t UART_RING_SIZE = 512;
struct UartRing_t {
  uint8_t Buf[UART_RING_SIZE] = {};
  uint32_t Read = 0;
  uint32_t Write = 0;
  osa::Mutex Lock;
};
uint32_t UartRingFree(const UartRing_t& r);  // (read + 511 - write) mod 512
uint32_t UartRingUsed(const UartRing_t& r);

struct UartParent_t;

struct UartDev_t {
  UartRes_t Res{};
  char DevName[64] = {};
  int Flags = 0;
  // Changed only with both ReadLock and WriteLock held, so a reader or a
  // writer holding its own lock sees it stay put.
  osa::UniqueFd Fd;
  uint32_t UseFor = 0, UseMode = 0, WorkMode = UART_FULL_DUPLEX, RtsUseMode = UART_RTS_NONE;
  uint32_t DelayMs = 0, TimeoutMs = 300;
  uint8_t Sync[2] = {};
  // Per channel: [0] payloads (types 1, 4), [1] whole frames (types 2, 3).
  std::unique_ptr<UartRing_t> Ring[UART_CHANNELS + 1][2];
  osa::Mutex ReadLock, WriteLock, DirLock;
  GpioDev_t* RtsGpio = nullptr;
  UartParent_t* Parent = nullptr;
  std::atomic<bool> Enabled{false};
  std::atomic<bool> StopReader{false};
  std::thread Reader;

  int (*Open)(UartDev_t* Thiz) = nullptr;
  int (*Close)(UartDev_t* Thiz) = nullptr;
  int (*Destroy)(UartDev_t* Thiz) = nullptr;
  int (*SetAttr)(const UartAttr_t* pAttr, UartDev_t* Thiz) = nullptr;
  int (*SetWorkMode)(uint32_t mode, UartDev_t* Thiz) = nullptr;
  int (*ConfigAlt)(UartDev_t* Thiz) = nullptr;
  int (*Read)(void* buf, uint32_t len, UartDev_t* Thiz) = nullptr;
  int (*ReadComm)(void* buf, uint32_t len, uint32_t* received, int timeout_ms, UartDev_t* Thiz) = nullptr;
  int (*Write)(const void* buf, uint32_t len, UartDev_t* Thiz) = nullptr;
  int (*Purge)(uint32_t flags, UartDev_t* Thiz) = nullptr;
  int (*SetRtsDir)(uint32_t dir, UartDev_t* Thiz) = nullptr;  // 1 transmit, 0 receive
};

// The UART device of a line, created, opened and configured on first use.
int UartDevProbe(const UartRes_t* pRes, UartDev_t** ppDev);
// Stops every reader thread and forgets the lines: the UART part of
// osa::ResetSingletonsForTest(), kept for the tests that call it by name.
void UartDevReleaseAll();

int UartOpen(UartDev_t* Thiz);
int UartClose(UartDev_t* Thiz);
int UartSetAttr(const UartAttr_t* pAttr, UartDev_t* Thiz);
int UartSetWorkMode(uint32_t mode, UartDev_t* Thiz);
int UartConfigAlt(UartDev_t* Thiz);
int UartRead(void* buf, uint32_t len, UartDev_t* Thiz);
int UartReadComm(void* buf, uint32_t len, uint32_t* received, int timeout_ms, UartDev_t* Thiz);
int UartWrite(const void* buf, uint32_t len, UartDev_t* Thiz);
int UartPurge(uint32_t flags, UartDev_t* Thiz);

// Multiplexed lines.  A frame is sync1 sync2 channel type length payload.

// Splits a multiplexed line's byte stream into frames, one byte at a time
// as the reader thread receives them.  No I/O: the thread reads, this
// decides.
class UartMuxParser {
 public:
  static constexpr uint32_t kMaxFrame = 5 + 255;
  UartMuxParser(uint8_t sync1, uint8_t sync2) : sync_{sync1, sync2} {}
  // True when b completed a frame; frame()/frame_len() hold it until the
  // next call.
  bool Feed(uint8_t b);
  const uint8_t* frame() const { return frame_; }
  uint32_t frame_len() const { return 5u + frame_[4]; }
  // Sync seen, frame not complete yet.
  bool in_frame() const { return have_ > 0; }

 private:
  uint8_t sync_[2];
  uint8_t prev_ = 0;
  uint32_t have_ = 0;  // bytes of the frame so far; 0 while hunting for sync
  uint8_t frame_[kMaxFrame] = {};
};

// Where a complete frame goes.  ring: 0 payloads, 1 whole frames, -1 none
// (then error says why: a bad channel or type).  fail: the message when
// storing it fails.
struct UartMuxRoute {
  int ring = -1;
  uint32_t part_off = 0, part_len = 0;
  const char* error = nullptr;
  const char* fail = nullptr;
};
UartMuxRoute UartMuxRouteOf(const uint8_t* frame, uint32_t frame_len);
int Date_WriteBuf(UartRing_t* ring, const uint8_t* frame, uint32_t frame_len, uint32_t part_off, uint32_t part_len,
                  const std::atomic<bool>* stop = nullptr);
// The consumer side: takes up to len bytes of a channel's ring (0 when
// empty).  which: 0 payloads, 1 whole frames.  -1 for a bad channel.
int UartChnRead(UartDev_t* Thiz, uint32_t chn, uint32_t which, void* buf, uint32_t len);

// Bridge lines (SC16IS7xx behind I2C).
int Sc16is7xUartOpen(UartDev_t* Thiz);
int Sc16is7xUartClose(UartDev_t* Thiz);
int Sc16is7xUartSetAttr(const UartAttr_t* pAttr, UartDev_t* Thiz);
int Sc16is7xUartRead(void* buf, uint32_t len, UartDev_t* Thiz);
int Sc16is7xUartWrite(const void* buf, uint32_t len, UartDev_t* Thiz);

// ------------------------------------------------------ port families

struct TransCom_t {
  const TransComEntry_t* Res = nullptr;
  UartDev_t* pUartDev = nullptr;
  int (*Create)(TransCom_t* Thiz) = nullptr;
  int (*Destroy)(TransCom_t* Thiz) = nullptr;
  int (*Open)(TransCom_t* Thiz) = nullptr;
  int (*Close)(TransCom_t* Thiz) = nullptr;
  int (*Read)(void* buf, uint32_t len, TransCom_t* Thiz) = nullptr;
  int (*Write)(const void* buf, uint32_t len, TransCom_t* Thiz) = nullptr;
  int (*SetAttribute)(const UartAttr_t* pAttr, TransCom_t* Thiz) = nullptr;
  int (*SetWorkMode)(uint32_t mode, TransCom_t* Thiz) = nullptr;
};

int TransComDevInit();
TransCom_t* TransComGet(uint32_t index);  // nullptr beyond the record
int TransComUartCreate(TransCom_t* Thiz);
int TransComUartDestroy(TransCom_t* Thiz);
int TransComUartOpen(TransCom_t* Thiz);
int TransComUartClose(TransCom_t* Thiz);
int TransComUartRead(void* buf, uint32_t len, TransCom_t* Thiz);
int TransComUartWrite(const void* buf, uint32_t len, TransCom_t* Thiz);
int TransComUartSetAttribute(const UartAttr_t* pAttr, TransCom_t* Thiz);
int TransComUartSetWorkMode(uint32_t mode, TransCom_t* Thiz);

struct SerialPort_t {
  const SerialEntry_t* Res = nullptr;
  uint32_t Role = 0;  // 0 common, 1 console
  UartDev_t* pUartDev = nullptr;  // none for a console port
};

int SerialDevInit();
SerialPort_t* SerialGet(uint32_t index);
int SerialUartOpen(SerialPort_t* Thiz);
int SerialUartClose(SerialPort_t* Thiz);
int SerialUartDestroy(SerialPort_t* Thiz);
int SerialUartSetAttribute(const UartAttr_t* pAttr, SerialPort_t* Thiz);
int SerialUartRead(void* buf, uint32_t len, SerialPort_t* Thiz);  // -2 on a console port
int SerialUartWrite(const void* buf, uint32_t len, SerialPort_t* Thiz);

// Pure pieces, shared with the tests.
bool UartRateCode(uint32_t rate, unsigned* speed);  // termios speed for a rate of the table
