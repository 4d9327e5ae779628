// The drive handle over a scripted MMC recorder: identification, and a
// whole recording on sequential media through WRITE(10) and RESERVE TRACK.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "optical/drive.h"
#include "unit/optical/ecma_walker.h"

namespace {

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void PutBe32(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v); }

// A DVD-R/BD-R recorder as MMC describes one, just enough for a recording.
struct FakeRecorder {
  int profile = 0x11;
  bool disc = true;
  int inquiry_len = 36;
  int fail_write = 0, recovered_write = 0, writes = 0;
  std::map<uint32_t, std::vector<uint8_t>> blocks;
  bool reserved = false;
  uint32_t reserve_len = 0, nwa = 0, hdr_nwa = 0;
  std::vector<std::string> log;

  static void Sense(sg_io_hdr_t* h, uint8_t k, uint8_t asc, uint8_t ascq) {
    uint8_t s[18] = {0x70, 0, k};
    s[12] = asc, s[13] = ascq;
    std::memcpy(h->sbp, s, sizeof s);
    h->sb_len_wr = sizeof s;
    h->status = 0x02;
  }
  static void Reply(sg_io_hdr_t* h, const std::vector<uint8_t>& d) {
    size_t n = std::min<size_t>(d.size(), h->dxfer_len);
    std::memcpy(h->dxferp, d.data(), n);
    h->resid = static_cast<int>(h->dxfer_len - n);
  }
  int operator()(sg_io_hdr_t* h) {
    const uint8_t* c = static_cast<const uint8_t*>(h->cmdp);
    char line[32];
    std::snprintf(line, sizeof line, "%02x", c[0]);
    log.push_back(line);
    if (!disc && c[0] != 0x12 && c[0] != 0x5A && c[0] != 0xA6) return Sense(h, 2, 0x3A, 0), 0;
    switch (c[0]) {
      case 0x12: {
        std::vector<uint8_t> d(inquiry_len, ' ');
        std::memcpy(d.data() + 8, "ASUS    BW-16D1HT       3.10", std::min(inquiry_len - 8, 28));
        return Reply(h, d), 0;
      }
      case 0x5A: {
        std::vector<uint8_t> d(72, 0);
        d[1] = 70;
        d[8] = c[2] & 0x3F, d[9] = 62;
        d[8 + 12] = 0x10;  // 4096 KB
        return Reply(h, d), 0;
      }
      case 0x51: {
        std::vector<uint8_t> d(34, 0);
        d[1] = 32;
        d[2] = blocks.empty() ? 0 : 1;
        d[4] = 1, d[5] = 1, d[6] = reserved ? 2 : 1;
        return Reply(h, d), 0;
      }
      case 0x46: {
        if (c[1] == 2) return Sense(h, 5, 0x24, 0), 0;
        std::vector<uint8_t> d(8, 0);
        d[7] = static_cast<uint8_t>(profile);
        return Reply(h, d), 0;
      }
      case 0xAC: {
        std::vector<uint8_t> d(24, 0);
        d[3] = 20;
        PutBe32(d.data() + 8 + 12, 11080);
        return Reply(h, d), 0;
      }
      case 0x53:
        reserved = true, reserve_len = Be32(c + 5), nwa = reserve_len;
        return 0;
      case 0x52: {
        std::vector<uint8_t> d(36, 0);
        d[1] = 34;
        uint32_t t = Be32(c + 2);
        d[2] = static_cast<uint8_t>(t);
        if (t == 1 && reserved)
          d[6] = 0x81, PutBe32(d.data() + 24, reserve_len), PutBe32(d.data() + 12, hdr_nwa), d[7] = 1;
        else d[6] = 0x41, PutBe32(d.data() + 8, reserve_len), PutBe32(d.data() + 12, nwa), d[7] = 1;
        return Reply(h, d), 0;
      }
      case 0x2A: {
        ++writes;
        uint32_t lba = Be32(c + 2), n = uint32_t(c[7] << 8 | c[8]);
        if (fail_write && writes >= fail_write) return Sense(h, 3, 0x0C, 0), 0;
        bool in_reserved = reserved && lba + n <= reserve_len;
        if (!in_reserved && lba != nwa) return Sense(h, 5, 0x21, 0x02), 0;
        if (in_reserved && lba != hdr_nwa) return Sense(h, 5, 0x21, 0x02), 0;
        if (in_reserved) hdr_nwa += n;
        else nwa += n;
        for (uint32_t i = 0; i < n; ++i) {
          auto* p = static_cast<const uint8_t*>(h->dxferp) + size_t{i} * 2048;
          blocks[lba + i].assign(p, p + 2048);
        }
        if (recovered_write && writes == recovered_write) Sense(h, 1, 0x17, 0x01);
        return 0;
      }
      default:
        return 0;
    }
  }
  std::string Image() const {
    uint32_t end = blocks.empty() ? 0 : blocks.rbegin()->first + 1;
    std::string img(size_t{end} * 2048, '\0');
    for (const auto& [n, b] : blocks) std::memcpy(img.data() + size_t{n} * 2048, b.data(), 2048);
    return img;
  }
};

struct Rig {
  FakeRecorder rec;
  cddev_t dev;
  Rig() {
    dev.drv.transport = [this](sg_io_hdr_t* h) { return rec(h); };
    dev.drv.sleep = [](int) {};
  }
};

int Burn(cddev_t* dev, const std::vector<std::pair<std::string, std::string>>& files) {
  if (int r = cdrw_udf_hdr_start(dev, 0); r != 0) return r;
  for (const auto& [name, data] : files) {
    if (int r = cdrw_udf_open_file(dev, name.c_str()); r != 0) return r;
    for (size_t off = 0; off < data.size(); off += 100000)
      if (int r = cdrw_udf_filedata(dev, data.data() + off, std::min<size_t>(100000, data.size() - off)); r != 0)
        return r;
    if (int r = cdrw_udf_close_file(dev); r != 0) return r;
  }
  if (int r = cdrw_udf_hdr_end(dev, nullptr, 0); r != 0) return r;
  return cdrw_udf_end(dev);
}

TEST(CdrwDrive, InitIdentifiesAndCloses) {
  Rig r;
  ASSERT_EQ(cdrw_init(&r.dev, "/dev/sg1"), 0);
  EXPECT_EQ(r.dev.model, 2);
  EXPECT_EQ(r.dev.buffer_kb, 4096u);
  EXPECT_EQ(r.dev.profile, 0x11);
  EXPECT_EQ(r.dev.unit_type, 1);
  EXPECT_EQ(r.dev.speeds, (std::vector<uint32_t>{11080}));
  EXPECT_EQ(cdrw_init(&r.dev, "/dev/sg1"), 0);
  EXPECT_EQ(r.dev.drv.refcount, 2);
  cdrw_close(&r.dev);
  EXPECT_EQ(r.dev.drv.refcount, 1);
  cdrw_close(&r.dev);
  EXPECT_EQ(r.dev.drv.refcount, 0);
  EXPECT_EQ(r.rec.log.back(), "1e") << "medium removal allowed again on the last close";
  std::string sn;
  EXPECT_LT(cdrw_get_sn(&r.dev, &sn), 0) << "a drive refusing the serial feature";
}

TEST(CdrwDrive, InitFailuresCloseTheDrive) {
  Rig empty;
  empty.rec.disc = false;
  EXPECT_EQ(cdrw_init(&empty.dev, "/dev/sg1"), -ENOEXEC);
  EXPECT_EQ(empty.dev.drv.refcount, 0);
  Rig short_inq;
  short_inq.rec.inquiry_len = 20;
  EXPECT_LT(cdrw_init(&short_inq.dev, "/dev/sg1"), 0);
  EXPECT_EQ(short_inq.dev.drv.refcount, 0);
}

TEST(CdrwDrive, DvdMinusRRecordingThroughMmc) {
  std::vector<std::pair<std::string, std::string>> files = {{"a.mp4", std::string(250000, 'a')},
                                                            {"b.txt", "hello"}};
  for (int recovered : {0, 2}) {
    SCOPED_TRACE(recovered);
    Rig r;
    r.rec.recovered_write = recovered;
    ASSERT_EQ(cdrw_init(&r.dev, "/dev/sg1"), 0);
    ASSERT_EQ(Burn(&r.dev, files), 0);
    EXPECT_EQ(r.rec.reserve_len, 288u) << "the header track is reserved in blocks";
    optest::Walked w = optest::WalkUdf(r.rec.Image(), 0);
    ASSERT_EQ(w.error, "");
    EXPECT_TRUE(w.files["a.mp4"] == files[0].second);
    EXPECT_EQ(w.files["b.txt"], "hello");
  }
}

TEST(CdrwDrive, FailedWritesFailTheRecording) {
  Rig clean;
  ASSERT_EQ(cdrw_init(&clean.dev, "/dev/sg1"), 0);
  ASSERT_EQ(Burn(&clean.dev, {{"a", std::string(250000, 'a')}}), 0);
  const int total = clean.rec.writes;
  ASSERT_GT(total, 4);
  for (int fail : {1, total / 2, total}) {  // the first, a middle and the last WRITE
    SCOPED_TRACE(fail);
    Rig r;
    r.rec.fail_write = fail;
    ASSERT_EQ(cdrw_init(&r.dev, "/dev/sg1"), 0);
    EXPECT_LT(Burn(&r.dev, {{"a", std::string(250000, 'a')}}), 0);
    cdrw_udf_end(&r.dev);
  }
}

}  // namespace
