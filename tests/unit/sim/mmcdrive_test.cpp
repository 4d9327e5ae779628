// The simulated recorder's MMC answers, and the drive layer driven against
// them: sequential writing rules, the sense queue, faults, closing and
// fixing by profile, formats, speeds, write parameters and the tray.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "optical/drive.h"
#include "osa/osa.h"
#include "sim/models/mmcdrive.h"

namespace {

using sim::DiscState;
using sim::MmcReply;

std::string Triple(const MmcReply& r) {
  if (r.key == 0) return "ok";
  char b[16];
  std::snprintf(b, sizeof b, "%x/%02x/%02x", r.key, r.asc, r.ascq);
  return b;
}

void Be32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v); }

// A disc in a simulated recorder, without a board: the MMC answers alone.
struct Recorder {
  sim::DriveSpec spec{"/dev/sg0", "/dev/sr0", "5:0:0:0", "ASUS", "DRW-24D1ST", "1.00", "SN42"};
  DiscState s;
  osa::UniqueFd img;
  std::vector<std::string> log;  // "OP -> ok|K/ASC/ASCQ" per command
  // Tweaks a reply before the drive layer sees it (opcode, data).
  std::function<void(uint8_t, uint8_t*, uint32_t)> tweak;

  explicit Recorder(int profile, bool settled = true) {
    char path[] = "/tmp/mmcdiscXXXXXX";
    img = osa::UniqueFd(mkstemp(path));
    unlink(path);
    s = sim::BlankDisc(profile, sim::DefaultBlocks(profile));
    if (settled) s.attention = s.becoming = 0;
  }
  MmcReply Cmd(std::vector<uint8_t> cdb, uint8_t* data = nullptr, uint32_t len = 0) {
    cdb.resize(16, 0);
    return sim::RunMmc(spec, &s, img.get(), cdb.data(), data, len);
  }
  MmcReply Write(uint32_t lba, uint16_t blocks) {
    std::vector<uint8_t> data(size_t{blocks} * 2048, 0x5A);
    std::vector<uint8_t> c = {0x2A, 0, 0, 0, 0, 0, 0, uint8_t(blocks >> 8), uint8_t(blocks)};
    Be32(c.data() + 2, lba);
    return Cmd(c, data.data(), static_cast<uint32_t>(data.size()));
  }
  MmcReply Reserve(uint32_t blocks) {
    std::vector<uint8_t> c = {0x53, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    Be32(c.data() + 5, blocks);
    return Cmd(c);
  }
  // The drive layer's transport: the sense as a recorder sends it.
  int operator()(sg_io_hdr_t* h) {
    const auto* c = static_cast<const uint8_t*>(h->cmdp);
    uint8_t cdb[16] = {};
    std::memcpy(cdb, c, h->cmd_len);
    auto* data = static_cast<uint8_t*>(h->dxferp);
    MmcReply r = sim::RunMmc(spec, &s, img.get(), cdb, data, h->dxferp ? h->dxfer_len : 0);
    if (tweak && data) tweak(cdb[0], data, r.moved);
    char op[8];
    std::snprintf(op, sizeof op, "%02x", cdb[0]);
    log.push_back(std::string(op) + " -> " + Triple(r));
    h->resid = h->dxfer_direction == SG_DXFER_FROM_DEV ? static_cast<int>(h->dxfer_len - r.moved) : 0;
    if (r.key) {
      uint8_t sb[18] = {0x70, 0, r.key, 0, 0, 0, 0, 10, 0, 0, 0, 0, r.asc, r.ascq};
      std::memcpy(h->sbp, sb, sizeof sb);
      h->sb_len_wr = sizeof sb;
      h->status = 2;
      h->masked_status = 1;
    }
    return 0;
  }
  size_t Count(const std::string& entry) const { return static_cast<size_t>(std::count(log.begin(), log.end(), entry)); }
};

struct Rig {
  Recorder rec;
  cddev_t dev;
  explicit Rig(int profile) : rec(profile) {
    dev.drv.transport = [this](sg_io_hdr_t* h) { return rec(h); };
    dev.drv.sleep = [](int) {};
  }
  int Init() { return cdrw_init(&dev, "/dev/sg0"); }
};

TEST(MmcDrive, SequentialDiscsTakeWritesOnlyAtTheNextWritableAddress) {
  Recorder r(0x11);
  EXPECT_EQ(Triple(r.Write(0, 16)), "ok") << "the open track starts at 0";
  EXPECT_EQ(Triple(r.Reserve(288)), "5/2c/00") << "only a blank open track can be reserved";
  Recorder d(0x11);
  ASSERT_EQ(Triple(d.Reserve(288)), "ok");
  EXPECT_EQ(Triple(d.Write(300, 16)), "5/21/02");
  EXPECT_EQ(Triple(d.Write(288, 16)), "ok");
  EXPECT_EQ(Triple(d.Write(288, 16)), "5/21/02") << "written blocks are not written again";
  EXPECT_EQ(Triple(d.Write(0, 32)), "ok") << "the reserved track has its own next writable address";
  EXPECT_EQ(Triple(d.Write(16, 16)), "5/21/02");
  ASSERT_EQ(d.s.tracks.size(), 2u);
  EXPECT_EQ(d.s.tracks[0].nwa, 32u);
  EXPECT_EQ(d.s.tracks[1].nwa, 304u);
  // Closing the data track and the session opens the next session behind it.
  EXPECT_EQ(Triple(d.Cmd({0x5B, 1, 1, 0, 0, 2})), "ok");
  EXPECT_EQ(Triple(d.Cmd({0x00})), "2/04/08") << "an immediate close runs a while";
  EXPECT_EQ(Triple(d.Cmd({0x5B, 1, 2, 0, 0, 0})), "ok");
  ASSERT_EQ(d.s.tracks.size(), 3u);
  EXPECT_EQ(d.s.tracks[2].session, 2u);
  EXPECT_EQ(d.s.tracks[2].start, 304u);
  // A rewritable disc takes writes anywhere.
  Recorder rw(0x1A);
  EXPECT_EQ(Triple(rw.Write(5000, 16)), "ok");
  EXPECT_EQ(Triple(rw.Write(100, 16)), "ok");
}

TEST(MmcDrive, SenseQueueAndFaults) {
  struct Case {
    const char* name;
    std::function<void(DiscState*)> setup;
    std::vector<std::vector<uint8_t>> cdbs;
    std::vector<std::string> want;
  };
  const std::vector<uint8_t> tur = {0x00}, inq = {0x12, 0, 0, 0, 36}, sync = {0x35, 0x02};
  const std::vector<Case> cases = {
      {"new disc: attention once, then becoming ready", [](DiscState* s) { s->attention = s->becoming = 1; },
       {inq, tur, tur, tur}, {"ok", "6/28/00", "2/04/01", "ok"}},
      {"empty tray", [](DiscState* s) { s->profile = 0; }, {inq, tur}, {"ok", "2/3a/00"}},
      {"upside down", [](DiscState* s) { s->bad = true; }, {tur}, {"2/30/00"}},
      {"unknown command", nullptr, {{0xFF}}, {"5/20/00"}},
      {"immediate flush runs a while", nullptr, {sync, tur, tur}, {"ok", "2/04/08", "ok"}},
      {"locked tray refuses eject", nullptr, {{0x1E, 0, 0, 0, 1}, {0x1B, 0, 0, 0, 2}, {0x1E}, {0x1B, 0, 0, 0, 2}, tur},
       {"ok", "5/53/02", "ok", "ok", "2/3a/00"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r(0x1A);
    if (c.setup) c.setup(&r.s);
    std::vector<std::string> got;
    for (auto cdb : c.cdbs) got.push_back(Triple(r.Cmd(cdb)));
    EXPECT_EQ(got, c.want);
  }
  Recorder f(0x11);
  f.s.fail_write = 2;
  EXPECT_EQ(Triple(f.Write(0, 16)), "ok");
  EXPECT_EQ(Triple(f.Write(16, 16)), "3/0c/00");
  EXPECT_EQ(Triple(f.Write(16, 16)), "3/0c/00") << "and every later one";
  EXPECT_EQ(f.s.tracks[0].nwa, 16u) << "a failed write is not carried out";
  Recorder rc(0x11);
  rc.s.recovered_write = 1;
  EXPECT_EQ(Triple(rc.Write(0, 16)), "1/17/01");
  EXPECT_EQ(rc.s.tracks[0].nwa, 16u) << "a recovered write is carried out";
  // Replies stop at the allocation length.
  uint8_t buf[64] = {};
  MmcReply di = f.Cmd({0x51, 0, 0, 0, 0, 0, 0, 0, 8}, buf, sizeof buf);
  EXPECT_EQ(di.moved, 8u);
}

TEST(MmcDrive, DriveIdentifiesTheDiscAndItsSpeeds) {
  Rig r(0x41);
  ASSERT_EQ(r.Init(), 0);
  EXPECT_EQ(r.dev.model, 1);
  EXPECT_EQ(r.dev.profile, 0x41);
  EXPECT_EQ(r.dev.unit_type, 2);
  EXPECT_EQ(r.dev.bd_type, "BDR");
  EXPECT_EQ(r.dev.speeds, (std::vector<uint32_t>{8990, 17980}));
  std::string sn;
  ASSERT_EQ(cdrw_get_sn(&r.dev, &sn), 0);
  EXPECT_EQ(sn, "SN42");
  uint32_t cap = 0, remain = 0;
  ASSERT_EQ(cdrw_get_capacity(&r.dev, &cap), 0);
  ASSERT_EQ(cdrw_get_remain(&r.dev, &remain), 0);
  EXPECT_EQ(cap, sim::DefaultBlocks(0x41));
  EXPECT_EQ(remain, cap);
  EXPECT_EQ(cdrw_get_usedspace(&r.dev, &cap), -1);
  // DVD and BD speeds go through SET STREAMING, CD speeds through SET CD SPEED.
  ASSERT_EQ(cdrw_set_write_speed(&r.dev, 17980), 0);
  EXPECT_EQ(r.rec.s.write_speed, 17980u);
  EXPECT_EQ(r.rec.Count("b6 -> ok"), 1u);
  ASSERT_EQ(adjust_write_speed(&r.dev, 1, 1), 0);
  EXPECT_EQ(r.rec.s.write_speed, 8990u) << "one step down the list";
  ASSERT_EQ(adjust_write_speed(&r.dev, 1, 1), 0);
  EXPECT_EQ(r.rec.s.write_speed, 8990u) << "the slowest stays";
  Rig cd(0x0A);
  ASSERT_EQ(cd.Init(), 0);
  ASSERT_EQ(cdrw_set_write_speed(&cd.dev, 3528), 0);
  EXPECT_EQ(cd.rec.Count("bb -> ok"), 1u);
  EXPECT_EQ(cd.rec.s.write_speed, 3528u);
  // A drive reporting no usable speed still initialises; long writes keep
  // an allowance.
  for (std::vector<uint32_t> speeds : {std::vector<uint32_t>{}, std::vector<uint32_t>{0}}) {
    Rig n(0x1B);
    n.rec.s.speeds = speeds;
    ASSERT_EQ(n.Init(), 0);
    EXPECT_TRUE(n.dev.speeds.empty());
    EXPECT_EQ(n.dev.drv.write_speed, 0u);
    EXPECT_GT(mmc::LongWriteAllowanceMs(true, n.dev.drv.write_speed), 0);
  }
}

TEST(MmcDrive, FixingByProfile) {
  struct Case {
    int profile;
    std::vector<std::string> closes;  // CLOSE TRACK/SESSION functions the recorder takes, in order
  };
  for (const Case& c : std::vector<Case>{{0x1A, {"0"}}, {0x43, {}}, {0x11, {"1", "2"}}, {0x2B, {"1", "6"}}}) {
    SCOPED_TRACE(c.profile);
    Rig r(c.profile);
    ASSERT_EQ(r.Init(), 0);
    if (c.profile == 0x43) {
      ASSERT_EQ(format_bdre(&r.dev), 0);
    }
    std::vector<uint8_t> data(16 * 2048, 1);
    if (cdrw_profile_sequential(c.profile)) {
      ASSERT_EQ(cdrw_write(&r.dev, data.data(), 16), 0);
    } else {
      ASSERT_EQ(r.dev.WriteBlocks(288, data.data(), 16), 0);
    }
    ASSERT_EQ(cdrw_fix(&r.dev), 0);
    // The closes reach the recorder as its tracks' states.
    if (c.profile == 0x11) {
      ASSERT_GE(r.rec.s.tracks.size(), 2u);
      EXPECT_TRUE(r.rec.s.tracks[0].closed);
      EXPECT_EQ(r.rec.s.tracks.back().session, 2u) << "the session is closed, the next one open";
      EXPECT_EQ(r.rec.s.status, 0) << "not finalised";
    }
    if (c.profile == 0x2B) {
      EXPECT_EQ(r.rec.s.status, 2) << "dual-layer DVD+R is closed for good";
    }
    EXPECT_EQ(r.rec.Count("5b -> ok"), c.closes.size());
  }
}

TEST(MmcDrive, FormatsAndErasing) {
  Rig bd(0x43);
  ASSERT_EQ(bd.Init(), 0);
  ASSERT_EQ(format_bdre(&bd.dev), 0);
  EXPECT_TRUE(bd.rec.s.formatted);
  EXPECT_EQ(bd.rec.Count("04 -> ok"), 1u);
  ASSERT_EQ(format_bdre(&bd.dev), 0);
  EXPECT_EQ(bd.rec.Count("04 -> ok"), 1u) << "an already formatted BD-RE is not formatted again";

  Rig seq(0x14);
  ASSERT_EQ(seq.Init(), 0);
  ASSERT_EQ(cdrw_quickformat(&seq.dev, 0), 0);
  EXPECT_EQ(seq.rec.s.profile, 0x13) << "formatted for restricted overwrite";
  EXPECT_EQ(seq.dev.profile, 0x13);
  ASSERT_EQ(cdrw_erase(&seq.dev), 0);
  EXPECT_EQ(seq.rec.s.profile, 0x14) << "a blanked DVD-RW is sequential again";

  Rig plus_r(0x1B);
  ASSERT_EQ(plus_r.Init(), 0);
  EXPECT_EQ(cdrw_erase(&plus_r.dev), -1);
}

TEST(MmcDrive, WriteParametersForDvdMinusR) {
  Rig r(0x11);
  ASSERT_EQ(r.Init(), 0);
  ASSERT_EQ(cd_minus_r_prewrite(&r.dev), 0);
  ASSERT_GE(r.rec.s.page05.size(), 14u);
  EXPECT_EQ(r.rec.s.page05[0], 0x05);
  EXPECT_EQ(r.rec.s.page05[2] & 0x0F, 0x00) << "incremental recording";
  EXPECT_EQ(r.rec.s.page05[3] & 0xC0, 0xC0) << "a next session stays possible";
  EXPECT_EQ(r.rec.s.page05[4], 0x08) << "mode 1 data";
  // A track formatted for fixed packets is refused.
  Rig fp(0x11);
  fp.rec.tweak = [](uint8_t op, uint8_t* d, uint32_t n) {
    if (op == 0x52 && n > 6) d[6] |= 0x10;
  };
  ASSERT_EQ(fp.Init(), 0);
  EXPECT_EQ(minus_rw_setup(&fp.dev), -EINVAL);
  // Closing a DVD-R disc for good clears the multi-session field first;
  // without it the recorder would only close the session.
  ASSERT_EQ(cdrw_close_disc(&r.dev), 0);
  EXPECT_EQ(r.rec.s.page05[3] & 0xC0, 0x00);
  EXPECT_EQ(r.rec.s.status, 2);
}

TEST(MmcDrive, TrayLockStopAndStatistics) {
  Rig r(0x1A);
  ASSERT_EQ(r.Init(), 0);
  EXPECT_TRUE(r.rec.s.locked) << "loading prevents removal";
  ASSERT_EQ(cdrw_door_lock(&r.dev, false), 0);
  EXPECT_FALSE(r.rec.s.locked);
  ASSERT_EQ(cdrw_door_lock(&r.dev, true), 0);
  EXPECT_EQ(cdrw_stop(&r.dev, 1), -EBUSY) << "a drive in use is not ejected";
  size_t loads = r.rec.Count("a6 -> ok");
  EXPECT_EQ(cdrw_load(&r.dev, "/dev/sg0"), 0);
  EXPECT_EQ(r.rec.Count("a6 -> ok"), loads) << "a loaded drive in use gets no second LOAD";
  ASSERT_EQ(cdrw_iostat_start(&r.dev), 0);
  std::vector<uint8_t> data(32 * 2048, 2);
  ASSERT_EQ(r.dev.WriteBlocks(288, data.data(), 32), 0);
  EXPECT_EQ(r.dev.written_blocks.load(), 32u);
  ASSERT_EQ(cdrw_close(&r.dev), 0);
  EXPECT_EQ(r.dev.iostat, nullptr) << "the statistics thread is joined at the end";
  EXPECT_FALSE(r.rec.s.locked) << "the last close unlocks the tray";
  r.rec.s.tray_open = true;
  EXPECT_EQ(cdrw_load(&r.dev, "/dev/sg0"), 0);
  EXPECT_FALSE(r.rec.s.tray_open);
}

}  // namespace
