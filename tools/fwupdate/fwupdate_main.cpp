// fwupdate: the partition image update and the package install from the
// command line, for the board and for simulated boards.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/flashset/flashset.h"
#include "platform/upgrade/upgrade.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: fwupdate part [--operator] [--device DEV] NAME IMAGE     rewrite one boot flash partition\n"
          "       fwupdate package [--mode 0|1] [--block N] [--result PATH] [--settle S] FILE\n"
          "                                                             install a firmware package\n");
  return 2;
}

bool read_file(const char* path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "fwupdate: cannot open %s\n", path);
    return false;
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return true;
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
  std::vector<uint8_t> image;
  if (!read_file(argv[i + 1], &image)) return 1;
  if (!start_flash()) return 1;
  opt.partition = argv[i];
  opt.image_name = argv[i + 1];
  opt.image = image.data();
  opt.image_len = static_cast<uint32_t>(image.size());
  int r = FlashPartDoUpdate(opt);
  stats();
  printf("fwupdate: %s %s\n", argv[i], r == 0 ? "updated" : "failed");
  return r == 0 ? 0 : 1;
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
  if (!read_file(argv[i], &pkg)) return 1;
  std::vector<UpgradeBlock> blocks;
  if (block == 0) block = pkg.size() ? pkg.size() : 1;
  for (size_t at = 0; at < pkg.size() || blocks.empty(); at += block)
    blocks.push_back({pkg.data() + at, static_cast<uint32_t>(std::min(block, pkg.size() - at))});
  auto sys = std::make_unique<SystemRes_t>();
  if (SystemGetRes(sys.get()) != 0) return 1;
  if (!start_flash()) return 1;
  uint32_t progress = 0;
  int r = SysUpgrade(blocks.data(), static_cast<uint32_t>(blocks.size()), &progress, mode, sys.get());
  stats();
  printf("fwupdate: result %d, progress %u\n", r, progress);
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  if (!std::strcmp(argv[1], "part")) return part(argc, argv);
  if (!std::strcmp(argv[1], "package")) return package(argc, argv);
  return usage();
}
