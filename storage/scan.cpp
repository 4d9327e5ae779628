// The SCSI scan: which disks the kernel sees, on which bus, at which port.

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <limits.h>

#include <cstring>

#include "osa/file.h"
#include "osa/sys.h"
#include "storage/raid_internal.h"

namespace hd {

bool ReadSmall(const std::string& path, std::string* out) {
  osa::ReadResult r = osa::ReadFile(path.c_str(), 4096);
  if (!r.ok()) return false;
  *out = std::move(r.data);
  return true;
}

namespace {

std::string read_link(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = osa::sys::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

uint64_t block_sectors(const std::string& name) {
  osa::UniqueFd fd(osa::sys::open(("/dev/" + name).c_str(), O_RDONLY | O_NONBLOCK));
  if (!fd) return 0;
  uint64_t bytes = 0;
  if (osa::sys::ioctl(fd.get(), BLKGETSIZE64, &bytes) == 0) return bytes >> 9;
  unsigned long sectors = 0;
  if (osa::sys::ioctl(fd.get(), BLKGETSIZE, &sectors) == 0) return sectors;
  return 0;
}

int bus_code(const PlatformCfg& cfg, const ScsiEntry& e) {
  std::string proc;
  if (ReadSmall("/sys/class/scsi_host/host" + std::to_string(e.addr.host) + "/proc_name", &proc)) {
    if (proc.starts_with("usb-storage")) {
      if (cfg.iUsbBridgeSwitch && !e.name.empty()) {
        std::string link = read_link("/sys/block/" + e.name);
        for (auto& pat : cfg.szUsbBridge)
          if (pat[0] && link.find(pat) != std::string::npos) return HD_BUS_SATA;
      }
      return HD_BUS_USB;
    }
    if (proc.starts_with("iscsi_tcp")) return HD_BUS_ISCSI;
  }
  if (e.name.empty()) return HD_BUS_SATA;
  std::string vendor, model;
  bool has_vendor = ReadSmall("/sys/block/" + e.name + "/device/vendor", &vendor);
  if (!has_vendor || vendor.starts_with("ATA") || e.name[1] == 'r') return HD_BUS_SATA;
  if (!ReadSmall("/sys/block/" + e.name + "/device/model", &model) || model.starts_with("Raid VD")) return HD_BUS_RAIDVD;
  return HD_BUS_SAS;
}

}  // namespace

int UsbUseType(const PlatformCfg& cfg, const std::string& link) {
  int bus, port, sub;
  if (!ParseUsbPosition(link, &bus, &port, &sub)) return cfg.iUsbDefaultUse;
  for (int i = 0; i < cfg.iUsbUseRows && i < 32; ++i) {
    const HdUsbUseRow& r = cfg.stUsbUse[i];
    if (r.bus == bus && r.port == port && r.subport == sub) return r.useType;
  }
  return cfg.iUsbDefaultUse;
}

bool GetScsiDeviceList(const PlatformCfg& cfg, std::vector<ScsiEntry>* out) {
  const std::string root = "/sys/bus/scsi/devices/";
  DIR* d = osa::sys::opendir(root.c_str());
  if (!d) return false;
  osa::sys::closedir(d);
  out->clear();
  for (const std::string& dir : osa::ListDir(root)) {
    if (dir[0] < '0' || dir[0] > '9') continue;
    ScsiEntry e;
    if (!ParseScsiAddr(dir, &e.addr)) {
      HD_WARN("bad scsi device name %.32s\n", dir.c_str());
      continue;
    }
    std::string text;
    uint64_t v;
    if (ReadSmall(root + dir + "/type", &text) && ParseSysU64(text, &v) && v < 32) e.periph = static_cast<int>(v);
    for (const std::string& b : osa::ListDir(root + dir + "/block"))
      if (ValidBlockName(b)) {
        e.name = b;
        break;
      }
    if (!e.name.empty()) e.sectors = block_sectors(e.name);
    e.bus = bus_code(cfg, e);
    if (e.bus == HD_BUS_USB) {
      e.useType = UsbUseType(cfg, read_link(root + dir));
      if (e.useType & 16) e.bus = HD_BUS_ESATA;
    }
    out->push_back(std::move(e));
  }
  return true;
}

bool GetDevicePort(const PlatformCfg& cfg, const ScsiEntry& e, Position* pos) {
  ScsiAddr a = e.addr;
  std::string link = read_link("/sys/block/" + e.name);
  if (!link.empty()) FindScsiAddr(link, &a);
  *pos = {};
  int phy = a.target;
  auto table = [&](int idx, const char* fmt_kind) {
    if (idx < 0 || idx >= static_cast<int>(sizeof cfg.portTable)) {
      if (fmt_kind[0] == 'h') HD_ERROR("get %s(hostid %d) port failed.\n", e.name.c_str(), a.host);
      else HD_ERROR("get %s(chnid %d) port failed.\n", e.name.c_str(), a.channel);
      return -1;
    }
    return static_cast<int>(cfg.portTable[idx]);
  };
  int port = -1;
  switch (cfg.iPortType) {
    case 1:
      if (a.host >= cfg.iHostCount || phy >= cfg.iPhyPerHost) {
        HD_ERROR("get %s(hostid %d phyid%d) port failed.\n", e.name.c_str(), a.host, phy);
        return false;
      }
      port = table(a.host * 8 + phy, "h");
      break;
    case 2:
    case 5: {
      int col = cfg.iPortType == 2 ? a.channel : phy;
      if (a.host >= 4 || col >= 32) {
        HD_ERROR("get %s(iChnId %d,iHostId %d) port failed.\n", e.name.c_str(), col, a.host);
        return false;
      }
      port = cfg.hostPortTable[a.host][col];
      break;
    }
    case 3:
    case 9:
      if (cfg.iPortType == 3 && a.host >= cfg.iPortNum) {
        HD_ERROR("get %s(hostid %d) port failed.\n", e.name.c_str(), a.host);
        return false;
      }
      port = a.host;
      break;
    case 4: port = a.channel; break;
    case 6:
      if (!cfg.pfnPort) return false;
      port = cfg.pfnPort(a.host, a.channel, a.target, a.lun);
      break;
    case 11: port = table(a.host, "h"); break;
    case 12: port = a.host > 0 ? table(a.host - 1, "h") : table(-1, "h"); break;
    case 13: port = table(a.channel + a.host - 1, "c"); break;
    case 14: port = table(a.channel, "c"); break;
    case 15:
      if (a.host > 0) port = a.host < 32 ? cfg.hostPortTable[1][a.host] : -1;
      else port = phy < 32 ? cfg.hostPortTable[0][phy] : -1;
      break;
    case 16: port = table(a.channel * 24 + a.host * 8 + phy, "c"); break;
    default: HD_ERROR("port type %d not support.\n", cfg.iPortType); return false;
  }
  if (port < 0) return false;
  pos->port = port;
  pos->slot = 0;
  return true;
}

std::string DomDisk() {
  std::string mounts;
  if (!ReadSmall("/proc/mounts", &mounts)) return {};
  size_t at = 0;
  while (at < mounts.size()) {
    size_t end = mounts.find('\n', at);
    if (end == std::string::npos) end = mounts.size();
    std::string line = mounts.substr(at, end - at);
    at = end + 1;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || line.compare(sp, 3, " / ") != 0) continue;
    std::string src = line.substr(0, sp);
    std::string n = src.size() > 5 ? src.substr(5) : "";
    if (src.starts_with("/dev/sd")) {
      while (!n.empty() && n.back() >= '0' && n.back() <= '9') n.pop_back();
    } else if (src.starts_with("/dev/mmcblk") || src.starts_with("/dev/nvme")) {
      size_t p = n.rfind('p');  // mmcblk0p2 -> mmcblk0
      if (p != std::string::npos && p > 4) n.resize(p);
    } else {
      continue;
    }
    if (ValidBlockName(n)) return n;
  }
  return {};
}

bool NeedFiltered(const PlatformCfg& cfg, const ScsiEntry& e, const std::string& domdisk) {
  if (e.bus != HD_BUS_USB && e.periph >= 2 && e.periph != 10 && e.bus != HD_BUS_RAIDVD) return true;
  if (e.bus == HD_BUS_USB) {
    if (!(e.useType & (2 | 4))) return true;
    if (e.periph != 0 && !(e.useType & 4)) return true;
  }
  if (!domdisk.empty() && e.name == domdisk) return true;
  if (e.bus == HD_BUS_ESATA && !(cfg.iFeature & 2)) return true;
  return e.name.empty();
}

std::vector<MdArray> GetMdArrays() {
  std::vector<MdArray> v;
  for (const std::string& n : osa::ListDir("/sys/block")) {
    if (!n.starts_with("md") || !ValidBlockName(n)) continue;
    MdArray a;
    a.name = n;
    std::string text;
    RaidInfo info;
    a.active = Raid_GetRaidInfo(n.c_str(), &info) == 0 && !(info.state & RAID_INACTIVE);
    uint64_t s;
    if (ReadSmall("/sys/block/" + n + "/size", &text) && ParseSysU64(text, &s)) a.sectors = s;
    if (Raid_GetUUid(n.c_str(), a.uuid) != 0) std::memset(a.uuid, 0, sizeof a.uuid);
    a.members = MdMemberNames(n);
    for (auto& sub : MdNestedNames(n)) a.members.push_back(sub);
    v.push_back(std::move(a));
  }
  return v;
}

std::vector<PlainDev> GetMmcDevices() {
  std::vector<PlainDev> out;
  for (const std::string& n : osa::ListDir("/sys/block")) {
    if (!n.starts_with("mmcblk") || !ValidBlockName(n)) continue;  // no boot areas, no partitions
    std::string text;
    uint64_t sectors = 0;
    if (!ReadSmall("/sys/block/" + n + "/size", &text) || !ParseSysU64(text, &sectors)) {
      HD_ERROR("cann't open %s\n", ("/sys/block/" + n + "/size").c_str());
      continue;
    }
    out.push_back({n, sectors, "/dev/" + n});
  }
  return out;
}

std::vector<PlainDev> GetNvmeDevices() {
  std::vector<PlainDev> out;
  for (const std::string& n : osa::ListDir("/sys/class/block")) {
    // Namespaces only ("nvme0n1"), not controllers or partitions.
    size_t p = n.find('n', 4);
    if (!n.starts_with("nvme") || !ValidBlockName(n) || p == std::string::npos || n.find('p', 4) != std::string::npos)
      continue;
    std::string size_path = "/sys/class/block/" + n + "/size", wwid_path = "/sys/class/block/" + n + "/wwid";
    std::string size, wwid, id;
    uint64_t sectors = 0;
    if (!ReadSmall(size_path, &size) || !ParseSysU64(size, &sectors)) {
      HD_ERROR("cann't open %s\n", size_path.c_str());
      continue;
    }
    if (!ReadSmall(wwid_path, &wwid) || !ParseNvmeWwid(wwid, &id)) {
      HD_ERROR("cann't open %s\n", wwid_path.c_str());
      continue;
    }
    out.push_back({n, sectors, id});
  }
  return out;
}

std::string IscsiTargetName(int host) {
  std::string dev = "/sys/class/iscsi_host/host" + std::to_string(host) + "/device";
  for (const std::string& d : osa::ListDir(dev)) {
    if (!d.starts_with("session") || d.size() == 7 ||
        d.find_first_not_of("0123456789", 7) != std::string::npos)
      continue;
    std::string name;
    if (!ReadSmall("/sys/class/iscsi_session/" + d + "/targetname", &name)) continue;
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    for (char& c : name)
      if (c <= ' ' || c >= 0x7f) c = '?';
    // The identity keeps the last 50 characters of a long name.
    return name.size() > 50 ? name.substr(name.size() - 50) : name;
  }
  return {};
}

}  // namespace hd
