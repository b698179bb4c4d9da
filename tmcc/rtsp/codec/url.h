// RTSP URLs as a camera or an operator gives them:
//   rtsp://[user[:password]@]host[:port][/path][?query]
// The host is an IPv4 literal or a DNS name. Credentials are percent-decoded
// (they feed the Authorization header, never the request line); the path and
// query stay as written, since the server compares them byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qrv::tmcc::rtsp {

inline constexpr uint16_t kDefaultRtspPort = 554;
inline constexpr size_t kMaxUrlLength = 2048;

enum class UrlError {
  kNone,
  kTooLong,
  kNotRtsp,       // another scheme, or no "rtsp://"
  kBadCharacter,  // a control character, space, '#' or a byte above 0x7e
  kBadUserInfo,   // a second '@', an empty user, bad percent-encoding
  kBadHost,       // empty, a bracketed (IPv6) literal, an invalid name or IPv4
  kBadPort,       // empty, not decimal, 0 or above 65535
};

struct Url {
  bool hasCredentials = false;
  std::string user;      // decoded
  std::string password;  // decoded
  std::string host;      // lower-cased
  uint16_t port = kDefaultRtspPort;
  std::string path = "/";  // never empty, begins with '/'
  std::string query;       // without the '?', as written

  // The URL to put on request lines and resolve controls against: no
  // credentials, the port only when not the default.
  std::string WithoutCredentials() const;
};

struct UrlResult {
  UrlError error = UrlError::kNone;
  Url url;
  bool ok() const { return error == UrlError::kNone; }
};

UrlResult ParseUrl(std::string_view text);

// Whether host is a dotted-quad IPv4 literal (four decimal parts 0-255, no
// leading zeros, which some resolvers read as octal).
bool IsIpv4Literal(std::string_view host);

// Resolves an SDP a=control value against the presentation's base URL:
//  - "*" or empty: the base itself (aggregate control);
//  - an absolute URL ("scheme:..."): itself;
//  - "/path": the base's scheme and authority with that path;
//  - otherwise appended to the base, with a '/' between unless the base ends
//    with one. (RFC 3986 would replace the base's last segment instead, but a
//    server that sends a base without the trailing slash means the
//    presentation itself as the directory, and that is what it expects back.)
std::string ResolveControl(std::string_view base, std::string_view control);

}  // namespace qrv::tmcc::rtsp
