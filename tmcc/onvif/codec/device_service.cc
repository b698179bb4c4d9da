#include "tmcc/onvif/codec/device_service.h"

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xml_writer.h"
#include "tmcc/onvif/codec/xs_datetime.h"

namespace qrv::tmcc::onvif {

namespace {

constexpr size_t kMaxCategories = 16;

std::string Request(std::string_view operation, const std::optional<UsernameToken>& security) {
  std::string body;
  XmlWriter(body).Start(operation).End(operation);
  return BuildEnvelope(body, security);
}

std::optional<int> IntChild(const XmlElement& parent, std::string_view name, int min, int max) {
  const XmlElement e = parent.Child(ns::kSchema, name);
  if (!e) return std::nullopt;
  auto v = ParseInteger(e.Text(), min, max);
  if (!v) return std::nullopt;
  return static_cast<int>(*v);
}

}  // namespace

std::string BuildGetSystemDateAndTimeRequest() {
  return Request("tds:GetSystemDateAndTime", std::nullopt);
}

Result<SystemDateAndTime> ParseGetSystemDateAndTimeResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kDevice, "GetSystemDateAndTimeResponse");
  if (!message) return message.error();
  const XmlElement info = message->body.Child(ns::kDevice, "SystemDateAndTime");
  if (!info) return Unexpected("no SystemDateAndTime");
  const XmlElement utc = info.Child(ns::kSchema, "UTCDateTime");
  if (!utc) return Unexpected("the device gives no UTC time");
  const XmlElement date = utc.Child(ns::kSchema, "Date");
  const XmlElement time = utc.Child(ns::kSchema, "Time");
  CivilTime t;
  auto year = IntChild(date, "Year", 1, 9999);
  auto month = IntChild(date, "Month", 1, 12);
  auto day = IntChild(date, "Day", 1, 31);
  auto hour = IntChild(time, "Hour", 0, 23);
  auto minute = IntChild(time, "Minute", 0, 59);
  auto second = IntChild(time, "Second", 0, 60);
  if (!year || !month || !day || !hour || !minute || !second) {
    return Unexpected("UTC date or time missing or out of range");
  }
  t = {*year, *month, *day, *hour, *minute, *second};
  auto unix = UnixFromCivil(t);
  if (!unix) return Unexpected("UTC date does not exist");
  SystemDateAndTime result;
  result.utcUnix = *unix;
  result.ntp = info.Child(ns::kSchema, "DateTimeType").TrimmedText() == "NTP";
  result.daylightSavings =
      ParseBoolean(info.Child(ns::kSchema, "DaylightSavings").Text()).value_or(false);
  result.timeZone = FieldText(info.Child(ns::kSchema, "TimeZone").Child(ns::kSchema, "TZ"));
  return result;
}

std::string BuildGetCapabilitiesRequest(const std::optional<UsernameToken>& security) {
  std::string body;
  XmlWriter(body)
      .Start("tds:GetCapabilities")
      .Leaf("tds:Category", "All")
      .End("tds:GetCapabilities");
  return BuildEnvelope(body, security);
}

Result<Capabilities> ParseGetCapabilitiesResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kDevice, "GetCapabilitiesResponse");
  if (!message) return message.error();
  const XmlElement caps = message->body.Child(ns::kDevice, "Capabilities");
  if (!caps) return Unexpected("no Capabilities");
  auto xaddr = [&](std::string_view name) {
    return FieldText(caps.Child(ns::kSchema, name).Child(ns::kSchema, "XAddr"));
  };
  Capabilities c;
  c.device = xaddr("Device");
  c.media = xaddr("Media");
  c.ptz = xaddr("PTZ");
  c.events = xaddr("Events");
  c.imaging = xaddr("Imaging");
  return c;
}

std::string BuildGetServicesRequest(const std::optional<UsernameToken>& security,
                                    bool includeCapability) {
  std::string body;
  XmlWriter(body)
      .Start("tds:GetServices")
      .Leaf("tds:IncludeCapability", includeCapability ? "true" : "false")
      .End("tds:GetServices");
  return BuildEnvelope(body, security);
}

Result<std::vector<ServiceAddress>> ParseGetServicesResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kDevice, "GetServicesResponse");
  if (!message) return message.error();
  std::vector<ServiceAddress> services;
  for (XmlElement s = message->body.Child(ns::kDevice, "Service");
       s && services.size() < kMaxServices; s = s.NextNamed(ns::kDevice, "Service")) {
    ServiceAddress a;
    a.ns = FieldText(s.Child(ns::kDevice, "Namespace"));
    a.xaddr = FieldText(s.Child(ns::kDevice, "XAddr"));
    if (a.ns.empty() || a.xaddr.empty()) continue;
    const XmlElement version = s.Child(ns::kDevice, "Version");
    a.versionMajor = IntChild(version, "Major", 0, 1000000).value_or(0);
    a.versionMinor = IntChild(version, "Minor", 0, 1000000).value_or(0);
    services.push_back(std::move(a));
  }
  return services;
}

std::string BuildGetDeviceInformationRequest(const std::optional<UsernameToken>& security) {
  return Request("tds:GetDeviceInformation", security);
}

Result<DeviceInformation> ParseGetDeviceInformationResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kDevice, "GetDeviceInformationResponse");
  if (!message) return message.error();
  const XmlElement b = message->body;
  DeviceInformation info;
  info.manufacturer = FieldText(b.Child(ns::kDevice, "Manufacturer"));
  info.model = FieldText(b.Child(ns::kDevice, "Model"));
  info.firmwareVersion = FieldText(b.Child(ns::kDevice, "FirmwareVersion"));
  info.serialNumber = FieldText(b.Child(ns::kDevice, "SerialNumber"));
  info.hardwareId = FieldText(b.Child(ns::kDevice, "HardwareId"));
  return info;
}

Result<GetCapabilitiesRequest> ParseGetCapabilitiesRequest(const XmlElement& body) {
  if (!body.Is(ns::kDevice, "GetCapabilities")) return Unexpected("not GetCapabilities");
  GetCapabilitiesRequest r;
  for (XmlElement c = body.Child(ns::kDevice, "Category");
       c && r.categories.size() < kMaxCategories; c = c.NextNamed(ns::kDevice, "Category")) {
    r.categories.push_back(FieldText(c));
  }
  return r;
}

Result<bool> ParseGetServicesRequest(const XmlElement& body) {
  if (!body.Is(ns::kDevice, "GetServices")) return Unexpected("not GetServices");
  auto include = ParseBoolean(body.Child(ns::kDevice, "IncludeCapability").Text());
  if (!include) return Unexpected("IncludeCapability missing or not a boolean");
  return *include;
}

std::string BuildGetSystemDateAndTimeResponse(const SystemDateAndTime& time) {
  const CivilTime t = CivilFromUnix(time.utcUnix);
  std::string body;
  XmlWriter w(body);
  w.Start("tds:GetSystemDateAndTimeResponse").Start("tds:SystemDateAndTime");
  w.Leaf("tt:DateTimeType", time.ntp ? "NTP" : "Manual");
  w.Leaf("tt:DaylightSavings", time.daylightSavings ? "true" : "false");
  if (!time.timeZone.empty())
    w.Start("tt:TimeZone").Leaf("tt:TZ", time.timeZone).End("tt:TimeZone");
  w.Start("tt:UTCDateTime").Start("tt:Time");
  w.Leaf("tt:Hour", std::to_string(t.hour));
  w.Leaf("tt:Minute", std::to_string(t.minute));
  w.Leaf("tt:Second", std::to_string(t.second));
  w.End("tt:Time").Start("tt:Date");
  w.Leaf("tt:Year", std::to_string(t.year));
  w.Leaf("tt:Month", std::to_string(t.month));
  w.Leaf("tt:Day", std::to_string(t.day));
  w.End("tt:Date").End("tt:UTCDateTime");
  w.End("tds:SystemDateAndTime").End("tds:GetSystemDateAndTimeResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildGetCapabilitiesResponse(const Capabilities& c) {
  std::string body;
  XmlWriter w(body);
  w.Start("tds:GetCapabilitiesResponse").Start("tds:Capabilities");
  if (!c.device.empty()) w.Start("tt:Device").Leaf("tt:XAddr", c.device).End("tt:Device");
  if (!c.events.empty()) {
    w.Start("tt:Events").Leaf("tt:XAddr", c.events);
    w.Leaf("tt:WSSubscriptionPolicySupport", "false");
    w.Leaf("tt:WSPullPointSupport", "true");
    w.Leaf("tt:WSPausableSubscriptionManagerInterfaceSupport", "false");
    w.End("tt:Events");
  }
  if (!c.imaging.empty()) w.Start("tt:Imaging").Leaf("tt:XAddr", c.imaging).End("tt:Imaging");
  if (!c.media.empty()) {
    w.Start("tt:Media").Leaf("tt:XAddr", c.media).Start("tt:StreamingCapabilities");
    w.Leaf("tt:RTPMulticast", "false").Leaf("tt:RTP_TCP", "true").Leaf("tt:RTP_RTSP_TCP", "true");
    w.End("tt:StreamingCapabilities").End("tt:Media");
  }
  if (!c.ptz.empty()) w.Start("tt:PTZ").Leaf("tt:XAddr", c.ptz).End("tt:PTZ");
  w.End("tds:Capabilities").End("tds:GetCapabilitiesResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildGetServicesResponse(const std::vector<ServiceAddress>& services) {
  std::string body;
  XmlWriter w(body);
  w.Start("tds:GetServicesResponse");
  for (const auto& s : services) {
    w.Start("tds:Service").Leaf("tds:Namespace", s.ns).Leaf("tds:XAddr", s.xaddr);
    w.Start("tds:Version")
        .Leaf("tt:Major", std::to_string(s.versionMajor))
        .Leaf("tt:Minor", std::to_string(s.versionMinor))
        .End("tds:Version");
    w.End("tds:Service");
  }
  w.End("tds:GetServicesResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildGetDeviceInformationResponse(const DeviceInformation& info) {
  std::string body;
  XmlWriter w(body);
  w.Start("tds:GetDeviceInformationResponse");
  w.Leaf("tds:Manufacturer", info.manufacturer).Leaf("tds:Model", info.model);
  w.Leaf("tds:FirmwareVersion", info.firmwareVersion).Leaf("tds:SerialNumber", info.serialNumber);
  w.Leaf("tds:HardwareId", info.hardwareId);
  w.End("tds:GetDeviceInformationResponse");
  return BuildEnvelope(body, std::nullopt);
}

}  // namespace qrv::tmcc::onvif
