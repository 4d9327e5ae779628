// The drive handle: a recorder behind its SCSI generic node, driven with
// MMC commands, and the block interface the disc writer records through.
#pragma once

#include <string>
#include <vector>

#include "optical/cdrw.h"
#include "optical/mmc.h"

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
};

int cdrw_init(cddev_t* dev, const char* sg);
int cdrw_close(cddev_t* dev);
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

// The drive's sr block device for its SCSI generic node.  Not wired yet:
// the SCSI scan of the disk inventory (peripheral type 5) will answer it.
int cdrw_sr_name(const std::string& sg, std::string* sr);
