// Simulated optical drives: each entry of the board's "optical" list is a
// recorder behind a SCSI generic node and an sr block node.
//
//   "optical": [{"sg": "/dev/sg0", "sr": "/dev/sr0", "scsi": "5:0:0:0",
//                "vendor": "ASUS", "product": "DRW-24D1ST", "revision": "1.00",
//                "serial": "SIMDRV0001"}]
//
// The disc is DIR/dev/srM.img (block N at N x 2048, sparse) with its state
// (profile, tracks and sessions, format state, pending sense, faults) in
// DIR/dev/srM.state.  The sg node answers MMC commands over SG_IO, one
// events line each: "mmc SG CDB-HEX -> ok|K/ASC/ASCQ".  The sr node
// answers block reads and the CD-ROM ioctls the library uses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"

namespace sim {

struct DriveSpec {
  std::string sg, sr, scsi, vendor, product, revision, serial;
};

// The board's drive whose sg or sr node is `node` ("/dev/sg0", "sr0" ...).
bool FindDrive(const Board& b, std::string_view node, DriveSpec* out);

struct DiscTrack {
  uint32_t number = 1, session = 1;
  uint32_t start = 0;
  uint32_t size = 0;      // reserved or closed tracks; 0 while invisible
  uint32_t nwa = 0;       // next writable block
  bool reserved = false;  // made by RESERVE TRACK
  bool closed = false;
};

struct DiscState {
  int profile = 0;        // 0: empty tray
  uint32_t blocks = 0;    // capacity
  bool formatted = false; // rewritable media
  int status = 0;         // 0 blank, 1 appendable, 2 complete
  std::vector<DiscTrack> tracks;
  uint32_t highest = 0;   // highest block written + 1 (rewritable media)
  // Sense queue: unit attention once, then "becoming ready" for a while.
  int attention = 0, becoming = 0;
  int busy = 0, busy_ascq = 0;  // commands still answered "in progress"
  bool locked = false, changed = false, tray_open = false;
  // Faults.
  uint32_t writes = 0;  // WRITE(10) commands so far
  uint32_t fail_write = 0, recovered_write = 0;
  bool bad = false;
  std::vector<uint32_t> speeds;
  uint32_t write_speed = 0;
  std::vector<uint8_t> page05;  // write parameters, as last selected
};

// Default capacity in blocks for a profile; 0 for profiles we do not make.
uint32_t DefaultBlocks(int profile);
bool Sequential(int profile);
// A blank disc of `profile`.
DiscState BlankDisc(int profile, uint32_t blocks);

// State kept beside the image; false with *err when it cannot be read.
bool LoadDisc(const std::string& path, DiscState* out, std::string* err);
bool SaveDisc(const std::string& path, const DiscState& s);

// One MMC command against a disc: fills `data` (from-device) or consumes it
// (to-device); the sense triple (key 0 for success) and the bytes moved.
struct MmcReply {
  uint8_t key = 0, asc = 0, ascq = 0;
  uint32_t moved = 0;
};
MmcReply RunMmc(const DriveSpec& d, DiscState* s, int image_fd, const uint8_t* cdb, uint8_t* data, uint32_t len);

extern const Model kMmcSgModel;
extern const Model kMmcSrModel;

// dvrsim disc DIR [--drive srM] none|PROFILE [--blocks N] [--fail-write N]
//   [--recovered-write N] [--bad] [--speeds LIST]
int DiscCommand(int argc, char** argv);

}  // namespace sim
