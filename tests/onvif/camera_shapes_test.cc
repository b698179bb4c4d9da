// Camera answers in the shapes cameras send them, fed to the answer parsers
// as bytes: SOAP 1.1 and 1.2, other prefixes, the envelope's prefix left
// undeclared, a UTF-16 declaration over ASCII bytes, optional elements extra
// or missing, token-named presets and service addresses without a port.
// Written from the service descriptions' schemas.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;

namespace {

constexpr const char* kSoap12 = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";

// The service namespaces a camera declares on its envelope.
const std::string kServices =
    " xmlns:tt='http://www.onvif.org/ver10/schema'"
    " xmlns:tds='http://www.onvif.org/ver10/device/wsdl'"
    " xmlns:trt='http://www.onvif.org/ver10/media/wsdl'"
    " xmlns:tptz='http://www.onvif.org/ver20/ptz/wsdl'";

// An envelope with prefix p; declaring the envelope namespace uri, or
// leaving p undeclared when uri is empty. head goes before the root.
std::string Envelope(const std::string& p, const std::string& uri, const std::string& body,
                     const std::string& head = "<?xml version='1.0' encoding='UTF-8'?>\n") {
  const std::string declaration = uri.empty() ? "" : " xmlns:" + p + "='" + uri + "'";
  return head + "<" + p + ":Envelope" + declaration + kServices + "><" + p + ":Header/><" + p +
         ":Body>" + body + "</" + p + ":Body></" + p + ":Envelope>";
}

const std::string kClock =
    "<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime>"
    "<tt:DateTimeType>NTP</tt:DateTimeType><tt:DaylightSavings>false</tt:DaylightSavings>"
    "<tt:UTCDateTime><tt:Time><tt:Hour>1</tt:Hour><tt:Minute>2</tt:Minute>"
    "<tt:Second>3</tt:Second></tt:Time><tt:Date><tt:Year>2025</tt:Year><tt:Month>1</tt:Month>"
    "<tt:Day>2</tt:Day></tt:Date></tt:UTCDateTime></tds:SystemDateAndTime>"
    "</tds:GetSystemDateAndTimeResponse>";
constexpr int64_t kClockUnix = 1735779723;  // 2025-01-02T01:02:03Z

// Capabilities with the optional parts a camera adds (Analytics, the
// device's network and system capabilities, an Extension) and without PTZ;
// the addresses name no port.
const std::string kCapabilities =
    "<tds:GetCapabilitiesResponse><tds:Capabilities>"
    "<tt:Analytics><tt:XAddr>http://192.0.2.10/onvif/analytics</tt:XAddr>"
    "<tt:RuleSupport>true</tt:RuleSupport><tt:AnalyticsModuleSupport>true"
    "</tt:AnalyticsModuleSupport></tt:Analytics>"
    "<tt:Device><tt:XAddr>http://192.0.2.10/onvif/device_service</tt:XAddr>"
    "<tt:Network><tt:IPFilter>false</tt:IPFilter><tt:ZeroConfiguration>true"
    "</tt:ZeroConfiguration></tt:Network><tt:System><tt:DiscoveryResolve>false"
    "</tt:DiscoveryResolve><tt:SupportedVersions><tt:Major>2</tt:Major><tt:Minor>40</tt:Minor>"
    "</tt:SupportedVersions></tt:System></tt:Device>"
    "<tt:Events><tt:XAddr>http://192.0.2.10/onvif/event_service</tt:XAddr>"
    "<tt:WSSubscriptionPolicySupport>true</tt:WSSubscriptionPolicySupport>"
    "<tt:WSPullPointSupport>true</tt:WSPullPointSupport></tt:Events>"
    "<tt:Media><tt:XAddr>http://192.0.2.10/onvif/media_service</tt:XAddr>"
    "<tt:StreamingCapabilities><tt:RTPMulticast>false</tt:RTPMulticast>"
    "<tt:RTP_TCP>true</tt:RTP_TCP><tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP>"
    "</tt:StreamingCapabilities></tt:Media>"
    "<tt:Extension><tt:DeviceIO><tt:XAddr>http://192.0.2.10/onvif/deviceio</tt:XAddr>"
    "</tt:DeviceIO></tt:Extension>"
    "</tds:Capabilities></tds:GetCapabilitiesResponse>";

// Presets named by token, one without a name, one with a position only.
const std::string kPresets =
    "<tptz:GetPresetsResponse>"
    "<tptz:Preset token='P001'><tt:Name>Gate</tt:Name><tt:PTZPosition>"
    "<tt:PanTilt x='0.1' y='-0.2'/><tt:Zoom x='0'/></tt:PTZPosition></tptz:Preset>"
    "<tptz:Preset token='P002'/>"
    "<tptz:Preset token='P046'><tt:Name>Preset46</tt:Name></tptz:Preset>"
    "</tptz:GetPresetsResponse>";

struct Shape {
  const char* what;
  std::string xml;
};

// Every shape of envelope the cameras send a body in.
std::vector<Shape> Shapes(const std::string& body) {
  return {
      {"SOAP 1.2, env declared", Envelope("env", kSoap12, body)},
      {"SOAP 1.2, SOAP-ENV declared", Envelope("SOAP-ENV", kSoap12, body)},
      {"SOAP 1.1, s declared", Envelope("s", kSoap11, body)},
      {"SOAP-ENV undeclared", Envelope("SOAP-ENV", "", body)},
      {"soap undeclared", Envelope("soap", "", body)},
      {"s undeclared", Envelope("s", "", body)},
      {"env undeclared", Envelope("env", "", body)},
      {"UTF-16 declared over ASCII",
       Envelope("SOAP-ENV", kSoap12, body, "<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n")},
      {"UTF-16 (upper case) declared, prefix undeclared",
       Envelope("s", "", body, "<?xml version='1.0' encoding='UTF-16' standalone='yes'?>")},
  };
}

}  // namespace

TEST(CameraShapes, EveryEnvelopeShapeReadsTheSameAnswers) {
  for (const Shape& s : Shapes(kClock)) {
    auto clock = onvif::ParseGetSystemDateAndTimeResponse(s.xml);
    ASSERT_TRUE(clock) << s.what << ": " << clock.error().message;
    EXPECT_EQ(clock->utcUnix, kClockUnix) << s.what;
    EXPECT_TRUE(clock->ntp) << s.what;
  }
  for (const Shape& s : Shapes(kCapabilities)) {
    auto caps = onvif::ParseGetCapabilitiesResponse(s.xml);
    ASSERT_TRUE(caps) << s.what << ": " << caps.error().message;
    EXPECT_EQ(caps->media, "http://192.0.2.10/onvif/media_service") << s.what;
    EXPECT_EQ(caps->events, "http://192.0.2.10/onvif/event_service") << s.what;
    EXPECT_EQ(caps->ptz, "") << s.what;
  }
  for (const Shape& s : Shapes(kPresets)) {
    auto presets = onvif::ParseGetPresetsResponse(s.xml);
    ASSERT_TRUE(presets) << s.what << ": " << presets.error().message;
    ASSERT_EQ(presets->size(), 3u) << s.what;
    EXPECT_EQ((*presets)[0].token, "P001");
    EXPECT_EQ((*presets)[0].name, "Gate");
    EXPECT_EQ((*presets)[1].token, "P002");
    EXPECT_EQ((*presets)[1].name, "");
    EXPECT_EQ((*presets)[2].name, "Preset46");
  }
}

TEST(CameraShapes, FaultsUnderAnUndeclaredPrefixKeepTheirCodesAndReasons) {
  struct Case {
    const char* what;
    std::string body;
    const char* code;
    const char* subcode;  // "" for none
    const char* reason;
  };
  const Case cases[] = {
      {"SOAP 1.2 fault",
       "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>"
       "<SOAP-ENV:Subcode><SOAP-ENV:Value xmlns:ter='http://www.onvif.org/ver10/error'>"
       "ter:NotAuthorized</SOAP-ENV:Value></SOAP-ENV:Subcode></SOAP-ENV:Code>"
       "<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang='en'>Sender not authorized</SOAP-ENV:Text>"
       "</SOAP-ENV:Reason></SOAP-ENV:Fault>",
       "Sender", "NotAuthorized", "Sender not authorized"},
      {"SOAP 1.1 fault",
       "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
       "<faultstring>Action not supported</faultstring></SOAP-ENV:Fault>",
       "Client", "", "Action not supported"},
  };
  for (const Case& c : cases) {
    auto r = onvif::ParseGetCapabilitiesResponse(Envelope("SOAP-ENV", "", c.body));
    ASSERT_FALSE(r) << c.what;
    ASSERT_EQ(r.error().kind, onvif::ErrorKind::kFault) << c.what << ": " << r.error().message;
    EXPECT_EQ(r.error().fault->code.local, c.code) << c.what;
    EXPECT_EQ(r.error().fault->reason, c.reason) << c.what;
    EXPECT_EQ(r.error().NotAuthorized(), std::string(c.subcode) == "NotAuthorized") << c.what;
  }
}

TEST(CameraShapes, LenienceStopsAtTheEnvelopesPrefixesAndAsciiBytes) {
  struct Case {
    const char* what;
    std::string xml;
  };
  const Case refused[] = {
      {"an unknown prefix undeclared", Envelope("soapenv", "", kClock)},
      {"the payload's prefix undeclared",
       "<s:Envelope><s:Body><tds:GetSystemDateAndTimeResponse/></s:Body></s:Envelope>"},
      {"UTF-16 declared over bytes that are not ASCII",
       Envelope("s", kSoap12, "<tds:x>\xC3\xA9</tds:x>",
                "<?xml version='1.0' encoding='utf-16'?>")},
      {"UTF-16 declared after a UTF-8 byte order mark",
       Envelope("s", kSoap12, kClock, "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-16'?>")},
      {"an entity, prefix undeclared",
       "<!DOCTYPE s:Envelope [<!ENTITY x 'y'>]>" + Envelope("s", "", "&x;", "")},
  };
  for (const Case& c : refused) {
    auto r = onvif::ParseSoapMessage(c.xml);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error().kind, onvif::ErrorKind::kMalformed) << c.what;
  }
  // A declaration in scope wins over the well-known meaning.
  auto other = onvif::ParseSoapMessage("<s:Envelope xmlns:s='urn:not-soap'><s:Body/></s:Envelope>");
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().message, "not a SOAP envelope");
}
