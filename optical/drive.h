// The drive handle: a recorder behind its SCSI generic node, driven with
// MMC commands, and the block interface the disc writer records through.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "optical/cdrw.h"
#include "optical/mmc.h"

namespace cdrw {
// The optional statistics thread: prints the write throughput once a
// second until stopped; stopping joins it.
class IoStat {
 public:
  IoStat(const std::string& dev, const std::atomic<uint64_t>* blocks, uint32_t speed_kbs);
  ~IoStat();
  IoStat(const IoStat&) = delete;
  IoStat& operator=(const IoStat&) = delete;

 private:
  std::jthread thread_;
};
}  // namespace cdrw

struct cddev_t : CdrwBlockDev {
  std::string sg;  // "/dev/sgN"
  mmc::Drive drv;
  mmc::Inquiry36 inq;
  int model = 0;
  uint32_t buffer_kb = 0;
  mmc::DiscInfo disc;
  int profile = 0;
  int unit_type = 0;  // 1: 16-sector units, 2: 32-sector units
  std::vector<uint32_t> speeds;
  uint32_t cur_write_speed = 0;  // kB/s last set, 0 when never set
  mmc::TrackInfo track;          // the track being written
  mmc::DvdPhysical dvd;          // DVD media: READ DISC STRUCTURE 00h
  std::string bd_type;           // BD media: "BDR", "BDW" ...
  bool door_locked = false;
  std::atomic<uint64_t> written_blocks{0};  // by WRITE (10), for the statistics
  std::unique_ptr<cdrw::IoStat> iostat;  // statistics thread, when running

  int Profile() override { return profile; }
  int WriteBlocks(uint32_t lba, const uint8_t* data, uint32_t count) override;
  int ReadBlocks(uint32_t lba, uint8_t* data, uint32_t count) override;
  int LastUsedBlock(uint32_t* lba) override;
  int ReserveHeader(uint32_t blocks, uint32_t* header_start, uint32_t* udf_track, uint32_t* data_track,
                    uint32_t* session) override;
  int Flush() override;
  int CloseTrack(uint32_t track) override;
  int CloseSession() override;
  int CloseDisc() override;
  int Erase() override;
  int LastSession(uint32_t* start, uint32_t* last_block) override;
  int TrackNwa(uint32_t track, uint32_t* nwa) override;
  int Prewrite() override;
  // The sr block device, looked up once per handle.
  int SrNode(std::string* out);
  std::string sr_path;

  cddev_t();
  ~cddev_t() override;
  cddev_t(const cddev_t&) = delete;
  cddev_t& operator=(const cddev_t&) = delete;
};

int cdrw_init(cddev_t* dev, const char* sg);
int cdrw_close(cddev_t* dev);
// Closes the tray of a drive not in use ("Recorder is already loaded!" when it is).
int cdrw_load(cddev_t* dev, const char* sg);
int cdrw_lu_ready(cddev_t* dev, int tries);
int get_driver_info(cddev_t* dev);
int load_media(cddev_t* dev);
int get_disc_info(cddev_t* dev);
int get_wspeed_list(cddev_t* dev);
int cdrw_get_sn(cddev_t* dev, std::string* sn);
int get_2k_capacity(cddev_t* dev, uint32_t* blocks);
int cdrw_flush_cache(cddev_t* dev);
int cdrw_is_blank(cddev_t* dev);
int cdrw_is_erasable(cddev_t* dev);
int cdrw_get_capacity(cddev_t* dev, uint32_t* blocks);
int cdrw_get_remain(cddev_t* dev, uint32_t* blocks);
int cdrw_get_usedspace(cddev_t* dev, uint32_t* blocks);
int cdrw_write(cddev_t* dev, const uint8_t* data, uint32_t blocks);

// Disc structures (DVD book type, BD disc information).
int read_dvd_00(cddev_t* dev);
int read_dvd_0E(cddev_t* dev);
int read_dvd_11(cddev_t* dev);
int read_bd_00(cddev_t* dev);

// Speeds: the drive's own choice after SET STREAMING (DVD, BD) or SET CD
// SPEED (CD); adjusting steps down the list after write trouble.
int cdrw_set_write_speed(cddev_t* dev, uint32_t kbs);
int adjust_write_speed(cddev_t* dev, int retry_delay, int print_times);

// Write parameters (mode page 05h) for CD-R/RW and DVD-R/RW.
int minus_rw_setup(cddev_t* dev);
int cd_minus_r_prewrite(cddev_t* dev);
int cdrw_prewrite(cddev_t* dev);

int cdrw_close_track(cddev_t* dev, uint32_t track);
int cdrw_close_session(cddev_t* dev);
int cdrw_close_disc(cddev_t* dev);
int cdrw_fix_disc(cddev_t* dev);
int cdrw_fix(cddev_t* dev);
int cdrw_erase(cddev_t* dev);
int cdrw_quickformat(cddev_t* dev, uint32_t sectors);
int format_bdre(cddev_t* dev);
// Tray lock: "[%s] is DOOR_LOCK" / "DOOR_UNLOCK".
int cdrw_door_lock(cddev_t* dev, bool lock);
// End of use: media change check and, with `eject`, the tray opened through
// the sr node (by force when a step fails).  Refused while the handle is open.
int cdrw_stop(cddev_t* dev, int eject);
// Reads 2 KiB sectors through the sr block device.
int scsi_read_sectors(const char* sr, uint32_t lba, uint8_t* buf, uint32_t sectors);
// Statistics thread: started by the writer's streaming, joined at the end.
int cdrw_iostat_start(cddev_t* dev);
int cdrw_iostat_stop(cddev_t* dev);

// The drive's sr block device for its SCSI generic node, from the disk
// library's SCSI scan (peripheral type 5); -ENODEV when there is none.
int cdrw_sr_name(const std::string& sg, std::string* sr);
