// Front-panel frames out of the byte stream that the boards deliver.

#include <cstring>

#include "platform/frontboard/frontboard.h"

size_t FbdSplitFrames(const uint8_t* data, size_t len, std::vector<FbdFrame>* frames) {
  if (!data || !frames) return 0;
  size_t at = 0;
  for (;;) {
    while (at < len && data[at] != 0xFF) ++at;
    if (len - at < 4) return at;
    FbdFrame f;
    std::memcpy(f.data(), data + at, f.size());
    frames->push_back(f);
    at += 4;
  }
}

bool FbdIsRelease(const FbdFrame& f) { return std::memcmp(f.data(), FBD_RELEASE_FRAME, f.size()) == 0; }
