#include "tmcc/device_target.h"

#include "tmcc/rtsp/text.h"
#include "tmcc/rtsp/url.h"

namespace qrv::tmcc {

namespace {

std::optional<asio::ip::address> LiteralAddress(std::string_view host) {
  if (host == "localhost") host = "127.0.0.1";
  asio::error_code ec;
  auto address = asio::ip::make_address(std::string(host), ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace

std::optional<DeviceTarget> ChooseDeviceTarget(std::string_view address, int32_t port) {
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
  }
  return target;
}

}  // namespace qrv::tmcc
