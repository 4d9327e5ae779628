// The simulator's reader of v1.0 md superblocks in member images.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/models/md.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::MdSuperInfo info;
  std::string err;
  if (sim::ParseMdSuper(data, size, &info, &err) && info.name.size() > 32) __builtin_trap();
  return 0;
}
