// QMI messages: the WDS requests byte for byte, and replies that are short,
// inconsistent or answer something else.
#include <gtest/gtest.h>

#include "cellular/qmi.h"

// GCC 12 at -O3 (the board build) takes the short string assignments below
// for overlapping copies of 2 GiB: a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace {

using namespace cellular;

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

TEST(Qmi, StartRequestCarriesItsTlvsInOrder) {
  QmiCallParams p;
  p.apn = "internet";
  p.user = "u";
  p.password = "p";
  p.auth = 0;
  QmiMsg m = WdsStartRequest(p);
  m.txn = 0x0102;
  EXPECT_EQ(QmiPack(m), Bytes({0, 2, 1, 0x20, 0, 31, 0, 0x30, 1, 0, 1, 0x14, 8, 0, 'i', 'n', 't', 'e', 'r', 'n', 'e',
                               't', 0x17, 1, 0, 'u', 0x18, 1, 0, 'p', 0x16, 1, 0, 1, 0x19, 1, 0, 4}));
  // CDMA, no APN, no user: technology 2 and the IP family alone.
  QmiCallParams c;
  c.cdma = true;
  c.password = "only";
  QmiMsg cm = WdsStartRequest(c);
  ASSERT_EQ(cm.tlvs.size(), 3u);
  EXPECT_EQ(cm.tlvs[0].value, "\x02");
  EXPECT_EQ(cm.tlvs[1].type, 0x18);
  EXPECT_EQ(cm.tlvs[2].type, 0x19);
  EXPECT_EQ(QmiPack(WdsStopRequest(0x12345678)), Bytes({0, 0, 0, 0x21, 0, 7, 0, 1, 4, 0, 0x78, 0x56, 0x34, 0x12}));
}

TEST(Qmi, RepliesAreWalkedBeforeTheirFieldsAreRead) {
  std::string ok = Bytes({2, 1, 0, 0x20, 0, 14, 0, 2, 4, 0, 0, 0, 0, 0, 1, 4, 0, 0x78, 0x56, 0x34, 0x12});
  auto m = QmiParse(ok, nullptr);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->flags, 2);
  EXPECT_EQ(m->txn, 1);
  EXPECT_EQ(WdsStartHandle(*m), 0x12345678u);
  std::string err;
  EXPECT_FALSE(QmiParse(ok.substr(0, 6), &err));  // header cut
  EXPECT_FALSE(QmiParse(ok.substr(0, ok.size() - 1), &err));  // length disagrees
  std::string runs = ok;
  runs[15] = 9;  // TLV 1 claims more than there is
  EXPECT_FALSE(QmiParse(runs, &err));
  EXPECT_EQ(err, "TLV runs past the message");
  // A failed start: result 1, error 0x0e; no handle.
  auto failed = QmiParse(Bytes({2, 1, 0, 0x20, 0, 7, 0, 2, 4, 0, 1, 0, 0x0e, 0}), nullptr);
  ASSERT_TRUE(failed);
  uint16_t r = 0, e = 0;
  EXPECT_TRUE(QmiResult(*failed, &r, &e));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(e, 0x0e);
  EXPECT_FALSE(WdsStartHandle(*failed));
  // A reply whose first TLV is not the result, or a short result.
  auto odd = QmiParse(Bytes({2, 1, 0, 0x20, 0, 7, 0, 1, 4, 0, 1, 2, 3, 4}), nullptr);
  ASSERT_TRUE(odd);
  EXPECT_FALSE(QmiResult(*odd, &r, &e));
  EXPECT_FALSE(WdsStartHandle(*odd));
  // Status: 2 is connected, unless reconfiguration is asked; missing TLV 1 is down.
  auto st = [&](std::string v) {
    QmiMsg s;
    s.tlvs.push_back({2, std::string(4, '\0')});
    if (!v.empty()) s.tlvs.push_back({1, v});
    return WdsConnected(s);
  };
  EXPECT_TRUE(st(std::string("\x02\x00", 2)));
  EXPECT_FALSE(st(std::string("\x02\x01", 2)));
  EXPECT_FALSE(st("\x01"));
  EXPECT_FALSE(st(""));
}

}  // namespace
