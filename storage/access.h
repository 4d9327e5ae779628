// Sector I/O on inventory records, standby and wake-up, and the ATA
// identity, SMART and error-log queries.  Included by storage/storage.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

int ide_read64(int logic, uint32_t sectors, uint64_t offset, void* buf);
int ide_write64(int logic, uint32_t sectors, uint64_t offset, const void* buf);
int ide_awrite64(int logic, uint32_t sectors, uint64_t offset, const void* buf);
int ide_read_dma(int logic, uint32_t sectors, uint64_t offset, int must_be_zero);
int ide_write_dma(int logic, uint32_t sectors, uint64_t offset, int must_be_zero);
int ide_verify(int logic, uint32_t sectors, uint64_t offset);
int ide_setRWmode(int logic, int mode);
// The write-speed measurement of ide_write64/ide_awrite64 (on by default).
void Hd_SetSpeedCheck(int on);

int ide_setstandby(int logic, int minutes);
int ide_wakeup(int logic);
int scsi_setstandbyname(const char* name, int minutes);
int scsi_wakeup_byname(const char* name);
// 0x00 standby, 0x80 idle, 0xFF active; -1 on failure.
int ide_get_disk_powermode(const char* name);

struct HdSmartAttr {
  uint8_t id;
  uint8_t value, worst, threshold;
  uint16_t flags;
  uint16_t pad;
  uint64_t raw;  // 48 bits
  char name[32];
};
static_assert(sizeof(HdSmartAttr) == 48);

struct HdSmartError {
  uint8_t error, status, count, pad;
  uint32_t lba;  // 28 bits
  uint16_t lifeHours;
  uint16_t pad2;
};

struct HdSmartErrLog {
  uint8_t index;   // newest entry, 1..5; 0 none
  uint8_t entries; // valid entries below
  uint16_t deviceErrors;
  HdSmartError err[5];  // newest first
};

struct HdDiskDetail {
  char model[41];
  char serial[21];
  char firmware[9];
  uint8_t smartSupported, smartEnabled, lba48;
  uint8_t pad[3];
  uint64_t sectors;
};

struct HdIoStat {
  uint32_t readIos, readMerges;
  uint64_t readSectors;
  uint32_t readTicks, writeIos, writeMerges;
  uint32_t pad;
  uint64_t writeSectors;
  uint32_t writeTicks, inFlight, ioTicks, timeInQueue;
};

// SMART attributes (with thresholds filled in); the count or -1.
int ide_get_smart_attr(int logic, HdSmartAttr* out, int max);
int ide_get_threshold_attr(int logic, HdSmartAttr* out, int max);  // ids and thresholds only
int ide_get_smart_threshold_attr(int logic, HdSmartAttr* out, int max);
// Raw values by id into values[256] (-1 for ids the disk does not have).
int ide_get_smart_value_list(int logic, int64_t* values, int count);
// The threshold of the attribute with this name; -1 when none.
int ide_get_smart_threshold_by_name(int logic, const char* name, int* threshold);
int ide_get_errlog(int logic, HdSmartErrLog* out);
// 1 when RETURN STATUS says a threshold is exceeded, 0 healthy, -1 unknown.
int ide_get_smart_status(int logic);
int ide_get_smart_attr_raid(int logic, int member, HdSmartAttr* out, int max);
int ide_get_threshold_attr_raid(int logic, int member, HdSmartAttr* out, int max);
int ide_get_errlog_raid(int logic, int member, HdSmartErrLog* out);
int ide_get_detail_raid(int logic, int member, HdDiskDetail* out);
int ide_get_detail(int logic, HdDiskDetail* out);
int ide_get_detail_by_name(const char* name, HdDiskDetail* out);
int ide_get_device_info(int logic, HdDevInfo* out);
int ide_get_name(int logic, char* out, std::size_t len);
int ide_is_esata(int logic);
int ide_esata_getinfo(int logic, int* port, int* slot);
int ide_get_expander_info(int logic, int* layer, int* port, int* slot);
int ide_get_iostat(int logic, HdIoStat* out);
int Hd_GetDiskStats(const char* name, HdIoStat* out);

// ATA command through the record's descriptor: PASS-THROUGH (16) with
// 512-byte transfers, 75 s; 0 or -1.
int ata_command_handle(int fd, uint8_t cmd, uint8_t feature, uint8_t count, uint8_t lba_low, uint8_t* data);

namespace hd {

// The IDLE standby-timer count for a number of minutes.
uint8_t StandbyCount(int minutes);
// "Unkown Attribute" for ids without a name.
const char* SmartAttrName(int id);
// A 512-byte SMART or IDENTIFY sector whose bytes add up to 0.
bool SectorChecksumOk(const uint8_t* sector);
// SMART data (and thresholds, may be null): the attributes with id != 0.
bool ParseSmartAttrs(const uint8_t* data, const uint8_t* thresholds, std::vector<HdSmartAttr>* out);
// The summary error log; false with *msg for a bad checksum or index.
bool ParseSmartErrlog(const uint8_t* sector, HdSmartErrLog* out, std::string* msg);
// IDENTIFY data into the detail record; false when the checksum (word
// 255 signature A5h) is wrong.
bool ParseIdentify(const uint8_t* id, HdDiskDetail* out);

// ATA registers from SG_IO sense data (descriptor 09h or fixed format).
struct AtaRegs {
  uint8_t error = 0, status = 0;
  uint16_t count = 0;
  uint64_t lba = 0;
};
// 1 registers found, 0 none, -1 malformed.
int ParseAtaSense(const uint8_t* sense, std::size_t len, AtaRegs* out);

// The block statistics file's eleven numbers.
bool ParseDiskStat(std::string_view text, HdIoStat* out);

}  // namespace hd
