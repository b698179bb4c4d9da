// WS-Discovery: our probe read by the device side, ProbeMatches judged by
// RelatesTo, and announcements as cameras send them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcc/onvif/codec/discovery.h"
#include "tmcc/onvif/codec/namespaces.h"

namespace onvif = qrv::tmcc::onvif;
namespace ns = qrv::tmcc::onvif::ns;

namespace {

const onvif::QName kNvt{std::string(ns::kNetwork), "NetworkVideoTransmitter"};
const onvif::QName kDevice{std::string(ns::kDevice), "Device"};

// A camera's answer, with its own prefixes.
std::string CameraMatches(const std::string& relatesTo, const std::string& matches) {
  return "<?xml version='1.0' encoding='UTF-8'?>"
         "<SOAP-ENV:Envelope xmlns:SOAP-ENV='http://www.w3.org/2003/05/soap-envelope'"
         " xmlns:wsa='http://schemas.xmlsoap.org/ws/2004/08/addressing'"
         " xmlns:wsdd='http://schemas.xmlsoap.org/ws/2005/04/discovery'"
         " xmlns:nvt='http://www.onvif.org/ver10/network/wsdl'"
         " xmlns:dev='http://www.onvif.org/ver10/device/wsdl'><SOAP-ENV:Header>"
         "<wsa:MessageID>uuid:answer-1</wsa:MessageID><wsa:RelatesTo>" +
         relatesTo +
         "</wsa:RelatesTo><wsa:To SOAP-ENV:mustUnderstand='true'>http://schemas.xmlsoap.org/ws/"
         "2004/08/addressing/role/anonymous</wsa:To><wsa:Action SOAP-ENV:mustUnderstand='true'>"
         "http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</wsa:Action>"
         "<wsdd:AppSequence InstanceId='1' MessageNumber='3'/></SOAP-ENV:Header><SOAP-ENV:Body>"
         "<wsdd:ProbeMatches>" +
         matches + "</wsdd:ProbeMatches></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

const std::string kMatch =
    "<wsdd:ProbeMatch><wsa:EndpointReference><wsa:Address>urn:uuid:cam-1</wsa:Address>"
    "</wsa:EndpointReference><wsdd:Types>nvt:NetworkVideoTransmitter dev:Device</wsdd:Types>"
    "<wsdd:Scopes>onvif://www.onvif.org/type/video_encoder\n  onvif://www.onvif.org/name/Cam%201"
    "</wsdd:Scopes><wsdd:XAddrs>http://192.0.2.7/onvif/device_service "
    "http://[2001:db8::7]/onvif/device_service</wsdd:XAddrs>"
    "<wsdd:MetadataVersion>10</wsdd:MetadataVersion></wsdd:ProbeMatch>";

}  // namespace

TEST(WsDiscovery, ProbeReachesTheDeviceSideWhichAnswersIt) {
  auto probe = onvif::NewProbe();
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->messageId.substr(0, 9), "urn:uuid:");
  EXPECT_NE(onvif::NewProbe()->messageId, probe->messageId);
  auto request = onvif::ParseProbe(probe->xml);
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->messageId, probe->messageId);
  ASSERT_EQ(request->types.size(), 1u);
  EXPECT_EQ(request->types[0], kNvt);
  EXPECT_TRUE(onvif::ProbeMatchesTypes(*request, {kDevice, kNvt}));
  EXPECT_FALSE(onvif::ProbeMatchesTypes(*request, {kDevice}));
  EXPECT_NE(probe->xml.find("urn:schemas-xmlsoap-org:ws:2005:04:discovery"), std::string::npos);

  onvif::DiscoveredDevice device{"urn:uuid:sim-1",
                                 {kNvt, kDevice, {"urn:other", "Thing"}},
                                 {"onvif://www.onvif.org/name/sim&1"},
                                 {"http://127.0.0.1:8080/onvif/device_service"},
                                 3};
  auto matches = onvif::ParseProbeMatches(
      onvif::BuildProbeMatches("urn:uuid:answer", request->messageId, {device}), probe->messageId);
  ASSERT_TRUE(matches) << matches.error().message;
  ASSERT_EQ(matches->size(), 1u);
  const auto& d = (*matches)[0];
  EXPECT_EQ(d.endpoint, device.endpoint);
  // A type our prefixes cannot name is left out.
  EXPECT_EQ(d.types, (std::vector<onvif::QName>{kNvt, kDevice}));
  EXPECT_EQ(d.scopes, device.scopes);
  EXPECT_EQ(d.xaddrs, device.xaddrs);
  EXPECT_EQ(d.metadataVersion, 3);
}

TEST(WsDiscovery, ProbeMatchesAreOursOnlyWhenTheyRelateToOurProbe) {
  const std::string ours = "urn:uuid:0a1b2c3d-0000-4000-8000-000000000001";
  auto r = onvif::ParseProbeMatches(CameraMatches(ours, kMatch), ours);
  ASSERT_TRUE(r) << r.error().message;
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].endpoint, "urn:uuid:cam-1");
  EXPECT_EQ((*r)[0].types, (std::vector<onvif::QName>{kNvt, kDevice}));
  EXPECT_EQ((*r)[0].scopes.size(), 2u);
  EXPECT_EQ((*r)[0].scopes[1], "onvif://www.onvif.org/name/Cam%201");
  EXPECT_EQ((*r)[0].xaddrs.size(), 2u);
  EXPECT_EQ((*r)[0].metadataVersion, 10);

  for (const std::string& other : {std::string("urn:uuid:someone-else"), std::string(""),
                                   ours.substr(4), ours.substr(0, ours.size() - 1)}) {
    auto refused = onvif::ParseProbeMatches(CameraMatches(other, kMatch), ours);
    ASSERT_FALSE(refused) << other;
    EXPECT_EQ(refused.error().kind, onvif::ErrorKind::kUnexpected);
  }
  // Nothing can relate to an empty MessageID.
  EXPECT_FALSE(onvif::ParseProbeMatches(CameraMatches("", kMatch), ""));
  // No usable match at all, and a flood of them, bounded.
  EXPECT_FALSE(onvif::ParseProbeMatches(CameraMatches(ours, ""), ours));
  std::string flood;
  for (size_t i = 0; i < onvif::kMaxMatches + 4; ++i) flood += kMatch;
  auto bounded = onvif::ParseProbeMatches(CameraMatches(ours, flood), ours);
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->size(), onvif::kMaxMatches);
  // A datagram larger than UDP can carry is refused before parsing.
  EXPECT_FALSE(onvif::ParseProbeMatches(
      CameraMatches(ours, kMatch + "<!--" + std::string(70000, 'x') + "-->"), ours));
}

TEST(WsDiscovery, HelloAndByeAreRead) {
  const std::string start =
      "<s:Envelope xmlns:s='http://www.w3.org/2003/05/soap-envelope'"
      " xmlns:a='http://schemas.xmlsoap.org/ws/2004/08/addressing'"
      " xmlns:d='http://schemas.xmlsoap.org/ws/2005/04/discovery'"
      " xmlns:dn='http://www.onvif.org/ver10/network/wsdl'><s:Body>";
  const std::string end = "</s:Body></s:Envelope>";
  auto hello =
      onvif::ParseAnnouncement(start +
                               "<d:Hello><a:EndpointReference><a:Address>urn:uuid:c</a:Address>"
                               "</a:EndpointReference><d:Types>dn:NetworkVideoTransmitter</d:Types>"
                               "<d:XAddrs>http://192.0.2.3/onvif/device_service</d:XAddrs>"
                               "<d:MetadataVersion>1</d:MetadataVersion></d:Hello>" +
                               end);
  ASSERT_TRUE(hello) << hello.error().message;
  EXPECT_TRUE(hello->hello);
  EXPECT_EQ(hello->device.endpoint, "urn:uuid:c");
  EXPECT_EQ(hello->device.types, std::vector<onvif::QName>{kNvt});
  auto bye = onvif::ParseAnnouncement(start +
                                      "<d:Bye><a:EndpointReference><a:Address>urn:uuid:c"
                                      "</a:Address></a:EndpointReference></d:Bye>" +
                                      end);
  ASSERT_TRUE(bye);
  EXPECT_FALSE(bye->hello);
  EXPECT_TRUE(bye->device.xaddrs.empty());
  EXPECT_FALSE(onvif::ParseAnnouncement(start + "<d:Bye/>" + end));
  EXPECT_FALSE(onvif::ParseAnnouncement(start + "<d:Probe/>" + end));
  // A probe without a MessageID could never be answered.
  EXPECT_FALSE(onvif::ParseProbe(start + "<d:Probe/>" + end));
  EXPECT_FALSE(onvif::ParseProbe(start + "<d:Probe><d:Types>x:Nope</d:Types></d:Probe>" + end));
}
