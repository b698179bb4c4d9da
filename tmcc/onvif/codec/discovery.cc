#include "tmcc/onvif/codec/discovery.h"

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/soap.h"
#include "tmcc/onvif/codec/xml_writer.h"

namespace qrv::tmcc::onvif {

namespace {

constexpr std::string_view kDiscoveryTo = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
constexpr std::string_view kProbeAction = "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe";
constexpr std::string_view kProbeMatchesAction =
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches";
constexpr std::string_view kAnonymous =
    "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";

constexpr std::string_view kEnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\""
    " xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
    " xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
    " xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\""
    " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\">";

std::string Envelope(std::string_view messageId, std::string_view relatesTo, std::string_view to,
                     std::string_view action, std::string_view body) {
  std::string out(kEnvelopeStart);
  XmlWriter w(out);
  w.Start("env:Header").Leaf("wsa:MessageID", messageId);
  if (!relatesTo.empty()) w.Leaf("wsa:RelatesTo", relatesTo);
  w.Leaf("wsa:To", to).Leaf("wsa:Action", action).End("env:Header");
  w.Start("env:Body").Raw(body).End("env:Body");
  out += "</env:Envelope>\n";
  return out;
}

Result<SoapMessage> ParseDatagram(std::string_view xml) {
  XmlLimits limits;
  limits.maxInputBytes = kMaxDiscoveryBytes;
  return ParseSoapMessage(xml, limits);
}

std::vector<QName> ReadTypes(const XmlElement& types) {
  std::vector<QName> out;
  for (std::string_view t : SplitWhitespace(types.Text(), kMaxTypes)) {
    if (auto q = ResolveQName(types, t)) out.push_back(std::move(*q));
  }
  return out;
}

std::vector<std::string> ReadList(const XmlElement& list, size_t max) {
  std::vector<std::string> out;
  for (std::string_view item : SplitWhitespace(list.Text(), max)) out.push_back(FieldText(item));
  return out;
}

// The fields Hello, Bye and ProbeMatch share.
DiscoveredDevice ReadDevice(const XmlElement& e) {
  DiscoveredDevice d;
  d.endpoint = FieldText(
      e.Child(ns::kAddressing2004, "EndpointReference").Child(ns::kAddressing2004, "Address"));
  d.types = ReadTypes(e.Child(ns::kDiscovery, "Types"));
  d.scopes = ReadList(e.Child(ns::kDiscovery, "Scopes"), kMaxScopes);
  d.xaddrs = ReadList(e.Child(ns::kDiscovery, "XAddrs"), kMaxXAddrs);
  d.metadataVersion =
      ParseInteger(e.Child(ns::kDiscovery, "MetadataVersion").Text(), 0, UINT32_MAX).value_or(0);
  return d;
}

std::string_view TypePrefix(std::string_view uri) {
  if (uri == ns::kNetwork) return "dn";
  if (uri == ns::kDevice) return "tds";
  return {};
}

}  // namespace

std::string BuildProbe(std::string_view messageId) {
  std::string body;
  XmlWriter(body).Start("d:Probe").Leaf("d:Types", "dn:NetworkVideoTransmitter").End("d:Probe");
  return Envelope(messageId, "", kDiscoveryTo, kProbeAction, body);
}

std::optional<ProbeMessage> NewProbe() {
  auto id = NewMessageId();
  if (!id) return std::nullopt;
  std::string xml = BuildProbe(*id);
  return ProbeMessage{std::move(*id), std::move(xml)};
}

Result<std::vector<DiscoveredDevice>> ParseProbeMatches(std::string_view xml,
                                                        std::string_view probeMessageId) {
  auto message = ParseDatagram(xml);
  if (!message) return message.error();
  const RequestHeader header = ReadRequestHeader(*message);
  if (probeMessageId.empty() || header.addressing.relatesTo != probeMessageId) {
    return Unexpected("not an answer to our probe");
  }
  if (!message->body.Is(ns::kDiscovery, "ProbeMatches")) return Unexpected("not ProbeMatches");
  std::vector<DiscoveredDevice> devices;
  for (XmlElement m = message->body.Child(ns::kDiscovery, "ProbeMatch");
       m && devices.size() < kMaxMatches; m = m.NextNamed(ns::kDiscovery, "ProbeMatch")) {
    DiscoveredDevice d = ReadDevice(m);
    if (!d.endpoint.empty()) devices.push_back(std::move(d));
  }
  if (devices.empty()) return Unexpected("no ProbeMatch with an endpoint address");
  return devices;
}

Result<Announcement> ParseAnnouncement(std::string_view xml) {
  auto message = ParseDatagram(xml);
  if (!message) return message.error();
  Announcement a;
  if (message->body.Is(ns::kDiscovery, "Hello")) {
    a.hello = true;
  } else if (message->body.Is(ns::kDiscovery, "Bye")) {
    a.hello = false;
  } else {
    return Unexpected("neither Hello nor Bye");
  }
  a.device = ReadDevice(message->body);
  if (a.device.endpoint.empty()) return Unexpected("no endpoint address");
  return a;
}

Result<ProbeRequest> ParseProbe(std::string_view xml) {
  auto message = ParseDatagram(xml);
  if (!message) return message.error();
  if (!message->body.Is(ns::kDiscovery, "Probe")) return Unexpected("not a Probe");
  ProbeRequest p;
  p.messageId = ReadRequestHeader(*message).addressing.messageId;
  // Without a MessageID no answer could be matched to the probe.
  if (p.messageId.empty()) return Unexpected("Probe without a MessageID");
  const XmlElement types = message->body.Child(ns::kDiscovery, "Types");
  for (std::string_view t : SplitWhitespace(types.Text(), kMaxTypes)) {
    auto q = ResolveQName(types, t);
    if (!q) return Unexpected("Probe type with an undeclared prefix");
    p.types.push_back(std::move(*q));
  }
  p.scopes = ReadList(message->body.Child(ns::kDiscovery, "Scopes"), kMaxScopes);
  return p;
}

bool ProbeMatchesTypes(const ProbeRequest& probe, const std::vector<QName>& types) {
  for (const auto& wanted : probe.types) {
    bool found = false;
    for (const auto& t : types) found = found || t == wanted;
    if (!found) return false;
  }
  return true;
}

std::string BuildProbeMatches(std::string_view messageId, std::string_view relatesTo,
                              const std::vector<DiscoveredDevice>& matches) {
  std::string body;
  XmlWriter w(body);
  w.Start("d:ProbeMatches");
  for (const auto& m : matches) {
    w.Start("d:ProbeMatch");
    w.Start("wsa:EndpointReference").Leaf("wsa:Address", m.endpoint).End("wsa:EndpointReference");
    std::string types;
    for (const auto& t : m.types) {
      const std::string_view prefix = TypePrefix(t.ns);
      if (prefix.empty()) continue;
      if (!types.empty()) types += ' ';
      types += std::string(prefix) + ":" + t.local;
    }
    auto join = [](const std::vector<std::string>& items) {
      std::string s;
      for (const auto& i : items) s += (s.empty() ? "" : " ") + i;
      return s;
    };
    w.Leaf("d:Types", types).Leaf("d:Scopes", join(m.scopes)).Leaf("d:XAddrs", join(m.xaddrs));
    w.Leaf("d:MetadataVersion", std::to_string(m.metadataVersion));
    w.End("d:ProbeMatch");
  }
  w.End("d:ProbeMatches");
  return Envelope(messageId, relatesTo, kAnonymous, kProbeMatchesAction, body);
}

}  // namespace qrv::tmcc::onvif
