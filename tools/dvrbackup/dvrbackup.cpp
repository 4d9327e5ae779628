// dvrbackup COMMAND [ARGS] [-- COMMAND [ARGS]]...: the backup API from a
// command line.  One process runs the commands in order and stops at the
// first failure.

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/backup/backup.h"

namespace {

constexpr int kMaxDevices = 16;
constexpr size_t kPiece = 100000;

const char kUsage[] =
    "usage: dvrbackup COMMAND [ARGS] [-- COMMAND [ARGS]]...\n"
    "commands:\n"
    "  list                        a line per device: NAME TYPE BUS MOUNTDIR\n"
    "  mount DEV | umount DEV\n"
    "  put [-o OPTION] DEV SRC...  copies files onto the device\n"
    "  cd DEV PATH...              changes the device's current path\n"
    "  ls DEV [FILTER]             files of the current path (default .sav)\n"
    "  space DEV                   total and free KiB\n"
    "  format DEV FS               fat32, exfat, ntfs or ext3\n"
    "  to-ide DEV                  turns a backup disk into a storage disk\n"
    "DEV is a device's name as listed (/dev/sdb1, /dev/sg0).\n"
    "Exit status: 0 all succeeded, 1 a command failed, 2 usage error.\n";

struct UsageError {};

// The device records with their private blocks, listed once.
class Devices {
 public:
  bool load() {
    if (loaded_) return true;
    for (int i = 0; i < kMaxDevices; ++i) {
      priv_[i].curPath = paths_[static_cast<size_t>(i)].data();
      rec_[i].priv = &priv_[i];
    }
    count_ = kMaxDevices;
    if (BackupGetDevices(rec_, &count_) != 0) return false;
    loaded_ = true;
    return true;
  }
  BackupDevInfo* find(const std::string& name) {
    if (!load()) return nullptr;
    std::string full = name.rfind("/dev/", 0) == 0 ? name : "/dev/" + name;
    for (int i = 0; i < count_; ++i)
      if (full == rec_[i].name) return &rec_[i];
    std::fprintf(stderr, "dvrbackup: no backup device %s\n", name.c_str());
    return nullptr;
  }
  int count() const { return count_; }
  const BackupDevInfo& at(int i) const { return rec_[i]; }
  // Files left open by a failed command are closed before the end.
  ~Devices() {
    for (int i = 0; i < count_; ++i)
      if (rec_[i].priv && rec_[i].priv->file) BackupFileClose(&rec_[i]);
  }

 private:
  bool loaded_ = false;
  int count_ = 0;
  BackupDevInfo rec_[kMaxDevices] = {};
  BackupPriv priv_[kMaxDevices] = {};
  std::vector<std::array<char, kBackupPathLen>> paths_ = std::vector<std::array<char, kBackupPathLen>>(kMaxDevices);
};

std::string base_name(const std::string& p) {
  size_t s = p.find_last_of('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

// One source onto the started device; false when any call failed.
bool put_one(BackupDevInfo* dev, const std::string& src) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(src.c_str(), "rb"), std::fclose);
  struct stat st;
  if (!in || fstat(fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "dvrbackup: cannot read %s: %s\n", src.c_str(), std::strerror(errno ? errno : EINVAL));
    return false;
  }
  BackupFileReq req{};
  std::string name = base_name(src);
  if (name.size() >= sizeof req.name) {
    std::fprintf(stderr, "dvrbackup: name too long: %s\n", name.c_str());
    return false;
  }
  std::memcpy(req.name, name.c_str(), name.size() + 1);
  req.reserved = static_cast<uint64_t>(st.st_size);
  if (BackupFileOpen(dev, &req) != 0) return false;
  std::vector<char> buf(kPiece);
  bool ok = true;
  for (;;) {
    size_t n = std::fread(buf.data(), 1, buf.size(), in.get());
    if (n > 0 && BackupFileStuff(dev, buf.data(), static_cast<uint32_t>(n)) != 0) {
      ok = false;
      break;
    }
    if (n < buf.size()) {
      if (std::ferror(in.get())) {
        std::fprintf(stderr, "dvrbackup: read %s failed\n", src.c_str());
        ok = false;
      }
      break;
    }
  }
  if (BackupFileClose(dev) != 0) ok = false;
  return ok;
}

// One command; true when it succeeded.  Throws nothing: usage errors are
// reported by the caller through the flag.
bool run(Devices& devs, const std::vector<std::string>& a, bool* usage) {
  const std::string& cmd = a[0];
  auto need = [&](size_t lo, size_t hi) {
    if (a.size() < lo + 1 || a.size() > hi + 1) *usage = true;
    return !*usage;
  };
  if (cmd == "list") {
    if (!need(0, 0) || !devs.load()) return false;
    for (int i = 0; i < devs.count(); ++i) {
      const BackupDevInfo& r = devs.at(i);
      std::printf("%s %u %u %s\n", r.name, r.type, r.bus, r.mountDir);
    }
    return true;
  }
  if (cmd == "mount" || cmd == "umount" || cmd == "to-ide" || cmd == "space") {
    if (!need(1, 1)) return false;
    BackupDevInfo* d = devs.find(a[1]);
    if (!d) return false;
    if (cmd == "mount") return BackupPlayMount(d) == 0;
    if (cmd == "umount") return BackupPlayUmount(d) == 0;
    if (cmd == "to-ide") return backup_to_ide(d) == 0;
    uint64_t free_kib = 0;
    if (BackupGetRemainSpace(d, &free_kib) != 0) return false;
    std::printf("total=%" PRIu64 " free=%" PRIu64 "\n", d->total, free_kib);
    return true;
  }
  if (cmd == "format") {
    if (!need(2, 2)) return false;
    BackupDevInfo* d = devs.find(a[1]);
    return d && BackupFormatFs(d, a[2].c_str()) == 0;
  }
  if (cmd == "cd") {
    if (!need(2, SIZE_MAX - 1)) return false;
    BackupDevInfo* d = devs.find(a[1]);
    if (!d) return false;
    for (size_t i = 2; i < a.size(); ++i)
      if (BackupSetCurrentPath(d, a[i].c_str()) != 0) return false;
    return true;
  }
  if (cmd == "ls") {
    if (!need(1, 2)) return false;
    BackupDevInfo* d = devs.find(a[1]);
    if (!d) return false;
    std::vector<BackupName> names(4096);
    int n = 0;
    if (BackupPlaySearchFile(d, a.size() > 2 ? a[2].c_str() : nullptr, 0, names.data(),
                             static_cast<int>(names.size()), &n) != 0)
      return false;
    for (int i = 0; i < n; ++i) std::printf("%s\n", names[static_cast<size_t>(i)].name);
    return true;
  }
  if (cmd == "put") {
    size_t at = 1;
    int option = 0;
    if (a.size() > 2 && a[1] == "-o") {
      char* end = nullptr;
      errno = 0;
      long v = std::strtol(a[2].c_str(), &end, 0);
      if (errno || !*a[2].c_str() || *end || v < INT32_MIN || v > INT32_MAX) {
        *usage = true;
        return false;
      }
      option = static_cast<int>(v);
      at = 3;
    }
    if (a.size() < at + 2) {
      *usage = true;
      return false;
    }
    BackupDevInfo* d = devs.find(a[at]);
    if (!d) return false;
    if (BackupStart(d, base_name(a[at + 1]).c_str(), option) != 0) return false;
    bool ok = true;
    for (size_t i = at + 1; i < a.size() && ok; ++i) ok = put_one(d, a[i]);
    if (BackupStop(d, 0) != 0) ok = false;
    return ok;
  }
  *usage = true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::vector<std::string>> cmds(1);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) cmds.emplace_back();
    else cmds.back().emplace_back(argv[i]);
  }
  for (auto& c : cmds)
    if (c.empty()) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  Devices devs;
  for (auto& c : cmds) {
    bool usage = false;
    bool ok = run(devs, c, &usage);
    std::fflush(stdout);
    if (usage) {
      std::fprintf(stderr, "dvrbackup: bad command: %s\n", c[0].c_str());
      std::fputs(kUsage, stderr);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "dvrbackup: %s failed\n", c[0].c_str());
      return 1;
    }
  }
  return 0;
}
