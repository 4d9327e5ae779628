// Disc state and preparation: structures, capacities, speeds, write
// parameters, closing and fixing, erasing and formatting.
#define CDRW_MODULE "disc"

#include <cstring>

#include "optical/cdrw_log.h"
#include "optical/drive.h"
#include "optical/udf_desc.h"

namespace {

int Send(cddev_t* dev, mmc::Command c, uint8_t* data = nullptr, uint32_t len = 0) {
  c.data = data;
  c.len = len;
  return __scsi_send(&dev->drv, &c);
}

int Query(cddev_t* dev, mmc::Command c, std::vector<uint8_t>* buf) {
  c.data = buf->data();
  c.len = static_cast<uint32_t>(buf->size());
  int ret = __scsi_send(&dev->drv, &c);
  return ret < 0 ? ret : static_cast<int>(c.transferred);
}

bool IsDvd(int p) { return p >= 0x10 && p <= 0x2B; }
bool IsBd(int p) { return p >= 0x40 && p <= 0x43; }
bool MinusR(int p) { return p == kProfileDvdMinusR || p == kProfileDvdMinusRwSeq || p == 0x09 || p == kProfileCdRw; }

int ReadTrack(cddev_t* dev, uint32_t track, mmc::TrackInfo* ti) {
  std::vector<uint8_t> buf(48);
  std::string err;
  int n = Query(dev, mmc::ReadTrackInfo(track, 48), &buf);
  if (n < 0) return n;
  if (mmc::ParseTrackInfo(buf.data(), static_cast<size_t>(n), ti, &err) != 0) {
    CDRW_ERR("%s", err.c_str());
    return -EIO;
  }
  return 0;
}

// Mode page 05h as the drive has it now.
int SensePage05(cddev_t* dev, std::vector<uint8_t>* page) {
  std::vector<uint8_t> buf(8 + 60);
  std::string err;
  int n = Query(dev, mmc::ModeSense10(0x05, static_cast<uint16_t>(buf.size())), &buf);
  if (n < 0 || mmc::FindModePage(buf.data(), static_cast<size_t>(n), 0x05, page, &err) != 0 || page->size() < 14) {
    CDRW_ERR("CDRW_ERR: %s(%d) mode_sense failed!", __func__, __LINE__);
    return n < 0 ? n : -EIO;
  }
  return 0;
}

int SelectPage05(cddev_t* dev, const std::vector<uint8_t>& page) {
  std::vector<uint8_t> list = mmc::ModeSelectList(page);
  if (int ret = Send(dev, mmc::ModeSelect10(static_cast<uint16_t>(list.size())), list.data(),
                     static_cast<uint32_t>(list.size()));
      ret != 0) {
    CDRW_ERR("CDRW_ERR: %s(%d) mode_select failed!", __func__, __LINE__);
    return ret;
  }
  return 0;
}

void PrintPage(const char* title, const std::vector<uint8_t>& page) {
  CDRW_MSG("%s", title);
  for (size_t i = 0; i < page.size() && i < 16; ++i) CDRW_MSG("[%d] 0x%x", static_cast<int>(i), page[i]);
}

// Repeats a close until the drive takes it (a dual-layer disc is busy
// for a while after each step).
int CloseRepeated(cddev_t* dev, uint8_t fn, uint16_t track) {
  int ret = -EIO;
  for (int i = 0; i < 30; ++i) {
    if ((ret = Send(dev, mmc::CloseTrackSession(fn, track))) == 0) return cdrw_lu_ready(dev, 600);
    if (dev->drv.sleep) dev->drv.sleep(1000);
    else std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return ret;
}

}  // namespace

int read_dvd_00(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(4 + 2048);
  std::string err;
  int n = Query(dev, mmc::ReadDiscStructure(0, 0x00, static_cast<uint16_t>(buf.size())), &buf);
  if (n < 0 || mmc::ParseDvdPhysical(buf.data(), static_cast<size_t>(n), &dev->dvd, &err) != 0) {
    CDRW_ERR("read_dvd_structure error!");
    return n < 0 ? n : -EIO;
  }
  CDRW_INFO("Book type      : %s", mmc::BookTypeName(dev->dvd.book));
  return 0;
}

int read_dvd_0E(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(4 + 28);
  int n = Query(dev, mmc::ReadDiscStructure(0, 0x0E, static_cast<uint16_t>(buf.size())), &buf);
  if (n < 4) {
    CDRW_ERR("read_dvd_structure error!");
    return n < 0 ? n : -EIO;
  }
  return 0;
}

int read_dvd_11(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(4 + 256);
  int n = Query(dev, mmc::ReadDiscStructure(0, 0x11, static_cast<uint16_t>(buf.size())), &buf);
  if (n < 4) {
    CDRW_ERR("read_dvd_structure error!");
    return n < 0 ? n : -EIO;
  }
  return 0;
}

int read_bd_00(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  std::vector<uint8_t> buf(4 + 112);
  std::string err;
  int n = Query(dev, mmc::ReadDiscStructure(1, 0x00, static_cast<uint16_t>(buf.size())), &buf);
  if (n < 0 || mmc::ParseBdDiscInfo(buf.data(), static_cast<size_t>(n), &dev->bd_type, &err) != 0) {
    CDRW_ERR("read bd structure error: %s", n < 0 ? "no reply" : err.c_str());
    return n < 0 ? n : -EIO;
  }
  return 0;
}

int cdrw_get_capacity(cddev_t* dev, uint32_t* blocks) {
  CDRW_CHECK(dev != nullptr && blocks != nullptr);
  if (!cdrw_profile_sequential(dev->profile)) return get_2k_capacity(dev, blocks);
  // A sequential disc: where its open track ends.
  mmc::TrackInfo ti;
  if (int ret = ReadTrack(dev, dev->disc.last_track_last_session, &ti); ret != 0) return ret;
  *blocks = ti.start + ti.size;
  return 0;
}

int cdrw_get_remain(cddev_t* dev, uint32_t* blocks) {
  CDRW_CHECK(dev != nullptr && blocks != nullptr);
  if (cdrw_profile_sequential(dev->profile)) {
    mmc::TrackInfo ti;
    if (int ret = ReadTrack(dev, dev->disc.last_track_last_session, &ti); ret != 0) return ret;
    *blocks = dev->disc.status == 2 ? 0 : ti.free_blocks;
    return 0;
  }
  uint32_t cap = 0, used = 0;
  if (int ret = get_2k_capacity(dev, &cap); ret != 0) return ret;
  if (int ret = dev->LastUsedBlock(&used); ret != 0) return ret;
  *blocks = used + 1 >= cap ? 0 : cap - used - 1;
  return 0;
}

int cdrw_get_usedspace(cddev_t* dev, uint32_t* blocks) {
  CDRW_CHECK(dev != nullptr && blocks != nullptr);
  CDRW_WARN("This Version not support cdrw_get_usedspace\n!");
  return -1;
}

int cdrw_write(cddev_t* dev, const uint8_t* data, uint32_t blocks) {
  CDRW_CHECK(dev != nullptr && (data != nullptr || blocks == 0));
  mmc::TrackInfo ti;
  if (int ret = ReadTrack(dev, dev->disc.last_track_last_session, &ti); ret != 0) return ret;
  if (!ti.nwa_valid) {
    CDRW_ERR("no writable address on the disc.");
    return -EIO;
  }
  return dev->WriteBlocks(ti.nwa, data, blocks);
}

int cdrw_set_write_speed(cddev_t* dev, uint32_t kbs) {
  CDRW_CHECK(dev != nullptr);
  int ret;
  if (IsDvd(dev->profile) || IsBd(dev->profile)) {
    CDRW_INFO("set stream ...");
    uint32_t cap = 0;
    get_2k_capacity(dev, &cap);
    std::vector<uint8_t> d = mmc::StreamingDescriptor(cap ? cap - 1 : 0, kbs);
    ret = Send(dev, mmc::SetStreaming(static_cast<uint16_t>(d.size())), d.data(), static_cast<uint32_t>(d.size()));
  } else {
    uint8_t rotctl = dev->model == 5 ? 1 : 0;  // CAV on the drives that stall in CLV
    CDRW_INFO("will set speed: %d, rotctl: %d", static_cast<int>(kbs), rotctl);
    ret = Send(dev, mmc::SetCdSpeed(0xFFFF, static_cast<uint16_t>(std::min<uint32_t>(kbs, 0xFFFF)), rotctl));
    if (ret != 0) CDRW_ERR("set speed failed");
  }
  if (ret != 0) {
    CDRW_ERR("set write speed failed");
    return ret;
  }
  dev->cur_write_speed = kbs;
  dev->drv.write_speed = kbs;
  CDRW_INFO("cur_write_speed: %d", static_cast<int>(kbs));
  return 0;
}

int adjust_write_speed(cddev_t* dev, int retry_delay, int print_times) {
  CDRW_CHECK(dev != nullptr);
  CDRW_MSG("[%s] : adjust_write_speed: retry delay %d, print times: %d", dev->sg.c_str(), retry_delay, print_times);
  // Step down to the next slower speed the drive offers, if any.
  uint32_t next = 0;
  for (uint32_t s : dev->speeds)
    if (s != 0 && s < dev->cur_write_speed && s > next) next = s;
  if (next == 0) return 0;
  return cdrw_set_write_speed(dev, next);
}

int minus_rw_setup(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  mmc::TrackInfo ti;
  if (int ret = ReadTrack(dev, dev->disc.last_track_last_session, &ti); ret != 0) return ret;
  dev->track = ti;
  std::vector<uint8_t> raw(48);
  Query(dev, mmc::ReadTrackInfo(dev->disc.last_track_last_session, 48), &raw);
  if (raw[6] & 0x10) {
    CDRW_ERR(":-( track is formatted for fixed packet size");
    return -EINVAL;
  }
  if ((raw[6] & 0x0F) != 1 && (raw[6] & 0x0F) != 0x0F) {
    CDRW_ERR(":-( none Mode 1 track");
    return -EINVAL;
  }
  std::vector<uint8_t> page;
  if (int ret = SensePage05(dev, &page); ret != 0) return ret;
  PrintPage("========== Old Write Parameters ==========", page);
  page[2] = uint8_t((page[2] & 0xE0) | 0x40 | 0x00);  // buffer underrun free, incremental (packet)
  page[3] = uint8_t(0xC0 | 0x05);                     // next session allowed, variable packets, data track
  page[4] = 0x08;                                     // mode 1
  page[8] = 0x00;
  std::memset(page.data() + 10, 0, 4);                // variable packets: no fixed size
  PrintPage("========== New Write Parameters ==========", page);
  int ret = SelectPage05(dev, page);
  if (ret == 0) CDRW_INFO("Starting new track at sector: %d.", static_cast<int>(ti.nwa));
  return ret;
}

int cd_minus_r_prewrite(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (dev->model >= 1 && dev->model <= 3) {
    // ASUS recorders drop the underrun protection unless it is asked for
    // together with a test-write bit cleared in its own select.
    CDRW_MSG("@@@ %s: is ASUS DVD Recorder!", dev->inq.product.c_str());
    std::vector<uint8_t> page;
    if (int ret = SensePage05(dev, &page); ret != 0) return ret;
    page[2] = uint8_t((page[2] & ~0x10) | 0x40);
    if (int ret = SelectPage05(dev, page); ret != 0) return ret;
  }
  return minus_rw_setup(dev);
}

int cdrw_prewrite(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (!dev->speeds.empty() && dev->speeds.front() != 0) cdrw_set_write_speed(dev, dev->speeds.front());
  if (MinusR(dev->profile)) return cd_minus_r_prewrite(dev);
  if (dev->profile == kProfileBdRe) return format_bdre(dev);
  if (dev->profile == kProfileDvdPlusRw) {
    uint32_t cap = 0;
    if (get_2k_capacity(dev, &cap) != 0) return -EIO;
    return cdrw_quickformat(dev, cap);
  }
  return 0;
}

int cdrw_close_track(cddev_t* dev, uint32_t track) {
  CDRW_CHECK(dev != nullptr);
  if (!cdrw_profile_sequential(dev->profile)) {
    CDRW_INFO("disc not support");
    return 0;
  }
  CDRW_INFO("close track %d...", static_cast<int>(track));
  if (int ret = Send(dev, mmc::CloseTrackSession(1, static_cast<uint16_t>(track))); ret != 0) return ret;
  return cdrw_lu_ready(dev, 600);
}

int cdrw_close_session(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (!cdrw_profile_sequential(dev->profile)) {
    CDRW_INFO("disc not support");
    return 0;
  }
  CDRW_INFO("close session %d...", static_cast<int>(dev->disc.sessions));
  if (int ret = Send(dev, mmc::CloseTrackSession(2, 0)); ret != 0) return ret;
  return cdrw_lu_ready(dev, 600);
}

int cdrw_close_disc(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (dev->profile == kProfileDvdPlusR || dev->profile == kProfileDvdPlusRDl) return CloseRepeated(dev, 6, 0);
  if (MinusR(dev->profile)) {
    // DVD-R closes the disc with the session once no next session is allowed.
    std::vector<uint8_t> page;
    if (int ret = SensePage05(dev, &page); ret != 0) return ret;
    page[3] &= 0x3F;
    if (int ret = SelectPage05(dev, page); ret != 0) return ret;
  }
  if (!cdrw_profile_sequential(dev->profile)) return 0;
  if (int ret = Send(dev, mmc::CloseTrackSession(2, 0)); ret != 0) return ret;
  return cdrw_lu_ready(dev, 600);
}

int cdrw_fix_disc(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (int ret = get_disc_info(dev); ret != 0) return ret;
  mmc::TrackInfo ti;
  if (cdrw_profile_sequential(dev->profile) && ReadTrack(dev, dev->disc.last_track_last_session, &ti) == 0 &&
      !ti.blank && ti.nwa_valid) {
    CDRW_INFO("found not closed track, closing it first...");
    if (int ret = cdrw_close_track(dev, ti.track); ret != 0) return ret;
  }
  return cdrw_close_disc(dev);
}

int cdrw_fix(cddev_t* dev) {
  CDRW_CHECK(dev != nullptr);
  if (int ret = cdrw_flush_cache(dev); ret != 0) return ret;
  if (int ret = get_disc_info(dev); ret != 0) return ret;
  switch (dev->profile) {
    case kProfileDvdPlusRDl:
      if (int ret = CloseRepeated(dev, 1, 1); ret != 0) return ret;
      return CloseRepeated(dev, 6, 0);
    case kProfileBdRe:
      CDRW_INFO("BD-RE does not need (permit) a close session!");
      return 0;
    case kProfileDvdPlusRw:
      CDRW_INFO("DVD+RW need no close session");
      if (int ret = Send(dev, mmc::CloseTrackSession(0, 0)); ret != 0) return ret;
      return cdrw_lu_ready(dev, 600);
    case kProfileDvdMinusRwOverwrite:
    case 0x42:  // BD-R random recording: nothing is left open
      return 0;
    default: break;
  }
  if (!cdrw_profile_sequential(dev->profile)) return 0;
  if (dev->disc.status != 1) return 0;  // blank or closed: nothing to fix
  if (MinusR(dev->profile)) {
    std::vector<uint8_t> page;
    if (int ret = SensePage05(dev, &page); ret != 0) return ret;
    page[3] = uint8_t((page[3] & 0x3F) | 0xC0);  // the next session stays possible
    if (int ret = SelectPage05(dev, page); ret != 0) return ret;
  }
  mmc::TrackInfo ti;
  if (ReadTrack(dev, dev->disc.last_track_last_session, &ti) == 0 && !ti.blank && ti.nwa_valid) {
    CDRW_INFO("Close Function = 0x%02x; Track Number = %02x", 1, ti.track);
    if (int ret = cdrw_close_track(dev, ti.track); ret != 0) return ret;
  }
  if (int ret = get_disc_info(dev); ret != 0) return ret;
  if (dev->disc.last_session_state != 1) return 0;  // the session is closed already
  CDRW_INFO("Close Function = 0x%02x; Track Number = %02x", 2, 0);
  return cdrw_close_session(dev);
}
