// RTP fixed headers: every field read back, optional parts skipped within the
// packet, and packets whose parts run past their end refused.
#include <gtest/gtest.h>

#include <vector>

#include "tmcc/rtsp/codec/rtp.h"

namespace rt = qrv::tmcc::rtsp;

TEST(Rtp, BuiltHeadersParseBack) {
  const std::vector<uint8_t> payload = {0x65, 1, 2, 3};
  std::vector<uint8_t> packet;
  rt::AppendRtp(packet, {true, 96, 65535, 0xfffffff0u, 0x01020304u}, payload);
  ASSERT_EQ(packet.size(), rt::kRtpHeaderSize + payload.size());
  const auto r = rt::ParseRtp(packet);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.packet.header.marker);
  EXPECT_EQ(r.packet.header.payloadType, 96);
  EXPECT_EQ(r.packet.header.sequence, 65535);
  EXPECT_EQ(r.packet.header.timestamp, 0xfffffff0u);
  EXPECT_EQ(r.packet.header.ssrc, 0x01020304u);
  EXPECT_EQ(std::vector<uint8_t>(r.packet.payload.begin(), r.packet.payload.end()), payload);

  packet.clear();
  rt::AppendRtp(packet, {false, 127, 0, 0, 0}, {});
  const auto empty = rt::ParseRtp(packet);
  ASSERT_TRUE(empty.ok());
  EXPECT_FALSE(empty.packet.header.marker);
  EXPECT_EQ(empty.packet.header.payloadType, 127);
  EXPECT_TRUE(empty.packet.payload.empty());
}

TEST(Rtp, SkipsCsrcsExtensionAndPadding) {
  // V=2 P=1 X=1 CC=2 | M=0 PT=96 | seq 0x1234 | ts | ssrc | 2 CSRC |
  // extension 0xBEDE with one word | payload AA BB | padding 00 00 03
  const std::vector<uint8_t> packet = {0xb2, 0x60, 0x12, 0x34, 0,   0, 0, 1,
                                       0,    0,    0,    2,                   // fixed header
                                       1,    1,    1,    1,    2,   2, 2, 2,  // CSRC list
                                       0xbe, 0xde, 0x00, 0x01, 9,   9, 9, 9,  // extension
                                       0xaa, 0xbb, 0x00, 0x00, 0x03};         // payload, padding
  const auto r = rt::ParseRtp(packet);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.packet.csrcCount, 2);
  EXPECT_TRUE(r.packet.hasExtension);
  EXPECT_EQ(r.packet.extensionProfile, 0xbede);
  EXPECT_EQ(r.packet.extension.size(), 4u);
  EXPECT_EQ(std::vector<uint8_t>(r.packet.payload.begin(), r.packet.payload.end()),
            (std::vector<uint8_t>{0xaa, 0xbb}));
  EXPECT_EQ(r.packet.header.sequence, 0x1234);

  // Padding may take the whole payload, but no more.
  std::vector<uint8_t> allPadding = {0xa0, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3};
  const auto p = rt::ParseRtp(allPadding);
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(p.packet.payload.empty());
}

TEST(Rtp, RefusesPartsThatRunPastThePacket) {
  struct Case {
    std::vector<uint8_t> packet;
    rt::RtpError error;
  };
  const std::vector<uint8_t> h = {0x80, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  auto with = [&](uint8_t first, std::vector<uint8_t> tail) {
    std::vector<uint8_t> p = h;
    p[0] = first;
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
  };
  const Case cases[] = {
      {{}, rt::RtpError::kTooShort},
      {{0x80, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0}, rt::RtpError::kTooShort},
      {with(0x40, {1}), rt::RtpError::kBadVersion},
      {with(0xc0, {1}), rt::RtpError::kBadVersion},
      {with(0x8f, std::vector<uint8_t>(59)), rt::RtpError::kTooShort},  // 15 CSRC need 60
      {with(0x90, {0xbe, 0xde, 0}), rt::RtpError::kBadExtension},       // header cut off
      {with(0x90, {0xbe, 0xde, 0, 2, 1, 1, 1, 1, 2, 2, 2}), rt::RtpError::kBadExtension},
      {with(0x90, {0xbe, 0xde, 0xff, 0xff}), rt::RtpError::kBadExtension},
      {with(0xa0, {1, 2, 0}), rt::RtpError::kBadPadding},  // a count of zero
      {with(0xa0, {1, 2, 4}), rt::RtpError::kBadPadding},  // more than the payload
      {with(0xa0, {}), rt::RtpError::kBadPadding},         // its count would lie in the header
      {with(0xb0, {0, 0, 0, 0, 5}), rt::RtpError::kBadPadding},  // into the extension
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(rt::ParseRtp(cases[i].packet).error, cases[i].error) << "case " << i;
  }
}
