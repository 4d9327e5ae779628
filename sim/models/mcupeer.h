// The device side of the framed microcontroller upgrade: a boot loader
// that answers the enter and start requests, asks for each frame and
// keeps the image it receives.  Options spoil its side of the exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
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

// A device at the far end of a line: answers what the host sends and
// keeps the image it receives.
class McuDevice {
 public:
  virtual ~McuDevice() = default;
  // Bytes from the host; one entry per answer the device makes.
  virtual std::vector<std::vector<uint8_t>> InputAnswers(const uint8_t* p, size_t n) = 0;
  virtual const std::vector<uint8_t>& image() const = 0;
  virtual int end_frames() const = 0;
};

class McuBootPeer final : public McuDevice {
 public:
  explicit McuBootPeer(McuPeerOptions o) : o_(o) {}
  // Bytes from the host; returns what the device sends back.
  std::vector<uint8_t> Input(const uint8_t* p, size_t n);
  std::vector<std::vector<uint8_t>> InputAnswers(const uint8_t* p, size_t n) override;

  const std::vector<uint8_t>& image() const override { return image_; }
  bool crc_ok() const;       // the image matches the length and CRC of the start request
  int end_frames() const override { return ends_; }
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

// An EN773V module's boot loader: the text protocol, keeping the data
// frames it accepted at their flash addresses from 0x14000.
struct En773vOptions {
  int bootmen = 0;          // first answer this many enter commands with "~BOOTMEN"
  int data_err_at = -1;     // this data frame is answered "~DATAERR"...
  int data_err_times = 1;   // ...this many times
  int wrflash = 0;          // answer this many end commands with "~WRFLASH"
  bool refuse_erase = false;
  bool fail_end = false;    // the end gets an unknown answer
};

class En773vPeer final : public McuDevice {
 public:
  explicit En773vPeer(En773vOptions o) : o_(o) {}
  std::vector<std::vector<uint8_t>> InputAnswers(const uint8_t* p, size_t n) override;
  const std::vector<uint8_t>& image() const override { return image_; }
  int end_frames() const override { return ends_; }
  int frames() const { return frames_; }
  bool in_boot() const { return in_boot_; }

 private:
  En773vOptions o_;
  std::vector<uint8_t> in_, image_;
  bool in_boot_ = false;
  int enters_ = 0, frames_ = 0, errs_ = 0, ends_ = 0;
};
bool En773vOptionsFromJson(const nlohmann::json& j, En773vOptions* o, std::string* err);

class McuLine {
 public:
  explicit McuLine(McuLineOptions o);
  McuLine(McuLineOptions o, std::unique_ptr<McuDevice> dev);
  // Bytes the host wrote, seen at now_us (any steady clock, microseconds).
  void Input(const uint8_t* p, size_t n, int64_t now_us);
  // The answer bytes due by now_us, in order.
  std::vector<uint8_t> Due(int64_t now_us);
  // Microseconds until the next answer byte is due, -1 when none waits.
  int64_t NextDue(int64_t now_us) const;
  // The framed-protocol boot loader (a line built with it only).
  const McuBootPeer& peer() const { return *boot_; }
  const McuDevice& device() const { return *dev_; }
  // "mcu" for the framed boot loader, else "en773v".
  std::string peer_kind() const { return boot_ ? "mcu" : "en773v"; }
  int answers() const { return answers_; }

 private:
  struct Out {
    int64_t at_us;  // when its first byte reaches the host
    std::vector<uint8_t> bytes;
    size_t sent = 0;
  };
  int64_t byte_us() const { return o_.baud ? 10'000'000 / o_.baud : 0; }
  McuLineOptions o_;
  std::unique_ptr<McuDevice> dev_;
  McuBootPeer* boot_ = nullptr;
  std::deque<Out> out_;
  int64_t rx_free_us_ = 0;  // when the host's bytes have all arrived
  int64_t tx_free_us_ = 0;  // when the device's line is free to send
  int answers_ = 0;
};

class Board;
// A board's "mcu" (framed boot loader) or "en773v" line, from the board's
// section of that name; nullptr with *err when its options are wrong.
std::shared_ptr<McuLine> MakeBoardMcuLine(const Board& b, const std::string& kind, std::string* err);
// The peer process's side of such a line: takes what the host wrote,
// keeps the image received so far in DIR/sim/KIND-image.bin and logs
// "KIND end N" for each end command.
void McuLineInput(const Board& b, McuLine& line, int master, const uint8_t* p, size_t n);
// Writes the answer bytes now due; the milliseconds until more are due
// (1000 when nothing waits).
int McuLineFlush(const Board& b, McuLine& line, int master);

}  // namespace sim
