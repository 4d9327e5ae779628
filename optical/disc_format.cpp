// Erasing and formatting, the tray, the end of use, sector reads through
// the sr node and the statistics thread.
#define CDRW_MODULE "cdrw"

#include <fcntl.h>
#include <linux/cdrom.h>

#include <pthread.h>

#include <chrono>
#include <cstring>

#include "optical/cdrw_log.h"
#include "optical/drive.h"
#include "optical/udf_desc.h"
#include "osa/sys.h"

namespace {

int Send(cddev_t* dev, mmc::Command c, uint8_t* data = nullptr, uint32_t len = 0) {
  c.data = data;
  c.len = len;
  return __scsi_send(&dev->drv, &c);
}

int FormatCapacities(cddev_t* dev, uint8_t* state, std::vector<mmc::FormatDesc>* descs) {
  std::vector<uint8_t> buf(260);
  mmc::Command c = mmc::ReadFormatCapacities(static_cast<uint16_t>(buf.size()));
  c.data = buf.data();
  c.len = static_cast<uint32_t>(buf.size());
  if (int ret = __scsi_send(&dev->drv, &c); ret != 0) return ret;
  std::string err;
  if (mmc::ParseFormatCapacities(buf.data(), c.transferred, state, descs, &err) != 0) {
    CDRW_ERR("%s", err.c_str());
    return -EIO;
  }
  return 0;
}

// FORMAT UNIT with one descriptor, in the background.
int Format(cddev_t* dev, uint32_t blocks, uint8_t type, uint32_t param) {
  uint8_t list[12] = {0, 0x02, 0, 8};  // Immed: the drive formats in the background
  list[4] = uint8_t(blocks >> 24), list[5] = uint8_t(blocks >> 16), list[6] = uint8_t(blocks >> 8);
  list[7] = uint8_t(blocks);
  list[8] = uint8_t(type << 2);
  list[9] = uint8_t(param >> 16), list[10] = uint8_t(param >> 8), list[11] = uint8_t(param);
  CDRW_INFO("### format param: %d-%x-%d-%d-%d", static_cast<int>(blocks), type, static_cast<int>(param), 1, 1);
  if (int ret = Send(dev, mmc::FormatUnit(sizeof list), list, sizeof list); ret != 0) {
    CDRW_ERR("scsi_format failed!");
    return ret;
  }
  return 0;
}

// The unit after a background format: "format in progress" is no failure
// here, only the end of the wait.
int WaitFormat(cddev_t* dev) {
  for (int i = 0; i < 4800; ++i) {
    int ret = cdrw_lu_ready(dev, 1);
    if (ret == 0 || ret == -ENOEXEC || ret == -EBADF) return ret;
    if (dev->drv.sleep) dev->drv.sleep(1000);
    else std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return -EIO;
}

// A full format whatever the disc's state: type 30h on BD-RE, 26h on DVD+RW.
int Reformat(cddev_t* dev) {
  uint8_t state = 0;
  std::vector<mmc::FormatDesc> descs;
  if (int ret = FormatCapacities(dev, &state, &descs); ret != 0) return ret;
  const uint8_t want = dev->profile == kProfileBdRe ? 0x30 : 0x26;
  for (const mmc::FormatDesc& d : descs)
    if (d.type == want) {
      if (int ret = Format(dev, d.blocks, d.type, d.param); ret != 0) return ret;
      int ret = WaitFormat(dev);
      return ret == 0 ? get_disc_info(dev) : ret;
    }
  CDRW_ERR("can't locate appropriate format descriptor");
  return -EIO;
}

}  // namespace

int format_bdre(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  uint8_t state = 0;
  std::vector<mmc::FormatDesc> descs;
  if (int ret = FormatCapacities(dev, &state, &descs); ret != 0) return ret;
  if (state == 2) {
    CDRW_INFO("bd-re has formated already.!");
    return 0;
  }
  int found = -1;
  for (size_t i = 0; i < descs.size(); ++i)
    if (descs[i].type == 0x30) {
      found = static_cast<int>(i);
      CDRW_INFO("####### find BD-RE format 0x30, i: [%d]", found);
      break;
    }
  if (found < 0) {
    CDRW_ERR("can't locate appropriate format descriptor");
    return -EIO;
  }
  const mmc::FormatDesc& d = descs[static_cast<size_t>(found)];
  if (d.blocks == 0) {
    CDRW_ERR("BD-RE Full format with spares, capacity not found.");
    return -EIO;
  }
  CDRW_INFO("BD-RE format: type[%x] sub-type[%x]", d.type, 0);
  CDRW_INFO("Media capacity: %d MBytes", static_cast<int>(d.blocks / 512));
  if (int ret = Format(dev, d.blocks, d.type, d.param); ret != 0) return ret;
  return WaitFormat(dev);
}

int cdrw_quickformat(cddev_t* dev, uint32_t sectors) {
  CDRW_CHECK(dev != nullptr);
  if (get_disc_info(dev) != 0) {
    CDRW_ERR("read disc info failed.");
    return -EIO;
  }
  if (dev->profile == kProfileBdRe) return format_bdre(dev);
  uint8_t state = 0;
  std::vector<mmc::FormatDesc> descs;
  if (int ret = FormatCapacities(dev, &state, &descs); ret != 0) return ret;
  if (dev->profile == kProfileDvdPlusRw && state == 2) return 0;  // formatted: the drive grows it as written
  if (dev->profile == kProfileDvdMinusRwOverwrite && state == 2) {
    for (const mmc::FormatDesc& d : descs)
      if (d.type == 0x13) {
        CDRW_INFO("Quick Grow Session for DVD-RW OW");
        if (int ret = Format(dev, d.blocks, d.type, d.param); ret != 0) return ret;
        return WaitFormat(dev);
      }
    return 0;
  }
  for (size_t i = 0; i < descs.size(); ++i) {
    if (descs[i].type != 0x26) continue;
    CDRW_INFO("####### find basic format 0x26, i: [%d]", static_cast<int>(i));
    uint32_t blocks = sectors && sectors < descs[i].blocks ? sectors : descs[i].blocks;
    if (int ret = Format(dev, blocks, 0x26, descs[i].param); ret != 0) return ret;
    CDRW_INFO("@@@@@@@@@@@ scsi_format pass, formatting disc in background!");
    int ret = WaitFormat(dev);
    if (ret == 0) ret = get_disc_info(dev);
    return ret;
  }
  CDRW_ERR("can't locate appropriate format descriptor");
  return -EIO;
}

int cdrw_erase(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  CDRW_INFO("Erasing ...");
  int ret;
  switch (dev->profile) {
    case kProfileBdRe:
    case kProfileDvdPlusRw:
      // Formatting again is what empties these; format_bdre alone would
      // leave a formatted disc as it is and report success.
      ret = Reformat(dev);
      break;
    case kProfileCdRw:
    case kProfileDvdMinusRwSeq:
    case kProfileDvdMinusRwOverwrite:
      ret = Send(dev, mmc::Blank());
      if (ret == 0) ret = cdrw_lu_ready(dev, 4800);
      if (ret == 0) ret = get_disc_info(dev);
      break;
    default:
      CDRW_ERR("NO supported disc!");
      return -1;
  }
  CDRW_INFO(ret == 0 ? "Erase OK." : "Erase Fail.");
  return ret;
}

int cdrw_door_lock(cddev_t* dev, bool lock) {
  CDRW_CHECK(dev != nullptr);
  if (int ret = Send(dev, mmc::PreventAllow(lock)); ret != 0) return ret;
  dev->door_locked = lock;
  CDRW_INFO("[%s] is %s\n", dev->sg.c_str(), lock ? "DOOR_LOCK" : "DOOR_UNLOCK");
  return 0;
}

int cdrw_stop(cddev_t* dev, int eject) {
  CDRW_CHECK(dev != nullptr);
  if (dev->drv.refcount > 0) {
    if (eject) {
      CDRW_ERR("Recorder is being used, no eject!");
      return -EBUSY;
    }
    return 0;
  }
  std::string sr;
  if (cdrw_sr_name(dev->sg, &sr) != 0) {
    CDRW_ERR("cannot get %s sr name.", dev->sg.c_str());
    return -ENODEV;
  }
  // Unlock through a short open of the drive: a holder that died may
  // have left the tray locked.
  {
    osa::UniqueFd sg(osa::sys::open(dev->sg.c_str(), O_RDWR | O_NONBLOCK));
    if (sg.valid()) {
      mmc::Drive drv;
      drv.dev = dev->sg;
      drv.fd = std::move(sg);
      drv.sleep = dev->drv.sleep;
      drv.transport = dev->drv.transport;
      mmc::Command c = mmc::PreventAllow(false);
      __scsi_send(&drv, &c);
    }
  }
  osa::UniqueFd fd(osa::sys::open(sr.c_str(), O_RDONLY | O_NONBLOCK));
  auto force = [&](bool opened) {
    // Last resort: START STOP UNIT with eject through the generic node.
    if (opened) CDRW_WARN("check %s media changed failed, %s. force ejecting...\n", sr.c_str(), std::strerror(errno));
    else CDRW_WARN("open %s failed, %s. force ejecting...\n", sr.c_str(), std::strerror(errno));
    osa::UniqueFd sg(osa::sys::open(dev->sg.c_str(), O_RDWR | O_NONBLOCK));
    if (!sg.valid()) return -EIO;
    mmc::Drive drv;
    drv.dev = dev->sg;
    drv.fd = std::move(sg);
    drv.sleep = dev->drv.sleep;
    mmc::Command c = mmc::StartStop(false, true);
    return __scsi_send(&drv, &c);
  };
  if (!fd.valid()) return eject ? force(false) : -EIO;
  CDRW_INFO("force media changed...");
  CDRW_INFO("check media changed...");
  if (osa::sys::ioctl(fd.get(), CDROM_MEDIA_CHANGED, reinterpret_cast<void*>(CDSL_CURRENT)) < 0)
    return eject ? force(true) : -EIO;
  if (!eject) return 0;
  CDRW_INFO("eject diskc...");
  if (osa::sys::ioctl(fd.get(), CDROMEJECT, nullptr) != 0) {
    CDRW_ERR("eject %s failed, %s.", sr.c_str(), std::strerror(errno));
    return -errno;
  }
  return 0;
}

int scsi_read_sectors(const char* sr, uint32_t lba, uint8_t* buf, uint32_t sectors) {
  CDRW_CHECK(sr != nullptr && (buf != nullptr || sectors == 0));
  osa::UniqueFd fd(osa::sys::open(sr, O_RDONLY | O_NONBLOCK));
  if (!fd.valid()) return -errno;
  const off_t offs = off_t(lba) * udf::kBlock;
  if (osa::sys::lseek(fd.get(), offs, SEEK_SET) != offs) {
    CDRW_ERR("lseek64 failed, %s. fd: %d, offs: 0x%llx.", std::strerror(errno), fd.get(),
             static_cast<unsigned long long>(offs));
    return -EIO;
  }
  size_t want = size_t{sectors} * udf::kBlock;
  for (size_t got = 0; got < want;) {
    ssize_t n = osa::sys::read(fd.get(), buf + got, want - got);
    if (n <= 0) {
      CDRW_ERR("read failed, %s. fd: %d, offs: 0x%llx, sectors %u.", n == 0 ? "end of disc" : std::strerror(errno),
               fd.get(), static_cast<unsigned long long>(offs), sectors);
      return -EIO;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

namespace cdrw {

IoStat::IoStat(const std::string& dev, const std::atomic<uint64_t>* blocks, uint32_t speed_kbs)
    : thread_([dev, blocks, speed_kbs](std::stop_token stop) {
        CDRW_INFO("iostat info thread start, tid %lu.", static_cast<unsigned long>(pthread_self()));
        uint64_t last = blocks->load();
        auto t0 = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
          for (int i = 0; i < 20 && !stop.stop_requested(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
          auto t1 = std::chrono::steady_clock::now();
          uint64_t now = blocks->load();
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count();
          if (ms <= 0) continue;
          uint64_t kbs = (now - last) * 2 * 1000 / static_cast<uint64_t>(ms);
          long long pct = speed_kbs ? static_cast<long long>(kbs * 100 / speed_kbs) : 0;
          CDRW_INFO("iostat %llu KB/s, speed %llu KB/s, %u r/s, %3lld%%.", static_cast<unsigned long long>(kbs),
                    static_cast<unsigned long long>(speed_kbs), static_cast<unsigned>((now - last) / 16), pct);
          last = now;
          t0 = t1;
        }
        CDRW_INFO("iostat info thread stop.");
        (void)dev;
      }) {}

IoStat::~IoStat() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace cdrw

int cdrw_iostat_start(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (!dev->iostat) dev->iostat = std::make_unique<cdrw::IoStat>(dev->sg, &dev->written_blocks, dev->cur_write_speed);
  return 0;
}

int cdrw_iostat_stop(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  dev->iostat.reset();  // joins the thread
  return 0;
}
