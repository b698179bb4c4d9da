#include "tmcc/common/device_target.h"

#include <string>

#include "tmcc/common/long_address.h"
#include "tmcc/common/service_uri.h"
#include "tmcc/rtsp/codec/text.h"
#include "tmcc/rtsp/codec/url.h"

namespace qrv::tmcc {

namespace {

std::optional<asio::ip::address> LiteralAddress(std::string_view host) {
  if (host == "localhost") host = "127.0.0.1";
  asio::error_code ec;
  auto address = asio::ip::make_address(std::string(host), ec);
  if (ec) return std::nullopt;
  return address;
}

bool IsOnvifPort(int32_t port) {
  return port == 80 || port == 8080 || port == 8000;
}

// http://a.b.c.d[:port][/path]: the camera's device service.
std::optional<DeviceTarget> OnvifUrlTarget(std::string_view address) {
  auto parts = SplitUri(address);
  if (!parts || parts->scheme != "http") return std::nullopt;
  if (parts->host != "localhost" && !rtsp::IsIpv4Literal(parts->host)) return std::nullopt;
  // Credentials would go to whoever listens there in clear: the record's
  // fields carry them instead.
  const auto authority = address.substr(7, address.find_first_of("/?#", 7) - 7);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  auto literal = LiteralAddress(parts->host);
  if (!literal) return std::nullopt;
  DeviceTarget target;
  target.backend = Backend::kOnvif;
  target.address = *literal;
  target.port = parts->port.value_or(80);
  target.onvifPath = parts->target == "/" ? std::string(kOnvifDevicePath) : parts->target;
  return target;
}

}  // namespace

std::optional<DeviceTarget> ChooseDeviceTarget(std::string_view address, int32_t port) {
  if (LongAddresses::IsToken(address)) {
    // Registered addresses are URLs, never tokens: this recurses once.
    auto registered = LongAddresses::Instance().Resolve(address);
    if (!registered) return std::nullopt;
    return ChooseDeviceTarget(*registered, port);
  }
  if (rtsp::StartsWithIgnoreCase(address, "http://")) return OnvifUrlTarget(address);
  DeviceTarget target;
  if (rtsp::StartsWithIgnoreCase(address, "rtsp://")) {
    auto url = rtsp::ParseUrl(address);
    if (!url.ok()) return std::nullopt;
    if (url.url.host != "localhost" && !rtsp::IsIpv4Literal(url.url.host)) return std::nullopt;
    auto literal = LiteralAddress(url.url.host);
    if (!literal) return std::nullopt;
    target.backend = Backend::kRtsp;
    target.address = *literal;
    target.port = url.url.port;
    target.rtspUrl = url.url.WithoutCredentials();
    target.urlUser = url.url.user;
    target.urlPassword = url.url.password;
    return target;
  }
  if (port <= 0 || port > 65535) return std::nullopt;
  auto literal = LiteralAddress(address);
  if (!literal) return std::nullopt;
  target.address = *literal;
  target.port = static_cast<uint16_t>(port);
  if (port == rtsp::kDefaultRtspPort) {
    target.backend = Backend::kRtsp;
    auto url = rtsp::ParseUrl("rtsp://" + literal->to_string() + "/");
    if (!url.ok()) return std::nullopt;  // an IPv6 literal: no RTSP URL for it here
    target.rtspUrl = url.url.WithoutCredentials();
  } else if (IsOnvifPort(port)) {
    target.backend = Backend::kOnvif;
    target.onvifPath = std::string(kOnvifDevicePath);
  }
  return target;
}

bool BasicAllowedFor(std::string_view allowList, std::string_view address, int32_t port) {
  if (address.empty()) return false;
  const std::string withPort = std::string(address) + ":" + std::to_string(port);
  size_t start = 0;
  while (start < allowList.size()) {
    size_t end = allowList.find_first_of(", \t", start);
    if (end == std::string_view::npos) end = allowList.size();
    const std::string_view entry = allowList.substr(start, end - start);
    if (entry == "*" || entry == address || entry == withPort) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace qrv::tmcc
