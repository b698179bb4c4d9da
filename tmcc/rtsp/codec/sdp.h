// The session description (RFC 4566) a DESCRIBE answers with, as far as an
// H.264 or H.265 client needs it (RFC 6184 section 8, RFC 7798 section 7):
// the aggregate control URL and up to two video tracks with their codec,
// payload type, clock rate, packetization mode, profile and parameter sets.
// Of each m= section the first format (in the offer's order of preference)
// this client can take is the track.
//
//   v=0
//   a=control:*                                  session level, optional
//   m=video 0 RTP/AVP 96
//   a=rtpmap:96 H264/90000
//   a=fmtp:96 packetization-mode=1;profile-level-id=42e01f;sprop-parameter-sets=Z0IA..,aM4..
//   a=control:trackID=1                          relative or absolute
//
//   a=rtpmap:97 H265/90000
//   a=fmtp:97 sprop-vps=QAEM..;sprop-sps=QgEB..;sprop-pps=RAHA..
//
// H.265 is taken only without decoding-order numbers: sprop-max-don-diff
// and sprop-depack-buf-nalus absent or 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/rtsp/codec/annexb.h"
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
  // no video track with H.264 in packetization mode 0 or 1, or H.265
  // without decoding-order numbers
  kNoUsableVideo,
};

struct H264Track {
  VideoCodec codec = VideoCodec::kH264;
  std::string control;  // resolved: the URL to SETUP
  uint8_t payloadType = 0;
  uint32_t clockRate = 90000;
  int packetizationMode = 0;
  std::optional<uint32_t> profileLevelId;  // 24 bits: profile_idc, constraints, level_idc
  // sprop-parameter-sets (H.265: sprop-vps, sprop-sps, sprop-pps, in that
  // order), decoded: NAL units without start codes. Entries
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
  // kNoUsableVideo: the video formats offered, for a message ("H265 with
  // decoding-order numbers, MP4V-ES"); empty when there were none.
  std::string offered;
  bool ok() const { return error == SdpError::kNone; }
};

// baseUrl resolves relative controls: see DescribeBaseUrl.
SdpResult ParseSdp(std::string_view text, std::string_view baseUrl);

// The base URL for a DESCRIBE response's controls (RFC 2326 C.1.1):
// Content-Base, else Content-Location, else the URL the request went to.
std::string DescribeBaseUrl(const Response& describe, std::string_view requestUrl);

}  // namespace qrv::tmcc::rtsp
