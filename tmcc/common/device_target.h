// Which protocol a device speaks, decided from the address and port a host
// gives, without probing the device:
//  - an address written as an rtsp:// URL, or port 554: a standard camera
//    over RTSP (the URL's own port then; without a URL, the path "/");
//  - an address written as an http:// URL (http://a.b.c.d[:port][/path]), or
//    port 80, 8080 or 8000: a standard camera over ONVIF, its device service
//    at the URL's port (80 when none) and path (without one, and for the
//    plain ports, "/onvif/device_service");
//  - any other port: our protocol.
//  - a token of a long address ("@N", see long_address.h): that address.
// Only IPv4 literals and "localhost" are taken: nothing is resolved.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tmcc/common/link.h"

namespace qrv::tmcc {

inline constexpr std::string_view kOnvifDevicePath = "/onvif/device_service";

struct DeviceTarget {
  Backend backend = Backend::kNative;
  asio::ip::address address;
  uint16_t port = 0;
  std::string rtspUrl;    // kRtsp: without credentials
  std::string onvifPath;  // kOnvif: the device service's path (and query)
  // kRtsp: credentials written in the URL (used when the host gives none).
  std::string urlUser;
  std::string urlPassword;
};

// Nothing when the address or port is malformed. Threading: pure.
std::optional<DeviceTarget> ChooseDeviceTarget(std::string_view address, int32_t port);

// Whether `allowList` (TMCC_ALLOW_BASIC's value, devicelib/tmcc_extensions.h)
// names the device the host gives as `address`, reached at `port`. Threading:
// pure.
bool BasicAllowedFor(std::string_view allowList, std::string_view address, int32_t port);

}  // namespace qrv::tmcc
