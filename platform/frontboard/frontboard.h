// Front boards: the front panel's links (a serial line to its controller,
// key matrices, ...) behind one stream of 4-byte frames.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/res/res.h"
#include "platform/uart/uart.h"

inline constexpr const char* HEART_NODE = "/dev/beat_heart";
inline constexpr uint8_t FBD_RELEASE_FRAME[4] = {0xFF, 0x09, 0x00, 0x00};
inline constexpr uint8_t FBD_KEEPALIVE_FRAME[4] = {0xFF, 0x0A, 0x00, 0x00};

// A front-panel frame: four bytes, the first FF.
using FbdFrame = std::array<uint8_t, 4>;
// Splits received bytes into frames.  Bytes before an FF cannot start a
// frame and are skipped, so a reader that lost step realigns on the next
// FF.  Complete frames are appended to *frames.  Returns how many bytes of
// data were used; the rest (fewer than four, the first FF) is the start of
// the next frame and waits for more bytes.  No I/O.
size_t FbdSplitFrames(const uint8_t* data, size_t len, std::vector<FbdFrame>* frames);
bool FbdIsRelease(const FbdFrame& f);

struct FbdBoard_t {
  const FbdEntry_t* Res = nullptr;
  std::atomic<int> Reporting{0};
  UartDev_t* pUartDev = nullptr;
  int (*Read)(void* buf, uint32_t len, uint32_t* received, FbdBoard_t* Thiz) = nullptr;
  int (*Write)(const void* buf, uint32_t len, FbdBoard_t* Thiz) = nullptr;
  int (*Create)(FbdBoard_t* Thiz) = nullptr;
  int (*Open)(FbdBoard_t* Thiz) = nullptr;
  int (*Close)(FbdBoard_t* Thiz) = nullptr;
  int (*Destroy)(FbdBoard_t* Thiz) = nullptr;
  int (*ThreadStart)(FbdBoard_t* Thiz) = nullptr;
  int (*ThreadStop)(FbdBoard_t* Thiz) = nullptr;
  std::thread Thread;
  void (*ThreadRoutine)(FbdBoard_t* Thiz) = nullptr;
};

int FbdDevInit();
int FrontboardCreate();
int FrontboardDestroy();
int FrontboardRead(void* buf, int len);   // len, or -1
int FrontboardWrite(const void* buf, int len);
int FrontboardRead2(void* buf, int len, int board);
int FrontboardWrite2(const void* buf, int len, int board);
int FrontboardThreadStart();
int FrontboardThreadStop();

// Serial-line board operations.
int FbdUartCreate(FbdBoard_t* Thiz);
int FbdUartRead(void* buf, uint32_t len, uint32_t* received, FbdBoard_t* Thiz);
int FbdUartWrite(const void* buf, uint32_t len, FbdBoard_t* Thiz);
int FbdUartOpen(FbdBoard_t* Thiz);
int FbdUartClose(FbdBoard_t* Thiz);
int FbdUartDestroy(FbdBoard_t* Thiz);

// The heartbeat node, shared with the watchdogs (-1 while closed).
int HeartDeviceOpen();
int HeartDeviceFd();
