// WS-Discovery (2005/04) as cameras speak it over UDP multicast: our Probe
// for network video transmitters and the ProbeMatches answering it, the
// devices' Hello and Bye, and the device side (Probe in, ProbeMatches out)
// for the simulator. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/xml_reader.h"

namespace qrv::tmcc::onvif {

inline constexpr std::string_view kDiscoveryAddress = "239.255.255.250";
inline constexpr uint16_t kDiscoveryPort = 3702;
// A datagram is at most this large; the reader refuses larger ones.
inline constexpr size_t kMaxDiscoveryBytes = 65535;
inline constexpr size_t kMaxMatches = 32;
inline constexpr size_t kMaxTypes = 16;
inline constexpr size_t kMaxScopes = 64;
inline constexpr size_t kMaxXAddrs = 16;

struct DiscoveredDevice {
  std::string endpoint;      // EndpointReference Address, e.g. "urn:uuid:..."
  std::vector<QName> types;  // e.g. {ns::kNetwork, "NetworkVideoTransmitter"}
  std::vector<std::string> scopes;
  std::vector<std::string> xaddrs;  // device service addresses
  int64_t metadataVersion = 0;
};

struct ProbeMessage {
  std::string messageId;  // the ProbeMatches' RelatesTo must equal it
  std::string xml;
};

// A probe for dn:NetworkVideoTransmitter with the given MessageID, or with a
// fresh random one (nothing if the random generator failed).
std::string BuildProbe(std::string_view messageId);
std::optional<ProbeMessage> NewProbe();

// The matches of a ProbeMatches answering our probe: one whose RelatesTo is
// not probeMessageId is refused (kUnexpected), as is one with no match
// carrying an endpoint address. At most kMaxMatches matches.
Result<std::vector<DiscoveredDevice>> ParseProbeMatches(std::string_view xml,
                                                        std::string_view probeMessageId);

// A device's multicast Hello (joining) or Bye (leaving); a Bye may carry only
// the endpoint address.
struct Announcement {
  bool hello = true;
  DiscoveredDevice device;
};
Result<Announcement> ParseAnnouncement(std::string_view xml);

// Device side.
struct ProbeRequest {
  std::string messageId;
  std::vector<QName> types;  // empty: any type
  std::vector<std::string> scopes;
};
Result<ProbeRequest> ParseProbe(std::string_view xml);
// Whether a device of these types answers the probe (every probed type must
// be one of them).
bool ProbeMatchesTypes(const ProbeRequest& probe, const std::vector<QName>& types);
// Types in the device (tds) or network (dn) namespaces are written; others
// cannot be named with our prefixes and are left out.
std::string BuildProbeMatches(std::string_view messageId, std::string_view relatesTo,
                              const std::vector<DiscoveredDevice>& matches);

}  // namespace qrv::tmcc::onvif
