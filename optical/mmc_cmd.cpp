// MMC command blocks.
#include "optical/mmc.h"

namespace mmc {
namespace {

Command Make(uint8_t op, uint8_t len, const char* name, Dir dir, int timeout = 0) {
  Command c;
  c.cdb[0] = op;
  c.cdb_len = len;
  c.name = name;
  c.dir = dir;
  c.timeout = timeout;
  return c;
}
void Be16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void Be32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), Be16(p + 2, v); }

}  // namespace

Command TestUnitReady() { return Make(0x00, 6, "TEST UNIT READY", Dir::None); }
Command RequestSense(uint8_t len) {
  Command c = Make(0x03, 6, "REQUEST SENSE", Dir::FromDevice);
  c.cdb[4] = len;
  return c;
}
Command Inquiry(uint8_t len) {
  Command c = Make(0x12, 6, "INQUIRY", Dir::FromDevice);
  c.cdb[4] = len;
  return c;
}
Command ReadCapacity() { return Make(0x25, 10, "READ CAPACITY", Dir::FromDevice); }
Command LoadUnload(bool load) {
  Command c = Make(0xA6, 12, "LOAD/UNLOAD MEDIUM", Dir::None);
  c.cdb[4] = load ? 0x03 : 0x02;
  return c;
}
Command PreventAllow(bool prevent) {
  Command c = Make(0x1E, 6, "PREVENT ALLOW MEDIUM REMOVAL", Dir::None);
  c.cdb[4] = prevent ? 1 : 0;
  return c;
}
Command StartStop(bool start, bool eject) {
  Command c = Make(0x1B, 6, "START STOP UNIT", Dir::None);
  c.cdb[4] = uint8_t((start ? 1 : 0) | (eject ? 2 : 0));
  return c;
}
Command SendOpc() {
  Command c = Make(0x54, 10, "SEND OPC INFORMATION", Dir::None);
  c.cdb[1] = 0x01;
  return c;
}
Command SetCdSpeed(uint16_t read_kbs, uint16_t write_kbs, uint8_t rotctl) {
  Command c = Make(0xBB, 12, "SET CD SPEED", Dir::None);
  c.cdb[1] = rotctl & 3;
  Be16(c.cdb + 2, read_kbs);
  Be16(c.cdb + 4, write_kbs);
  return c;
}
Command SetStreaming(uint16_t len) {
  Command c = Make(0xB6, 12, "SET STREAMING", Dir::ToDevice, 300);
  Be16(c.cdb + 9, len);
  return c;
}
Command SyncCache() {
  Command c = Make(0x35, 10, "SYNCHRONIZE CACHE (10)", Dir::None, 300);
  c.cdb[1] = 0x02;
  return c;
}
Command ReadDiscInfo(uint16_t len) {
  Command c = Make(0x51, 10, "READ DISC INFORMATION", Dir::FromDevice, 240);
  Be16(c.cdb + 7, len);
  return c;
}
Command ReadTrackInfo(uint32_t track, uint16_t len) {
  Command c = Make(0x52, 10, "READ TRACK INFORMATION", Dir::FromDevice, 240);
  c.cdb[1] = 0x01;
  Be32(c.cdb + 2, track);
  Be16(c.cdb + 7, len);
  return c;
}
Command CloseTrackSession(uint8_t function, uint16_t track) {
  Command c = Make(0x5B, 10, "CLOSE TRACK/SESSION", Dir::None, 480);
  c.cdb[1] = 0x01;
  c.cdb[2] = function & 7;
  Be16(c.cdb + 4, track);
  return c;
}
Command Blank() {
  Command c = Make(0xA1, 12, "BLANK", Dir::None, 4800);
  c.cdb[1] = 0x10 | 0x01;
  return c;
}
Command FormatUnit(uint16_t param_len) {
  Command c = Make(0x04, 6, "FORMAT UNIT", Dir::ToDevice, 4800);
  c.cdb[1] = 0x10 | 0x01;
  (void)param_len;  // the parameter list's own header carries its length
  return c;
}
Command ReadFormatCapacities(uint16_t len) {
  Command c = Make(0x23, 10, "READ FORMAT CAPACITIES", Dir::FromDevice, 60);
  Be16(c.cdb + 7, len);
  return c;
}
Command ReserveTrackE4(uint32_t blocks) {
  Command c = Make(0xE4, 10, "RESERVE TRACK", Dir::None);
  Be32(c.cdb + 5, blocks);
  return c;
}
Command ReserveTrack(uint32_t blocks) {
  Command c = Make(0x53, 10, "RESERVE TRACK", Dir::None, 240);
  Be32(c.cdb + 5, blocks);
  return c;
}
Command ModeSelect10(uint16_t len) {
  Command c = Make(0x55, 10, "MODE SELECT (10)", Dir::ToDevice, 60);
  c.cdb[1] = 0x10;
  Be16(c.cdb + 7, len);
  return c;
}
Command ModeSense10(uint8_t page, uint16_t len) {
  Command c = Make(0x5A, 10, "MODE SENSE (10)", Dir::FromDevice);
  c.cdb[1] = 0x08;
  c.cdb[2] = page & 0x3F;
  Be16(c.cdb + 7, len);
  return c;
}
Command GetConfiguration(uint8_t rt, uint16_t feature, uint16_t len) {
  Command c = Make(0x46, 10, "GET CONFIGURATION", Dir::FromDevice, 60);
  c.cdb[1] = rt & 3;
  Be16(c.cdb + 2, feature);
  Be16(c.cdb + 7, len);
  return c;
}
Command Write10(uint32_t lba, uint16_t blocks) {
  Command c = Make(0x2A, 10, "WRITE (10)", Dir::ToDevice, 300);
  Be32(c.cdb + 2, lba);
  Be16(c.cdb + 7, blocks);
  return c;
}
Command ReadDiscStructure(uint8_t media, uint8_t format, uint16_t len) {
  Command c = Make(0xAD, 12, "READ DISC STRUCTURE", Dir::FromDevice, 240);
  c.cdb[1] = media & 0x0F;
  c.cdb[7] = format;
  Be16(c.cdb + 8, len);
  return c;
}
Command ReadBufferCapacity(uint16_t len) {
  Command c = Make(0x5C, 10, "READ BUFFER CAPACITY", Dir::FromDevice, 240);
  Be16(c.cdb + 7, len);
  return c;
}
Command GetPerformance(uint8_t type, uint16_t max) {
  Command c = Make(0xAC, 12, "GET PERFORMANCE", Dir::FromDevice, 60);
  Be16(c.cdb + 8, max);
  c.cdb[10] = type;
  return c;
}

}  // namespace mmc
