#include "host/kit/device_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
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
      check.error = "\"" + RedactUserInfo(address) +
                    "\" is not an IPv4 address such as 192.0.2.10, nor an rtsp:// or http:// URL";
    return check;
  }
  const std::string_view rest = std::string_view(address).substr(scheme->prefix.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
  // Before any check that quotes the address: a password may hold anything,
  // even what would end the redaction of free text early.
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user = authority.substr(0, std::min(at, authority.find(':')));
    check.error = "\"" + std::string(scheme->prefix) + std::string(user) + ":***" +
                  std::string(rest.substr(at)) +
                  "\" holds a user or password: give them as user and password (the address "
                  "is written to the log)";
    return check;
  }
  // A password holding '/' or '?' ends the authority early, and the rest of
  // it reads as a path: with an '@' anywhere, only what follows the last one
  // is quoted.
  const size_t lastAt = rest.rfind('@');
  const std::string shown = lastAt == std::string_view::npos ? address
                                                             : std::string(scheme->prefix) + "***" +
                                                                   std::string(rest.substr(lastAt));
  if (address.size() > kMaxUrlText) {
    check.error = "\"" + shown.substr(0, 64) + "...\" is longer than " +
                  std::to_string(kMaxUrlText) + " bytes, the most a camera's URL may have";
    return check;
  }
  for (char c : address) {
    if (c <= ' ' || c > '~' || c == '#') {
      check.error = "\"" + shown + "\" holds a space, control character or '#'";
      return check;
    }
  }
  const size_t colon = authority.find(':');
  const std::string host(authority.substr(0, colon));
  if (host != "localhost" && !IsIpv4(host)) {
    check.error = "\"" + shown + "\" must name its host as an IPv4 address or localhost";
    return check;
  }
  check.urlPort = scheme->defaultPort;
  if (colon != std::string_view::npos) {
    const std::string_view digits = authority.substr(colon + 1);
    int32_t port = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || port < 1 ||
        port > 65535) {
      check.error = "\"" + shown + "\" has a port outside 1..65535";
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
  if (SchemeOf(address) != nullptr) return RedactUserInfo(address);
  return address + ":" + std::to_string(port);
}

std::string RedactUserInfo(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t mark = text.find("://"); mark != std::string_view::npos;
       mark = text.find("://", mark + 3)) {
    // A scheme is letters (then letters, digits, '+', '-', '.') right before "://".
    size_t scheme = mark;
    while (scheme > 0) {
      const char c = text[scheme - 1];
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') break;
      --scheme;
    }
    if (scheme == mark || !std::isalpha(static_cast<unsigned char>(text[scheme]))) continue;
    // The authority ends where a path, a query or the surrounding text (a
    // space, a quote) begins; user information is up to its last '@', so a
    // password holding '@' or '#' is covered whole.
    const size_t start = mark + 3;
    size_t end = start;
    while (end < text.size() &&
           std::string_view("/?\"' \t\r\n<>").find(text[end]) == std::string_view::npos)
      ++end;
    const size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) continue;
    const std::string_view userInfo = text.substr(start, at);
    const size_t colon = userInfo.find(':');
    out.append(text.substr(copied, start - copied));
    out.append(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) out.append(":***");
    copied = start + at;  // from the '@' on
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace qrv::host
