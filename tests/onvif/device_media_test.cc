// Device and media services: each request read back by the server side,
// each response read back by the client side, and answers as cameras write
// them, with prefixes (and default namespaces) other than ours.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/operations.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;
namespace ns = qrv::tmcc::onvif::ns;
using onvif::Operation;

namespace {

// A request as the server sees it: parsed, its operation identified.
onvif::SoapMessage Received(const std::string& xml, Operation expected) {
  auto message = onvif::ParseSoapMessage(xml);
  EXPECT_TRUE(message) << xml;
  if (!message) return std::move(*onvif::ParseSoapMessage(onvif::BuildEnvelope("<x/>", {})));
  EXPECT_EQ(onvif::IdentifyOperation(message->body), expected)
      << onvif::OperationName(expected) << "\n"
      << xml;
  return std::move(*message);
}

const std::string kToken = "tok<&>\"'";

// A camera's envelope: its own prefixes, SOAP 1.2.
std::string CameraEnvelope(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
         "xmlns:ns1=\"http://www.onvif.org/ver10/device/wsdl\" "
         "xmlns:ns2=\"http://www.onvif.org/ver10/schema\" "
         "xmlns:m=\"http://www.onvif.org/ver10/media/wsdl\">\n"
         "<SOAP-ENV:Header></SOAP-ENV:Header><SOAP-ENV:Body>" +
         body + "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
}

}  // namespace

TEST(DeviceService, RequestsReachTheServerWithTheirArguments) {
  Received(onvif::BuildGetSystemDateAndTimeRequest(), Operation::kGetSystemDateAndTime);
  Received(onvif::BuildGetDeviceInformationRequest(std::nullopt), Operation::kGetDeviceInformation);
  auto caps =
      Received(onvif::BuildGetCapabilitiesRequest(std::nullopt), Operation::kGetCapabilities);
  auto categories = onvif::ParseGetCapabilitiesRequest(caps.body);
  ASSERT_TRUE(categories);
  EXPECT_EQ(categories->categories, std::vector<std::string>{"All"});
  for (bool include : {true, false}) {
    auto services =
        Received(onvif::BuildGetServicesRequest(std::nullopt, include), Operation::kGetServices);
    EXPECT_EQ(onvif::ParseGetServicesRequest(services.body).value(), include);
  }
  // A request parser given another operation's body refuses it.
  EXPECT_FALSE(onvif::ParseGetServicesRequest(caps.body));
  EXPECT_FALSE(onvif::ParseGetCapabilitiesRequest(
      Received(onvif::BuildGetProfilesRequest(std::nullopt), Operation::kGetProfiles).body));
}

TEST(DeviceService, ResponsesReadBack) {
  onvif::SystemDateAndTime time{1709208000, true, false, "CET-1CEST,M3.5.0,M10.5.0/3"};
  auto t = onvif::ParseGetSystemDateAndTimeResponse(onvif::BuildGetSystemDateAndTimeResponse(time));
  ASSERT_TRUE(t) << t.error().message;
  EXPECT_EQ(t->utcUnix, 1709208000);
  EXPECT_TRUE(t->ntp);
  EXPECT_EQ(t->timeZone, time.timeZone);

  onvif::Capabilities caps{"http://d/onvif/device_service", "http://d/onvif/media?a=1&b=2",
                           "http://d/onvif/ptz", "http://d/onvif/events", ""};
  auto c = onvif::ParseGetCapabilitiesResponse(onvif::BuildGetCapabilitiesResponse(caps));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->device, caps.device);
  EXPECT_EQ(c->media, caps.media);
  EXPECT_EQ(c->ptz, caps.ptz);
  EXPECT_EQ(c->events, caps.events);
  EXPECT_EQ(c->imaging, "");

  std::vector<onvif::ServiceAddress> services = {
      {std::string(ns::kDevice), "http://d/onvif/device_service", 2, 60},
      {std::string(ns::kMedia), "http://d/onvif/media", 2, 40}};
  auto s = onvif::ParseGetServicesResponse(onvif::BuildGetServicesResponse(services));
  ASSERT_TRUE(s);
  ASSERT_EQ(s->size(), 2u);
  EXPECT_EQ((*s)[1].ns, ns::kMedia);
  EXPECT_EQ((*s)[1].xaddr, "http://d/onvif/media");
  EXPECT_EQ((*s)[0].versionMajor, 2);
  EXPECT_EQ((*s)[0].versionMinor, 60);

  onvif::DeviceInformation info{"Maker & Co", "M<1>", "1.0 \"beta\"", "SN'1", "HW"};
  auto i = onvif::ParseGetDeviceInformationResponse(onvif::BuildGetDeviceInformationResponse(info));
  ASSERT_TRUE(i);
  EXPECT_EQ(i->manufacturer, info.manufacturer);
  EXPECT_EQ(i->model, info.model);
  EXPECT_EQ(i->firmwareVersion, info.firmwareVersion);
  EXPECT_EQ(i->serialNumber, info.serialNumber);
  EXPECT_EQ(i->hardwareId, info.hardwareId);
}

TEST(DeviceService, CameraAnswersWithOtherPrefixesAreRead) {
  auto t = onvif::ParseGetSystemDateAndTimeResponse(CameraEnvelope(
      "<ns1:GetSystemDateAndTimeResponse><ns1:SystemDateAndTime>"
      "<ns2:DateTimeType>Manual</ns2:DateTimeType><ns2:DaylightSavings>true</ns2:DaylightSavings>"
      "<ns2:UTCDateTime><ns2:Time><ns2:Hour>7</ns2:Hour><ns2:Minute>8</ns2:Minute>"
      "<ns2:Second>9</ns2:Second></ns2:Time><ns2:Date><ns2:Year>2024</ns2:Year>"
      "<ns2:Month>5</ns2:Month><ns2:Day>6</ns2:Day></ns2:Date></ns2:UTCDateTime>"
      "<ns2:LocalDateTime><ns2:Time><ns2:Hour>9</ns2:Hour></ns2:Time></ns2:LocalDateTime>"
      "</ns1:SystemDateAndTime></ns1:GetSystemDateAndTimeResponse>"));
  ASSERT_TRUE(t) << t.error().message;
  EXPECT_EQ(t->utcUnix, 1714979289);
  EXPECT_FALSE(t->ntp);
  EXPECT_TRUE(t->daylightSavings);

  // Default namespaces instead of prefixes.
  auto c = onvif::ParseGetCapabilitiesResponse(
      "<Envelope xmlns='http://www.w3.org/2003/05/soap-envelope'><Body>"
      "<GetCapabilitiesResponse xmlns='http://www.onvif.org/ver10/device/wsdl'>"
      "<Capabilities><Media xmlns='http://www.onvif.org/ver10/schema'>"
      "<XAddr> http://192.0.2.7/onvif/Media </XAddr></Media>"
      "<x:Events xmlns:x='http://www.onvif.org/ver10/schema'><x:XAddr>http://192.0.2.7/ev"
      "</x:XAddr></x:Events></Capabilities></GetCapabilitiesResponse></Body></Envelope>");
  ASSERT_TRUE(c) << c.error().message;
  EXPECT_EQ(c->media, "http://192.0.2.7/onvif/Media");
  EXPECT_EQ(c->events, "http://192.0.2.7/ev");
  EXPECT_EQ(c->ptz, "");
}

TEST(DeviceService, ImpossibleOrMissingClockIsAnError) {
  auto clock = [](const std::string& date) {
    return onvif::ParseGetSystemDateAndTimeResponse(CameraEnvelope(
        "<ns1:GetSystemDateAndTimeResponse><ns1:SystemDateAndTime><ns2:UTCDateTime><ns2:Time>"
        "<ns2:Hour>1</ns2:Hour><ns2:Minute>2</ns2:Minute><ns2:Second>3</ns2:Second></ns2:Time>"
        "<ns2:Date>" +
        date +
        "</ns2:Date></ns2:UTCDateTime></ns1:SystemDateAndTime>"
        "</ns1:GetSystemDateAndTimeResponse>"));
  };
  EXPECT_TRUE(clock("<ns2:Year>2024</ns2:Year><ns2:Month>2</ns2:Month><ns2:Day>29</ns2:Day>"));
  for (const char* date :
       {"<ns2:Year>2023</ns2:Year><ns2:Month>2</ns2:Month><ns2:Day>29</ns2:Day>",
        "<ns2:Year>2024</ns2:Year><ns2:Month>13</ns2:Month><ns2:Day>1</ns2:Day>",
        "<ns2:Year>2024</ns2:Year><ns2:Day>1</ns2:Day>",
        "<ns2:Year>99999999999</ns2:Year><ns2:Month>1</ns2:Month><ns2:Day>1</ns2:Day>"}) {
    auto r = clock(date);
    ASSERT_FALSE(r) << date;
    EXPECT_EQ(r.error().kind, onvif::ErrorKind::kUnexpected);
  }
  EXPECT_FALSE(onvif::ParseGetSystemDateAndTimeResponse(
      CameraEnvelope("<ns1:GetSystemDateAndTimeResponse><ns1:SystemDateAndTime>"
                     "<ns2:DateTimeType>NTP</ns2:DateTimeType></ns1:SystemDateAndTime>"
                     "</ns1:GetSystemDateAndTimeResponse>")));
}

TEST(MediaService, RequestsReachTheServerWithTheirArguments) {
  auto token = onvif::NewUsernameToken("u", "p", 1714979289, 0);
  auto uri = Received(onvif::BuildGetStreamUriRequest(token, kToken), Operation::kGetStreamUri);
  EXPECT_TRUE(onvif::ReadRequestHeader(uri).token);
  auto r = onvif::ParseGetStreamUriRequest(uri.body);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->profileToken, kToken);
  EXPECT_EQ(r->stream, "RTP-Unicast");
  EXPECT_EQ(r->protocol, "RTSP");
  auto snap =
      Received(onvif::BuildGetSnapshotUriRequest(token, kToken), Operation::kGetSnapshotUri);
  EXPECT_EQ(onvif::ParseGetSnapshotUriRequest(snap.body).value(), kToken);
  EXPECT_FALSE(onvif::ParseGetSnapshotUriRequest(uri.body));
  EXPECT_FALSE(onvif::ParseGetStreamUriRequest(snap.body));
  auto empty =
      Received(onvif::BuildGetSnapshotUriRequest(std::nullopt, ""), Operation::kGetSnapshotUri);
  EXPECT_FALSE(onvif::ParseGetSnapshotUriRequest(empty.body));
}

TEST(MediaService, ResponsesReadBack) {
  std::vector<onvif::MediaProfile> profiles(2);
  profiles[0] = {"main&1", "Main <HD>", "src0", "H264", 1920, 1080, 25, 4096, true};
  profiles[1] = {"sub", "Sub", "src0", "JPEG", 640, 360, 0, 0, false};
  auto p = onvif::ParseGetProfilesResponse(onvif::BuildGetProfilesResponse(profiles));
  ASSERT_TRUE(p) << p.error().message;
  ASSERT_EQ(p->size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const auto& want = profiles[i];
    const auto& got = (*p)[i];
    EXPECT_EQ(got.token, want.token);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.videoSourceToken, want.videoSourceToken);
    EXPECT_EQ(got.videoEncoding, want.videoEncoding);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.frameRateLimit, want.frameRateLimit);
    EXPECT_EQ(got.bitrateLimit, want.bitrateLimit);
    EXPECT_EQ(got.hasPtz, want.hasPtz);
  }

  onvif::MediaUri uri{"rtsp://192.0.2.7:554/live?ch=1&sub=0", false, true, 60500};
  for (bool stream : {true, false}) {
    auto u = stream ? onvif::ParseGetStreamUriResponse(onvif::BuildGetStreamUriResponse(uri))
                    : onvif::ParseGetSnapshotUriResponse(onvif::BuildGetSnapshotUriResponse(uri));
    ASSERT_TRUE(u);
    EXPECT_EQ(u->uri, uri.uri);
    EXPECT_FALSE(u->invalidAfterConnect);
    EXPECT_TRUE(u->invalidAfterReboot);
    EXPECT_EQ(u->timeoutMs, 60500);
  }
  // A snapshot answer is not a stream answer.
  EXPECT_FALSE(onvif::ParseGetStreamUriResponse(onvif::BuildGetSnapshotUriResponse(uri)));
}

TEST(MediaService, CameraProfilesAreReadAndBounded) {
  const std::string profile =
      "<m:Profiles fixed='true' token='Profile_1'><ns2:Name>mainStream</ns2:Name>"
      "<ns2:VideoSourceConfiguration token='V'><ns2:Name>V</ns2:Name><ns2:UseCount>2"
      "</ns2:UseCount><ns2:SourceToken>VideoSource_1</ns2:SourceToken>"
      "<ns2:Bounds height='1080' width='1920' y='0' x='0'></ns2:Bounds>"
      "</ns2:VideoSourceConfiguration>"
      "<ns2:VideoEncoderConfiguration token='E'><ns2:Name>E</ns2:Name>"
      "<ns2:UseCount>1</ns2:UseCount><ns2:Encoding>H264</ns2:Encoding><ns2:Resolution>"
      "<ns2:Width>2560</ns2:Width><ns2:Height>1440</ns2:Height></ns2:Resolution>"
      "<ns2:Quality>4.000000</ns2:Quality><ns2:RateControl><ns2:FrameRateLimit>20"
      "</ns2:FrameRateLimit><ns2:EncodingInterval>1</ns2:EncodingInterval><ns2:BitrateLimit>6144"
      "</ns2:BitrateLimit></ns2:RateControl><ns2:Multicast/><ns2:SessionTimeout>PT5S"
      "</ns2:SessionTimeout></ns2:VideoEncoderConfiguration>"
      "<ns2:PTZConfiguration token='P'><ns2:Name>P</ns2:Name></ns2:PTZConfiguration>"
      "</m:Profiles>";
  const std::string untokened = "<m:Profiles><ns2:Name>no token</ns2:Name></m:Profiles>";
  auto p = onvif::ParseGetProfilesResponse(
      CameraEnvelope("<m:GetProfilesResponse>" + untokened + profile + "</m:GetProfilesResponse>"));
  ASSERT_TRUE(p) << p.error().message;
  ASSERT_EQ(p->size(), 1u);
  EXPECT_EQ((*p)[0].token, "Profile_1");
  EXPECT_EQ((*p)[0].name, "mainStream");
  EXPECT_EQ((*p)[0].videoSourceToken, "VideoSource_1");
  EXPECT_EQ((*p)[0].width, 2560);
  EXPECT_EQ((*p)[0].height, 1440);
  EXPECT_EQ((*p)[0].frameRateLimit, 20);
  EXPECT_EQ((*p)[0].bitrateLimit, 6144);
  EXPECT_TRUE((*p)[0].hasPtz);

  std::string many;
  for (size_t i = 0; i < onvif::kMaxProfiles + 10; ++i) many += profile;
  auto bounded = onvif::ParseGetProfilesResponse(
      CameraEnvelope("<m:GetProfilesResponse>" + many + "</m:GetProfilesResponse>"));
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->size(), onvif::kMaxProfiles);

  auto noUri = onvif::ParseGetStreamUriResponse(
      CameraEnvelope("<m:GetStreamUriResponse><m:MediaUri><ns2:Uri></ns2:Uri></m:MediaUri>"
                     "</m:GetStreamUriResponse>"));
  ASSERT_FALSE(noUri);
  EXPECT_EQ(noUri.error().kind, onvif::ErrorKind::kUnexpected);
}
