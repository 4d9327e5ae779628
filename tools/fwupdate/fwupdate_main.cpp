// fwupdate: the partition image update and the package install from the
// command line, for the board and for simulated boards.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osa/file.h"
#include "platform/flashset/flashset.h"
#include "platform/upgrade/upgrade.h"

namespace {

const char kUsage[] =
    "usage: fwupdate part [--operator] [--device DEV] NAME IMAGE     rewrite one boot flash partition\n"
    "       fwupdate package [--mode 0|1] [--block N] [--result PATH] [--settle S] FILE\n"
    "                                                             install a firmware package\n"
    "       fwupdate --help                                       this text\n";

// A usage error: the usage on standard error, status 2.
int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// A failure: one line on standard error, status 1.
__attribute__((format(printf, 1, 2))) int fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("fwupdate: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  return 1;
}

// Reads `path` whole, refusing it as soon as it runs past `limit` bytes
// (a device such as /dev/zero never ends).  0, 1 when too large (the
// first `limit` bytes are in *out), -1 with the reason said.
int read_bounded(const char* path, uint64_t limit, std::vector<uint8_t>* out) {
  osa::ReadResult r = osa::ReadFile(path, static_cast<std::size_t>(std::min<uint64_t>(limit, SIZE_MAX)));
  if (!r.readable()) {
    fail("cannot %s %s: %s", r.status == osa::ReadStatus::Missing ? "open" : "read", path, strerror(r.err));
    return -1;
  }
  out->assign(r.data.begin(), r.data.end());
  return r.ok() ? 0 : 1;
}

// An image, at most what the partition can take.
int read_image(const char* path, uint64_t limit, const char* part, std::vector<uint8_t>* out) {
  int r = read_bounded(path, limit, out);
  if (r > 0)
    fail("%s holds more than the %llu bytes partition %s can take", path, static_cast<unsigned long long>(limit), part);
  return r == 0 ? 0 : 1;
}

// A package, at most the length its own header states.
int read_package(const char* path, std::vector<uint8_t>* out) {
  int r = read_bounded(path, fwpkg::kHeaderLen, out);
  if (r <= 0) return r == 0 ? 0 : 1;  // a short package is the installer's to refuse
  fwpkg::Header h;
  fwpkg::DecodeHeader(*out, &h);
  uint64_t stated = fwpkg::StatedLength(h);
  if (stated > fwpkg::kMaxPackageLen)
    return fail("%s says it holds %llu bytes, more than a board can take", path,
                static_cast<unsigned long long>(stated));
  r = read_bounded(path, stated, out);
  if (r > 0)
    return fail("%s holds more than the %llu bytes its header describes", path, static_cast<unsigned long long>(stated));
  return r == 0 ? 0 : 1;
}

// The flash steps of the platform start: the set, and the flag partition
// whose update markers bracket every boot flash rewrite.
bool start_flash() { return FlashDevInit() == 0 && DulBackupDevInit() == 0; }

void stats() {
  const FlashsStats& s = FlashsDefault()->stats;
  fprintf(stderr, "fwupdate: flash bytes read %llu written %llu erased %llu\n",
          static_cast<unsigned long long>(s.read), static_cast<unsigned long long>(s.written),
          static_cast<unsigned long long>(s.erased));
}

int part(int argc, char** argv) {
  FlashPartOptions opt;
  int i = 2;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (!std::strcmp(argv[i], "--operator")) opt.operator_permission = 1;
    else if (!std::strcmp(argv[i], "--device") && i + 1 < argc) opt.device = argv[++i];
    else return usage();
  }
  if (argc - i != 2) return usage();
  if (!start_flash()) return fail("%s", "the flash set cannot be started");
  // An image can be no longer than its partition takes; when the table
  // cannot tell, no longer than any partition can be.
  uint64_t limit = FlashPartImageLimit(opt.device, argv[i]);
  if (limit == 0) limit = fwpkg::kMaxBootFlash;
  std::vector<uint8_t> image;
  if (read_image(argv[i + 1], limit, argv[i], &image) != 0) return 1;
  opt.partition = argv[i];
  opt.image_name = argv[i + 1];
  opt.image = image.data();
  opt.image_len = static_cast<uint32_t>(image.size());
  int r = FlashPartDoUpdate(opt);
  stats();
  printf("fwupdate: %s %s\n", argv[i], r == 0 ? "updated" : "failed");
  return r == 0 ? 0 : fail("partition %s was not updated (the log above says why)", argv[i]);
}

int package(int argc, char** argv) {
  int mode = 0;
  size_t block = 0;
  int i = 2;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    if (a == "--mode") mode = std::atoi(argv[++i]);
    else if (a == "--block") block = std::strtoul(argv[++i], nullptr, 0);
    else if (a == "--result") SysUpgradePaths().script_result = argv[++i];
    else if (a == "--settle") SysUpgradePaths().settle_seconds = static_cast<unsigned>(std::atoi(argv[++i]));
    else return usage();
  }
  if (argc - i != 1) return usage();
  std::vector<uint8_t> pkg;
  if (read_package(argv[i], &pkg) != 0) return 1;
  std::vector<UpgradeBlock> blocks;
  if (block == 0) block = pkg.size() ? pkg.size() : 1;
  for (size_t at = 0; at < pkg.size() || blocks.empty(); at += block)
    blocks.push_back({pkg.data() + at, static_cast<uint32_t>(std::min(block, pkg.size() - at))});
  auto sys = std::make_unique<SystemRes_t>();
  if (SystemGetRes(sys.get()) != 0) return fail("%s", "the system record cannot be read");
  if (!start_flash()) return fail("%s", "the flash set cannot be started");
  uint32_t progress = 0;
  int r = SysUpgrade(blocks.data(), static_cast<uint32_t>(blocks.size()), &progress, mode, sys.get());
  stats();
  printf("fwupdate: result %d, progress %u\n", r, progress);
  if (r != 0) {
    fprintf(stderr, "fwupdate: package %s was not installed (result %d)\n", argv[i], r);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      fputs(kUsage, stdout);
      return 0;
    }
  if (argc < 2) return usage();
  if (!std::strcmp(argv[1], "part")) return part(argc, argv);
  if (!std::strcmp(argv[1], "package")) return package(argc, argv);
  return usage();
}
