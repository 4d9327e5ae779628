// The device side of the framed microcontroller upgrade: a boot loader
// that answers the enter and start requests, asks for each frame and
// keeps the image it receives.  Options spoil its side of the exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct McuPeerOptions {
  bool new_boot = false;     // boot version 0x0101 with offsets, else 0x0100
  uint8_t max_frame = 64;    // the device maximum a new boot reports
  int repeat_from = -1;      // from this request on, ask for the same frame forever
  int skip_at = -1;          // at this request, ask for a frame further on
  int corrupt_at = -1;       // this request goes out with a bad sum
  bool garbage = false;      // noise before every answer
};

class McuBootPeer {
 public:
  explicit McuBootPeer(McuPeerOptions o) : o_(o) {}
  // Bytes from the host; returns what the device sends back.
  std::vector<uint8_t> Input(const uint8_t* p, size_t n);

  const std::vector<uint8_t>& image() const { return image_; }
  bool crc_ok() const;       // the image matches the length and CRC of the start request
  int end_frames() const { return ends_; }
  int requests() const { return requests_; }

 private:
  std::vector<uint8_t> frame(const std::vector<uint8_t>& link);
  std::vector<uint8_t> wrapped(uint8_t num, uint8_t icmd, const std::vector<uint8_t>& data);
  std::vector<uint8_t> request();
  void handle(const uint8_t* f, size_t len, std::vector<uint8_t>* out);

  McuPeerOptions o_;
  std::vector<uint8_t> in_, image_;
  uint8_t addr_ = 0;
  uint32_t length_ = 0, frame_size_ = 0;
  uint16_t crc_ = 0;
  uint8_t num_ = 1;  // the frame number asked for next (old boot)
  bool started_ = false;
  int requests_ = 0, ends_ = 0;
};

}  // namespace sim
