// The log call's tag parsing over arbitrary format prefixes: the text up to
// the first "@" becomes a registry tag of at most 47 characters.
#include <cstdint>
#include <cstdio>
#include <string>

#include "osa/osa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* null = freopen("/dev/null", "w", stdout);
  (void)null;
  std::string fmt(reinterpret_cast<const char*>(data), size);
  // Only the tag part is under test; keep conversions out of the format.
  for (auto& c : fmt)
    if (c == '%' || c == '\0') c = '_';
  OSA_logWrite(size % 4, static_cast<int>(size % 12) - 1, "%s", fmt.c_str());
  fmt += "\n";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  OSA_logWrite(OSA_LOG_INFO, OSA_COLOUR_GREEN, fmt.c_str());  // conversions were removed above
#pragma GCC diagnostic pop
  return 0;
}
