// The simulated recorder's command handling: a disc of a profile picked by
// the first byte, then commands, each a length byte (6 to 16), its command
// block, a 16-bit little-endian transfer length and that many bytes.  The
// recorder must never move more than the transfer, nor lose its tracks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "osa/osa.h"
#include "sim/models/mmcdrive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kProfiles[] = {0x0A, 0x11, 0x13, 0x14, 0x1A, 0x1B, 0x2B, 0x41, 0x43, 0x51};
  if (size < 1) return 0;
  osa::UniqueFd img(memfd_create("disc", 0));
  if (!img.valid()) return 0;
  sim::DriveSpec d{"/dev/sg0", "/dev/sr0", "5:0:0:0", "ASUS", "DRW-24D1ST", "1.00", "SN"};
  sim::DiscState s = sim::BlankDisc(kProfiles[data[0] % 10], 2048);  // a small disc: 4 MiB at most
  for (size_t off = 1; off < size;) {
    size_t len = 6 + data[off] % 11;
    if (off + 1 + len + 2 > size) break;
    uint8_t cdb[16] = {};
    std::memcpy(cdb, data + off + 1, len);
    off += 1 + len;
    uint32_t n = data[off] | data[off + 1] << 8;
    off += 2;
    std::vector<uint8_t> buf(n, 0);
    size_t give = std::min<size_t>(n, size - off);
    if (give) std::memcpy(buf.data(), data + off, give);
    off += give;
    sim::MmcReply r = sim::RunMmc(d, &s, img.get(), cdb, n ? buf.data() : nullptr, n);
    if (r.moved > n) __builtin_trap();
    if (s.profile != 0 && s.tracks.empty()) __builtin_trap();
    for (const sim::DiscTrack& t : s.tracks)
      if (t.nwa < t.start || t.nwa > s.blocks) __builtin_trap();
  }
  return 0;
}
