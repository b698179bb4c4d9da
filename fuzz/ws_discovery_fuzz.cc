// Feeds arbitrary bytes as one WS-Discovery datagram to both sides: our
// reading of ProbeMatches (against the probe MessageID the seeds answer),
// Hello and Bye, and the device side's reading of a Probe. Whatever is
// accepted stays within its bounds, and matches rebuilt by the device side's
// builder read back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/discovery.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;
namespace ns = qrv::tmcc::onvif::ns;

namespace {

// The MessageID of the probe the seed answers relate to.
constexpr std::string_view kProbeId = "urn:uuid:00000000-0000-4000-8000-000000000001";

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckDevice(const onvif::DiscoveredDevice& d) {
  Check(!d.endpoint.empty() && d.endpoint.size() <= onvif::kMaxFieldBytes);
  Check(d.types.size() <= onvif::kMaxTypes);
  Check(d.scopes.size() <= onvif::kMaxScopes);
  Check(d.xaddrs.size() <= onvif::kMaxXAddrs);
  for (const auto& s : d.scopes) Check(!s.empty() && s.size() <= onvif::kMaxFieldBytes);
  for (const auto& x : d.xaddrs) Check(!x.empty() && x.size() <= onvif::kMaxFieldBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);

  auto matches = onvif::ParseProbeMatches(xml, kProbeId);
  if (matches) {
    // An answer to our probe is no answer to any other.
    Check(!onvif::ParseProbeMatches(xml, "urn:uuid:another-probe").ok());
    Check(!matches->empty() && matches->size() <= onvif::kMaxMatches);
    for (const auto& d : *matches) CheckDevice(d);
    // (Escaping may grow the rebuilt datagram past what one can carry.)
    const std::string rebuilt = onvif::BuildProbeMatches("urn:uuid:again", kProbeId, *matches);
    auto again = onvif::ParseProbeMatches(rebuilt, kProbeId);
    Check(rebuilt.size() > onvif::kMaxDiscoveryBytes ||
          (again && again->size() == matches->size()));
    if (!again) return 0;
    for (size_t i = 0; i < matches->size(); ++i) {
      const auto& a = (*again)[i];
      const auto& m = (*matches)[i];
      Check(a.endpoint == m.endpoint && a.scopes == m.scopes && a.xaddrs == m.xaddrs &&
            a.metadataVersion == m.metadataVersion);
      // Types our prefixes can name survive; others are left out.
      size_t nameable = 0;
      for (const auto& t : m.types) nameable += t.ns == ns::kNetwork || t.ns == ns::kDevice;
      Check(a.types.size() == nameable);
    }
  }

  auto announcement = onvif::ParseAnnouncement(xml);
  if (announcement) CheckDevice(announcement->device);

  auto probe = onvif::ParseProbe(xml);
  if (probe) {
    Check(!probe->messageId.empty() && probe->types.size() <= onvif::kMaxTypes);
    // The device side's answer relates to the probe, and we read it as such.
    onvif::DiscoveredDevice self{"urn:uuid:self", probe->types, {}, {"http://127.0.0.1/"}, 1};
    auto answer = onvif::ParseProbeMatches(
        onvif::BuildProbeMatches("urn:uuid:answer", probe->messageId, {self}), probe->messageId);
    Check(answer && answer->size() == 1);
  }
  return 0;
}
