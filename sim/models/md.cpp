// Simulated software RAID (see md.h): the arrays' state, what the kernel
// shows of it, and the mdadm and hotspare stand-ins.

#include "sim/models/md.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sim/flock.h"
#include "sim/sim.h"

namespace sim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// ------------------------------------------------------------ the state

struct Store {
  explicit Store(const Board& b) : b_(b) {
    fs::create_directories(b.file("md"));
    fd_ = ::open(b.file("md/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    std::ifstream in(b.file("md/arrays.json"));
    arrays = json::parse(in, nullptr, false);
    if (!arrays.is_object()) arrays = json::object();
  }
  ~Store() {
    if (fd_ >= 0) ::close(fd_);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  void save() {
    std::ofstream(b_.file("md/arrays.json.tmp")) << arrays.dump(1);
    fs::rename(b_.file("md/arrays.json.tmp"), b_.file("md/arrays.json"));
  }
  json arrays;

 private:
  const Board& b_;
  int fd_ = -1;
};

std::string level_text(int level) {
  if (level == 76) return "linear";
  if (level == 18) return "sraid";
  return "raid" + std::to_string(level);
}

uint64_t disk_sectors(const Board& b, const std::string& disk) {
  struct stat st;
  return ::stat(b.file("dev/" + disk).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) / 512 : 0;
}

// A disk that is there, or an array (the member of a nested array).
bool plugged(const Board& b, const std::string& disk) {
  return (disk.starts_with("sd") || disk.starts_with("md")) && disk.find('/') == std::string::npos &&
         fs::exists(b.file("sys/block/" + disk)) && disk_sectors(b, disk) > 64;
}

int in_sync(const json& a) {
  int n = 0;
  for (auto& m : a["members"]) n += m["state"] == "in_sync";
  return n;
}

bool redundant(int level) { return level != 0 && level != 76; }

uint64_t array_sectors(const json& a) {
  uint64_t comp = a["comp"].get<uint64_t>();
  uint64_t n = a["raid_disks"].get<uint64_t>();
  int level = a["level"].get<int>();
  switch (level) {
    case 0: return n * comp;
    case 1: return comp;
    case 4: case 5: case 18: return (n - 1) * comp;
    case 6: case 8: return (n - 2) * comp;
    case 9: return (n - a.value("code_disks", 1u)) * comp;
    case 10: return n / 2 * comp;
    case 76: return n * comp;
    default: return comp;
  }
}

void write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

void symlink_to(const std::string& target, const std::string& at) {
  std::error_code ec;
  fs::create_directories(fs::path(at).parent_path(), ec);
  fs::remove(at, ec);
  fs::create_symlink(target, at, ec);
}

void write_super(const Board& b, const json& a, const json& m) {
  MdSuperInfo s;
  std::string hex = a["uuid"];
  for (int i = 0; i < 16; ++i) s.uuid[i] = static_cast<uint8_t>(std::stoul(hex.substr(i * 2, 2), nullptr, 16));
  s.name = a.value("alias", "");
  s.level = a["level"] == 76 ? -1 : a["level"].get<int>();
  s.raidDisks = a["raid_disks"];
  s.chunkSectors = a["chunk"].get<uint32_t>() * 2;
  s.size = a["comp"];
  s.devNumber = m["dev"];
  std::string disk = m["disk"];
  uint64_t sectors = disk_sectors(b, disk);
  uint8_t buf[4096];
  uint16_t role = m["state"] == "in_sync" ? static_cast<uint16_t>(m["slot"].get<int>()) : 0xffff;
  BuildMdSuper(s, sectors, role, buf);
  int fd = ::open(b.file("dev/" + disk).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (::pwrite(fd, buf, sizeof buf, static_cast<off_t>(MdSuperOffset(sectors) * 512)) < 0) perror("mdadm");
  ::close(fd);
}

std::string mdstat_entry(const Board& b, const std::string& name, const json& a) {
  int level = a["level"];
  std::ostringstream o;
  o << name << " : active " << level_text(level);
  auto& ms = a["members"];
  for (auto it = ms.rbegin(); it != ms.rend(); ++it) {
    o << ' ' << (*it)["disk"].get<std::string>() << '[' << (*it)["dev"].get<int>() << ']';
    if ((*it)["state"] == "faulty") o << "(F)";
    else if ((*it)["state"] == "spare" && (*it)["recovery"] == "0") o << "(S)";
  }
  int n = a["raid_disks"];
  o << "\n      " << array_sectors(a) / 2 << " blocks super 1.0";
  if (level == 4 || level == 5 || level == 6 || level == 18)
    o << " level " << (level == 18 ? 5 : level) << ", " << a["chunk"].get<int>() << "k chunk, algorithm 2";
  else if (level == 0 || level == 10)
    o << ' ' << a["chunk"].get<int>() << "k chunks";
  if (redundant(level)) {
    std::string map(static_cast<size_t>(n), '_');
    for (auto& m : ms)
      if (m["state"] == "in_sync" && m["slot"].get<int>() < n) map[static_cast<size_t>(m["slot"].get<int>())] = 'U';
    o << " [" << n << '/' << in_sync(a) << "] [" << map << ']';
  }
  o << '\n';
  std::string act = a.value("sync_action", "idle");
  if (act == "recover" || act == "resync") {
    uint64_t total = a["comp"].get<uint64_t>() / 2, done = total / 8;
    o << "      [==>..................]  " << (act == "recover" ? "recovery" : "resync") << " = 12.5% (" << done
      << '/' << total << ") finish=0.7min speed=21504K/sec\n";
  }
  if (a.value("bitmap", false)) o << "      bitmap: 0/1 pages [0KB], 65536KB chunk\n";
  o << '\n';
  (void)b;
  return o.str();
}

// Makes the kernel's view match the state.
void render(const Board& b, const json& arrays) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator(b.file("sys/devices/virtual/block"), ec)) {
    std::string n = e.path().filename();
    if (n.starts_with("md") && !arrays.contains(n)) {
      fs::remove_all(e.path(), ec);
      fs::remove(b.file("sys/block/" + n), ec);
      fs::remove(b.file("dev/" + n), ec);
    }
  }
  std::string mdstat = "Personalities : [linear] [raid0] [raid1] [raid10] [raid6] [raid5] [raid4]\n";
  for (auto& [name, a] : arrays.items()) {
    std::string d = b.file("sys/devices/virtual/block/" + name);
    fs::remove_all(d + "/md", ec);
    fs::remove_all(d + "/slaves", ec);
    int level = a["level"], n = a["raid_disks"];
    uint64_t size = array_sectors(a);
    write(d + "/size", std::to_string(size) + "\n");
    write(d + "/md/level", level_text(level) + "\n");
    write(d + "/md/raid_disks", std::to_string(n) + "\n");
    int degraded = redundant(level) ? std::max(0, n - in_sync(a)) : 0;
    write(d + "/md/degraded", std::to_string(degraded) + "\n");
    write(d + "/md/sync_action", a.value("sync_action", "idle") + "\n");
    write(d + "/md/array_state", a.value("array_state", "clean") + "\n");
    write(d + "/md/chunk_size", std::to_string(a["chunk"].get<int>() * 1024) + "\n");
    std::string u = a["uuid"];
    write(d + "/md/md_uuid", u.substr(0, 8) + ":" + u.substr(8, 8) + ":" + u.substr(16, 8) + ":" + u.substr(24, 8) + "\n");
    if (level == 9) write(d + "/md/code_disks", std::to_string(a.value("code_disks", 1)) + "\n");
    for (const char* f : {"sync_speed_min", "sync_speed_max", "rmw_level", "mirror_area", "clear_stripecache"})
      if (!fs::exists(d + "/md/" + f)) write(d + "/md/" + f, "\n");
    for (auto& m : a["members"]) {
      std::string disk = m["disk"];
      std::string md = d + "/md/dev-" + disk;
      std::string st = m["state"];
      write(md + "/state", st + "\n");
      write(md + "/slot", st == "in_sync" ? std::to_string(m["slot"].get<int>()) + "\n" : "none\n");
      write(md + "/recovery_start", m["recovery"].get<std::string>() + "\n");
      symlink_to("../../../../../../block/" + disk, md + "/block");
      symlink_to("../../../../../block/" + disk, d + "/slaves/" + disk);
    }
    symlink_to("../devices/virtual/block/" + name, b.file("sys/block/" + name));
    std::string node = b.file("dev/" + name);
    if (!fs::exists(node)) std::ofstream(node).close();
    fs::resize_file(node, size * 512, ec);
    mdstat += mdstat_entry(b, name, a);
  }
  mdstat += "unused devices: <none>\n";
  write(b.file("proc/mdstat"), mdstat);
}

// ------------------------------------------------------------- mdadm

int fail(const std::string& msg, int status = 1) {
  fprintf(stderr, "mdadm: %s\n", msg.c_str());
  return status;
}

std::string base(const std::string& dev) { return dev.starts_with("/dev/") ? dev.substr(5) : dev; }

std::string owner(const json& arrays, const std::string& disk) {
  for (auto& [name, a] : arrays.items())
    for (auto& m : a["members"])
      if (m["disk"] == disk) return name;
  return {};
}

bool read_super(const Board& b, const std::string& disk, MdSuperInfo* s, std::string* err) {
  uint64_t sectors = disk_sectors(b, disk);
  uint8_t buf[4096];
  int fd = ::open(b.file("dev/" + disk).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || sectors < 64) {
    if (fd >= 0) ::close(fd);
    *err = "cannot open";
    return false;
  }
  ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(MdSuperOffset(sectors) * 512));
  ::close(fd);
  return ParseMdSuper(buf, n > 0 ? static_cast<size_t>(n) : 0, s, err);
}

std::string uuid_words(const uint8_t* u) {
  char t[40];
  snprintf(t, sizeof t, "%02x%02x%02x%02x:%02x%02x%02x%02x:%02x%02x%02x%02x:%02x%02x%02x%02x", u[0], u[1], u[2], u[3],
           u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return t;
}

bool instant(const Board& b) {
  auto it = b.desc().find("md");
  return it != b.desc().end() && it->is_object() && it->value("rebuild", "running") == "instant";
}

int next_dev(const json& a) {
  int d = 0;
  for (auto& m : a["members"]) d = std::max(d, m["dev"].get<int>() + 1);
  return d;
}

int free_slot(const json& a) {
  int n = a["raid_disks"];
  for (int s = 0; s < n; ++s) {
    bool used = false;
    for (auto& m : a["members"]) used |= m["state"] != "faulty" && m["slot"] == s;
    if (!used) return s;
  }
  return -1;
}

// What md does by itself: an idle spare takes a free slot of a redundant
// array, and a recovery with nothing left to rebuild ends.
void settle(const Board& b, json& a) {
  if (redundant(a["level"])) {
    for (auto& m : a["members"]) {
      int slot = free_slot(a);
      if (slot < 0) break;
      if (m["state"] != "spare" || m["recovery"] != "0") continue;
      m["slot"] = slot;
      if (instant(b)) {
        m["state"] = "in_sync";
        m["recovery"] = "none";
      } else {
        m["recovery"] = "1024";
        a["sync_action"] = "recover";
      }
    }
  }
  bool rebuilding = false;
  for (auto& m : a["members"]) rebuilding |= m["state"] == "spare" && m["recovery"] != "0";
  if (!rebuilding && a.value("sync_action", "idle") == "recover") a["sync_action"] = "idle";
}

int create(const Board& b, Store& st, const std::vector<std::string>& args) {
  std::string array, name;
  int level = -100, raid = 0, chunk = 64, spares = 0, code = 1;
  bool bitmap = false;
  std::vector<std::string> members;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&]() { return i + 1 < args.size() ? args[++i] : std::string(); };
    if (a == "-l") {
      std::string l = next();
      level = l == "linear" ? 76 : l == "s" ? 18 : std::atoi(l.c_str());
    } else if (a == "-n") raid = std::atoi(next().c_str());
    else if (a == "-x") spares = std::atoi(next().c_str());
    else if (a.starts_with("--chunk=")) chunk = std::atoi(a.c_str() + 8);
    else if (a.starts_with("--code-disks=")) code = std::atoi(a.c_str() + 13);
    else if (a == "--bitmap=internal") bitmap = true;
    else if (a == "--name") name = next();
    else if (a == "-p" || a == "--layout") next();
    else if (a.starts_with("/dev/md") && array.empty()) array = base(a);
    else if (a.starts_with("/dev/")) members.push_back(base(a));
  }
  if (array.empty() || level == -100 || raid < 1) return fail("invalid create request", 2);
  if (st.arrays.contains(array)) return fail("/dev/" + array + " is already in use.");
  // Level 20 counts its spares among the -n disks.
  if (level == 20) raid -= spares;
  if (raid < 1 || members.size() != static_cast<size_t>(raid + spares))
    return fail("You have listed more or fewer devices than -n");
  uint64_t comp = UINT64_MAX;
  for (auto& m : members) {
    if (!plugged(b, m)) return fail("cannot open /dev/" + m + ": No such file or directory");
    if (!owner(st.arrays, m).empty()) return fail("cannot open /dev/" + m + ": Device or resource busy");
    comp = std::min(comp, MdSuperOffset(disk_sectors(b, m)) - (bitmap ? 128 : 0));
  }
  uint64_t csec = static_cast<uint64_t>(std::max(chunk, 4)) * 2;
  comp -= comp % csec;
  std::random_device rd;
  char uuid[33];
  snprintf(uuid, sizeof uuid, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
  json a = {{"level", level}, {"raid_disks", raid}, {"chunk", chunk}, {"uuid", uuid}, {"alias", name},
            {"bitmap", bitmap}, {"comp", comp}, {"code_disks", code}, {"sync_action", "idle"},
            {"array_state", "clean"}, {"members", json::array()}};
  for (size_t i = 0; i < members.size(); ++i) {
    bool spare = static_cast<int>(i) >= raid;
    a["members"].push_back({{"disk", members[i]}, {"dev", i}, {"slot", spare ? -1 : static_cast<int>(i)},
                            {"state", spare ? "spare" : "in_sync"}, {"recovery", spare ? "0" : "none"}});
  }
  for (auto& m : a["members"]) write_super(b, a, m);
  st.arrays[array] = a;
  return 0;
}

int manage(const Board& b, Store& st, const std::string& array, const std::string& op, const std::string& disk) {
  if (!st.arrays.contains(array)) return fail("/dev/" + array + " does not appear to be an md device");
  json& a = st.arrays[array];
  auto& ms = a["members"];
  auto find = [&]() -> json* {
    for (auto& m : ms)
      if (m["disk"] == disk) return &m;
    return nullptr;
  };
  json* m = find();
  if (op == "--fail") {
    if (!m) return fail("set device faulty failed for /dev/" + disk + ":  No such device");
    (*m)["state"] = "faulty";
    (*m)["recovery"] = "none";
  } else if (op == "--remove") {
    if (!m) return fail("hot remove failed for /dev/" + disk + ": No such device or address");
    if ((*m)["state"] == "in_sync") return fail("hot remove failed for /dev/" + disk + ": Device or resource busy");
    for (size_t i = 0; i < ms.size(); ++i)
      if (ms[i]["disk"] == disk) ms.erase(i);
  } else if (op == "--add" || op == "--re-add") {
    if (m || !plugged(b, disk)) return fail("cannot find /dev/" + disk + ": No such file or directory");
    if (!owner(st.arrays, disk).empty()) return fail("Cannot open /dev/" + disk + ": Device or resource busy");
    int slot = redundant(a["level"]) ? free_slot(a) : -1;
    if (op == "--re-add") {
      MdSuperInfo s;
      std::string err;
      std::string hex;
      if (read_super(b, disk, &s, &err)) {
        char t[3];
        for (uint8_t c : s.uuid) snprintf(t, sizeof t, "%02x", c), hex += t;
      }
      if (hex != a["uuid"].get<std::string>() || slot < 0)
        return fail("--re-add for /dev/" + disk + " to /dev/" + array + " is not possible");
    }
    json e = {{"disk", disk}, {"dev", next_dev(a)}, {"slot", slot}, {"state", "spare"}, {"recovery", "0"}};
    if (slot >= 0 && (op == "--re-add" || instant(b))) {
      e["state"] = "in_sync";
      e["recovery"] = "none";
    } else if (slot >= 0) {
      e["recovery"] = "1024";
      a["sync_action"] = "recover";
    }
    ms.push_back(e);
    write_super(b, a, ms.back());
  } else {
    return fail("unknown manage operation " + op, 2);
  }
  settle(b, a);
  return 0;
}

int zero_super(const Board& b, const Store& st, const std::string& disk) {
  if (!owner(st.arrays, disk).empty()) return fail("Couldn't open /dev/" + disk + " for write - not zeroing");
  MdSuperInfo s;
  std::string err;
  if (!read_super(b, disk, &s, &err)) return fail("Unrecognised md component device - /dev/" + disk);
  uint8_t zero[4096] = {};
  int fd = ::open(b.file("dev/" + disk).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open /dev/" + disk);
  ssize_t n = ::pwrite(fd, zero, sizeof zero, static_cast<off_t>(MdSuperOffset(disk_sectors(b, disk)) * 512));
  ::close(fd);
  return n == sizeof zero ? 0 : 1;
}

int examine(const Board& b, const std::string& disk) {
  MdSuperInfo s;
  std::string err;
  if (!plugged(b, disk) || !read_super(b, disk, &s, &err)) return fail("No md superblock detected on /dev/" + disk + ".");
  printf("ARRAY /dev/md/%s  metadata=1.0 UUID=%s name=%s\n", s.name.empty() ? "0" : s.name.c_str(),
         uuid_words(s.uuid).c_str(), s.name.c_str());
  return 0;
}

}  // namespace

int MdadmStandIn(const Board& b, int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) return fail("no command", 2);
  Store st(b);
  int rc = 0;
  const std::string& op = args[1];
  if (op == "-C") {
    rc = create(b, st, args);
  } else if (op == "--manage" && args.size() >= 5) {
    std::string disk = base(args.back());
    rc = manage(b, st, base(args[2]), args[3], disk);
  } else if (args.size() == 4 && args[2] == "--re-add") {
    rc = manage(b, st, base(args[1]), "--re-add", base(args[3]));
  } else if (op == "--grow" && args.size() == 5 && args[3] == "-n") {
    std::string array = base(args[2]);
    if (!st.arrays.contains(array)) return fail("/dev/" + array + " is not an active md array");
    st.arrays[array]["raid_disks"] = std::atoi(args[4].c_str());
  } else if (op == "--stop" && args.size() == 3) {
    std::string array = base(args[2]);
    if (!st.arrays.contains(array)) return fail("error opening /dev/" + array + ": No such file or directory");
    st.arrays.erase(array);
    printf("mdadm: stopped /dev/%s\n", array.c_str());
  } else if (op == "-Ss") {
    st.arrays = json::object();
  } else if (op == "--zero-superblock" && args.size() == 3) {
    return zero_super(b, st, base(args[2]));
  } else if (op == "-Eb" && args.size() == 3) {
    return examine(b, base(args[2]));
  } else if (op == "-Db" && args.size() == 3) {
    std::string array = base(args[2]);
    if (!st.arrays.contains(array)) return fail("cannot open /dev/" + array + ": No such file or directory");
    std::string u = st.arrays[array]["uuid"];
    printf("ARRAY /dev/%s metadata=1.0 name=%s UUID=%s:%s:%s:%s\n", array.c_str(),
           st.arrays[array].value("alias", "").c_str(), u.substr(0, 8).c_str(), u.substr(8, 8).c_str(),
           u.substr(16, 8).c_str(), u.substr(24, 8).c_str());
    return 0;
  } else {
    return fail("unsupported command " + op, 2);
  }
  if (rc == 0) {
    st.save();
    render(b, st.arrays);
  }
  return rc;
}

void MdDiskUnplugged(const Board& b, const std::string& disk) {
  Store st(b);
  std::string array = owner(st.arrays, disk);
  if (array.empty()) return;
  auto& ms = st.arrays[array]["members"];
  for (size_t i = 0; i < ms.size(); ++i)
    if (ms[i]["disk"] == disk) ms.erase(i);
  settle(b, st.arrays[array]);
  st.save();
  render(b, st.arrays);
}

int HotspareStandIn(const Board& b, int argc, char** argv) {
  Store st(b);  // the md lock also covers the spare list
  std::ifstream in(b.file("md/hotspare"));
  std::vector<std::string> spares;
  for (std::string s; in >> s;) spares.push_back(s);
  std::string op = argc > 1 ? argv[1] : "";
  std::string disk = argc > 2 ? base(argv[2]) : "";
  if (op == "--list") {
    if (!spares.empty()) {
      printf("global:");
      for (auto& s : spares) printf(" %s", s.c_str());
      printf("\n");
    }
    return 0;
  }
  auto it = std::find(spares.begin(), spares.end(), disk);
  if (op == "-a" && !disk.empty()) {
    if (!plugged(b, disk) || !owner(st.arrays, disk).empty() || it != spares.end()) return 1;
    spares.push_back(disk);
  } else if ((op == "-r" || op == "-b") && !disk.empty()) {
    if (it == spares.end()) return op == "-b" ? 0 : 1;
    spares.erase(it);
  } else {
    return 0;  // --scan --sync and the like: nothing to do here
  }
  std::ofstream out(b.file("md/hotspare"));
  for (auto& s : spares) out << s << '\n';
  return 0;
}

namespace {

class MdNode final : public Device {
 public:
  using Device::Device;
  int ioctl(unsigned long req, void* arg) override {
    if (!arg) return err(EFAULT);
    struct stat st;
    if (::fstat(fd_, &st) != 0) return -1;
    uint64_t bytes = static_cast<uint64_t>(st.st_size);
    switch (req) {
      case BLKGETSIZE64: *static_cast<uint64_t*>(arg) = bytes; return 0;
      case BLKGETSIZE: *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(bytes >> 9); return 0;
      case BLKSSZGET: *static_cast<int*>(arg) = 512; return 0;
      case 0x12EA: return 0;
      default: return err(ENOTTY);
    }
  }

 private:
  static int err(int e) {
    errno = e;
    return -1;
  }
};

std::unique_ptr<Device> open_md(const Board& b, const std::string& path, int fd, int) {
  std::string name = path.substr(path.rfind('/') + 1);
  if (!fs::exists(b.file("sys/block/" + name))) {
    errno = ENXIO;
    return nullptr;
  }
  return std::make_unique<MdNode>(fd);
}

}  // namespace

const Model kMdModel = {"md", "/dev/md*", open_md, nullptr};

}  // namespace sim
