// MMC command layer: command blocks, sense decisions and reply parsers as
// pure functions, and the one send path over SCSI generic.
#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "osa/osa.h"

namespace mmc {

enum class Dir : int { ToDevice = 1, FromDevice = 2, None = 3 };

// The per-drive command block.
struct Command {
  uint8_t cdb[16] = {};
  uint8_t cdb_len = 0;
  const char* name = "";
  uint8_t* data = nullptr;
  uint32_t len = 0;
  Dir dir = Dir::None;
  int timeout = 0;  // seconds; 0 leaves the driver's default
  uint8_t sense[64] = {};
  bool check_condition = false;
  uint32_t transferred = 0;  // bytes really moved (length less the residue)
};

// Command builders (the data pointer is the caller's to set).
Command TestUnitReady();
Command RequestSense(uint8_t len);
Command Inquiry(uint8_t len);
Command ReadCapacity();
Command LoadUnload(bool load);
Command PreventAllow(bool prevent);
Command StartStop(bool start, bool eject);
Command SendOpc();
Command SetCdSpeed(uint16_t read_kbs, uint16_t write_kbs, uint8_t rotctl);
Command SetStreaming(uint16_t len);
Command SyncCache();
Command ReadDiscInfo(uint16_t len);
Command ReadTrackInfo(uint32_t track, uint16_t len);
Command CloseTrackSession(uint8_t function, uint16_t track);
Command Blank();
Command FormatUnit(uint16_t param_len);
Command ReadFormatCapacities(uint16_t len);
Command ReserveTrackE4(uint32_t blocks);
Command ReserveTrack(uint32_t blocks);
Command ModeSelect10(uint16_t len);
Command ModeSense10(uint8_t page, uint16_t len);
Command GetConfiguration(uint8_t rt, uint16_t feature, uint16_t len);
Command Write10(uint32_t lba, uint16_t blocks);
Command ReadDiscStructure(uint8_t media, uint8_t format, uint16_t len);
Command ReadBufferCapacity(uint16_t len);
Command GetPerformance(uint8_t type, uint16_t max);

// ------------------------------------------------------------------ sense

struct Sense {
  bool present = false;  // the drive sent sense data we could read
  uint8_t key = 0, asc = 0, ascq = 0;
};
// Fixed (70h/71h) or descriptor (72h/73h) sense, read only within the
// `written` bytes the driver reports.
Sense ParseSense(const uint8_t* sb, size_t written);

// What to do after a command came back.
struct Decision {
  enum Kind { Done, Resend, WaitResend } kind = Done;
  int ret = 0;           // for Done
  int delay_ms = 0;      // for Resend
  int wait_tries = 0;    // for WaitResend: TEST UNIT READY tries
  int wait_ms = 0;       // for WaitResend: time allowance (long writes)
  const char* message = nullptr;  // line to print, if any
};
struct SendState {
  bool is_write = false;
  int resends = 0;         // resends so far for this command
  uint32_t write_speed = 0;  // kB/s, 0 when unknown
  bool abort = false;
};
inline constexpr int kMaxResends = 10;
// The decision for one sense report.
Decision Decide(const Sense& s, const SendState& st);
// Time allowed for a long write in progress: milliseconds.
int LongWriteAllowanceMs(bool is_write, uint32_t speed);

// -------------------------------------------------------------- replies

struct Inquiry36 {
  std::string vendor, product, revision;  // fixed-width fields, trailing blanks dropped
};
// -1 with `err` for a short reply.
int ParseInquiry(const uint8_t* d, size_t len, Inquiry36* out, std::string* err);
// The drive model code for an INQUIRY identity (later table rows win).
int ModelCode(const Inquiry36& inq);
// Current profile from a GET CONFIGURATION header.
int ParseCurrentProfile(const uint8_t* d, size_t len, int* profile, std::string* err);
struct DiscInfo {
  uint8_t status = 0;        // disc status: 0 blank, 1 incomplete, 2 finalized
  uint8_t last_session_state = 0;
  bool erasable = false;
  uint16_t sessions = 0;
  uint16_t first_track_last_session = 0, last_track_last_session = 0;
};
int ParseDiscInfo(const uint8_t* d, size_t len, DiscInfo* out, std::string* err);
struct TrackInfo {
  uint16_t track = 0;
  uint16_t session = 0;
  bool blank = false, reserved = false, nwa_valid = false;
  uint32_t start = 0, nwa = 0, free_blocks = 0, size = 0;
};
int ParseTrackInfo(const uint8_t* d, size_t len, TrackInfo* out, std::string* err);
// Write speeds (kB/s) from GET PERFORMANCE type 03h.
int ParseWriteSpeeds(const uint8_t* d, size_t len, std::vector<uint32_t>* out, std::string* err);
struct FormatDesc {
  uint32_t blocks = 0;
  uint8_t type = 0;
  uint32_t param = 0;
};
// READ FORMAT CAPACITIES: the current/maximum descriptor's state (1
// unformatted, 2 formatted, 3 no media) and the format descriptors.
int ParseFormatCapacities(const uint8_t* d, size_t len, uint8_t* state, std::vector<FormatDesc>* out,
                          std::string* err);
const char* ProfileName(int profile);
// READ DISC STRUCTURE format 00h of a DVD: book type, part version, layers.
struct DvdPhysical {
  uint8_t book = 0, part = 0, layers = 1;
};
int ParseDvdPhysical(const uint8_t* d, size_t len, DvdPhysical* out, std::string* err);
const char* BookTypeName(uint8_t book);
// READ DISC STRUCTURE format 00h of a BD: the disc type of the first
// disc information unit ("BDO", "BDR", "BDW").
int ParseBdDiscInfo(const uint8_t* d, size_t len, std::string* type, std::string* err);
// The bytes of mode page `page` in a MODE SENSE (10) reply.
int FindModePage(const uint8_t* d, size_t len, uint8_t page, std::vector<uint8_t>* out, std::string* err);
// A MODE SELECT (10) parameter list carrying `page`.
std::vector<uint8_t> ModeSelectList(const std::vector<uint8_t>& page);
// SET STREAMING's performance descriptor for a write speed in kB/s.
std::vector<uint8_t> StreamingDescriptor(uint32_t end_lba, uint32_t write_kbs);

// ----------------------------------------------------------------- sending

// How a request reaches the drive: SG_IO through the seam by default.
using Transport = std::function<int(sg_io_hdr_t*)>;
struct Drive {
  std::string dev;         // "/dev/sgN", for log lines
  osa::UniqueFd fd;
  int refcount = 0;
  Transport transport;     // empty: SG_IO on fd
  std::function<void(int ms)> sleep;  // empty: really sleep
  uint32_t write_speed = 0;
  bool abort = false;
  uint32_t long_write_reports = 0;
};

}  // namespace mmc

// Sends one command with the sense decisions and resends; 0 or a negative
// result (-ENOEXEC no disc, -EBADF bad disc, -ENXIO, -E2BIG, -EIO, -1).
int __scsi_send(mmc::Drive* drv, mmc::Command* cmd);
