#include "tmcc/rtsp/codec/url.h"

#include <optional>

#include "tmcc/rtsp/codec/text.h"

namespace qrv::tmcc::rtsp {

namespace {

constexpr std::string_view kScheme = "rtsp://";
constexpr size_t kMaxHostLength = 253;
constexpr size_t kMaxLabelLength = 63;

// A byte that may stand anywhere in the URL: printable ASCII without space.
// '#' starts a fragment, which has no meaning to RTSP and is refused.
bool AllowedUrlByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f && c != '#';
}

// Percent-decodes user information; no control characters may come out, as
// the values go into header lines.
std::optional<std::string> PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = HexValue(s[i + 1]);
    const int lo = HexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (HasControl(out) || out.find('\t') != std::string::npos) return std::nullopt;
  return out;
}

bool ValidHostName(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  bool allDigitsAndDots = true;
  size_t labelStart = 0;
  for (size_t i = 0; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '.') {
      const std::string_view label = host.substr(labelStart, i - labelStart);
      if (label.empty() || label.size() > kMaxLabelLength) return false;
      if (label.front() == '-' || label.back() == '-') return false;
      labelStart = i + 1;
      continue;
    }
    const char c = host[i];
    const bool digit = c >= '0' && c <= '9';
    if (!digit) allDigitsAndDots = false;
    if (!digit && !(AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z') && c != '-') return false;
  }
  // Digits and dots alone must be a valid IPv4 literal, not a name.
  return !allDigitsAndDots || IsIpv4Literal(host);
}

}  // namespace

bool IsIpv4Literal(std::string_view host) {
  int parts = 0;
  size_t start = 0;
  for (size_t i = 0; i <= host.size(); ++i) {
    if (i < host.size() && host[i] != '.') continue;
    const std::string_view part = host.substr(start, i - start);
    if (part.size() > 1 && part.front() == '0') return false;
    const auto v = ParseDecimal(part, 3);
    if (!v || *v > 255) return false;
    ++parts;
    start = i + 1;
  }
  return parts == 4;
}

std::string Url::WithoutCredentials() const {
  std::string out(kScheme);
  out += host;
  if (port != kDefaultRtspPort) out += ":" + std::to_string(port);
  out += path;
  if (!query.empty()) out += "?" + query;
  return out;
}

UrlResult ParseUrl(std::string_view text) {
  UrlResult r;
  auto fail = [&r](UrlError e) {
    r.error = e;
    r.url = Url{};
    return r;
  };
  if (text.size() > kMaxUrlLength) return fail(UrlError::kTooLong);
  for (char c : text) {
    if (!AllowedUrlByte(c)) return fail(UrlError::kBadCharacter);
  }
  if (!StartsWithIgnoreCase(text, kScheme)) return fail(UrlError::kNotRtsp);
  std::string_view rest = text.substr(kScheme.size());

  const size_t authorityEnd = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, authorityEnd);
  std::string_view tail = authorityEnd == std::string_view::npos ? "" : rest.substr(authorityEnd);

  const size_t at = authority.find('@');
  if (at != std::string_view::npos) {
    if (authority.find('@', at + 1) != std::string_view::npos) return fail(UrlError::kBadUserInfo);
    const std::string_view userInfo = authority.substr(0, at);
    const size_t colon = userInfo.find(':');
    auto user = PercentDecode(userInfo.substr(0, colon));
    std::optional<std::string> password = std::string();
    if (colon != std::string_view::npos) password = PercentDecode(userInfo.substr(colon + 1));
    if (!user || user->empty() || !password) return fail(UrlError::kBadUserInfo);
    r.url.hasCredentials = true;
    r.url.user = std::move(*user);
    r.url.password = std::move(*password);
    authority = authority.substr(at + 1);
  }

  if (authority.find('[') != std::string_view::npos) return fail(UrlError::kBadHost);
  const size_t colon = authority.find(':');
  const std::string_view host = authority.substr(0, colon);
  if (!ValidHostName(host)) return fail(UrlError::kBadHost);
  r.url.host.reserve(host.size());
  for (char c : host) r.url.host += AsciiLower(c);
  if (colon != std::string_view::npos) {
    const auto port = ParseDecimal(authority.substr(colon + 1), 5);
    if (!port || *port == 0 || *port > 65535) return fail(UrlError::kBadPort);
    r.url.port = static_cast<uint16_t>(*port);
  }

  const size_t question = tail.find('?');
  const std::string_view path = tail.substr(0, question);
  if (!path.empty()) r.url.path = std::string(path);
  if (question != std::string_view::npos) r.url.query = std::string(tail.substr(question + 1));
  return r;
}

std::string ResolveControl(std::string_view base, std::string_view control) {
  if (control.empty() || control == "*") return std::string(base);
  // An absolute URL: a scheme (a letter, then letters, digits, '+', '-', '.')
  // and a colon before any '/'.
  const size_t colon = control.find(':');
  if (colon != std::string_view::npos && colon > 0 && control.find('/') > colon) {
    bool scheme = (AsciiLower(control[0]) >= 'a' && AsciiLower(control[0]) <= 'z');
    for (size_t i = 1; scheme && i < colon; ++i) {
      const char c = AsciiLower(control[i]);
      scheme = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    }
    if (scheme) return std::string(control);
  }
  if (control.front() == '/') {
    // Keep "scheme://authority" of the base.
    const size_t schemeEnd = base.find("://");
    const size_t authorityStart = schemeEnd == std::string_view::npos ? 0 : schemeEnd + 3;
    const size_t pathStart = base.find_first_of("/?", authorityStart);
    return std::string(base.substr(0, pathStart)) + std::string(control);
  }
  std::string out(base);
  if (out.empty() || out.back() != '/') out += '/';
  out += control;
  return out;
}

}  // namespace qrv::tmcc::rtsp
