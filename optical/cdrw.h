// Optical disc library: the streaming UDF disc writer and its reader.
//
// The writer records through CdrwBlockDev, a narrow block interface: the
// drive handle implements it with MMC commands, tests with an image file.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Disc profiles the writer knows (MMC current profile).
enum CdrwProfile : int {
  kProfileCdRw = 0x0A,
  kProfileDvdMinusR = 0x11,
  kProfileDvdMinusRwOverwrite = 0x13,
  kProfileDvdMinusRwSeq = 0x14,
  kProfileDvdPlusRw = 0x1A,
  kProfileDvdPlusR = 0x1B,
  kProfileDvdPlusRwDl = 0x2A,
  kProfileDvdPlusRDl = 0x2B,
  kProfileBdR = 0x41,
  kProfileBdRe = 0x43,
  kProfileHdDvdR = 0x51,
};

// Option bits of cdrw_udf_hdr_start.
inline constexpr int kUdfOptErase = 2;
inline constexpr int kUdfOptCloseDisc = 4;

// One recorded file: start block relative to the partition, true length.
struct UdfFile {
  std::string name;
  uint32_t start = 0;
  uint64_t length = 0;
};

// Writer state, one recording at a time per drive.
struct UdfWriterState {
  bool started = false;
  int option = 0;
  uint32_t unit = 1;          // blocks per write unit
  uint32_t hdr_start = 0;     // absolute block of the header
  uint32_t data_start = 0;    // partition-relative block of the first data block
  uint32_t next = 0;          // absolute block the next data unit goes to
  uint32_t session = 1, udf_track = 1, data_track = 1;
  uint32_t last_extent_written = 0;
  uint64_t progress = 0;      // blocks written by the streaming calls
  uint64_t total_bytes = 0;   // all files so far
  std::string volume = "DVR_BACKUP";
  std::vector<UdfFile> files;
  bool file_open = false;
  bool file_failed = false;   // a write of the open file failed: it is never listed
  UdfFile cur;
  std::vector<uint8_t> tail;  // bytes short of a whole unit, kept until more come or close
  // How far the end steps got, so a restore does only what is left.
  uint32_t end_anchor = 0;    // absolute block of the end anchor once written, else 0
  bool data_closed = false;   // the data track is closed (sequential media)
  bool hdr_written = false;   // the whole header is on the disc
};

class CdrwBlockDev {
 public:
  virtual ~CdrwBlockDev() = default;
  // MMC current profile of the loaded disc.
  virtual int Profile() = 0;
  // Each returns 0 or a negative errno.
  virtual int WriteBlocks(uint32_t lba, const uint8_t* data, uint32_t count) = 0;
  virtual int ReadBlocks(uint32_t lba, uint8_t* data, uint32_t count) = 0;
  // Rewritable discs: the last block used so far (0 on an empty disc).
  virtual int LastUsedBlock(uint32_t* lba) = 0;
  // Sequential discs: reserve `blocks` for the header as a track of its
  // own and report where it starts, its track, the data track after it
  // and the session.
  virtual int ReserveHeader(uint32_t blocks, uint32_t* header_start, uint32_t* udf_track, uint32_t* data_track,
                            uint32_t* session) = 0;
  virtual int Flush() = 0;
  virtual int CloseTrack(uint32_t track) = 0;
  virtual int CloseSession() = 0;
  virtual int CloseDisc() = 0;
  virtual int Erase() = 0;
  // Where the last session starts and the last block written on the disc.
  virtual int LastSession(uint32_t* start, uint32_t* last_block) = 0;
  // Sequential discs: the next writable block of `track`, for resuming a
  // header that was cut short.  -ENOSPC for a closed track, -ENOSYS where
  // the medium cannot tell.
  virtual int TrackNwa(uint32_t track, uint32_t* nwa) {
    (void)track;
    (void)nwa;
    return -ENOSYS;
  }
  // Before a recording: write parameters, speed, and on rewritable discs
  // the format that makes the whole disc writable.
  virtual int Prewrite() { return 0; }

  UdfWriterState udf;
};

// The writer's two families: sequential discs get a reserved header track,
// rewritable discs a header after the last recording.
bool cdrw_profile_sequential(int profile);
bool cdrw_profile_rewritable(int profile);
// Blocks per write unit for a profile: 16 on DVD, 32 on BD, else 1.
uint32_t cdrw_write_unit(int profile);

int cdrw_udf_hdr_start(CdrwBlockDev* dev, int option);
int cdrw_udf_open_file(CdrwBlockDev* dev, const char* name);
int cdrw_udf_filedata(CdrwBlockDev* dev, const void* buf, size_t len);
int cdrw_udf_close_file(CdrwBlockDev* dev);
// files == nullptr: the files recorded since the start.
int cdrw_udf_hdr_end(CdrwBlockDev* dev, const UdfFile* files, int count);
int cdrw_udf_end(CdrwBlockDev* dev);
// One-shot recording of files known in advance: start, every file read
// through `source` (name, then chunks until it returns 0), end.
using UdfFileSource = std::function<long(const UdfFile& file, uint64_t offset, uint8_t* buf, size_t len)>;
int cdrw_udf_hdr(CdrwBlockDev* dev, const UdfFile* files, int count, int option, const UdfFileSource& source);

// ------------------------------------------------------------ restoring
//
// The saved configuration of a recording is a small text (see
// docs/design.md, "Restore configuration"): a version line, then one
// "key value" line per field and one "file START LENGTH NAME" line per
// file.  The writer's state can be saved at any time; restoring a saved
// recording writes what is missing of its end.

inline constexpr int kUdfConfigVersion = 1;
struct UdfRestoreConfig {
  int profile = 0;
  int option = 0;
  uint32_t unit = 1;
  uint32_t hdr_start = 0, data_start = 0, next = 0;
  uint32_t session = 1, udf_track = 1, data_track = 1;
  uint32_t end_anchor = 0;
  bool data_closed = false;
  std::string volume;
  std::vector<UdfFile> files;
};
// The configuration of the writer's current recording.
std::string cdrw_udf_save_config(const CdrwBlockDev* dev);
// 0, or -1 with `err` for text that is not a configuration we wrote.
int cdrw_udf_parse_config(const std::string& text, UdfRestoreConfig* out, std::string* err);
// Completes an interrupted recording: 0 or a negative errno.
int cdrw_udf_restore(CdrwBlockDev* dev, const UdfRestoreConfig& cfg);

// ---------------------------------------------------------------- reading

struct UdfScan {
  uint32_t session_start = 0;
  uint32_t last_block = 0;
  uint32_t anchor = 0;        // absolute block of the anchor found
  uint32_t partition_start = 0;
  uint32_t partition_length = 0;
  uint32_t fsd = 0, root = 0;  // partition-relative blocks
  uint32_t end_anchor = 0;     // 0 when none was found
  std::string volume;
  std::vector<UdfFile> files;
  uint32_t lowest_fe = 0;      // lowest partition-relative file entry block
};

// Reads `count` blocks at `lba` into `out`; 0 or a negative errno.
using UdfBlockReader = std::function<int(uint32_t lba, uint8_t* out)>;

// Checks a descriptor's tag read from block `location`: location, checksum,
// version 2 or 3 and the CRC within `len` bytes.  0 or -1 with its message.
int udf_check_tags(const uint8_t* desc, size_t len, uint32_t location);
// Reads the UDF structures of a session starting at `session_start`, whose
// disc ends at `last_block`; every read goes through `read`.  0 or -1.
int udf_scan_session(const UdfBlockReader& read, uint32_t session_start, uint32_t last_block, UdfScan* out);
// The same on a drive: its last session.
int cdrw_scan_disc_udf(CdrwBlockDev* dev, UdfScan* out);

// OSTA CS0 (compression 8 or 16) to UTF-8; -1 for an unknown compression.
int udf_CS0toUTF8(const uint8_t* cs0, size_t len, std::string* utf8);
// A name usable on the recorder: illegal characters replaced, a hex CRC
// suffix keeping replaced names apart.  -1 on an empty result.
int udf_get_filename(const uint8_t* cs0, size_t len, std::string* name);
// ECMA-167 CRC (CRC-ITU, x^16 + x^12 + x^5 + 1, initial 0).
uint16_t udf_crc(const uint8_t* data, size_t len);
