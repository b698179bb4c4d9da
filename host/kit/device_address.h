// A device's address as a host tool or the recorder's list gives it: an IPv4 address (our
// protocol, or a standard camera chosen by its port), or a standard camera's
// URL, rtsp:// or http:// (ONVIF), which the plug-in's login and stream take
// as written: the device library reads host, port and path from it. A URL
// longer than the plug-in's DeviceIP field is registered with the device
// library first and its token goes through the plug-in instead.
//
// Threads: any; pure but for AddressForPlugin, which calls the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devicelib/tmcc_extensions.h"

namespace qrv::host {

// The plug-in's DeviceIP field holds this many bytes.
inline constexpr size_t kMaxAddressText = 31;
// A URL may be this long when the device library registers long addresses.
inline constexpr size_t kMaxUrlText = devicelib::kMaxRegisteredAddress;

struct AddressCheck {
  std::string error;               // empty when the plug-in can take the address
  std::optional<int32_t> urlPort;  // a URL's port, its scheme's default when it names none
};

// Only IPv4 literals (and "localhost" in a URL) are taken, as the device
// library resolves no names. A URL must carry no user or password: the
// address is written to the log, the credentials come from user and password.
AddressCheck CheckDeviceAddress(const std::string& address);

// What the plug-in's DeviceIP gets for a checked address: the address itself
// when it fits, else the token registerAddress (the device library's
// TMCC_RegisterAddress, null when it has none) gives for it. error: why
// neither works, naming what does.
struct PluginAddress {
  std::string address;
  std::string error;
};
PluginAddress AddressForPlugin(const std::string& address,
                               devicelib::RegisterAddressFunction registerAddress);

// Whether address is written as a standard camera's URL (rtsp:// or
// http://, any letter case).
bool IsDeviceUrl(const std::string& address);

// "address:port" for our protocol, the URL alone for a URL (it names its port).
std::string DescribeAddress(const std::string& address, int32_t port);

// `text` with the user information of every URL in it ("scheme://user:pw@")
// written as "user:***@", so no message, log line or JSON document shows a
// password given in a URL. The rest of the text is unchanged.
std::string RedactUserInfo(std::string_view text);

}  // namespace qrv::host
