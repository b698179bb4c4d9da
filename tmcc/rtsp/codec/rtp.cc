#include "tmcc/rtsp/codec/rtp.h"

namespace qrv::tmcc::rtsp {

namespace {

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

RtpResult ParseRtp(std::span<const uint8_t> bytes) {
  RtpResult r;
  if (bytes.size() < kRtpHeaderSize) {
    r.error = RtpError::kTooShort;
    return r;
  }
  if ((bytes[0] >> 6) != 2) {
    r.error = RtpError::kBadVersion;
    return r;
  }
  const bool padding = (bytes[0] & 0x20) != 0;
  RtpPacket& p = r.packet;
  p.hasExtension = (bytes[0] & 0x10) != 0;
  p.csrcCount = bytes[0] & 0x0f;
  p.header.marker = (bytes[1] & 0x80) != 0;
  p.header.payloadType = bytes[1] & 0x7f;
  p.header.sequence = Be16(&bytes[2]);
  p.header.timestamp = Be32(&bytes[4]);
  p.header.ssrc = Be32(&bytes[8]);

  size_t pos = kRtpHeaderSize + 4 * size_t(p.csrcCount);
  if (bytes.size() < pos) {
    r.error = RtpError::kTooShort;
    return r;
  }
  if (p.hasExtension) {
    if (bytes.size() - pos < 4) {
      r.error = RtpError::kBadExtension;
      return r;
    }
    p.extensionProfile = Be16(&bytes[pos]);
    const size_t words = Be16(&bytes[pos + 2]);
    pos += 4;
    if ((bytes.size() - pos) / 4 < words) {
      r.error = RtpError::kBadExtension;
      return r;
    }
    p.extension = bytes.subspan(pos, 4 * words);
    pos += 4 * words;
  }
  size_t end = bytes.size();
  if (padding) {
    // The last byte counts the padding, itself included.
    const size_t count = bytes.back();
    if (count == 0 || count > end - pos) {
      r.error = RtpError::kBadPadding;
      return r;
    }
    end -= count;
  }
  p.payload = bytes.subspan(pos, end - pos);
  return r;
}

void AppendRtp(std::vector<uint8_t>& out, const RtpHeader& header,
               std::span<const uint8_t> payload) {
  out.push_back(0x80);
  out.push_back(static_cast<uint8_t>((header.marker ? 0x80 : 0) | (header.payloadType & 0x7f)));
  out.push_back(static_cast<uint8_t>(header.sequence >> 8));
  out.push_back(static_cast<uint8_t>(header.sequence));
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(header.timestamp >> shift));
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(header.ssrc >> shift));
  out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace qrv::tmcc::rtsp
