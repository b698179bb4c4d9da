// The RTP fixed header (RFC 3550 5.1):
//
//    0                   1                   2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|X|  CC   |M|     PT      |       sequence number         |
//   |                           timestamp                           |
//   |           synchronization source (SSRC) identifier            |
//   |            contributing source (CSRC) identifiers (CC)        |
//   | [X: profile-defined (16) | length in 32-bit words (16) | ...] |
//   |                    payload ...    [padding, its count last]   |
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qrv::tmcc::rtsp {

inline constexpr size_t kRtpHeaderSize = 12;

enum class RtpError {
  kNone,
  kTooShort,      // under 12 bytes, or the CSRC list runs past the end
  kBadVersion,    // not version 2
  kBadExtension,  // the header extension runs past the end
  kBadPadding,    // a padding count of 0 or longer than the payload
};

struct RtpHeader {
  bool marker = false;
  uint8_t payloadType = 0;  // 7 bits
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
};

struct RtpPacket {
  RtpHeader header;
  uint8_t csrcCount = 0;
  bool hasExtension = false;
  uint16_t extensionProfile = 0;
  std::span<const uint8_t> extension;  // the extension's data words
  std::span<const uint8_t> payload;    // without padding; into the input
};

struct RtpResult {
  RtpError error = RtpError::kNone;
  RtpPacket packet;
  bool ok() const { return error == RtpError::kNone; }
};

RtpResult ParseRtp(std::span<const uint8_t> bytes);

// Appends a version-2 packet with no CSRC, extension or padding.
void AppendRtp(std::vector<uint8_t>& out, const RtpHeader& header,
               std::span<const uint8_t> payload);

}  // namespace qrv::tmcc::rtsp
