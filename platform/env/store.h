// Internal: the store objects behind the process-wide boot environment API.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/env/bootenv.h"
#include "platform/flash/lock.h"

namespace bootenv {

// Where one copy of the image lives.  Each call covers the whole region.
class Medium {
 public:
  virtual ~Medium() = default;
  virtual int Read(std::span<uint8_t> out) = 0;
  virtual int Erase() = 0;
  virtual int Write(std::span<const uint8_t> in) = 0;
  virtual std::string name() const = 0;
};

// Opens the medium of a description; nullptr after logging.  `backup`
// selects the backup's alignment rule, `erase_block` the secerase rule.
std::unique_ptr<Medium> OpenMtd(const EnvDesc& d, bool backup, bool erase_block);
std::unique_ptr<Medium> OpenEmmc(const EnvDesc& d);
std::unique_ptr<Medium> OpenFile(const EnvDesc& d);

// One copy of the environment: the image, held decoded between calls.
struct Store {
  EnvDesc desc{};
  std::unique_ptr<Medium> medium;
  std::vector<uint8_t> image;  // plain (transform undone)
  size_t used = 0;
  bool present = false;        // read back from the medium
  Decoded state;               // as read
  Format format = Format::Encoded;
  osa::Mutex lock{osa::Mutex::Kind::Recursive};

  int Load();                  // read and decode
  int Save();                  // encode, erase, write, read back and compare
  int Get(const char* name, char* buf, int size);
  int PrintAll();
  // Takes the lock every process holds while it reads (shared) or changes
  // (exclusive) this copy's medium.  False after logging.
  bool Lock(flash::PartLock* l, flash::PartLock::Mode mode) const;
};

// The I2C EEPROM and BIOS serial stores answer Get only.
int EnvI2cGet(const EnvDesc& d, const char* name, char* buf, int size);
int EnvBIOSGet(const char* name, char* buf, int size);

}  // namespace bootenv
