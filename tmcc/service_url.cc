#include "tmcc/service_url.h"

#include <algorithm>

namespace qrv::tmcc {

namespace {

bool RequestLineSafe(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f;
  });
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::optional<ServiceUrl> ParseServiceUrl(std::string_view text) {
  if (text.empty() || !RequestLineSafe(text)) return std::nullopt;
  ServiceUrl url;
  if (text.front() == '/') {
    // "//host/..." is a network-path reference, not a path.
    if (text.size() > 1 && text[1] == '/') return std::nullopt;
    url.path = std::string(text);
    return url;
  }
  const std::string scheme = Lower(text.substr(0, std::min<size_t>(text.size(), 8)));
  size_t at = 0;
  if (scheme.starts_with("http://")) {
    at = 7;
  } else if (scheme.starts_with("https://")) {
    at = 8;
    url.https = true;
  } else {
    return std::nullopt;
  }
  const std::string_view rest = text.substr(at);
  const size_t slash = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, slash);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;  // no user part
  std::string_view host = authority;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  if (host.empty()) return std::nullopt;
  const std::string_view after = authority.substr(host.size());
  if (!after.empty()) {
    if (after.front() != ':' || after.size() < 2 || after.size() > 6) return std::nullopt;
    uint32_t port = 0;
    for (char c : after.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    url.port = static_cast<uint16_t>(port);
  }
  url.host = Lower(host);
  if (slash != std::string_view::npos) {
    std::string_view path = rest.substr(slash);
    path = path.substr(0, path.find('#'));  // a fragment never goes on the wire
    url.path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
  }
  return url;
}

}  // namespace qrv::tmcc
