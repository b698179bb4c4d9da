#include "tmcc/rtsp/codec/transport.h"

#include "tmcc/rtsp/codec/text.h"

namespace qrv::tmcc::rtsp {

namespace {

bool IsSessionIdChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '$' ||
         c == '-' || c == '_' || c == '.' || c == '+';
}

// "N" or "N-M", each at most max; "N" alone means N, N+1.
std::optional<PortPair> ParsePair(std::string_view s, uint32_t max) {
  auto dash = s.find('-');
  auto first = ParseDecimal(s.substr(0, dash), 5);
  if (!first || *first > max) return std::nullopt;
  PortPair pair;
  pair.first = static_cast<uint16_t>(*first);
  if (dash == std::string_view::npos) {
    if (*first + 1 > max) return std::nullopt;
    pair.second = static_cast<uint16_t>(*first + 1);
    return pair;
  }
  auto second = ParseDecimal(s.substr(dash + 1), 5);
  if (!second || *second > max) return std::nullopt;
  pair.second = static_cast<uint16_t>(*second);
  return pair;
}

std::optional<uint32_t> ParseHex32(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexValue(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

}  // namespace

std::optional<SessionHeader> ParseSessionHeader(std::string_view value) {
  value = TrimWhitespace(value);
  auto semi = value.find(';');
  std::string_view id = TrimWhitespace(value.substr(0, semi));
  if (id.empty() || id.size() > kMaxSessionId) return std::nullopt;
  for (char c : id) {
    if (!IsSessionIdChar(c)) return std::nullopt;
  }
  SessionHeader out;
  out.id = std::string(id);
  while (semi != std::string_view::npos) {
    value = value.substr(semi + 1);
    semi = value.find(';');
    std::string_view param = TrimWhitespace(value.substr(0, semi));
    auto eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    if (!EqualsIgnoreCase(TrimWhitespace(param.substr(0, eq)), "timeout")) continue;
    auto seconds = ParseDecimal(TrimWhitespace(param.substr(eq + 1)), 9);
    if (!seconds) return std::nullopt;
    out.timeoutSeconds = *seconds == 0 ? kDefaultSessionTimeout : static_cast<uint32_t>(*seconds);
  }
  return out;
}

std::optional<Transport> ParseTransport(std::string_view value) {
  if (HasControl(value)) return std::nullopt;
  // The first transport: up to a comma outside quotes.
  bool quoted = false;
  size_t end = 0;
  for (; end < value.size(); ++end) {
    if (value[end] == '"') quoted = !quoted;
    if (value[end] == ',' && !quoted) break;
  }
  std::string_view text = value.substr(0, end);
  Transport out;
  bool first = true;
  while (true) {
    auto semi = text.find(';');
    std::string_view part = TrimWhitespace(text.substr(0, semi));
    if (first) {
      if (EqualsIgnoreCase(part, "RTP/AVP/TCP")) {
        out.tcp = true;
      } else if (!EqualsIgnoreCase(part, "RTP/AVP") && !EqualsIgnoreCase(part, "RTP/AVP/UDP")) {
        return std::nullopt;
      }
      first = false;
    } else {
      auto eq = part.find('=');
      std::string_view name = TrimWhitespace(part.substr(0, eq));
      std::string_view arg =
          eq == std::string_view::npos ? std::string_view{} : TrimWhitespace(part.substr(eq + 1));
      if (EqualsIgnoreCase(name, "unicast")) {
        out.unicast = true;
      } else if (EqualsIgnoreCase(name, "interleaved")) {
        out.interleaved = ParsePair(arg, 255);
        if (!out.interleaved) return std::nullopt;
      } else if (EqualsIgnoreCase(name, "client_port")) {
        out.clientPort = ParsePair(arg, 65535);
        if (!out.clientPort) return std::nullopt;
      } else if (EqualsIgnoreCase(name, "server_port")) {
        out.serverPort = ParsePair(arg, 65535);
        if (!out.serverPort) return std::nullopt;
      } else if (EqualsIgnoreCase(name, "ssrc")) {
        out.ssrc = ParseHex32(arg);
        if (!out.ssrc) return std::nullopt;
      }
    }
    if (semi == std::string_view::npos) break;
    text = text.substr(semi + 1);
  }
  return out;
}

}  // namespace qrv::tmcc::rtsp
