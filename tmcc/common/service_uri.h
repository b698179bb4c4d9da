// Where on a camera a URI from the camera points: ONVIF answers carry
// absolute URIs (service XAddrs, snapshot and stream URIs) whose host may be
// anything the camera believes about itself (a NAT's inside address, a name
// we cannot resolve, a third party). We keep only the port and the path with
// its query, and always use the address we reached the camera at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::tmcc {

inline constexpr size_t kMaxServiceUri = 2048;

// scheme://[userinfo@]host[:port][/path][?query][#fragment], split. The host
// may be a bracketed IPv6 literal; nothing is resolved.
struct UriParts {
  std::string scheme;  // lower-cased
  std::string host;    // lower-cased, brackets removed
  std::optional<uint16_t> port;
  std::string target;  // path and query, "/" when the URI has no path
};

// Nothing for a URI over kMaxServiceUri, without "scheme://", with a space,
// control character or byte above 0x7e, or with a port that is not 1..65535.
// Threading: pure.
std::optional<UriParts> SplitUri(std::string_view uri);

struct CameraLocation {
  uint16_t port = 0;
  std::string target;  // path and query, for the request line
};

// The port (defaultPort when the URI names none) and target of uri, for use
// on the camera's own address. Threading: pure.
std::optional<CameraLocation> LocateOnCamera(std::string_view uri, uint16_t defaultPort);

// The parts of an http:// URL a camera writes into its answers (a
// subscription's address, a discovered device's XAddrs). The host is only
// compared, never connected to.
struct ServiceUrl {
  bool https = false;
  std::string host;              // as written, lower-cased; empty for a bare path
  std::optional<uint16_t> port;  // when written
  std::string path = "/";        // path and query, always starting with '/'
};

// Reads "http://host[:port][/path]", "https://..." or a bare "/path" (as
// SplitUri, but a user part is refused, and an IPv6 host keeps its
// brackets). Nothing for any other form. Threading: pure.
std::optional<ServiceUrl> ParseServiceUrl(std::string_view text);

}  // namespace qrv::tmcc
