#include "host/kit/device_address.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "devicelib/tmcc_errors.h"

namespace qrv::host {
namespace {

struct Scheme {
  std::string_view prefix;
  int32_t defaultPort;
};
constexpr Scheme kSchemes[] = {{"rtsp://", 554}, {"http://", 80}};

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

const Scheme* SchemeOf(std::string_view address) {
  for (const Scheme& scheme : kSchemes)
    if (StartsWithIgnoreCase(address, scheme.prefix)) return &scheme;
  return nullptr;
}

// What fits the plug-in instead of a URL too long for it, by scheme.
std::string ShortFormHint(const Scheme& scheme) {
  if (scheme.defaultPort == 554)
    return "write the camera's RTSP URL in at most " + std::to_string(kMaxAddressText) +
           " bytes (leave out the port when it is 554, or use a shorter path)";
  return "give the camera's IPv4 address alone with port 80, 8080 or 8000 (its device service "
         "at /onvif/device_service), or an http:// URL of at most " +
         std::to_string(kMaxAddressText) + " bytes";
}

bool IsIpv4(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace

AddressCheck CheckDeviceAddress(const std::string& address) {
  AddressCheck check;
  const Scheme* scheme = SchemeOf(address);
  if (scheme == nullptr) {
    if (!IsIpv4(address))
      check.error = "\"" + address +
                    "\" is not an IPv4 address such as 192.0.2.10, nor an rtsp:// or http:// URL";
    return check;
  }
  if (address.size() > kMaxUrlText) {
    check.error = "\"" + address.substr(0, 64) + "...\" is longer than " +
                  std::to_string(kMaxUrlText) + " bytes, the most a camera's URL may have";
    return check;
  }
  for (char c : address) {
    if (c <= ' ' || c > '~' || c == '#') {
      check.error = "\"" + address + "\" holds a space, control character or '#'";
      return check;
    }
  }
  const std::string_view rest = std::string_view(address).substr(scheme->prefix.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
  if (authority.find('@') != std::string_view::npos) {
    check.error = "\"" + address +
                  "\" holds a user or password: give them as user and password (the address "
                  "is written to the log)";
    return check;
  }
  const size_t colon = authority.find(':');
  const std::string host(authority.substr(0, colon));
  if (host != "localhost" && !IsIpv4(host)) {
    check.error = "\"" + address + "\" must name its host as an IPv4 address or localhost";
    return check;
  }
  check.urlPort = scheme->defaultPort;
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    int32_t port = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || port < 1 ||
        port > 65535) {
      check.error = "\"" + address + "\" has a port outside 1..65535";
      check.urlPort.reset();
      return check;
    }
    check.urlPort = port;
  }
  return check;
}

PluginAddress AddressForPlugin(const std::string& address,
                               devicelib::RegisterAddressFunction registerAddress) {
  PluginAddress out;
  const Scheme* scheme = SchemeOf(address);
  if (address.size() <= kMaxAddressText || scheme == nullptr) {
    out.address = address;
    return out;
  }
  if (registerAddress == nullptr) {
    out.error = "the device library cannot take addresses longer than " +
                std::to_string(kMaxAddressText) + " bytes; " + ShortFormHint(*scheme);
    return out;
  }
  char token[16] = {};
  const int32_t result = registerAddress(address.c_str(), token, sizeof token);
  if (result == devicelib::kOk) {
    out.address = token;
    return out;
  }
  out.error =
      "the device library refused \"" + address + "\" (" + devicelib::DescribeResult(result) + ")";
  if (result == devicelib::kErrBusy)
    out.error += ": it holds " + std::to_string(devicelib::kMaxRegisteredAddresses) +
                 " long addresses already, the most it takes; " + ShortFormHint(*scheme);
  return out;
}

bool IsDeviceUrl(const std::string& address) {
  return SchemeOf(address) != nullptr;
}

std::string DescribeAddress(const std::string& address, int32_t port) {
  if (SchemeOf(address) != nullptr) return address;
  return address + ":" + std::to_string(port);
}

}  // namespace qrv::host
