// Pure parts of disk access: attribute names, the standby timer map, and
// the parsers of SMART sectors, IDENTIFY data, sense data and the block
// statistics file.

#include <cstdio>
#include <cstring>

#include "storage/storage.h"

namespace hd {

namespace {

struct Name {
  uint8_t id;
  const char* name;
};

constexpr Name kNames[] = {
    {1, "Read Error Rate"}, {2, "Through Put Perfromance"}, {3, "Spin Up Time"}, {4, "Start/Stop Count"},
    {5, "Reallocated Sector Count"}, {6, "Read Channel Margin"}, {7, "Seek Error Rate"},
    {8, "Seek Time Performance"}, {9, "Power On Hours Count"}, {10, "Spin-up Retry Count"},
    {11, "Calibrate Retry Count"}, {12, "Power On/Off Count"}, {13, "Soft Read Error Rate"},
    {175, "Program Fail Count Chip"}, {176, "Erase Fail Count Chip"}, {177, "Wear Leveling Count"},
    {178, "Used Rsvd Blk Cnt Chip"}, {179, "Used Rsvd Blk Cnt Tot"}, {180, "Unused Rsvd Blk Cnt Tot"},
    {181, "Program Fail Cnt Total"}, {182, "Erase Fail Count Total"}, {183, "Runtime Bad Block"},
    {184, "End-to-End Error"}, {187, "Reported Uncorrect"}, {188, "Command Timeout"}, {189, "High Fly Writes"},
    {190, "Airflow Temperature Cel"}, {191, "G-Sense Error Rate"}, {192, "Power-Off Retract Cycle"},
    {193, "Load/Unload Cycle Count"}, {194, "Temperature"}, {195, "Hardware ECC Recovered"},
    {196, "Reallocated Event Count"}, {197, "Current Pending Sector Count"}, {198, "Off-line Uncorrectable"},
    {199, "Ultra ATA CRC Error Rate"}, {200, "Write Error Rate"}, {201, "Soft Read Error Rate"},
    {202, "Date Address Mark Errors"}, {203, "Run Out Cancel"}, {204, "Soft ECC Correction"},
    {205, "Thermal Asperity Rate"}, {206, "Flying Height"}, {207, "Spin High Current"}, {208, "Spin Buzz"},
    {209, "Offline Seek Performance"}, {220, "Disk Shift"}, {221, "G-Sense Error Rate"}, {222, "Loaded Hours"},
    {223, "Load/Unload Retry Count"}, {224, "Load Friction"}, {225, "Load/Unload Cycle Count"},
    {226, "Load-in Time"}, {227, "Torque Amplification Count"}, {228, "Power_Off Rectract Count"},
    {230, "GMR Head Amplitude"}, {231, "Temperature"}, {232, "Available Reservd Space"},
    {233, "Media Wearout Indicator"}, {240, "Head Flying Hours"}, {241, "Total LBAs Written"},
    {242, "Total LBAs Read"}, {250, "Read Error Retry Rate"}, {254, "Free Fall Sensor"},
};

// ATA strings: two bytes per word, swapped; blanks trimmed, printable only.
void ata_string(const uint8_t* id, int word, int words, char* out, std::size_t len) {
  std::string s;
  for (int i = 0; i < words * 2; ++i) {
    char c = static_cast<char>(id[word * 2 + (i ^ 1)]);
    s += (c > ' ' && c < 0x7f) ? c : ' ';
  }
  std::size_t a = s.find_first_not_of(' ');
  s = a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(' ') - a + 1);
  snprintf(out, len, "%s", s.c_str());
}

}  // namespace

uint8_t StandbyCount(int m) {
  if (m >= 0 && m < 21) return static_cast<uint8_t>(m * 12);
  if (m >= 30 && m <= 330) return static_cast<uint8_t>(m / 30 + 240);
  if (m == 21) return 252;
  if (m >= 480 && m <= 720) return 253;
  return 254;  // reserved by ATA; the application relies on it, and drives take it
}

const char* SmartAttrName(int id) {
  for (auto& n : kNames)
    if (n.id == id) return n.name;
  return "Unkown Attribute";
}

bool SectorChecksumOk(const uint8_t* s) {
  uint8_t sum = 0;
  for (int i = 0; i < 512; ++i) sum = static_cast<uint8_t>(sum + s[i]);
  return sum == 0;
}

bool ParseSmartAttrs(const uint8_t* d, const uint8_t* thr, std::vector<HdSmartAttr>* out) {
  if (!d || !SectorChecksumOk(d) || (thr && !SectorChecksumOk(thr))) return false;
  out->clear();
  for (int i = 0; i < 30; ++i) {
    const uint8_t* a = d + 2 + 12 * i;
    if (a[0] == 0) continue;
    HdSmartAttr x{};
    x.id = a[0];
    x.flags = static_cast<uint16_t>(a[1] | (a[2] << 8));
    x.value = a[3];
    x.worst = a[4];
    for (int k = 0; k < 6; ++k) x.raw |= uint64_t{a[5 + k]} << (8 * k);
    if (thr)
      for (int j = 0; j < 30; ++j)
        if (thr[2 + 12 * j] == x.id) x.threshold = thr[2 + 12 * j + 1];
    snprintf(x.name, sizeof x.name, "%s", SmartAttrName(x.id));
    out->push_back(x);
  }
  return true;
}

bool ParseSmartErrlog(const uint8_t* s, HdSmartErrLog* out, std::string* msg) {
  if (!SectorChecksumOk(s)) {
    *msg = "smart error log: check sum failed\n";
    return false;
  }
  if (s[1] > 5) {
    *msg = "log_index exceed 5.\n";
    return false;
  }
  std::memset(out, 0, sizeof *out);
  out->index = s[1];
  out->deviceErrors = static_cast<uint16_t>(s[452] | (s[453] << 8));
  if (out->index == 0) return true;
  // Newest first, walking back around the ring of five.
  int n = out->deviceErrors < 5 ? out->deviceErrors : 5;
  for (int k = 0; k < n; ++k) {
    int slot = ((out->index - 1 - k) % 5 + 5) % 5;
    const uint8_t* e = s + 2 + 90 * slot + 60;
    HdSmartError& x = out->err[out->entries++];
    x.error = e[1];
    x.count = e[2];
    x.lba = static_cast<uint32_t>(e[3] | (e[4] << 8) | (e[5] << 16) | ((e[6] & 0x0f) << 24));
    x.status = e[7];
    x.lifeHours = static_cast<uint16_t>(e[28] | (e[29] << 8));
  }
  return true;
}

bool ParseIdentify(const uint8_t* id, HdDiskDetail* out) {
  if (id[510] == 0xa5 && !SectorChecksumOk(id)) return false;
  std::memset(out, 0, sizeof *out);
  ata_string(id, 27, 20, out->model, sizeof out->model);
  ata_string(id, 10, 10, out->serial, sizeof out->serial);
  ata_string(id, 23, 4, out->firmware, sizeof out->firmware);
  uint16_t w82 = static_cast<uint16_t>(id[164] | (id[165] << 8)), w83 = static_cast<uint16_t>(id[166] | (id[167] << 8));
  uint16_t w85 = static_cast<uint16_t>(id[170] | (id[171] << 8));
  bool valid = w82 != 0xffff && w83 != 0xffff;
  out->smartSupported = valid && (w82 & 1);
  out->smartEnabled = valid && (w85 & 1);
  out->lba48 = valid && (w83 & (1 << 10));
  uint64_t s48 = 0, s28 = id[120] | (id[121] << 8) | (id[122] << 16) | (uint64_t{id[123]} << 24);
  for (int i = 0; i < 8; ++i) s48 |= uint64_t{id[200 + i]} << (8 * i);
  out->sectors = out->lba48 && s48 >> 48 == 0 ? s48 : s28;
  return true;
}

int ParseAtaSense(const uint8_t* s, std::size_t len, AtaRegs* out) {
  if (!s || len == 0) return 0;
  uint8_t code = s[0] & 0x7f;
  if (code == 0x72 || code == 0x73) {
    if (len < 8) return -1;
    std::size_t end = 8 + static_cast<std::size_t>(s[7]);
    if (end > len) end = len;  // what was copied bounds the walk
    for (std::size_t at = 8; at + 2 <= end;) {
      std::size_t dl = 2 + static_cast<std::size_t>(s[at + 1]);
      if (at + dl > end) return -1;
      if (s[at] == 0x09 && dl >= 14) {
        const uint8_t* d = s + at;
        bool ext = d[2] & 1;
        out->error = d[3];
        out->count = static_cast<uint16_t>(d[5] | (ext ? d[4] << 8 : 0));
        out->lba = uint64_t{d[7]} | uint64_t{d[9]} << 8 | uint64_t{d[11]} << 16;
        if (ext) out->lba |= uint64_t{d[6]} << 24 | uint64_t{d[8]} << 32 | uint64_t{d[10]} << 40;
        out->status = d[13];
        return 1;
      }
      at += dl;
    }
    return 0;
  }
  if (code == 0x70 || code == 0x71) return len >= 8 ? 0 : -1;
  return -1;
}

bool ParseDiskStat(std::string_view text, HdIoStat* out) {
  std::string t(text.substr(0, 512));
  unsigned a[9];
  unsigned long long rs, ws;
  int end = 0;
  if (sscanf(t.c_str(), "%u %u %llu %u %u %u %llu %u %u %u %u%n", &a[0], &a[1], &rs, &a[2], &a[3], &a[4], &ws, &a[5],
             &a[6], &a[7], &a[8], &end) != 11)
    return false;
  for (char c : t)
    if (c == '-') return false;  // sscanf would take a sign
  *out = HdIoStat{};
  out->readIos = a[0], out->readMerges = a[1], out->readSectors = rs, out->readTicks = a[2];
  out->writeIos = a[3], out->writeMerges = a[4], out->writeSectors = ws, out->writeTicks = a[5];
  out->inFlight = a[6], out->ioTicks = a[7], out->timeInQueue = a[8];
  return true;
}

}  // namespace hd
