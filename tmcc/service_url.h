// The parts of an http:// URL a camera writes into its answers (a
// subscription's address, a discovered device's XAddrs) that we may use. The
// host in such a URL is only compared, never connected to: requests always go
// to the address the connection knows the camera by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::tmcc {

struct ServiceUrl {
  bool https = false;
  std::string host;              // as written, lower-cased; empty for a bare path
  std::optional<uint16_t> port;  // when written
  std::string path = "/";        // path and query, always starting with '/'
};

// Reads "http://host[:port][/path]", "https://..." or a bare "/path". Nothing
// for any other form, a port out of range, or a byte that could not go
// into a request line as it is (control characters, space, non-ASCII), so a
// path from a payload cannot split or extend our request. Pure; any thread.
std::optional<ServiceUrl> ParseServiceUrl(std::string_view text);

}  // namespace qrv::tmcc
