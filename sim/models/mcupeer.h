// The device side of the framed microcontroller upgrade: a boot loader
// that answers the enter and start requests, asks for each frame and
// keeps the image it receives.  Options spoil its side of the exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

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
  // The same, one entry per answer the device makes.
  std::vector<std::vector<uint8_t>> InputAnswers(const uint8_t* p, size_t n);

  const std::vector<uint8_t>& image() const { return image_; }
  bool crc_ok() const;       // the image matches the length and CRC of the start request
  int end_frames() const { return ends_; }
  int requests() const { return requests_; }

 private:
  std::vector<uint8_t> frame(const std::vector<uint8_t>& link);
  std::vector<uint8_t> wrapped(uint8_t num, uint8_t icmd, const std::vector<uint8_t>& data);
  std::vector<uint8_t> request();
  void handle(const uint8_t* f, size_t len, std::vector<std::vector<uint8_t>>* out);

  McuPeerOptions o_;
  std::vector<uint8_t> in_, image_;
  uint8_t addr_ = 0;
  uint32_t length_ = 0, frame_size_ = 0;
  uint16_t crc_ = 0;
  uint8_t num_ = 1;  // the frame number asked for next (old boot)
  bool started_ = false;
  int requests_ = 0, ends_ = 0;
};

// The line between the host and a boot loader: bytes take their time on
// the wire both ways (10 bit times a byte), and the line can lose, hold
// back or stop the device's answers.
struct McuLineOptions {
  McuPeerOptions peer;
  uint32_t baud = 0;       // 0: no pacing
  int drop_at = -1;        // this answer (counted from 0) never arrives
  int delay_at = -1;       // this answer arrives delay_ms late
  int delay_ms = 0;
  int silent_from = -1;    // from this answer on the device says nothing
};
// From a board's "mcu" section; false with *err for a value of a wrong kind.
bool McuLineOptionsFromJson(const nlohmann::json& j, McuLineOptions* o, std::string* err);

class McuLine {
 public:
  explicit McuLine(McuLineOptions o) : o_(o), peer_(o.peer) {}
  // Bytes the host wrote, seen at now_us (any steady clock, microseconds).
  void Input(const uint8_t* p, size_t n, int64_t now_us);
  // The answer bytes due by now_us, in order.
  std::vector<uint8_t> Due(int64_t now_us);
  // Microseconds until the next answer byte is due, -1 when none waits.
  int64_t NextDue(int64_t now_us) const;
  const McuBootPeer& peer() const { return peer_; }
  int answers() const { return answers_; }

 private:
  struct Out {
    int64_t at_us;  // when its first byte reaches the host
    std::vector<uint8_t> bytes;
    size_t sent = 0;
  };
  int64_t byte_us() const { return o_.baud ? 10'000'000 / o_.baud : 0; }
  McuLineOptions o_;
  McuBootPeer peer_;
  std::deque<Out> out_;
  int64_t rx_free_us_ = 0;  // when the host's bytes have all arrived
  int64_t tx_free_us_ = 0;  // when the device's line is free to send
  int answers_ = 0;
};

class Board;
// The peer process's side of a board's "mcu" line: takes what the host
// wrote, keeps the image received so far in DIR/sim/mcu-image.bin and logs
// "mcu end N" for each end frame.
void McuLineInput(const Board& b, McuLine& line, int master, const uint8_t* p, size_t n);
// Writes the answer bytes now due; the milliseconds until more are due
// (1000 when nothing waits).
int McuLineFlush(const Board& b, McuLine& line, int master);

}  // namespace sim
