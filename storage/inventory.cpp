// The inventory scan: records by bus, roles, order, logic numbers and the
// two tables in the log.

#include <fcntl.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "osa/shell.h"
#include "osa/singleton.h"
#include "osa/sys.h"
#include "platform/system/system.h"
#include "storage/internal.h"

namespace hd {

Library& Lib() { return osa::Singleton<Library>(); }

namespace {

constexpr unsigned kRioctl = 0x12EA;  // the board kernel's per-disk switch

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void copy(char* dst, std::size_t n, const std::string& s) { snprintf(dst, n, "%s", s.c_str()); }

HdDevInfo* alloc_record() {
  Library& L = Lib();
  std::unique_ptr<HdDevInfo> r;
  if (!L.freeList.empty()) {
    r = std::move(L.freeList.back());
    L.freeList.pop_back();
    FreeRecord(r.get());
  } else {
    r = std::make_unique<HdDevInfo>();
  }
  std::memset(r.get(), 0, sizeof *r);
  r->fdSync = r->fdBuffered = r->fdDirect = -1;
  r->logic = -1;
  L.list.push_back(std::move(r));
  return L.list.back().get();
}

int open_dev(const char* path, int flags, const char* who) {
  int fd = osa::sys::open(path, flags);
  if (fd < 0) HD_ERROR("%s: open %s failed, %s.\n", who, path, strerror(errno));
  return fd;
}

void set_noop(const std::string& name) {
  std::string path = "/sys/block/" + name + "/queue/scheduler";
  osa::UniqueFd fd(osa::sys::open(path.c_str(), O_WRONLY));
  if (fd) osa::sys::write(fd.get(), "noop", 5);  // with its terminating NUL
}

void init_disk(const PlatformCfg& cfg, HdDevInfo* r, const ScsiEntry& e, const char* who) {
  bool esata = e.bus == HD_BUS_ESATA;
  r->fdSync = open_dev(r->name, O_RDWR | O_SYNC, who);
  if (!esata) r->fdBuffered = open_dev(r->name, O_RDWR, who);
  r->fdDirect = open_dev(r->name, O_RDWR | O_SYNC | O_DIRECT, who);
  (void)cfg;
  copy(r->identity, sizeof r->identity, DiskIdentity(r->fdSync, e.bus, e.name.c_str()));
}

void make_record(const PlatformCfg& cfg, const ScsiEntry& e, int role, const std::string& parent, uint32_t now) {
  Position pos;
  if (e.bus != HD_BUS_ESATA && e.bus != HD_BUS_USB && e.bus != HD_BUS_ISCSI && !GetDevicePort(cfg, e, &pos)) {
    HD_ERROR("Hd_GetDevicePort failed.\n");
    return;
  }
  HdDevInfo* r = alloc_record();
  snprintf(r->name, sizeof r->name, "/dev/%s", e.name.c_str());
  r->host = static_cast<uint32_t>(e.addr.host);
  r->logic = role;
  r->lastSeen = now;
  r->capacity = e.sectors;
  r->busClass = 1;
  copy(r->parentRaid, sizeof r->parentRaid, parent);
  copy(r->type, sizeof r->type, "DISK");
  switch (e.bus) {
    case HD_BUS_USB:
      copy(r->bus, sizeof r->bus, "USB");
      copy(r->type, sizeof r->type, e.sectors >= 0x10000001ull ? "DISK" : "FLASH");
      r->port = static_cast<uint8_t>(e.addr.host);
      r->slot = static_cast<uint32_t>(e.addr.lun);
      init_disk(cfg, r, e, "Hd_InitUsbDisk");
      break;
    case HD_BUS_ESATA:
      copy(r->bus, sizeof r->bus, "ESATA");
      r->slot = static_cast<uint32_t>(e.addr.channel);
      init_disk(cfg, r, e, "Hd_InitEsataDisk");
      break;
    case HD_BUS_ISCSI:
      copy(r->bus, sizeof r->bus, "SCSI");
      r->layer = 3;
      r->busClass = 0;
      r->fdSync = open_dev(r->name, O_RDWR, "Hd_InitIscsiDisk");
      snprintf(r->identity, sizeof r->identity, "%s-%d:%d:%d", e.name.c_str(), e.addr.channel, e.addr.target,
               e.addr.lun);
      break;
    default:
      copy(r->bus, sizeof r->bus, e.bus == HD_BUS_SAS ? "SAS" : "SATA");
      r->layer = static_cast<uint8_t>(pos.layer);
      r->port = static_cast<uint8_t>(pos.port);
      r->slot = static_cast<uint32_t>(pos.slot);
      init_disk(cfg, r, e, "Hd_InitSataDisk");
      if (role == -1) {
        set_noop(e.name);
        int one = 1;
        if (r->fdSync >= 0) osa::sys::ioctl(r->fdSync, kRioctl, &one);
      }
      break;
  }
}

void make_array(const MdArray& a, const std::vector<MdArray>& all, uint32_t now) {
  for (auto& other : all)
    for (auto& m : other.members)
      if (m == a.name) return;  // nested: listed at the top only
  if (a.sectors == 0) {
    HD_ERROR("%s get device failed.\n", a.name.c_str());
    return;
  }
  HdDevInfo* r = alloc_record();
  snprintf(r->name, sizeof r->name, "/dev/%s", a.name.c_str());
  copy(r->bus, sizeof r->bus, "RAID");
  copy(r->type, sizeof r->type, "RAID");
  r->layer = 1;
  r->busClass = 4;
  r->lastSeen = now;
  r->logic = -1;
  r->capacity = a.sectors;
  if (!a.active) r->state |= HD_STATE_INACTIVE;
  snprintf(r->identity, sizeof r->identity, "%08x:%08x:%08x:%08x", a.uuid[0], a.uuid[1], a.uuid[2], a.uuid[3]);
  r->fdSync = open_dev(r->name, O_RDWR | O_SYNC | O_CLOEXEC, "Hd_InitRaidDisk");
  r->fdBuffered = open_dev(r->name, O_RDWR | O_CLOEXEC, "Hd_InitRaidDisk");
  r->fdDirect = open_dev(r->name, O_RDWR | O_SYNC | O_DIRECT | O_CLOEXEC, "Hd_InitRaidDisk");
  for (auto& m : a.members) set_noop(m);
  int one = 1;
  if (r->fdSync >= 0) osa::sys::ioctl(r->fdSync, kRioctl, &one);
}

// Stable insertion order: bus text, then position key.
void sort_list() {
  auto& v = Lib().list;
  std::vector<std::unique_ptr<HdDevInfo>> out;
  for (auto& r : v) {
    auto it = out.begin();
    for (; it != out.end(); ++it) {
      int c = std::strncmp((*it)->bus, r->bus, sizeof r->bus);
      if (c > 0 || (c == 0 && PositionKey(**it) > PositionKey(*r))) break;
    }
    out.insert(it, std::move(r));
  }
  v = std::move(out);
}

void number_and_log(long long start) {
  Library& L = Lib();
  L.logicCount = L.diskCount = 0;
  uint32_t layer_slot[5] = {};
  for (auto& r : L.list) {
    if (r->logic == -1 && r->fdSync >= 0) r->logic = static_cast<int32_t>(L.logicCount++);
    if (r->layer >= 1 && r->layer <= 4) r->slot = layer_slot[r->layer]++;
    if (r->layer != 1 && r->layer != 2 && r->layer != 4 && r->logic != -3) ++L.diskCount;
  }
  HD_INFO("%s,%d: %u\n", "Hd_AllocLogicNumForAllDev", __LINE__, L.diskCount);
  HD_INFO("-------------------devices----------------------------\n");
  int i = 0;
  for (auto& r : L.list)
    HD_INFO("| index %d, name %s, layer=%d, port=%d, slot=%d, logic=%d, idy=%s\n", i++, r->name, r->layer, r->port,
            static_cast<int>(r->slot), r->logic, r->identity);
  HD_INFO("------------------logic devices-----------------------\n");
  i = 0;
  for (auto& r : L.list)
    if (r->logic >= 0)
      HD_INFO("| index %d, name %s, cap %llu, layer=%d, port=%d, slot=%d\n", i++, r->name,
              static_cast<unsigned long long>(r->capacity), r->layer, r->port, static_cast<int>(r->slot));
  HD_INFO("system boot need( %d ms )\n", static_cast<int>(now_ms() - start));
}

void hd_exit() {
  HD_INFO("hd ready to exit.\n");
  Hd_StopHotplugThread();
  for (auto& r : Lib().list)
    if (r->logic >= 0) ide_setstandby(r->logic, 0);
  for (auto& r : Lib().list) FreeRecord(r.get());
  if (GetPlatformCfg()->iRaidType == 1) run_cmd("mdadm -Ss");
  HD_INFO("hd exit done.\n");
}

void own_callback() {
  osa::LockGuard g(Lib().hotplugLock);
  Lib().hotplugHappened = true;
}

}  // namespace

void FreeRecord(HdDevInfo* r) {
  for (int* fd : {&r->fdSync, &r->fdBuffered, &r->fdDirect}) {
    if (*fd >= 0) osa::sys::close(*fd);
    *fd = -1;
  }
  std::free(r->privData);
  r->privData = nullptr;
}

uint32_t PositionKey(const HdDevInfo& r) {
  if (r.layer == 3) return (3u << 24) + (r.host << 8);
  return (static_cast<uint32_t>(r.layer) << 24) + (static_cast<uint32_t>(r.port) << 8) + r.slot;
}

std::string Banner() {
  return std::string("+-----------------------------------------------------+\n libhd version: ") +
         std::to_string(kHdVersion) + ", compile time:" + __DATE__ + " " + __TIME__ +
         "\n+-----------------------------------------------------+\n";
}

}  // namespace hd

using namespace hd;

int ide_init() {
  Library& L = Lib();
  HD_INFO("%s", Banner().c_str());
  long long start = now_ms();
  const PlatformCfg& cfg = *GetPlatformCfg();
  {
    osa::LockGuard g(L.modeLock);
    if (L.workMode != 0) {
      HD_INFO("Not Active Mode.\n");
      for (auto& r : L.list) L.freeList.push_back(std::move(r));
      L.list.clear();
      return 0;
    }
  }
  if (Hd_RegHotplugCallbackFun(own_callback) != 0) {
    HD_ERROR("HotPlugDetec failed.\n");
    return -1;
  }
  if (!L.exitRegistered) {
    L.exitRegistered = true;
    if (SystemRegExitFunc(hd_exit) != 0) HD_ERROR("Register Exit Function Failed.\n");
  }
  std::vector<MdArray> arrays;
  if (cfg.iRaidType == 1) arrays = GetMdArrays();
  std::string spares;
  if (cfg.iHotspareType == 1) {
    osa::CaptureResult c = osa::Capture("/usr/local/bin/hotspare --list");
    spares = " " + c.output + " ";  // read all of it; names are matched whole
    for (char& ch : spares)
      if (ch == '\n' || ch == '\t') ch = ' ';
  }
  std::vector<ScsiEntry> scsi;
  for (int retry = 1; !GetScsiDeviceList(cfg, &scsi); ++retry) {
    if (retry >= 7) {
      HD_ERROR("Hd_GetScsiDeviceList failed.\n");
      return -1;
    }
    HD_WARN("Disk init not ready. retry:%d\n", retry);
    usleep(200 * 1000);
  }
  if (cfg.iMmcFilter) HD_INFO("flitered Hd_GetMmcDeviceList \n");
  for (auto& r : L.list) L.freeList.push_back(std::move(r));
  L.list.clear();
  std::string dom = DomDisk();
  if (!dom.empty()) HD_INFO("Domdisk is %s.\n", dom.c_str());
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  uint32_t now = static_cast<uint32_t>(tv.tv_sec);
  for (const ScsiEntry& e : scsi) {
    if (NeedFiltered(cfg, e, dom)) continue;
    int role = spares.find(" " + e.name + " ") != std::string::npos ? -2 : -1;
    std::string parent;
    for (auto& a : arrays)
      for (auto& m : a.members)
        if (m == e.name) {
          role = -3;
          parent = a.name;
        }
    make_record(cfg, e, role, parent, now);
  }
  for (auto& a : arrays) make_array(a, arrays, now);
  sort_list();
  number_and_log(start);
  return 0;
}

int ide_get_no(const char* name) {
  if (!name) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  for (auto& r : Lib().list)
    if (std::strcmp(r->name, name) == 0) return r->logic >= 0 ? r->logic : -1;
  return -1;
}

std::vector<HdDevInfo> Hd_GetDevList() {
  std::vector<HdDevInfo> v;
  for (auto& r : Lib().list) v.push_back(*r);
  return v;
}

int Hd_CloseDevice(const char* name) {
  if (!name) {
    HD_ERROR("Invalid para.\n");
    return -1;
  }
  for (auto& r : Lib().list)
    if (std::strcmp(r->name, name) == 0) {
      HD_INFO("Close raid %s, fd:%d.\n", r->name, r->fdSync);
      for (int* fd : {&r->fdSync, &r->fdBuffered, &r->fdDirect}) {
        if (*fd >= 0) osa::sys::close(*fd);
        *fd = -1;
      }
      return 0;
    }
  return -1;
}

int Hd_SetEvent(int bits) {
  osa::LockGuard g(Lib().eventLock);
  Lib().pendingEvents |= bits;
  return 0;
}

int Hd_SlaveReset(int index) {
  char marker[] = "/tmp/slavereset.XXXXXX";
  int fd = mkstemp(marker);
  if (fd < 0) {
    HD_ERROR("mkstemp failed.\n");
    return -1;
  }
  osa::UniqueFd own(fd);
  char cmd[96];
  snprintf(cmd, sizeof cmd, "/usr/local/bin/zqstcmsbox casemanage --reset -i %d ", index);
  int rc = run_cmd(cmd);
  unlink(marker);
  if (rc != 0) {
    HD_ERROR("run_cmd:%s \t fail %d\n", cmd, rc);
    return -1;
  }
  HD_INFO("slave Reset scssuss\n");
  return 0;
}
