// Command blocks, sense decisions, reply parsers and the send path over a
// scripted drive.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "optical/mmc.h"

namespace {

TEST(MmcCommands, BlocksCarryTheirFields) {
  mmc::Command w = mmc::Write10(0x01020304, 16);
  EXPECT_EQ(w.cdb_len, 10);
  EXPECT_EQ(w.dir, mmc::Dir::ToDevice);
  EXPECT_EQ(w.timeout, 300);
  EXPECT_EQ(std::vector<uint8_t>(w.cdb, w.cdb + 10),
            (std::vector<uint8_t>{0x2A, 0, 1, 2, 3, 4, 0, 0, 16, 0}));
  mmc::Command r = mmc::ReserveTrack(288);
  EXPECT_EQ(std::vector<uint8_t>(r.cdb, r.cdb + 10), (std::vector<uint8_t>{0x53, 0, 0, 0, 0, 0, 0, 1, 0x20, 0}))
      << "reservation in blocks, not bytes";
  mmc::Command t = mmc::ReadTrackInfo(2, 40);
  EXPECT_EQ(t.cdb[1], 1) << "address type: track number";
  EXPECT_EQ(t.cdb[5], 2);
  EXPECT_EQ(mmc::CloseTrackSession(6, 0).cdb[2], 6);
  EXPECT_EQ(mmc::SyncCache().cdb[1], 0x02) << "immediate";
  EXPECT_EQ(mmc::Blank().cdb[1], 0x11) << "immediate, minimal blank";
  EXPECT_EQ(mmc::FormatUnit(12).cdb[1], 0x11) << "FmtData, format code 1";
  EXPECT_EQ(mmc::ModeSense10(0x05, 60).cdb[1], 0x08) << "DBD";
  EXPECT_EQ(mmc::ModeSelect10(60).cdb[1], 0x10) << "PF";
  EXPECT_EQ(mmc::LoadUnload(true).cdb[4], 0x03);
  EXPECT_STREQ(mmc::Inquiry(36).name, "INQUIRY");
}

struct SenseCase {
  const char* name;
  std::vector<uint8_t> sb;
  size_t written;
  mmc::Sense want;
};

TEST(MmcSense, FixedAndDescriptorWithinWhatWasWritten) {
  std::vector<uint8_t> fixed(18, 0), desc(8, 0);
  fixed[0] = 0x70, fixed[2] = 0x02, fixed[12] = 0x3A, fixed[13] = 0x01;
  desc[0] = 0x72, desc[1] = 0x06, desc[2] = 0x28, desc[3] = 0x00;
  const SenseCase cases[] = {
      {"fixed", fixed, 18, {true, 2, 0x3A, 0x01}},
      {"fixed, cut before the ASC", fixed, 8, {true, 2, 0, 0}},
      {"fixed, deferred", [&] { auto f = fixed; f[0] = 0xF1; return f; }(), 14, {true, 2, 0x3A, 0x01}},
      {"descriptor", desc, 8, {true, 6, 0x28, 0}},
      {"nothing written", fixed, 0, {false, 0, 0, 0}},
      {"unknown response code", std::vector<uint8_t>{0x7F, 0, 5}, 3, {false, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mmc::Sense s = mmc::ParseSense(c.sb.data(), c.written);
    EXPECT_EQ(s.present, c.want.present);
    EXPECT_EQ(s.key, c.want.key);
    EXPECT_EQ(s.asc, c.want.asc);
    EXPECT_EQ(s.ascq, c.want.ascq);
  }
}

TEST(MmcSense, Decisions) {
  using K = mmc::Decision::Kind;
  struct Case {
    const char* name;
    mmc::Sense s;
    bool write;
    int resends;
    K kind;
    int ret;
  };
  const Case cases[] = {
      {"no sense", {false}, false, 0, K::Done, 0},
      {"recovered write is done, not resent", {true, 1, 0x17, 0x01}, true, 0, K::Done, 0},
      {"no disc", {true, 2, 0x3A, 0}, false, 0, K::Done, -ENOEXEC},
      {"becoming ready", {true, 2, 0x04, 0x01}, false, 0, K::Resend, 0},
      {"long write in progress", {true, 2, 0x04, 0x08}, true, 0, K::WaitResend, 0},
      {"format in progress", {true, 2, 0x04, 0x04}, false, 0, K::Done, -1},
      {"other not-ready on a query", {true, 2, 0x04, 0x00}, false, 0, K::Done, 0},
      {"other not-ready on a write is resent", {true, 2, 0x04, 0x00}, true, 0, K::Resend, 0},
      {"other not-ready on a write, bounded", {true, 2, 0x04, 0x00}, true, mmc::kMaxResends, K::Done, -EIO},
      {"medium error, retryable", {true, 3, 0x0C, 0}, true, 0, K::WaitResend, 0},
      {"unrecovered read", {true, 3, 0x11, 0}, false, 0, K::Done, -ENXIO},
      {"write error", {true, 3, 0x0C, 0x02}, true, 0, K::Done, -ENXIO},
      {"hardware, retryable", {true, 4, 0x08, 0}, false, 0, K::WaitResend, 0},
      {"hardware, retries spent", {true, 4, 0x08, 0}, false, mmc::kMaxResends, K::Done, -E2BIG},
      {"hardware", {true, 4, 0x44, 0}, false, 0, K::Done, -1},
      {"illegal request", {true, 5, 0x20, 0}, false, 0, K::Done, -1},
      {"medium changed", {true, 6, 0x28, 0}, false, 0, K::Done, 0},
      {"medium changed under a write", {true, 6, 0x28, 0}, true, 0, K::Resend, 0},
      {"other attention", {true, 6, 0x29, 0}, false, 3, K::Resend, 0},
      {"other attention, spent", {true, 6, 0x29, 0}, false, mmc::kMaxResends, K::Done, -1},
      {"upside down", {true, 2, 0x30, 0x02}, false, 0, K::Done, -EBADF},
      {"no reference position", {true, 3, 0x06, 0}, false, 0, K::Done, -EBADF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mmc::SendState st;
    st.is_write = c.write;
    st.resends = c.resends;
    mmc::Decision d = mmc::Decide(c.s, st);
    EXPECT_EQ(d.kind, c.kind);
    if (c.kind == K::Done) {
      EXPECT_EQ(d.ret, c.ret);
    }
  }
}

TEST(MmcSense, LongWriteAllowanceSurvivesUnknownSpeed) {
  EXPECT_GT(mmc::LongWriteAllowanceMs(true, 0), 0);
  EXPECT_EQ(mmc::LongWriteAllowanceMs(true, 11080), 300000000 / 11080);
  EXPECT_EQ(mmc::LongWriteAllowanceMs(false, 11080), 180000000 / 11080);
}

TEST(MmcReplies, InquiryAndModelCodes) {
  uint8_t d[36];
  std::memset(d, ' ', sizeof d);
  std::memcpy(d + 8, "TSSTcorp", 8);
  std::memcpy(d + 16, "CDDVDW SH-224FB ", 16);
  std::memcpy(d + 32, "SB00", 4);
  mmc::Inquiry36 inq;
  std::string err;
  ASSERT_EQ(mmc::ParseInquiry(d, 36, &inq, &err), 0);
  EXPECT_EQ(inq.vendor, "TSSTcorp");
  EXPECT_EQ(inq.product, "CDDVDW SH-224FB");
  EXPECT_EQ(mmc::ModelCode(inq), 19);
  EXPECT_EQ(mmc::ParseInquiry(d, 35, &inq, &err), -1);
  EXPECT_NE(err.find("35"), std::string::npos);
  EXPECT_EQ(mmc::ModelCode({"PIONEER ", "BD-RW BDR-209", "1.0"}), 5);
  EXPECT_EQ(mmc::ModelCode({"ASUS", "BW-16D1HT", ""}), 2);
  EXPECT_EQ(mmc::ModelCode({"HL-DT-ST", "DVDRAM GH24NSD1", ""}), 0);
  // Fields are matched within their width: a product running into the
  // revision does not match a longer name.
  std::memcpy(d + 16, "CDDVDW SE-208DB", 15);
  d[31] = 'X';
  ASSERT_EQ(mmc::ParseInquiry(d, 36, &inq, &err), 0);
  EXPECT_EQ(inq.product, "CDDVDW SE-208DBX");
}

TEST(MmcReplies, DiscTrackSpeedsAndFormats) {
  std::string err;
  uint8_t di[34] = {0, 32, 0x10 | 0x01, 1, 2, 3, 4};
  mmc::DiscInfo info;
  ASSERT_EQ(mmc::ParseDiscInfo(di, sizeof di, &info, &err), 0);
  EXPECT_TRUE(info.erasable);
  EXPECT_EQ(info.status, 1);
  EXPECT_EQ(info.sessions, 2);
  EXPECT_EQ(info.last_track_last_session, 4);
  EXPECT_EQ(mmc::ParseDiscInfo(di, 11, &info, &err), -1);

  uint8_t ti[36] = {0, 34, 2, 1, 0, 0, 0x80, 0x01, 0, 0, 0x01, 0x20, 0, 0, 0x02, 0};
  mmc::TrackInfo t;
  ASSERT_EQ(mmc::ParseTrackInfo(ti, sizeof ti, &t, &err), 0);
  EXPECT_TRUE(t.reserved);
  EXPECT_EQ(t.track, 2);
  EXPECT_EQ(t.start, 288u);
  EXPECT_EQ(t.nwa, 512u);
  EXPECT_EQ(mmc::ParseTrackInfo(ti, 27, &t, &err), -1);

  uint8_t perf[8 + 32] = {0, 0, 0, 36};
  perf[8 + 14] = 0x2B, perf[8 + 15] = 0x48;   // 11080
  perf[24 + 14] = 0x15, perf[24 + 15] = 0xA4;  // 5540
  std::vector<uint32_t> sp;
  ASSERT_EQ(mmc::ParseWriteSpeeds(perf, sizeof perf, &sp, &err), 0);
  EXPECT_EQ(sp, (std::vector<uint32_t>{11080, 5540}));
  perf[3] = 20;  // the stated length covers one descriptor only
  ASSERT_EQ(mmc::ParseWriteSpeeds(perf, sizeof perf, &sp, &err), 0);
  EXPECT_EQ(sp.size(), 1u);
  perf[3] = 4;
  EXPECT_EQ(mmc::ParseWriteSpeeds(perf, sizeof perf, &sp, &err), -1) << "empty list";

  uint8_t fc[4 + 16] = {0, 0, 0, 16, 0, 0, 0x10, 0, 0x01, 0, 0, 0, 0, 0, 0x20, 0, 0x30 << 2, 0, 0x01, 0};
  uint8_t state = 0;
  std::vector<mmc::FormatDesc> f;
  ASSERT_EQ(mmc::ParseFormatCapacities(fc, sizeof fc, &state, &f, &err), 0);
  EXPECT_EQ(state, 1);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].type, 0x30);
  EXPECT_EQ(f[0].blocks, 0x2000u);
  fc[3] = 0;
  EXPECT_EQ(mmc::ParseFormatCapacities(fc, sizeof fc, &state, &f, &err), -1) << "empty format list";
}

// A drive that answers from a script: each entry is the sense it reports
// (empty: none) and the status bytes.
struct Reply {
  std::vector<uint8_t> sense;
  uint8_t status = 0;
  uint16_t host = 0;
};
std::vector<uint8_t> Fixed(uint8_t key, uint8_t asc, uint8_t ascq) {
  std::vector<uint8_t> s(18, 0);
  s[0] = 0x70, s[2] = key, s[12] = asc, s[13] = ascq;
  return s;
}

struct ScriptedDrive {
  std::deque<Reply> script;
  std::vector<uint8_t> opcodes;
  int slept_ms = 0;
  mmc::Drive drv;
  ScriptedDrive() {
    drv.dev = "/dev/sg1";
    drv.sleep = [this](int ms) { slept_ms += ms; };
    drv.transport = [this](sg_io_hdr_t* h) {
      opcodes.push_back(static_cast<const uint8_t*>(h->cmdp)[0]);
      Reply r;
      if (!script.empty()) r = script.front(), script.pop_front();
      if (!r.sense.empty()) std::memcpy(h->sbp, r.sense.data(), std::min<size_t>(r.sense.size(), h->mx_sb_len));
      h->sb_len_wr = static_cast<uint8_t>(r.sense.size());
      h->status = r.status;
      h->host_status = r.host;
      return 0;
    };
  }
};

TEST(ScsiSend, SenseDecisionsOverTheTransport) {
  uint8_t buf[2048] = {};
  {
    ScriptedDrive d;
    mmc::Command c = mmc::Write10(100, 1);
    c.data = buf, c.len = sizeof buf;
    d.script = {{Fixed(1, 0x17, 0x01)}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), 0);
    EXPECT_EQ(d.opcodes.size(), 1u) << "a recovered write is never sent twice";
  }
  {
    ScriptedDrive d;
    mmc::Command c = mmc::TestUnitReady();
    d.script = {{Fixed(2, 0x04, 0x01)}, {Fixed(2, 0x04, 0x01)}, {}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), 0);
    EXPECT_EQ(d.opcodes.size(), 3u);
    EXPECT_GE(d.slept_ms, 2000);
  }
  {
    ScriptedDrive d;
    mmc::Command c = mmc::Write10(100, 1);
    c.data = buf, c.len = sizeof buf;
    d.script = {{Fixed(2, 0x04, 0x08)}, {Fixed(2, 0x04, 0x08)}, {}, {}};  // write, TUR busy, TUR ready, write
    EXPECT_EQ(__scsi_send(&d.drv, &c), 0);
    EXPECT_EQ(d.opcodes, (std::vector<uint8_t>{0x2A, 0x00, 0x00, 0x2A}));
  }
  {
    ScriptedDrive d;
    d.drv.write_speed = 0;  // no speed known: the allowance must not divide by it
    mmc::Command c = mmc::Write10(100, 1);
    for (int i = 0; i < 1000; ++i) d.script.push_back({Fixed(6, 0x28, 0)});
    EXPECT_EQ(__scsi_send(&d.drv, &c), -EIO) << "a write never carried out is not done";
    EXPECT_EQ(d.opcodes.size(), size_t(mmc::kMaxResends + 1));
  }
  {
    ScriptedDrive d;
    mmc::Command c = mmc::Inquiry(36);
    d.script = {{{}, 0x02 /* check condition, but no sense */}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), -EIO);
    d.script = {{{}, 0, 0x07 /* DID_ERROR */}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), -EIO);
    d.script = {{Fixed(2, 0x3A, 0)}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), -ENOEXEC);
    d.script = {{Fixed(3, 0x30, 0x01)}};
    EXPECT_EQ(__scsi_send(&d.drv, &c), -EBADF);
  }
  {
    ScriptedDrive d;
    d.drv.transport = [](sg_io_hdr_t*) { return errno = EIO, -1; };
    mmc::Command c = mmc::Inquiry(36);
    EXPECT_EQ(__scsi_send(&d.drv, &c), -1);
    EXPECT_EQ(__scsi_send(nullptr, &c), -ESRCH);
  }
}

TEST(MmcReplies, StructuresAndModePages) {
  std::string err;
  std::vector<uint8_t> dvd(4 + 2048, 0);
  dvd[0] = 0x08, dvd[1] = 0x02, dvd[4] = 0xE1, dvd[6] = 0x21;
  mmc::DvdPhysical ph;
  ASSERT_EQ(mmc::ParseDvdPhysical(dvd.data(), dvd.size(), &ph, &err), 0);
  EXPECT_STREQ(mmc::BookTypeName(ph.book), "DVD+R/DL");
  EXPECT_EQ(ph.layers, 2);
  EXPECT_EQ(mmc::ParseDvdPhysical(dvd.data(), 20, &ph, &err), -1) << "short reply";
  dvd[0] = 0, dvd[1] = 8;
  EXPECT_EQ(mmc::ParseDvdPhysical(dvd.data(), dvd.size(), &ph, &err), -1) << "stated length too short";

  std::vector<uint8_t> bd(4 + 112, 0);
  bd[4] = 'D', bd[5] = 'I';
  std::memcpy(bd.data() + 12, "BDW", 3);
  std::string type;
  ASSERT_EQ(mmc::ParseBdDiscInfo(bd.data(), bd.size(), &type, &err), 0);
  EXPECT_EQ(type, "BDW");
  bd[4] = 'X';
  EXPECT_EQ(mmc::ParseBdDiscInfo(bd.data(), bd.size(), &type, &err), -1);

  // Mode pages: after the header and any block descriptors, within the
  // stated length and the transfer.
  std::vector<uint8_t> ms(8 + 8 + 52, 0);
  ms[1] = static_cast<uint8_t>(ms.size() - 2);
  ms[7] = 8;  // one block descriptor
  ms[16] = 0x85, ms[17] = 0x32;
  std::vector<uint8_t> page;
  ASSERT_EQ(mmc::FindModePage(ms.data(), ms.size(), 0x05, &page, &err), 0);
  EXPECT_EQ(page.size(), 52u);
  ASSERT_EQ(mmc::FindModePage(ms.data(), 30, 0x05, &page, &err), 0);
  EXPECT_EQ(page.size(), 14u) << "cut at what was transferred";
  EXPECT_EQ(mmc::FindModePage(ms.data(), ms.size(), 0x2A, &page, &err), -1);
  ms[7] = 200;
  EXPECT_EQ(mmc::FindModePage(ms.data(), ms.size(), 0x05, &page, &err), -1) << "descriptors past the reply";
  std::vector<uint8_t> sel = mmc::ModeSelectList({0x85, 2, 1, 2});
  EXPECT_EQ(sel, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0x05, 2, 1, 2})) << "PS cleared for MODE SELECT";

  std::vector<uint8_t> sd = mmc::StreamingDescriptor(1000, 11080);
  ASSERT_EQ(sd.size(), 28u);
  EXPECT_EQ(sd[22] << 8 | sd[23], 11080) << "write size";
  EXPECT_EQ(sd[26] << 8 | sd[27], 1000) << "per second";
}

}  // namespace
