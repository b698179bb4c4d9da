// The session description (RFC 4566) a DESCRIBE answers with, as far as an
// H.264 client needs it (RFC 6184 section 8): the aggregate control URL and
// up to two H.264 video tracks with their payload type, clock rate,
// packetization mode, profile and parameter sets.
//
//   v=0
//   a=control:*                                  session level, optional
//   m=video 0 RTP/AVP 96
//   a=rtpmap:96 H264/90000
//   a=fmtp:96 packetization-mode=1;profile-level-id=42e01f;sprop-parameter-sets=Z0IA..,aM4..
//   a=control:trackID=1                          relative or absolute
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/rtsp/codec/message.h"

namespace qrv::tmcc::rtsp {

inline constexpr size_t kMaxSdpLength = kMaxBody;
inline constexpr size_t kMaxVideoTracks = 2;
inline constexpr size_t kMaxParameterSets = 8;  // per track
inline constexpr size_t kMaxParameterSetBytes = 4096;

enum class SdpError {
  kNone,
  kTooLong,
  kNotSdp,  // no "v=0" first
  kNoH264,  // no video track with H.264 in packetization mode 0 or 1
};

struct H264Track {
  std::string control;  // resolved: the URL to SETUP
  uint8_t payloadType = 0;
  uint32_t clockRate = 90000;
  int packetizationMode = 0;
  std::optional<uint32_t> profileLevelId;  // 24 bits: profile_idc, constraints, level_idc
  // sprop-parameter-sets, decoded: NAL units without start codes. Entries
  // that are not base64 (some cameras also leave the padding off, which is
  // taken) or are empty or too long are left out; the stream repeats them.
  std::vector<std::vector<uint8_t>> parameterSets;
};

struct SessionDescription {
  std::string control;                 // resolved aggregate URL: PLAY, PAUSE, TEARDOWN
  std::vector<H264Track> videoTracks;  // at most kMaxVideoTracks, in order
};

struct SdpResult {
  SdpError error = SdpError::kNone;
  SessionDescription description;
  bool ok() const { return error == SdpError::kNone; }
};

// baseUrl resolves relative controls: see DescribeBaseUrl.
SdpResult ParseSdp(std::string_view text, std::string_view baseUrl);

// The base URL for a DESCRIBE response's controls (RFC 2326 C.1.1):
// Content-Base, else Content-Location, else the URL the request went to.
std::string DescribeBaseUrl(const Response& describe, std::string_view requestUrl);

}  // namespace qrv::tmcc::rtsp
