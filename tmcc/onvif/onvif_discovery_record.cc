#include "tmcc/onvif/onvif_discovery_record.h"

#include <optional>
#include <string_view>

#include "tmcc/common/record_fields.h"
#include "tmcc/common/service_uri.h"

namespace qrv::tmcc {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Scopes are URIs: "Model%20X" is "Model X". A broken escape stays as it is.
std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high >= 0 && low >= 0 && (high != 0 || low != 0)) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::optional<std::string> ScopeValue(const onvif::DiscoveredDevice& device,
                                      std::string_view prefix) {
  for (const auto& scope : device.scopes) {
    if (scope.size() > prefix.size() && std::string_view(scope).starts_with(prefix)) {
      return Unescape(std::string_view(scope).substr(prefix.size()));
    }
  }
  return std::nullopt;
}

uint16_t ControlPort(const onvif::DiscoveredDevice& device, const std::string& senderAddress) {
  for (const auto& xaddr : device.xaddrs) {
    const auto url = ParseServiceUrl(xaddr);
    if (url && url->host == senderAddress) {
      return url->port.value_or(url->https ? kOnvifDefaultSecurePort : kOnvifDefaultControlPort);
    }
  }
  return kOnvifDefaultControlPort;
}

}  // namespace

devicelib::ServerInfoRecord OnvifServerInfo(const onvif::DiscoveredDevice& device,
                                            const std::string& senderAddress) {
  devicelib::ServerInfoRecord info{};
  info.size = sizeof(info);
  SetFieldText(info.identity, device.endpoint);
  SetFieldText(info.address, senderAddress);
  auto model = ScopeValue(device, "onvif://www.onvif.org/hardware/");
  if (!model) model = ScopeValue(device, "onvif://www.onvif.org/name/");
  if (model) SetFieldText(info.model, *model);
  info.controlPort = ControlPort(device, senderAddress);
  info.streamPort = kOnvifDefaultStreamPort;
  return info;
}

}  // namespace qrv::tmcc
