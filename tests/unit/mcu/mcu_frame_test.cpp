// Frames, the receive buffer, the image CRC, frame sizes and the package
// header of the framed upgrade protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/mcu/mcu.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes link(uint8_t cmd, Bytes data) {
  Bytes f(data.size() + 6);
  EXPECT_EQ(McuLinkFrame(cmd, data.data(), static_cast<uint32_t>(data.size()), f.data(), 255), (int)f.size());
  return f;
}

TEST(McuFrame, EncodesTheLinkAndInnerFrames) {
  EXPECT_EQ(link(0x15, {0x03, 0x01}), (Bytes{0x5A, 0x56, 0x04, 0x02, 0x15, 0x03, 0x01, 0xCF}));
  uint8_t f[64];
  const uint8_t d[10] = {0, 0, 0x80, 0, 0x12, 0x34, 0, 0, 0x28, 0};
  ASSERT_EQ(McuWrapFrame(1, 0, 0x82, d, 10, f, sizeof f), 24);
  McuInner_t in{};
  ASSERT_TRUE(McuParseWrapped(f, 24, &in));
  EXPECT_EQ(in.Cmd, 0x82);
  EXPECT_EQ(in.Len, 10);
  EXPECT_EQ(in.Addr, 1);
  EXPECT_EQ(McuWrapFrame(0, 0, 0x86, nullptr, 0, f, sizeof f), 14);
  f[12] ^= 1;  // the inner sum no longer matches
  f[13] = McuSum8(f, 13);
  EXPECT_FALSE(McuParseWrapped(f, 14, &in));
  EXPECT_EQ(McuLinkFrame(0x15, d, 254, f, sizeof f), -1) << "too long for the buffer and the length byte";
}

TEST(McuFrame, ImageCrcIsModbus) {
  const char* check = "123456789";
  EXPECT_EQ(McuCrc16(reinterpret_cast<const uint8_t*>(check), 9), 0x4B37);
  EXPECT_EQ(McuCrc16(nullptr, 0), 0xFFFF);
}

TEST(McuRxBuf, FindsFramesInTheStream) {
  Bytes a = link(0x15, {0x01}), b = link(0x1B, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  McuRxBuf_t r{};
  Bytes in = {0x00, 0x11, 0x22};  // garbage first
  in.insert(in.end(), a.begin(), a.end());
  in.insert(in.end(), b.begin(), b.end());
  ASSERT_EQ(Push_VerifyRxBuf(&r, in.data(), static_cast<uint32_t>(in.size())), 0);
  ASSERT_EQ(Pop_VerifyRxBuf(&r), 0);
  EXPECT_EQ(Bytes(r.Frame, r.Frame + r.FrameLen), a);
  EXPECT_EQ(r.Pending, 1) << "a second frame waits";
  ASSERT_EQ(Pop_VerifyRxBuf(&r), 0);
  EXPECT_EQ(Bytes(r.Frame, r.Frame + r.FrameLen), b);
  EXPECT_EQ(r.Pending, 0);
  EXPECT_EQ(Pop_VerifyRxBuf(&r), -1);

  // Split over two reads.
  ASSERT_EQ(Push_VerifyRxBuf(&r, b.data(), 6), 0);
  EXPECT_EQ(Pop_VerifyRxBuf(&r), -1);
  ASSERT_EQ(Push_VerifyRxBuf(&r, b.data() + 6, static_cast<uint32_t>(b.size() - 6)), 0);
  ASSERT_EQ(Pop_VerifyRxBuf(&r), 0);
  EXPECT_EQ(r.FrameLen, b.size());
}

TEST(McuRxBuf, SkipsBadSumsAndStrayStarts) {
  Bytes good = link(0x15, {0x01}), bad = good;
  bad[6] ^= 0xFF;
  Bytes in = {0x5A, 0x56, 0xF0, 0xEE};  // a start byte announcing 244 bytes
  in.insert(in.end(), bad.begin(), bad.end());
  in.insert(in.end(), good.begin(), good.end());
  McuRxBuf_t r{};
  ASSERT_EQ(Push_VerifyRxBuf(&r, in.data(), static_cast<uint32_t>(in.size())), 0);
  ASSERT_EQ(Pop_VerifyRxBuf(&r), 0) << "the later good frame is still found";
  EXPECT_EQ(Bytes(r.Frame, r.Frame + r.FrameLen), good);

  Bytes big(78, 0x5A);
  EXPECT_EQ(Push_VerifyRxBuf(&r, big.data(), 78), -2);
  EXPECT_EQ(r.Count, 0u);
  Bytes many(60, 0);
  ASSERT_EQ(Push_VerifyRxBuf(&r, many.data(), 60), 0);
  EXPECT_EQ(Push_VerifyRxBuf(&r, many.data(), 40), -2) << "97 bytes would overflow the buffer";
}

TEST(McuPlan, FrameSizesAndTheLastFrame) {
  EXPECT_EQ(McuFrameSize(0x0100, 0, 1), 32u);
  EXPECT_EQ(McuFrameSize(0x0000, 0, 0), 112u);
  EXPECT_EQ(McuFrameSize(0x0101, 200, 1), 192u) << "whole 32-byte units";
  EXPECT_EQ(McuFrameSize(0x0101, 0, 1), 0u);
  EXPECT_EQ(McuFrameSize(0x0101, 20, 1), 0u);
  EXPECT_EQ(McuFrameSize(0x0101, 255, 1), 224u);
  // 1000 bytes in frames of 112: eight full, the ninth carries 104 padded to 112.
  EXPECT_EQ((1000 + 111) / 112, 9);
  EXPECT_EQ(McuPadded(0x0100, 1000 - 8 * 112), 112u);
  EXPECT_EQ(McuPadded(0x0101, 1), 32u);
}

TEST(McuPackage, HeaderChecks) {
  Bytes p(64 + 10, 0);
  p[14] = 3;
  p[15] = 1;
  McuPkg_t k{};
  ASSERT_EQ(McuParsePackage(p.data(), static_cast<uint32_t>(p.size()), &k), nullptr);
  EXPECT_EQ(k.ImageLen, 10u);
  EXPECT_EQ(k.DevType, 3);
  EXPECT_NE(McuParsePackage(p.data(), 63, &k), nullptr);
  EXPECT_STREQ(McuParsePackage(p.data(), 64, &k), "empty image");
  p[16] = 2;
  EXPECT_STREQ(McuParsePackage(p.data(), static_cast<uint32_t>(p.size()), &k), "unknown mode");
  p[16] = 1;
  p[17] = 48;
  EXPECT_NE(McuParsePackage(p.data(), static_cast<uint32_t>(p.size()), &k), nullptr);
  p[17] = 47;
  EXPECT_EQ(McuParsePackage(p.data(), static_cast<uint32_t>(p.size()), &k), nullptr);
}

}  // namespace
