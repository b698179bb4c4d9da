// The media service's messages we use: the profiles, and for a profile its
// RTSP stream URI and snapshot URI. Client and server sides. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc::onvif {

struct MediaProfile {
  std::string token;
  std::string name;
  std::string videoSourceToken;  // the physical input; profiles sharing it show one camera
  std::string videoEncoding;     // "H264", "JPEG", "MPEG4"; empty without a video encoder
  int width = 0;
  int height = 0;
  int frameRateLimit = 0;  // 0 when not given
  int bitrateLimit = 0;    // kbit/s, 0 when not given
  bool hasPtz = false;     // a PTZ configuration is part of the profile
};

inline constexpr size_t kMaxProfiles = 64;

struct MediaUri {
  std::string uri;
  bool invalidAfterConnect = false;
  bool invalidAfterReboot = false;
  int64_t timeoutMs = 0;
};

// Client. The stream is always asked as RTP unicast over RTSP (RTP over the
// RTSP connection or UDP is negotiated by RTSP itself).
std::string BuildGetProfilesRequest(const std::optional<UsernameToken>& security);
// At most kMaxProfiles profiles; ones without a token are skipped.
Result<std::vector<MediaProfile>> ParseGetProfilesResponse(std::string_view xml);
std::string BuildGetStreamUriRequest(const std::optional<UsernameToken>& security,
                                     std::string_view profileToken);
Result<MediaUri> ParseGetStreamUriResponse(std::string_view xml);
std::string BuildGetSnapshotUriRequest(const std::optional<UsernameToken>& security,
                                       std::string_view profileToken);
Result<MediaUri> ParseGetSnapshotUriResponse(std::string_view xml);

// Server. GetProfiles carries no arguments; GetSnapshotUri only the token.
struct GetStreamUriRequest {
  std::string profileToken;
  std::string stream;    // "RTP-Unicast" or "RTP-Multicast"
  std::string protocol;  // "UDP", "TCP", "RTSP" or "HTTP"
};
Result<GetStreamUriRequest> ParseGetStreamUriRequest(const XmlElement& body);
Result<std::string> ParseGetSnapshotUriRequest(const XmlElement& body);

std::string BuildGetProfilesResponse(const std::vector<MediaProfile>& profiles);
std::string BuildGetStreamUriResponse(const MediaUri& uri);
std::string BuildGetSnapshotUriResponse(const MediaUri& uri);

}  // namespace qrv::tmcc::onvif
