// The RTSP Session and Transport headers (RFC 2326 12.37, 12.39) as a client
// reads them from a SETUP answer:
//
//   Session: 4F2A91C0;timeout=60
//   Transport: RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=1A2B3C4D;mode="PLAY"
//
// Both values go back to the server on later request lines or headers, so
// anything that could break a header line is refused here. Pure functions:
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::tmcc::rtsp {

inline constexpr size_t kMaxSessionId = 256;
// What RFC 2326 assumes when the server names no timeout.
inline constexpr uint32_t kDefaultSessionTimeout = 60;

struct SessionHeader {
  std::string id;
  uint32_t timeoutSeconds = kDefaultSessionTimeout;  // at least 1
};

// Nothing when the id is empty, too long or holds a byte outside
// ALPHA / DIGIT / "$-_.+", or the timeout is not a decimal number. Unknown
// parameters are ignored; a timeout of 0 reads as the default.
std::optional<SessionHeader> ParseSessionHeader(std::string_view value);

struct PortPair {
  uint16_t first = 0;
  uint16_t second = 0;
};

struct Transport {
  bool tcp = false;                     // RTP/AVP/TCP (else RTP/AVP or RTP/AVP/UDP)
  bool unicast = false;                 // "unicast" was named
  std::optional<PortPair> interleaved;  // channels, each 0-255
  std::optional<PortPair> clientPort;
  std::optional<PortPair> serverPort;
  std::optional<uint32_t> ssrc;
};

// The first transport of the value (a server answers with one; a list is
// cut at the first comma outside quotes). Nothing when it is not RTP/AVP, or a
// channel or port is malformed or out of range. "N" alone stands for the pair
// N, N+1.
std::optional<Transport> ParseTransport(std::string_view value);

}  // namespace qrv::tmcc::rtsp
