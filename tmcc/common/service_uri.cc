#include "tmcc/common/service_uri.h"

#include <algorithm>

namespace qrv::tmcc {

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), Lower);
  return out;
}

bool SchemeChar(char c, bool first) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::optional<UriParts> SplitUri(std::string_view uri) {
  if (uri.size() > kMaxServiceUri) return std::nullopt;
  for (char c : uri) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b > 0x7e) return std::nullopt;
  }
  const size_t colon = uri.find("://");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  for (size_t i = 0; i < colon; ++i) {
    if (!SchemeChar(uri[i], i == 0)) return std::nullopt;
  }
  UriParts parts;
  parts.scheme = LowerText(uri.substr(0, colon));
  std::string_view rest = uri.substr(colon + 3);
  if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
    rest = rest.substr(0, hash);
  }
  const size_t end = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, end);
  std::string_view target = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (const size_t c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  if (!port.empty()) {
    parts.port = ParsePort(port);
    if (!parts.port) return std::nullopt;
  }
  parts.host = LowerText(host);
  if (target.empty()) {
    parts.target = "/";
  } else if (target[0] == '?') {
    parts.target = "/" + std::string(target);
  } else {
    parts.target = std::string(target);
  }
  return parts;
}

std::optional<CameraLocation> LocateOnCamera(std::string_view uri, uint16_t defaultPort) {
  auto parts = SplitUri(uri);
  if (!parts) return std::nullopt;
  CameraLocation location;
  location.port = parts->port.value_or(defaultPort);
  location.target = std::move(parts->target);
  return location;
}

std::optional<ServiceUrl> ParseServiceUrl(std::string_view text) {
  if (text.empty()) return std::nullopt;
  ServiceUrl url;
  if (text.front() == '/') {
    // "//host/..." is a network-path reference, not a path.
    if (text.size() > 1 && text[1] == '/') return std::nullopt;
    auto parts = SplitUri("http://h" + std::string(text));  // the same byte rules
    if (!parts) return std::nullopt;
    url.path = std::move(parts->target);
    return url;
  }
  auto parts = SplitUri(text);
  if (!parts || (parts->scheme != "http" && parts->scheme != "https")) return std::nullopt;
  const std::string_view rest = text.substr(text.find("://") + 3);
  if (rest.substr(0, rest.find_first_of("/?#")).find('@') != std::string_view::npos) {
    return std::nullopt;  // no user part
  }
  url.https = parts->scheme == "https";
  url.host = parts->host.find(':') != std::string::npos ? "[" + parts->host + "]" : parts->host;
  url.port = parts->port;
  url.path = std::move(parts->target);
  return url;
}

}  // namespace qrv::tmcc
