// Opening, identifying and preparing the drive, and the block interface
// the disc writer uses.
#define CDRW_MODULE "cdrw"

#include "optical/drive.h"

#include <fcntl.h>
#include <linux/cdrom.h>

#include <cstring>

#include "optical/cdrw_log.h"
#include "optical/udf_desc.h"
#include "osa/sys.h"
#include "storage/scsi_lookup.h"

namespace {

int Send(cddev_t* dev, mmc::Command c, uint8_t* data = nullptr, uint32_t len = 0) {
  c.data = data;
  c.len = len;
  int ret = __scsi_send(&dev->drv, &c);
  return ret;
}

// A reply read into `buf`; its transferred length, or a negative result.
int Query(cddev_t* dev, mmc::Command c, std::vector<uint8_t>* buf) {
  c.data = buf->data();
  c.len = static_cast<uint32_t>(buf->size());
  int ret = __scsi_send(&dev->drv, &c);
  return ret < 0 ? ret : static_cast<int>(c.transferred);
}

}  // namespace

int cdrw_sr_name(const std::string& sg, std::string* sr) {
  CDRW_CHECK(sr != nullptr);
  return hd::OpticalSrFromSg(sg, sr);
}

int cdrw_lu_ready(cddev_t* dev, int tries) {
  CDRW_CHECK(dev != nullptr);
  int ret = -EIO;
  for (int i = 0; i < tries; ++i) {
    ret = Send(dev, mmc::TestUnitReady());
    if (ret == 0 || ret == -ENOEXEC) return ret;
  }
  return ret;
}

int get_driver_info(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  int ret = cdrw_lu_ready(dev, 3);
  if (ret != 0 && ret != -ENOEXEC) CDRW_ERR("logic unit is not ready!");
  std::vector<uint8_t> buf(36);
  int n = Query(dev, mmc::Inquiry(36), &buf);
  std::string err;
  if (n < 0 || mmc::ParseInquiry(buf.data(), static_cast<size_t>(n), &dev->inq, &err) != 0) {
    CDRW_ERR("INQUIRY failed: %s", n < 0 ? "no reply" : err.c_str());
    return n < 0 ? n : -EIO;
  }
  std::vector<uint8_t> caps(72);
  n = Query(dev, mmc::ModeSense10(0x2A, 72), &caps);
  // Header of 8 bytes, then the capabilities page: buffer size at 12.
  dev->buffer_kb = n >= 8 + 14 ? static_cast<uint32_t>(caps[8 + 12] << 8 | caps[8 + 13]) : 0;
  CDRW_INFO("Vendor         : %.8s", dev->inq.vendor.c_str());
  CDRW_INFO("Identification : %.16s", dev->inq.product.c_str());
  CDRW_INFO("Revision       : %.4s", dev->inq.revision.c_str());
  CDRW_INFO("Buffer Cap     : %u KB", dev->buffer_kb);
  dev->model = mmc::ModelCode(dev->inq);
  return 0;
}

int load_media(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (Send(dev, mmc::LoadUnload(true)) != 0) CDRW_WARN("scsi_load failed!");
  if (int ret = cdrw_lu_ready(dev, 3); ret != 0) {
    CDRW_ERR("wait_unit_ready failed, ret %d!", ret);
    return ret;
  }
  if (int ret = Send(dev, mmc::PreventAllow(true)); ret != 0) {
    CDRW_ERR("scsi_prevent_removal failed!");
    return ret;
  }
  dev->door_locked = true;
  return 0;
}

int get_disc_info(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(42);
  std::string err;
  int n = Query(dev, mmc::ReadDiscInfo(42), &buf);
  if (n < 0 || mmc::ParseDiscInfo(buf.data(), static_cast<size_t>(n), &dev->disc, &err) != 0) {
    CDRW_ERR("read disc info failed: %s", n < 0 ? "no reply" : err.c_str());
    return n < 0 ? n : -EIO;
  }
  std::vector<uint8_t> cfg(8);
  n = Query(dev, mmc::GetConfiguration(1, 0, 8), &cfg);
  if (n < 0 || mmc::ParseCurrentProfile(cfg.data(), static_cast<size_t>(n), &dev->profile, &err) != 0) {
    CDRW_ERR("get profile failed: %s", n < 0 ? "no reply" : err.c_str());
    return n < 0 ? n : -EIO;
  }
  uint32_t unit = cdrw_write_unit(dev->profile);
  dev->unit_type = unit == 16 ? 1 : unit == 32 ? 2 : 0;
  CDRW_INFO(unit == 16 ? "16 sectors write type!" : unit == 32 ? "32 sectors write type" : "single sector write");
  CDRW_INFO("Disc type      : %s", mmc::ProfileName(dev->profile));
  // DVD and BD media describe themselves further; a drive that cannot tell
  // still writes, so these only inform.
  if (dev->profile >= 0x10 && dev->profile <= 0x2B) {
    read_dvd_00(dev);
    if (dev->profile == kProfileDvdMinusR || dev->profile == kProfileDvdMinusRwSeq ||
        dev->profile == kProfileDvdMinusRwOverwrite)
      read_dvd_0E(dev);
    else
      read_dvd_11(dev);
  } else if (dev->profile >= 0x40 && dev->profile <= 0x43) {
    read_bd_00(dev);
  }
  if (!cdrw_profile_sequential(dev->profile) && !cdrw_profile_rewritable(dev->profile) && dev->profile != kProfileCdRw)
    CDRW_WARN("NOT supported disc, profile 0x%04x", static_cast<unsigned>(dev->profile));
  CDRW_INFO("Disc Erasable  : %s", dev->disc.erasable ? "Yes" : "NO");
  return 0;
}

int get_wspeed_list(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(8 + 16 * 32);
  std::string err;
  int n = Query(dev, mmc::GetPerformance(3, 32), &buf);
  if (n < 0 || mmc::ParseWriteSpeeds(buf.data(), static_cast<size_t>(n), &dev->speeds, &err) != 0) {
    CDRW_WARN("no write speed list: %s", n < 0 ? "no reply" : err.c_str());
    dev->speeds.clear();
    dev->drv.write_speed = 0;
    return n < 0 ? n : -EIO;
  }
  dev->drv.write_speed = dev->speeds.front();
  CDRW_INFO("default write speed: %d", static_cast<int>(dev->drv.write_speed));
  std::string line;
  for (uint32_t s : dev->speeds) line += std::to_string(s / 1385) + "X ";
  CDRW_INFO("write speed list: %s", line.c_str());
  for (uint32_t s : dev->speeds) CDRW_INFO("wspeed: %d", static_cast<int>(s));
  return 0;
}

int cdrw_get_sn(cddev_t* dev, std::string* sn) {
  CDRW_CHECK(dev != nullptr && sn != nullptr);
  std::vector<uint8_t> buf(8 + 4 + 252);
  int n = Query(dev, mmc::GetConfiguration(2, 0x108, static_cast<uint16_t>(buf.size())), &buf);
  // Header, feature header of 4 bytes, then the serial of the stated length.
  if (n < 12 || buf[8] != 0x01 || buf[9] != 0x08) return n < 0 ? n : -EIO;
  size_t len = std::min<size_t>(buf[11], static_cast<size_t>(n) - 12);
  sn->assign(reinterpret_cast<const char*>(buf.data() + 12), len);
  while (!sn->empty() && (sn->back() == ' ' || sn->back() == '\0')) sn->pop_back();
  CDRW_INFO("sn : %s\n", sn->c_str());
  return 0;
}

int get_2k_capacity(cddev_t* dev, uint32_t* blocks) {
  CDRW_CHECK(dev != nullptr && blocks != nullptr);
  std::vector<uint8_t> buf(8);
  int n = Query(dev, mmc::ReadCapacity(), &buf);
  if (n < 8) return n < 0 ? n : -EIO;
  *blocks = (uint32_t(buf[0]) << 24 | uint32_t(buf[1]) << 16 | uint32_t(buf[2]) << 8 | buf[3]) + 1;
  return 0;
}

int cdrw_flush_cache(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  CDRW_INFO("cdrw_flush_cache......");
  if (int ret = Send(dev, mmc::SyncCache()); ret != 0) return ret;
  if (int ret = cdrw_lu_ready(dev, 600); ret != 0) return ret;
  CDRW_INFO("cdrw_flush_cache done!!!");
  return 0;
}

int cdrw_is_blank(cddev_t* dev) { return dev && dev->disc.status == 0 ? 1 : 0; }
int cdrw_is_erasable(cddev_t* dev) { return dev && dev->disc.erasable ? 1 : 0; }

int cdrw_init(cddev_t* dev, const char* sg) {
  CDRW_CHECK(dev != nullptr && sg != nullptr);
  if (dev->drv.refcount > 0) {
    ++dev->drv.refcount;
    CDRW_INFO("[%s]: refcount -> %d", sg, dev->drv.refcount);
    return 0;
  }
  CDRW_INFO("CDRW Version: %d - %s, %s\n", 0, __DATE__, __TIME__);
  dev->sg = sg;
  dev->drv.dev = sg;
  if (!dev->drv.transport) {
    dev->drv.fd = osa::UniqueFd(osa::sys::open(sg, O_RDWR | O_NONBLOCK));
    if (!dev->drv.fd.valid()) {
      CDRW_ERR("scsi_open failed!");
      return -errno;
    }
  }
  dev->drv.refcount = 1;
  int ret = 0;
  const char* what = nullptr;
  if ((ret = get_driver_info(dev)) != 0) what = "get_driver_info failed!";
  else if ((ret = load_media(dev)) != 0) what = "load_media failed!";
  else if ((ret = get_disc_info(dev)) != 0) what = "get_disc_info failed!";
  if (what) {
    CDRW_ERR("%s", what);
    CDRW_ERR("init fail,execute close operation before func exit !");
    dev->drv.refcount = 1;
    cdrw_close(dev);
    return ret;
  }
  get_wspeed_list(dev);  // a drive without a speed list still writes
  return 0;
}

int cdrw_load(cddev_t* dev, const char* sg) {
  CDRW_CHECK(dev != nullptr && sg != nullptr);
  if (dev->drv.refcount > 0) {
    CDRW_INFO("Recorder is already loaded!");
    return 0;
  }
  mmc::Drive drv;
  drv.dev = sg;
  drv.transport = dev->drv.transport;
  drv.sleep = dev->drv.sleep;
  if (!drv.transport) {
    drv.fd = osa::UniqueFd(osa::sys::open(sg, O_RDWR | O_NONBLOCK));
    if (!drv.fd.valid()) {
      CDRW_ERR("scsi_open failed!");
      return -errno;
    }
  }
  mmc::Command c = mmc::LoadUnload(true);
  int ret = __scsi_send(&drv, &c);
  if (ret != 0) CDRW_WARN("scsi_load failed!");
  return ret;
}

int cdrw_close(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (dev->drv.refcount <= 0) return 0;
  CDRW_INFO("[%s]: refcount -> %d", dev->sg.c_str(), dev->drv.refcount - 1);
  if (--dev->drv.refcount > 0) return 0;
  cdrw_iostat_stop(dev);
  Send(dev, mmc::PreventAllow(false));
  dev->door_locked = false;
  CDRW_INFO("release......");
  dev->drv.fd = osa::UniqueFd();
  return 0;
}

// ------------------------------------------------------ block interface

int cddev_t::WriteBlocks(uint32_t lba, const uint8_t* data, uint32_t count) {
  constexpr uint32_t kMaxPerWrite = 32;
  for (uint32_t done = 0; done < count;) {
    uint32_t n = std::min(kMaxPerWrite, count - done);
    mmc::Command c = mmc::Write10(lba + done, static_cast<uint16_t>(n));
    c.data = const_cast<uint8_t*>(data + size_t{done} * udf::kBlock);
    c.len = n * udf::kBlock;
    if (int ret = __scsi_send(&drv, &c); ret != 0) return ret;
    done += n;
    written_blocks += n;
  }
  return 0;
}

int cddev_t::SrNode(std::string* out) {
  // The drive keeps its block device while the handle lives: look it up once.
  if (sr_path.empty() && cdrw_sr_name(sg, &sr_path) != 0) {
    sr_path.clear();
    CDRW_ERR("cannot get %s sr name.", sg.c_str());
    return -ENODEV;
  }
  *out = sr_path;
  return 0;
}

int cddev_t::ReadBlocks(uint32_t lba, uint8_t* data, uint32_t count) {
  std::string sr;
  if (int ret = SrNode(&sr); ret != 0) return ret;
  osa::UniqueFd fd(osa::sys::open(sr.c_str(), O_RDONLY));
  if (!fd.valid()) return -errno;
  size_t len = size_t{count} * udf::kBlock;
  ssize_t n = osa::sys::pread(fd.get(), data, len, off_t(lba) * udf::kBlock);
  if (n != static_cast<ssize_t>(len)) {
    CDRW_ERR("read failed, %s. fd: %d, offs: 0x%llx, sectors %u.", std::strerror(errno), fd.get(),
             static_cast<unsigned long long>(off_t(lba) * udf::kBlock), count);
    return -EIO;
  }
  return 0;
}

int cddev_t::LastUsedBlock(uint32_t* lba) {
  if (disc.status == 0) return *lba = 0, 0;
  // A rewritable disc keeps no track of what is used: the last recording's
  // end anchor tells.  A disc we cannot read is never written over blindly.
  UdfScan scan;
  if (cdrw_scan_disc_udf(this, &scan) != 0) return -EIO;
  *lba = scan.end_anchor ? scan.end_anchor : scan.last_block;
  return 0;
}

int cddev_t::ReserveHeader(uint32_t blocks, uint32_t* header_start, uint32_t* udf_track, uint32_t* data_track,
                           uint32_t* session) {
  if (int ret = Send(this, mmc::ReserveTrack(blocks)); ret != 0) return ret;
  if (int ret = get_disc_info(this); ret != 0) return ret;
  for (uint32_t t = disc.first_track_last_session; t <= disc.last_track_last_session; ++t) {
    std::vector<uint8_t> buf(40);
    mmc::TrackInfo ti;
    std::string err;
    int n = Query(this, mmc::ReadTrackInfo(t, 40), &buf);
    if (n < 0 || mmc::ParseTrackInfo(buf.data(), static_cast<size_t>(n), &ti, &err) != 0) return -EIO;
    if (ti.reserved) {
      *header_start = ti.start;
      *udf_track = t;
      *data_track = t + 1;
      *session = disc.sessions;
      return 0;
    }
  }
  CDRW_ERR("reserved header track not found.");
  return -EIO;
}

int cddev_t::Flush() { return cdrw_flush_cache(this); }
int cddev_t::CloseTrack(uint32_t t) { return cdrw_close_track(this, t); }
int cddev_t::CloseSession() { return cdrw_close_session(this); }
int cddev_t::CloseDisc() { return cdrw_close_disc(this); }
int cddev_t::Erase() { return cdrw_erase(this); }
int cddev_t::Prewrite() { return cdrw_prewrite(this); }

int cddev_t::TrackNwa(uint32_t t, uint32_t* nwa) {
  std::vector<uint8_t> buf(48);
  mmc::TrackInfo ti;
  std::string err;
  int n = Query(this, mmc::ReadTrackInfo(t, 48), &buf);
  if (n < 0 || mmc::ParseTrackInfo(buf.data(), static_cast<size_t>(n), &ti, &err) != 0) return -EIO;
  if (!ti.nwa_valid) return -ENOSPC;  // closed: it takes nothing more
  *nwa = ti.nwa;
  return 0;
}

cddev_t::cddev_t() = default;
cddev_t::~cddev_t() { iostat.reset(); }

int cddev_t::LastSession(uint32_t* start, uint32_t* last_block) {
  std::string sr;
  if (int ret = SrNode(&sr); ret != 0) return ret;
  osa::UniqueFd fd(osa::sys::open(sr.c_str(), O_RDONLY | O_NONBLOCK));
  if (!fd.valid()) {
    CDRW_ERR("open %s failed, %s.", sr.c_str(), std::strerror(errno));
    return -errno;
  }
  struct cdrom_multisession ms{};
  ms.addr_format = CDROM_LBA;
  long last = 0;
  if (osa::sys::ioctl(fd.get(), CDROMMULTISESSION, &ms) != 0 || osa::sys::ioctl(fd.get(), CDROM_LAST_WRITTEN, &last) != 0) {
    CDRW_ERR("%s: session query failed, %s.", sr.c_str(), std::strerror(errno));
    return -EIO;
  }
  if (ms.addr.lba < 0 || last < 0 || last > 0x7FFFFFFF) return -EIO;
  *start = static_cast<uint32_t>(ms.addr.lba);
  *last_block = static_cast<uint32_t>(last);
  return 0;
}
