// Simulated disks (see disk.h).

#include "sim/models/disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>

#include "sim/models/disk_ata.h"
#include "sim/models/md.h"
#include "osa/osa.h"
#include "sim/models/partitions.h"
#include "sim/sim.h"
#include "sim/uevent.h"

namespace sim {

namespace fs = std::filesystem;

bool ParseDiskSize(std::string_view t, uint64_t* bytes) {
  if (t.empty() || t.size() > 24) return false;
  uint64_t mult = 1;
  switch (t.back()) {
    case 'K': mult = 1ull << 10; break;
    case 'M': mult = 1ull << 20; break;
    case 'G': mult = 1ull << 30; break;
    case 'T': mult = 1ull << 40; break;
    default: break;
  }
  if (mult != 1) t.remove_suffix(1);
  if (t.empty()) return false;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT64_MAX / mult) return false;
  *bytes = v * mult;
  return true;
}

bool FindDisk(const Board& b, std::string_view name, DiskSpec* out, std::string* err) {
  auto it = b.desc().find("disks");
  if (it == b.desc().end() || !it->is_array()) return false;
  for (auto& d : *it) {
    if (!d.is_object() || d.value("name", "") != name) continue;
    DiskSpec s;
    s.name = std::string(name);
    s.bus = d.value("bus", "sata");
    s.scsi = d.value("scsi", "0:0:0:0");
    s.serial = d.value("serial", "SIM" + s.name);
    s.vendor = d.value("vendor", s.bus == "sata" || s.bus == "esata" ? "ATA" : s.bus == "usb" ? "Generic" : "SEAGATE");
    s.model = d.value("model", s.bus == "usb" ? "Flash Disk" : "SIM DISK");
    s.usb = d.value("usb", "1-1");
    s.plugged = d.value("plugged", true);
    if (auto f = d.find("faults"); f != d.end() && f->is_array())
      for (auto& x : *f) s.no_drive_cmd |= x.is_string() && x.get<std::string>() == "no_drive_cmd";
    uint64_t bytes = 0;
    if (d.contains("sectors") && d["sectors"].is_number_unsigned()) bytes = d["sectors"].get<uint64_t>() * 512;
    else if (d.contains("size") && d["size"].is_string() && ParseDiskSize(d["size"].get<std::string>(), &bytes)) {
    } else if (d.contains("size") && d["size"].is_number_unsigned()) bytes = d["size"].get<uint64_t>();
    if (bytes < 512 || s.name.size() < 3 || s.name.find('/') != std::string::npos) {
      *err = "disk " + s.name + ": bad size or name";
      return false;
    }
    s.sectors = bytes / 512;
    *out = std::move(s);
    return true;
  }
  return false;
}

bool FindWindow(const Board& b, std::string_view board_dev, DiskWindow* out, std::string* err) {
  std::string name(board_dev);
  if (name.rfind("/dev/", 0) != 0) {
    *err = name + ": not a disk device";
    return false;
  }
  name.erase(0, 5);
  DiskWindow w;
  DiskSpec s;
  if (!FindDisk(b, name, &s, err)) {
    if (!SplitPartName(name, &w.disk, &w.number) || !FindDisk(b, w.disk, &s, err)) {
      if (err->empty()) *err = "/dev/" + name + ": no such disk";
      return false;
    }
  } else {
    w.disk = name;
  }
  if (!fs::exists(b.file("sys/block/" + w.disk))) {
    *err = "/dev/" + w.disk + ": not plugged";
    return false;
  }
  w.image = b.file("dev/" + w.disk);
  w.bytes = s.sectors * 512;
  if (w.number) {
    std::vector<PartWindow> parts;
    if (!ReadPartitions(w.image, &parts, err)) return false;
    auto it = std::find_if(parts.begin(), parts.end(), [&](const PartWindow& p) { return p.number == w.number; });
    if (it == parts.end()) {
      *err = "/dev/" + name + ": no such partition";
      return false;
    }
    w.offset = it->start * 512;
    w.bytes = it->sectors * 512;
  }
  *out = std::move(w);
  return true;
}

std::string WindowDevice(const Board& b, const std::string& image, uint64_t offset) {
  std::error_code ec;
  std::string prefix = fs::weakly_canonical(b.dir(), ec).string() + "/dev/";
  if (image.rfind(prefix, 0) != 0) prefix = b.file("dev/");
  if (image.rfind(prefix, 0) != 0) return "";
  std::string disk = image.substr(prefix.size());
  if (offset == 0) return "/dev/" + disk;
  std::vector<PartWindow> parts;
  std::string err;
  if (!ReadPartitions(image, &parts, &err)) return "";
  for (auto& p : parts)
    if (p.start * 512 == offset) return "/dev/" + PartName(disk, p.number);
  return "";
}

namespace {

int h_of(const DiskSpec& s) { return std::atoi(s.scsi.c_str()); }

// The device path (below /sys/devices) of the SCSI device.
std::string scsi_devpath(const DiskSpec& s) {
  int h = h_of(s);
  std::string hc = "host" + std::to_string(h);
  std::string target = "target" + s.scsi.substr(0, s.scsi.rfind(':'));
  std::string up;
  if (s.bus == "usb") {
    std::string usb = s.usb;
    std::string bus = usb.substr(0, usb.find('-'));
    std::string root = usb.substr(0, usb.find('.'));
    up = "platform/ehci/usb" + bus + "/" + root + (root != usb ? "/" + usb : "") + "/" + usb + ":1.0/" + hc;
  } else if (s.bus == "iscsi") {
    up = "platform/" + hc + "/session1";
  } else {
    up = "platform/ahci/ata" + std::to_string(h + 1) + "/" + hc;
  }
  return "/devices/" + up + "/" + target + "/" + s.scsi;
}

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

// The relative form of an absolute board path seen from a link's folder.
std::string rel(const std::string& from_dir, const std::string& to) {
  return fs::path(to).lexically_relative(from_dir).string();
}

void write_partitions(const Board& b) {
  std::string text = "major minor  #blocks  name\n\n";
  if (auto it = b.desc().find("disks"); it != b.desc().end() && it->is_array()) {
    int minor = 0;
    for (auto& d : *it) {
      DiskSpec s;
      std::string err;
      if (!d.is_object() || !FindDisk(b, d.value("name", ""), &s, &err)) continue;
      if (fs::exists(b.file("sys/block/" + s.name))) {
        char line[96];
        snprintf(line, sizeof line, "%4d  %7d %10llu %s\n", 8, minor, static_cast<unsigned long long>(s.sectors / 2),
                 s.name.c_str());
        text += line;
        std::vector<PartWindow> parts;
        std::string perr;
        if (ReadPartitions(b.file("dev/" + s.name), &parts, &perr))
          for (auto& w : parts) {
            snprintf(line, sizeof line, "%4d  %7d %10llu %s\n", 8, minor + w.number,
                     static_cast<unsigned long long>(w.sectors / 2), PartName(s.name, w.number).c_str());
            text += line;
          }
      }
      minor += 16;
    }
  }
  put(b.file("proc/partitions"), text);
}

// Partition nodes are empty files (the model serves them as windows on the
// disk's image, so a command that writes one by mistake cannot hit the
// table); sysfs has one folder per partition below the disk's.  *changes
// gets "add NAME" / "remove NAME" for partitions that came or went.
void sync_partitions(const Board& b, const DiskSpec& s, std::vector<std::string>* changes) {
  std::vector<PartWindow> parts;
  std::string err;
  if (!ReadPartitions(b.file("dev/" + s.name), &parts, &err)) parts.clear();
  std::string blk = b.file("sys" + scsi_devpath(s) + "/block/" + s.name);
  std::error_code ec;
  std::vector<std::string> keep;
  for (auto& w : parts) {
    std::string n = PartName(s.name, w.number);
    keep.push_back(n);
    std::string node = b.file("dev/" + n);
    if (!fs::exists(node)) {
      std::ofstream(node).close();
      if (changes) changes->push_back("add " + n);
    }
    put(blk + "/" + n + "/size", std::to_string(w.sectors) + "\n");
    put(blk + "/" + n + "/start", std::to_string(w.start) + "\n");
    put(blk + "/" + n + "/partition", std::to_string(w.number) + "\n");
  }
  for (int i = 1; i <= 128; ++i) {
    std::string n = PartName(s.name, i);
    if (std::find(keep.begin(), keep.end(), n) != keep.end()) continue;
    bool had = fs::exists(b.file("dev/" + n));
    fs::remove(b.file("dev/" + n), ec);
    fs::remove_all(blk + "/" + n, ec);
    if (had && changes) changes->push_back("remove " + n);
  }
}

void build_tree(const Board& b, const DiskSpec& s) {
  std::string dev = scsi_devpath(s);
  std::string d = b.file("sys" + dev);
  fs::create_directories(d);
  put(d + "/vendor", s.vendor + std::string(8 - std::min<size_t>(8, s.vendor.size()), ' ') + "\n");
  put(d + "/model", s.model + "\n");
  put(d + "/type", "0\n");
  std::string blk = d + "/block/" + s.name;
  put(blk + "/size", std::to_string(s.sectors) + "\n");
  put(blk + "/queue/scheduler", "noop deadline [cfq]\n");
  link("../../../" + s.scsi, blk + "/device");
  link(rel("/sys/bus/scsi/devices", "/sys" + dev), b.file("sys/bus/scsi/devices/" + s.scsi));
  link(rel("/sys/block", "/sys" + dev + "/block/" + s.name), b.file("sys/block/" + s.name));
  put(b.file("sys/class/scsi_host/host" + std::to_string(h_of(s)) + "/proc_name"),
      s.bus == "usb" ? "usb-storage\n" : s.bus == "iscsi" ? "iscsi_tcp\n" : s.bus == "sas" ? "mpt2sas\n" : "ahci\n");
  std::error_code ec;
  if (!fs::exists(b.file("dev/" + s.name))) {
    std::ofstream(b.file("dev/" + s.name)).close();
    fs::resize_file(b.file("dev/" + s.name), s.sectors * 512, ec);
  }
  sync_partitions(b, s, nullptr);
}

void remove_tree(const Board& b, const DiskSpec& s) {
  std::error_code ec;
  for (int i = 1; i <= 128; ++i) fs::remove(b.file("dev/" + PartName(s.name, i)), ec);
  fs::remove_all(b.file("sys" + scsi_devpath(s)), ec);
  fs::remove(b.file("sys/bus/scsi/devices/" + s.scsi), ec);
  fs::remove(b.file("sys/block/" + s.name), ec);
}

bool provision(const Board& b, std::string* err) {
  auto it = b.desc().find("disks");
  if (it == b.desc().end()) return true;
  if (!it->is_array()) {
    *err = "disks: not a list";
    return false;
  }
  fs::create_directories(b.file("sys/bus/scsi/devices"));
  fs::create_directories(b.file("sys/block"));
  for (auto& d : *it) {
    DiskSpec s;
    if (!d.is_object() || !FindDisk(b, d.value("name", ""), &s, err)) {
      if (err->empty()) *err = "disks: bad entry";
      return false;
    }
    if (s.plugged) build_tree(b, s);
  }
  write_partitions(b);
  return true;
}

void fill_identify(const DiskSpec& s, uint8_t* id) {
  std::memset(id, 0, 512);
  auto text = [&](int word, int words, const std::string& t) {
    for (int i = 0; i < words * 2; ++i) {
      char c = i < static_cast<int>(t.size()) ? t[i] : ' ';
      id[word * 2 + (i ^ 1)] = static_cast<uint8_t>(c);  // ATA strings: bytes swapped per word
    }
  };
  text(10, 10, s.serial);
  text(23, 4, "SIM1.0");
  text(27, 20, s.model);
  uint32_t lba28 = s.sectors > 0x0fffffff ? 0x0fffffff : static_cast<uint32_t>(s.sectors);
  id[120] = lba28 & 0xff, id[121] = (lba28 >> 8) & 0xff, id[122] = (lba28 >> 16) & 0xff, id[123] = lba28 >> 24;
  id[167] = 0x04;  // word 83 bit 10: 48-bit addresses
  for (int i = 0; i < 8; ++i) id[200 + i] = static_cast<uint8_t>(s.sectors >> (8 * i));
}

class Disk final : public Device {
 public:
  Disk(const Board& b, DiskSpec s, int fd) : Device(fd), board_(b), s_(std::move(s)) {}
  // A partition: a window on the disk's image, opened by the model itself
  // (the node is an empty file, whose offset keeps the read/write position).
  Disk(const Board& b, DiskSpec s, int fd, osa::UniqueFd image, const DiskWindow& w)
      : Device(fd), board_(b), s_(std::move(s)), image_(std::move(image)), window_(w) {}

  ssize_t pread(void* buf, size_t len, off_t off) override {
    if (!image_) return DiskTransfer(board_, s_, fd_, false, buf, len, off);
    if (off < 0) return err(EINVAL);
    uint64_t o = static_cast<uint64_t>(off);
    if (o >= window_.bytes) return 0;
    len = static_cast<size_t>(std::min<uint64_t>(len, window_.bytes - o));
    return ::pread(image_.get(), buf, len, static_cast<off_t>(window_.offset + o));
  }
  ssize_t pwrite(const void* buf, size_t len, off_t off) override {
    if (!image_) return DiskTransfer(board_, s_, fd_, true, const_cast<void*>(buf), len, off);
    if (off < 0) return err(EINVAL);
    uint64_t o = static_cast<uint64_t>(off);
    if (o >= window_.bytes && len) return err(ENOSPC);
    len = static_cast<size_t>(std::min<uint64_t>(len, window_.bytes - o));
    return ::pwrite(image_.get(), buf, len, static_cast<off_t>(window_.offset + o));
  }
  ssize_t read(void* buf, size_t len) override {
    if (!image_) return DiskTransfer(board_, s_, fd_, false, buf, len, -1);
    off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    ssize_t n = pos < 0 ? -1 : pread(buf, len, pos);
    if (n > 0) ::lseek(fd_, pos + n, SEEK_SET);
    return n;
  }
  ssize_t write(const void* buf, size_t len) override {
    if (!image_) return DiskTransfer(board_, s_, fd_, true, const_cast<void*>(buf), len, -1);
    off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    ssize_t n = pos < 0 ? -1 : pwrite(buf, len, pos);
    if (n > 0) ::lseek(fd_, pos + n, SEEK_SET);
    return n;
  }

  int ioctl(unsigned long req, void* arg) override {
    if (!arg) return err(EFAULT);
    struct stat st;
    if (::fstat(image_ ? image_.get() : fd_, &st) != 0) return -1;
    uint64_t bytes = image_ ? window_.bytes : static_cast<uint64_t>(st.st_size);
    switch (req) {
      case BLKGETSIZE64: *static_cast<uint64_t*>(arg) = bytes; return 0;
      case BLKGETSIZE: *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(bytes >> 9); return 0;
      case BLKSSZGET: *static_cast<int*>(arg) = 512; return 0;
      case HDIO_GETGEO: {
        auto* g = static_cast<struct hd_geometry*>(arg);
        g->heads = 255;
        g->sectors = 63;
        uint64_t cyl = (bytes >> 9) / (255 * 63);
        g->cylinders = static_cast<unsigned short>(cyl > 65535 ? 65535 : cyl);
        g->start = static_cast<unsigned long>(window_.offset / 512);
        return 0;
      }
      case 0x12EA:
        board_.event("ioctl " + s_.name + " 0x12ea " + std::to_string(*static_cast<int*>(arg)));
        return 0;
      case HDIO_DRIVE_CMD: {
        if (s_.no_drive_cmd) return err(EINVAL);
        auto* a = static_cast<uint8_t*>(arg);
        if (DiskGone(board_, s_)) return err(ENODEV);
        if (a[0] != 0xEC) return DiskDriveCmd(board_, s_, a);
        return ata(a[0], a[2], a[3], a + 4, "hdio");
      }
      case SG_IO: return sg(static_cast<sg_io_hdr_t*>(arg));
      default: return err(ENOTTY);
    }
  }

 private:
  static int err(int e) {
    errno = e;
    return -1;
  }
  int ata(uint8_t cmd, uint8_t feature, unsigned count, uint8_t* data, const char* via) {
    char line[128];
    snprintf(line, sizeof line, "ata %s cmd=%02x feature=%02x count=%u via=%s", s_.name.c_str(), cmd, feature, count,
             via);
    board_.event(line);
    if (cmd == 0xEC) {
      fill_identify(s_, data);
      DiskIdentifyExtras(board_, s_, data);
    }
    return 0;
  }
  int sg(sg_io_hdr_t* io) {
    if (io->interface_id != 'S' || !io->cmdp || io->cmd_len < 6) return err(EINVAL);
    if (int rc; DiskSgIo(board_, s_, io, &rc)) return rc;
    const uint8_t* c = io->cmdp;
    auto* out = static_cast<uint8_t*>(io->dxferp);
    io->status = io->host_status = io->driver_status = 0;
    io->resid = 0;
    if (c[0] == 0x12) {  // INQUIRY
      uint8_t buf[96] = {};
      unsigned n;
      if (c[1] & 1) {
        if (c[2] != 0x80) return check(io);
        buf[1] = 0x80;
        size_t len = std::min<size_t>(s_.serial.size(), 80);
        buf[3] = static_cast<uint8_t>(len);
        std::memcpy(buf + 4, s_.serial.data(), len);
        n = 4 + static_cast<unsigned>(len);
      } else {
        buf[2] = 5, buf[4] = 31;
        std::memset(buf + 8, ' ', 24);
        std::memcpy(buf + 8, s_.vendor.data(), std::min<size_t>(8, s_.vendor.size()));
        std::memcpy(buf + 16, s_.model.data(), std::min<size_t>(16, s_.model.size()));
        n = 36;
      }
      if (out) std::memcpy(out, buf, std::min<unsigned>(n, io->dxfer_len));
      return 0;
    }
    if (c[0] == 0x85 && io->cmd_len >= 16) {  // ATA PASS-THROUGH (16)
      uint8_t id[512];
      int rc = ata(c[14], c[4], c[6], id, "sgio");
      if (out && c[14] == 0xEC) std::memcpy(out, id, std::min<unsigned>(512, io->dxfer_len));
      return rc;
    }
    return check(io);
  }
  static int check(sg_io_hdr_t* io) {  // CHECK CONDITION: invalid field in CDB
    io->status = 2;
    io->masked_status = 1;
    return 0;
  }

  const Board& board_;
  DiskSpec s_;
  osa::UniqueFd image_;
  DiskWindow window_;
};

std::unique_ptr<Device> open_disk(const Board& b, const std::string& path, int fd, int flags) {
  DiskSpec s;
  DiskWindow w;
  std::string err;
  if (!FindWindow(b, path, &w, &err) || !FindDisk(b, w.disk, &s, &err)) {
    errno = ENXIO;  // not plugged, or no such partition
    return nullptr;
  }
  if (!w.number) return std::make_unique<Disk>(b, std::move(s), fd);
  osa::UniqueFd image(::open(w.image.c_str(), (flags & O_ACCMODE) | O_CLOEXEC));
  if (!image) return nullptr;
  return std::make_unique<Disk>(b, std::move(s), fd, std::move(image), w);
}

std::string uevent(const std::string& action, const std::string& devpath, const char* subsystem, const char* type) {
  std::string m = action + "@" + devpath;
  m += '\0';
  m += "ACTION=" + action + '\0' + "DEVPATH=" + devpath + '\0' + "SUBSYSTEM=" + subsystem + '\0';
  if (type) m += std::string("DEVTYPE=") + type + '\0';
  return m;
}

}  // namespace

const Model kDiskModel = {"disk", "/dev/sd*", open_disk, provision};

void RefreshPartitions(const Board& b, const std::string& disk, bool events) {
  DiskSpec s;
  std::string err;
  if (!FindDisk(b, disk, &s, &err) || !fs::exists(b.file("sys/block/" + disk))) return;
  std::vector<std::string> changes;
  sync_partitions(b, s, &changes);
  write_partitions(b);
  if (!events) return;
  std::string blk = scsi_devpath(s) + "/block/" + s.name;
  for (auto& c : changes) {
    bool add = c.rfind("add ", 0) == 0;
    std::string n = c.substr(add ? 4 : 7);
    UeventSend(b.dir(), uevent(add ? "add" : "remove", blk + "/" + n, "block", "partition"), &err);
  }
}

int DiskPlugCommand(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: dvrsim %s DIR NAME\n", argv[0]);
    return 2;
  }
  bool plug = std::strcmp(argv[0], "plug") == 0;
  std::string err;
  auto b = Board::Load(argv[1], &err);
  DiskSpec s;
  if (!b || !FindDisk(*b, argv[2], &s, &err)) {
    fprintf(stderr, "dvrsim: %s\n", err.empty() ? "no such disk" : err.c_str());
    return 1;
  }
  std::string dev = scsi_devpath(s);
  std::string blk = dev + "/block/" + s.name;
  std::vector<std::string> burst;
  if (plug) {
    build_tree(*b, s);
    burst = {uevent("add", dev + "/scsi_device/" + s.scsi, "scsi_device", nullptr), uevent("add", blk, "block", "disk")};
    std::vector<PartWindow> parts;
    if (ReadPartitions(b->file("dev/" + s.name), &parts, &err))
      for (auto& w : parts) burst.push_back(uevent("add", blk + "/" + PartName(s.name, w.number), "block", "partition"));
    err.clear();
  } else {
    remove_tree(*b, s);
    MdDiskUnplugged(*b, s.name);
    burst = {uevent("remove", blk, "block", "disk"), uevent("remove", dev + "/scsi_device/" + s.scsi, "scsi_device", nullptr)};
  }
  write_partitions(*b);
  b->event(std::string(plug ? "plug " : "unplug ") + s.name);
  for (auto& m : burst)
    if (UeventSend(b->dir(), m, &err) < 0) {
      fprintf(stderr, "dvrsim: %s\n", err.c_str());
      return 1;
    }
  return 0;
}

}  // namespace sim
