// Control requests: framing and every command against one manager state.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cellular/cellular.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static cellular::Control* control = new cellular::Control;
  std::string buf(reinterpret_cast<const char*>(data), size);
  cellular::Request r;
  for (;;) {
    auto f = cellular::TakeRequest(buf, &r);
    if (f != cellular::Frame::Ready) break;
    if (r.len < 12 || r.len > 1024) __builtin_trap();
    auto rep = control->Handle(r);
    if (rep.send && rep.bytes.size() < 12) __builtin_trap();
  }
  return 0;
}
