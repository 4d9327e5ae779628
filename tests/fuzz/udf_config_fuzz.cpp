// The restore configuration of an interrupted recording, as read back from
// a file: any text either parses into bounded fields or is refused.
#include <cstddef>
#include <cstdint>
#include <string>

#include "optical/cdrw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  UdfRestoreConfig cfg;
  std::string err;
  if (cdrw_udf_parse_config(text, &cfg, &err) == 0) {
    if (cfg.files.size() > 4096 || cfg.volume.size() > 30) __builtin_trap();
  } else if (err.empty()) {
    __builtin_trap();  // every refusal says why
  }
  return 0;
}
