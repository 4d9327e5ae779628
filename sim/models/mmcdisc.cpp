// Simulated optical drives: the disc state, the sysfs tree, the sr block
// node and `dvrsim disc` (see mmcdrive.h).

#include <fcntl.h>
#include <linux/cdrom.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "osa/osa.h"
#include "sim/flock.h"
#include "sim/models/mmcdrive.h"
#include "sim/sim.h"

namespace sim {

namespace fs = std::filesystem;
using nlohmann::json;

bool FindDrive(const Board& b, std::string_view node, DriveSpec* out) {
  auto it = b.desc().find("optical");
  if (it == b.desc().end() || !it->is_array()) return false;
  std::string name(node.substr(node.rfind('/') + 1));
  int index = 0;
  for (auto& d : *it) {
    if (!d.is_object()) continue;
    DriveSpec s;
    s.sg = d.value("sg", "/dev/sg" + std::to_string(index));
    s.sr = d.value("sr", "/dev/sr" + std::to_string(index));
    s.scsi = d.value("scsi", std::to_string(5 + index) + ":0:0:0");
    s.vendor = d.value("vendor", "ASUS");
    s.product = d.value("product", "DRW-24D1ST");
    s.revision = d.value("revision", "1.00");
    s.serial = d.value("serial", "SIMDRV" + std::to_string(index));
    ++index;
    if (name != s.sg.substr(s.sg.rfind('/') + 1) && name != s.sr.substr(s.sr.rfind('/') + 1)) continue;
    if (!s.sg.starts_with("/dev/sg") || !s.sr.starts_with("/dev/sr")) return false;
    *out = std::move(s);
    return true;
  }
  return false;
}

uint32_t DefaultBlocks(int profile) {
  switch (profile) {
    case 0x0A: return 359847;                                         // CD-RW, 700 MB
    case 0x11: case 0x13: case 0x14: case 0x1A: case 0x1B: return 2295104;  // 4.7 GB
    case 0x2B: return 4173824;                                        // 8.5 GB
    case 0x41: case 0x43: return 12219392;                            // 25 GB
    case 0x51: return 7361536;                                        // HD DVD-R, 15 GB
    default: return 0;
  }
}

bool Sequential(int profile) {
  return profile == 0x11 || profile == 0x14 || profile == 0x1B || profile == 0x2B || profile == 0x41 ||
         profile == 0x51 || profile == 0x0A;
}

DiscState BlankDisc(int profile, uint32_t blocks) {
  DiscState s;
  s.profile = profile;
  s.blocks = blocks;
  s.formatted = profile == 0x13;  // restricted overwrite is a formatted state
  s.tracks = {DiscTrack{}};
  s.attention = 1;
  s.becoming = 1;
  s.changed = true;
  if (profile >= 0x40) s.speeds = {8990, 17980};
  else if (profile == 0x0A) s.speeds = {1764, 3528};
  else s.speeds = {5540, 11080, 22160};
  return s;
}

namespace {

json TrackJson(const DiscTrack& t) {
  return {{"number", t.number}, {"session", t.session}, {"start", t.start}, {"size", t.size},
          {"nwa", t.nwa},       {"reserved", t.reserved}, {"closed", t.closed}};
}

}  // namespace

bool LoadDisc(const std::string& path, DiscState* out, std::string* err) {
  std::ifstream in(path);
  if (!in) {  // no state yet: an empty tray
    *out = DiscState{};
    return true;
  }
  json j = json::parse(in, nullptr, false);
  if (!j.is_object()) {
    *err = path + ": not a JSON object";
    return false;
  }
  DiscState s;
  s.profile = j.value("profile", 0);
  s.blocks = j.value("blocks", 0u);
  s.formatted = j.value("formatted", false);
  s.status = j.value("status", 0);
  s.highest = j.value("highest", 0u);
  s.attention = j.value("attention", 0);
  s.becoming = j.value("becoming", 0);
  s.busy = j.value("busy", 0);
  s.busy_ascq = j.value("busy_ascq", 0);
  s.locked = j.value("locked", false);
  s.changed = j.value("changed", false);
  s.tray_open = j.value("tray_open", false);
  s.writes = j.value("writes", 0u);
  s.fail_write = j.value("fail_write", 0u);
  s.recovered_write = j.value("recovered_write", 0u);
  s.bad = j.value("bad", false);
  s.write_speed = j.value("write_speed", 0u);
  s.speeds = j.value("speeds", std::vector<uint32_t>{});
  s.page05 = j.value("page05", std::vector<uint8_t>{});
  if (auto t = j.find("tracks"); t != j.end() && t->is_array())
    for (auto& x : *t) {
      DiscTrack d;
      d.number = x.value("number", 1u);
      d.session = x.value("session", 1u);
      d.start = x.value("start", 0u);
      d.size = x.value("size", 0u);
      d.nwa = x.value("nwa", 0u);
      d.reserved = x.value("reserved", false);
      d.closed = x.value("closed", false);
      s.tracks.push_back(d);
    }
  if (s.profile != 0 && s.tracks.empty()) {
    *err = path + ": a disc without tracks";
    return false;
  }
  *out = std::move(s);
  return true;
}

bool SaveDisc(const std::string& path, const DiscState& s) {
  json t = json::array();
  for (auto& x : s.tracks) t.push_back(TrackJson(x));
  json j = {{"profile", s.profile},   {"blocks", s.blocks},
            {"formatted", s.formatted}, {"status", s.status},
            {"highest", s.highest},   {"attention", s.attention},
            {"becoming", s.becoming}, {"busy", s.busy},
            {"busy_ascq", s.busy_ascq}, {"locked", s.locked},
            {"changed", s.changed},   {"tray_open", s.tray_open},
            {"writes", s.writes},     {"fail_write", s.fail_write},
            {"recovered_write", s.recovered_write}, {"bad", s.bad},
            {"write_speed", s.write_speed}, {"speeds", s.speeds},
            {"page05", s.page05},     {"tracks", t}};
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << j.dump() << "\n";
    if (!out) return false;
  }
  return ::rename(tmp.c_str(), path.c_str()) == 0;
}

namespace {

void put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

void link(const std::string& target, const std::string& at) {
  std::error_code ec;
  fs::create_directories(fs::path(at).parent_path(), ec);
  fs::remove(at, ec);
  fs::create_symlink(target, at, ec);
}

std::string base(const std::string& node) { return node.substr(node.rfind('/') + 1); }

void BuildTree(const Board& b, const DriveSpec& d) {
  int h = std::atoi(d.scsi.c_str());
  std::string target = "target" + d.scsi.substr(0, d.scsi.rfind(':'));
  std::string dev = "/devices/platform/ahci/ata" + std::to_string(h + 1) + "/host" + std::to_string(h) + "/" + target +
                    "/" + d.scsi;
  std::string dir = b.file("sys" + dev);
  put(dir + "/type", "5\n");
  put(dir + "/vendor", d.vendor + "\n");
  put(dir + "/model", d.product + "\n");
  put(dir + "/rev", d.revision + "\n");
  put(dir + "/block/" + base(d.sr) + "/size", "0\n");
  put(dir + "/scsi_generic/" + base(d.sg) + "/dev", "21:" + base(d.sg).substr(2) + "\n");
  link(fs::path("/sys" + dev).lexically_relative("/sys/bus/scsi/devices").string(),
       b.file("sys/bus/scsi/devices/" + d.scsi));
  link(fs::path("/sys" + dev + "/block/" + base(d.sr)).lexically_relative("/sys/block").string(),
       b.file("sys/block/" + base(d.sr)));
  put(b.file("sys/class/scsi_host/host" + std::to_string(h) + "/proc_name"), "ahci\n");
  for (const std::string& node : {d.sg, d.sr})
    if (!fs::exists(b.file(node.substr(1)))) std::ofstream(b.file(node.substr(1))).close();
}

bool Provision(const Board& b, std::string* err) {
  auto it = b.desc().find("optical");
  if (it == b.desc().end()) return true;
  if (!it->is_array()) {
    *err = "optical: not a list";
    return false;
  }
  for (auto& e : *it) {
    DriveSpec d;
    std::string sg = e.is_object() ? e.value("sg", "") : "";
    if (sg.empty() || !FindDrive(b, sg, &d)) {
      *err = "optical: each drive needs \"sg\": \"/dev/sgN\" and \"sr\": \"/dev/srM\"";
      return false;
    }
    BuildTree(b, d);
  }
  return true;
}

std::string StatePath(const Board& b, const DriveSpec& d) { return b.file(d.sr.substr(1) + ".state"); }
std::string ImagePath(const Board& b, const DriveSpec& d) { return b.file(d.sr.substr(1) + ".img"); }

// The sr block node: reads come from the image, the CD-ROM ioctls from the
// disc state.
class SrNode final : public Device {
 public:
  SrNode(const Board& b, DriveSpec d, int fd) : Device(fd), board_(b), d_(std::move(d)) {}

  ssize_t pread(void* buf, size_t len, off_t off) override {
    DiscState s;
    if (!Load(&s)) return -1;
    if (s.profile == 0 || s.tray_open) return fail(ENOMEDIUM);
    if (off < 0 || static_cast<uint64_t>(off) >= uint64_t{s.blocks} * 2048) return 0;
    len = static_cast<size_t>(std::min<uint64_t>(len, uint64_t{s.blocks} * 2048 - static_cast<uint64_t>(off)));
    osa::UniqueFd img(::open(ImagePath(board_, d_).c_str(), O_RDONLY | O_CLOEXEC));
    std::memset(buf, 0, len);  // past the image's end the disc reads zeros
    if (img.valid() && ::pread(img.get(), buf, len, off) < 0) return -1;
    return static_cast<ssize_t>(len);
  }
  ssize_t read(void* buf, size_t len) override {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    ssize_t n = pread(buf, len, at);
    if (n > 0) ::lseek(fd_, at + n, SEEK_SET);
    return n;
  }
  ssize_t write(const void*, size_t) override { return fail(EROFS); }
  ssize_t pwrite(const void*, size_t, off_t) override { return fail(EROFS); }

  int ioctl(unsigned long req, void* arg) override {
    std::string state = StatePath(board_, d_);
    osa::UniqueFd lockfd(::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    FileLock lock(lockfd.get());
    DiscState s;
    if (!Load(&s)) return -1;
    char line[96];
    switch (req) {
      case CDROM_MEDIA_CHANGED: {
        bool was = s.changed;
        s.changed = false;
        SaveDisc(state, s);
        board_.event("cdrom " + base(d_.sr) + " media-changed -> " + (was ? "1" : "0"));
        return was ? 1 : 0;
      }
      case CDROMEJECT:
        if (s.locked) {
          board_.event("cdrom " + base(d_.sr) + " eject -> locked");
          return fail(EBUSY);
        }
        s.profile = 0;
        s.tray_open = true;
        s.changed = true;
        SaveDisc(state, s);
        board_.event("cdrom " + base(d_.sr) + " eject -> ok");
        return 0;
      case CDROMMULTISESSION: {
        if (!arg) return fail(EFAULT);
        if (s.profile == 0) return fail(ENOMEDIUM);
        auto* m = static_cast<struct cdrom_multisession*>(arg);
        uint32_t start = 0;
        for (auto& t : s.tracks)
          if (t.session == LastClosedSession(s)) {
            start = t.start;
            break;
          }
        m->addr.lba = static_cast<int>(start);
        m->addr_format = CDROM_LBA;
        m->xa_flag = LastClosedSession(s) > 1;
        std::snprintf(line, sizeof line, "cdrom %s multisession -> %u", base(d_.sr).c_str(), start);
        board_.event(line);
        return 0;
      }
      case CDROM_LAST_WRITTEN: {
        if (!arg) return fail(EFAULT);
        if (s.profile == 0) return fail(ENOMEDIUM);
        uint32_t last = LastWritten(s);
        *static_cast<long*>(arg) = static_cast<long>(last);
        std::snprintf(line, sizeof line, "cdrom %s last-written -> %u", base(d_.sr).c_str(), last);
        board_.event(line);
        return 0;
      }
      case BLKGETSIZE64:
        if (!arg) return fail(EFAULT);
        *static_cast<uint64_t*>(arg) = s.profile ? uint64_t{LastWritten(s) + 1} * 2048 : 0;
        return 0;
      default: return fail(ENOTTY);
    }
  }

 private:
  static int fail(int e) {
    errno = e;
    return -1;
  }
  bool Load(DiscState* s) {
    std::string err;
    if (!LoadDisc(StatePath(board_, d_), s, &err)) return fail(EIO) == 0;
    return true;
  }
  static uint32_t LastClosedSession(const DiscState& s) {
    uint32_t last = 1;
    for (auto& t : s.tracks)
      if (t.closed || t.nwa > t.start) last = std::max(last, t.session);
    // The session being written is not readable yet: the last one with a
    // closed track that is not the open one.
    uint32_t closed = 0;
    for (auto& t : s.tracks)
      if (t.closed) closed = std::max(closed, t.session);
    return closed ? closed : last;
  }
  static uint32_t LastWritten(const DiscState& s) {
    if (!Sequential(s.profile)) return s.highest ? s.highest - 1 : 0;
    uint32_t last = 0;
    for (auto& t : s.tracks) {
      uint32_t end = t.closed || t.reserved ? t.start + t.size : t.nwa;
      if (end > t.start && (t.closed || t.nwa > t.start)) last = std::max(last, end - 1);
    }
    return last;
  }

  const Board& board_;
  DriveSpec d_;
};

std::unique_ptr<Device> OpenSr(const Board& b, const std::string& path, int fd, int) {
  DriveSpec d;
  if (!FindDrive(b, path, &d)) {
    errno = ENXIO;
    return nullptr;
  }
  return std::make_unique<SrNode>(b, std::move(d), fd);
}

bool ParseU32(const char* t, uint32_t* v) {
  char* end = nullptr;
  errno = 0;
  unsigned long x = std::strtoul(t, &end, 10);
  if (!t[0] || *end || errno || x > UINT32_MAX || t[0] == '-') return false;
  *v = static_cast<uint32_t>(x);
  return true;
}

}  // namespace

const Model kMmcSrModel = {"mmc-sr", "/dev/sr*", OpenSr, Provision};

int DiscCommand(int argc, char** argv) {
  const char* usage =
      "usage: dvrsim disc DIR [--drive srM] none|PROFILE [--blocks N] [--fail-write N] [--recovered-write N] "
      "[--bad] [--speeds LIST]\n";
  if (argc < 3) {
    fputs(usage, stderr);
    return 2;
  }
  std::string err;
  auto b = Board::Load(argv[1], &err);
  if (!b) {
    fprintf(stderr, "dvrsim disc: %s\n", err.c_str());
    return 1;
  }
  std::string drive;
  const char* what = nullptr;
  uint32_t blocks = 0, fail = 0, recovered = 0;
  bool bad = false, have_speeds = false;
  std::vector<uint32_t> speeds;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--drive" && more) drive = argv[++i];
    else if (a == "--blocks" && more && ParseU32(argv[i + 1], &blocks) && blocks >= 1024) ++i;
    else if (a == "--fail-write" && more && ParseU32(argv[i + 1], &fail) && fail > 0) ++i;
    else if (a == "--recovered-write" && more && ParseU32(argv[i + 1], &recovered) && recovered > 0) ++i;
    else if (a == "--bad") bad = true;
    else if (a == "--speeds" && more) {
      have_speeds = true;
      std::string list = argv[++i];
      for (size_t p = 0; p < list.size();) {
        size_t q = list.find(',', p);
        std::string item = list.substr(p, q == std::string::npos ? std::string::npos : q - p);
        uint32_t v;
        if (!ParseU32(item.c_str(), &v)) {
          fprintf(stderr, "dvrsim disc: bad speed list %s\n%s", list.c_str(), usage);
          return 2;
        }
        speeds.push_back(v);
        p = q == std::string::npos ? list.size() : q + 1;
      }
    } else if (!what && a[0] != '-') what = argv[i];
    else {
      fprintf(stderr, "dvrsim disc: bad argument %s\n%s", a.c_str(), usage);
      return 2;
    }
  }
  if (!what) {
    fputs(usage, stderr);
    return 2;
  }
  DriveSpec d;
  std::string first;
  if (auto it = b->desc().find("optical"); it != b->desc().end() && it->is_array() && !it->empty() &&
                                           (*it)[0].is_object())
    first = (*it)[0].value("sr", "/dev/sr0");
  if (!FindDrive(*b, drive.empty() ? first : drive, &d)) {
    fprintf(stderr, "dvrsim disc: the board has no optical drive %s\n", drive.c_str());
    return 1;
  }
  int profile = 0;
  if (std::string(what) != "none") {
    char* end = nullptr;
    long p = std::strtol(what, &end, 16);
    if (*end || !DefaultBlocks(static_cast<int>(p))) {
      fprintf(stderr, "dvrsim disc: unknown profile %s (0A 11 13 14 1A 1B 2B 41 43 51)\n", what);
      return 2;
    }
    profile = static_cast<int>(p);
  }
  std::string state = StatePath(*b, d);
  osa::UniqueFd lockfd(::open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  FileLock lock(lockfd.get());
  DiscState old;
  LoadDisc(state, &old, &err);
  DiscState s;
  std::error_code ec;
  fs::remove(ImagePath(*b, d), ec);
  if (profile) {
    s = BlankDisc(profile, blocks ? blocks : DefaultBlocks(profile));
    s.fail_write = fail;
    s.recovered_write = recovered;
    s.bad = bad;
    if (have_speeds) s.speeds = speeds;
    std::ofstream(ImagePath(*b, d)).close();
  }
  s.locked = old.locked;
  s.changed = true;
  if (!SaveDisc(state, s)) {
    fprintf(stderr, "dvrsim disc: cannot write %s\n", state.c_str());
    return 1;
  }
  b->event("disc " + base(d.sr) + " " + (profile ? std::string(what) : "none"));
  return 0;
}

}  // namespace sim
