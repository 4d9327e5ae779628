// The boot environment: name=value settings shared with the boot loader,
// kept in a region of an MTD or eMMC partition, an I2C EEPROM, the BIOS
// serial number or the file "/mnt/env", with optional backup copies.
//
// Stored image (size bytes): a little-endian CRC-32 of bytes 4..size-1 as
// stored, then the body with each byte b stored as -(b ^ 0x6D) mod 256.
// The body holds "name=value\0" entries ended by an empty entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flash/flash.h"

// ------------------------------------------------------ process-wide API

// Builds the main store (and the backup stores) once per process.  0 or -1.
int EnvDevInit();
// Copies the value of `name` into buf (at most size bytes, always
// NUL-terminated).  0, or -1 when absent or on failure.
int BootEnvGetValue(const char* name, char* buf, int size);
// Adds or replaces an entry and saves the image (backups first).  0 or -1.
int BootSetPara(const char* name, const char* value);
// Prints every entry on its own line to standard output.  0 or -1.
int BootEnvPrint();
// Builds the backup stores; EnvDevInit builds them too, since loading
// falls back on them.  0 or -1.
int BackupEnvDevInit();
// Releases the backup stores (platform shutdown).
void BackupEnvDevRelease();

// --------------------------------------------------- resource record

enum EnvDevType : int32_t {
  ENV_TYPE_NONE = 0, ENV_TYPE_MTD = 1, ENV_TYPE_I2C = 2, ENV_TYPE_BIOS = 3, ENV_TYPE_EMMC = 4, ENV_TYPE_FILE = 5,
};

// Where an I2C EEPROM environment lives, inside the description.
struct EnvI2cPart {
  uint32_t Bus;        // /dev/i2c-N
  uint32_t Addr;       // 7-bit chip address
  uint32_t RegWidth;   // bytes of the register address: 1 or 2
  uint32_t RegOffset;  // first register of the text
};

struct EnvDesc {
  int32_t Type;        // EnvDevType
  uint32_t Offset;     // inside the partition (MTD, eMMC)
  uint32_t Size;       // bytes of the stored image
  uint32_t EraseSize;  // MTD: erase unit when saving, 0 for the partition's own
  union {
    MtdPartEntry Mtd;
    EmmcPartEntry Emmc;
    EnvI2cPart I2c;
    uint8_t Raw[72];
  };
};

inline constexpr uint32_t kEnvMaxBackups = 5;

struct EnvRes {
  EnvDesc Main;
  uint32_t BackupCount;
  EnvDesc Backup[kEnvMaxBackups];
  uint8_t Reserved[32];
};

static_assert(sizeof(EnvDesc) == 88);
static_assert(offsetof(EnvDesc, Offset) == 4 && offsetof(EnvDesc, Size) == 8);
static_assert(offsetof(EnvDesc, EraseSize) == 12 && offsetof(EnvDesc, Mtd) == 16);
static_assert(sizeof(EnvI2cPart) == 16);
static_assert(sizeof(EnvRes) == 564);
static_assert(offsetof(EnvRes, BackupCount) == 88 && offsetof(EnvRes, Backup) == 92);

// ------------------------------------------------------- image codec
// Pure functions over image bytes, shared by the store, eracfg and tests.

namespace bootenv {

inline constexpr uint8_t kKey = 0x6D;
inline constexpr size_t kHeader = 4;       // the CRC
inline constexpr size_t kMinImage = 6;     // CRC and an empty list

inline uint8_t EncodeByte(uint8_t b) { return static_cast<uint8_t>(-(b ^ kKey)); }
inline uint8_t DecodeByte(uint8_t s) { return static_cast<uint8_t>(static_cast<uint8_t>(-s) ^ kKey); }
// Applies (or undoes) the byte transform on bytes 4 onward.
void EncodeBody(std::span<uint8_t> image);
void DecodeBody(std::span<uint8_t> image);

// zlib's CRC-32 of bytes 4..end, and the stored one.
uint32_t BodyCrc(std::span<const uint8_t> image);
uint32_t StoredCrc(std::span<const uint8_t> image);
void PutCrc(std::span<uint8_t> image);

// Offset just past the terminating NUL pair (CRC included), or the image
// size when the body holds none.
size_t UsedSize(std::span<const uint8_t> plain);

enum class Match { Found = 0, Absent = 1, NoEnd = -1 };
// Finds `name=` among the entries of a plain image up to `used`.  Found and
// Absent set *pos: the entry, or the empty entry ending the list.
Match MatchEntry(std::span<const uint8_t> plain, size_t used, std::string_view name, size_t* pos);

enum class SetResult { Ok, NoEnd, TooLarge, BadName, BadValue };
// Removes any entry of `name` and appends name=value at the end of the
// list; the image is unchanged unless Ok.  A full list (no end marker)
// takes no change: NoEnd when the name is not among its entries,
// TooLarge when it is.
SetResult SetEntry(std::span<uint8_t> plain, size_t* used, std::string_view name, std::string_view value);

// The entries of a plain image, in order, up to the empty entry.
std::vector<std::string_view> Entries(std::span<const uint8_t> plain, size_t used);

// Text as it may be shown on a terminal: control bytes (C0, DEL and the
// UTF-8 forms of C1) become \xNN and a backslash becomes \\, so stored
// bytes can neither drive the terminal nor pass for an escape.
std::string ForTerminal(std::string_view text);

// What a stored image holds, decided from its bytes alone.
enum class Format { Encoded, Plain };  // with or without the byte transform
struct Decoded {
  bool crc_ok = false;
  bool has_end = false;          // an empty entry ends the list
  uint32_t stored_crc = 0, crc = 0;
  std::vector<uint8_t> plain;    // the image with the transform undone
  size_t used = 0;
};
// Decodes a stored image; false with *err when it is too small to hold one.
bool DecodeImage(std::span<const uint8_t> stored, Format format, Decoded* out, std::string* err);
// Which format a stored image of either kind is in: the one whose body
// reads as a well-formed list (encoded when both or neither do).
Format DetectFormat(std::span<const uint8_t> stored);
// The stored form of a plain image: body transformed (Encoded), CRC in front.
std::vector<uint8_t> EncodeImage(std::span<const uint8_t> plain, Format format = Format::Encoded);

// Which copy to use: the first whose CRC holds (main is copy 0), else -1.
// A copy without an end marker whose CRC holds is full, not damaged.
struct CopyState {
  bool present = false;  // read back from its medium
  bool crc_ok = false;
  bool has_end = false;
};
int PickCopy(std::span<const CopyState> copies);

}  // namespace bootenv
