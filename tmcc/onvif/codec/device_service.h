// The device service's messages we use: the device's clock (for the
// UsernameToken), where its other services are, and what it is. Client
// request builders and response parsers, and the server side (request
// parsers, response builders) for the simulator. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc::onvif {

struct SystemDateAndTime {
  int64_t utcUnix = 0;  // the device's UTC clock, seconds since the epoch
  bool ntp = false;     // DateTimeType NTP (else Manual)
  bool daylightSavings = false;
  std::string timeZone;  // POSIX TZ text, when given
};

// XAddrs from GetCapabilities; empty where the device has no such service.
struct Capabilities {
  std::string device;
  std::string media;
  std::string ptz;
  std::string events;
  std::string imaging;
};

struct ServiceAddress {
  std::string ns;  // the service's namespace URI, e.g. ns::kMedia
  std::string xaddr;
  int versionMajor = 0;
  int versionMinor = 0;
};

inline constexpr size_t kMaxServices = 64;

// Manufacturer, model and versions, as the device states them: data only.
struct DeviceInformation {
  std::string manufacturer;
  std::string model;
  std::string firmwareVersion;
  std::string serialNumber;
  std::string hardwareId;
};

// Client. GetSystemDateAndTime goes unauthenticated: its answer is what
// makes a UsernameToken the device accepts.
std::string BuildGetSystemDateAndTimeRequest();
Result<SystemDateAndTime> ParseGetSystemDateAndTimeResponse(std::string_view xml);
std::string BuildGetCapabilitiesRequest(const std::optional<UsernameToken>& security);
Result<Capabilities> ParseGetCapabilitiesResponse(std::string_view xml);
std::string BuildGetServicesRequest(const std::optional<UsernameToken>& security,
                                    bool includeCapability);
// At most kMaxServices services, the first ones listed.
Result<std::vector<ServiceAddress>> ParseGetServicesResponse(std::string_view xml);
std::string BuildGetDeviceInformationRequest(const std::optional<UsernameToken>& security);
Result<DeviceInformation> ParseGetDeviceInformationResponse(std::string_view xml);

// Server. GetSystemDateAndTime and GetDeviceInformation carry no arguments.
struct GetCapabilitiesRequest {
  std::vector<std::string> categories;  // empty or "All" for all
};
Result<GetCapabilitiesRequest> ParseGetCapabilitiesRequest(const XmlElement& body);
Result<bool> ParseGetServicesRequest(const XmlElement& body);  // IncludeCapability

std::string BuildGetSystemDateAndTimeResponse(const SystemDateAndTime& time);
std::string BuildGetCapabilitiesResponse(const Capabilities& capabilities);
std::string BuildGetServicesResponse(const std::vector<ServiceAddress>& services);
std::string BuildGetDeviceInformationResponse(const DeviceInformation& info);

}  // namespace qrv::tmcc::onvif
