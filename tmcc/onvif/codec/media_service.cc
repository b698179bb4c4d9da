#include "tmcc/onvif/codec/media_service.h"

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xml_writer.h"
#include "tmcc/onvif/codec/xs_duration.h"

namespace qrv::tmcc::onvif {

namespace {

int IntOr0(const XmlElement& e, int max) {
  return static_cast<int>(ParseInteger(e.Text(), 0, max).value_or(0));
}

std::string ProfileTokenRequest(std::string_view operation,
                                const std::optional<UsernameToken>& security,
                                std::string_view profileToken) {
  std::string body;
  XmlWriter(body).Start(operation).Leaf("trt:ProfileToken", profileToken).End(operation);
  return BuildEnvelope(body, security);
}

Result<MediaUri> ParseMediaUri(std::string_view xml, std::string_view response) {
  auto message = ParseResponse(xml, ns::kMedia, response);
  if (!message) return message.error();
  const XmlElement m = message->body.Child(ns::kMedia, "MediaUri");
  MediaUri uri;
  uri.uri = FieldText(m.Child(ns::kSchema, "Uri"));
  if (uri.uri.empty()) return Unexpected("no MediaUri/Uri");
  uri.invalidAfterConnect =
      ParseBoolean(m.Child(ns::kSchema, "InvalidAfterConnect").Text()).value_or(false);
  uri.invalidAfterReboot =
      ParseBoolean(m.Child(ns::kSchema, "InvalidAfterReboot").Text()).value_or(false);
  uri.timeoutMs = ParseDuration(m.Child(ns::kSchema, "Timeout").TrimmedText()).value_or(0);
  return uri;
}

std::string BuildMediaUriResponse(std::string_view response, const MediaUri& uri) {
  std::string body;
  XmlWriter w(body);
  w.Start(response).Start("trt:MediaUri").Leaf("tt:Uri", uri.uri);
  w.Leaf("tt:InvalidAfterConnect", uri.invalidAfterConnect ? "true" : "false");
  w.Leaf("tt:InvalidAfterReboot", uri.invalidAfterReboot ? "true" : "false");
  w.Leaf("tt:Timeout", FormatDuration(uri.timeoutMs));
  w.End("trt:MediaUri").End(response);
  return BuildEnvelope(body, std::nullopt);
}

Result<std::string> ProfileToken(const XmlElement& body) {
  std::string token = FieldText(body.Child(ns::kMedia, "ProfileToken"));
  if (token.empty()) return Unexpected("no ProfileToken");
  return token;
}

}  // namespace

std::string BuildGetProfilesRequest(const std::optional<UsernameToken>& security) {
  std::string body;
  XmlWriter(body).Start("trt:GetProfiles").End("trt:GetProfiles");
  return BuildEnvelope(body, security);
}

Result<std::vector<MediaProfile>> ParseGetProfilesResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kMedia, "GetProfilesResponse");
  if (!message) return message.error();
  std::vector<MediaProfile> profiles;
  for (XmlElement p = message->body.Child(ns::kMedia, "Profiles");
       p && profiles.size() < kMaxProfiles; p = p.NextNamed(ns::kMedia, "Profiles")) {
    MediaProfile profile;
    profile.token = FieldText(p.Attribute("", "token").value_or(""));
    if (profile.token.empty()) continue;
    profile.name = FieldText(p.Child(ns::kSchema, "Name"));
    profile.videoSourceToken = FieldText(
        p.Child(ns::kSchema, "VideoSourceConfiguration").Child(ns::kSchema, "SourceToken"));
    const XmlElement encoder = p.Child(ns::kSchema, "VideoEncoderConfiguration");
    if (encoder) {
      profile.videoEncoding = FieldText(encoder.Child(ns::kSchema, "Encoding"));
      const XmlElement resolution = encoder.Child(ns::kSchema, "Resolution");
      profile.width = IntOr0(resolution.Child(ns::kSchema, "Width"), 100000);
      profile.height = IntOr0(resolution.Child(ns::kSchema, "Height"), 100000);
      const XmlElement rate = encoder.Child(ns::kSchema, "RateControl");
      profile.frameRateLimit = IntOr0(rate.Child(ns::kSchema, "FrameRateLimit"), 100000);
      profile.bitrateLimit = IntOr0(rate.Child(ns::kSchema, "BitrateLimit"), 100000000);
    }
    profile.hasPtz = static_cast<bool>(p.Child(ns::kSchema, "PTZConfiguration"));
    profiles.push_back(std::move(profile));
  }
  return profiles;
}

std::string BuildGetStreamUriRequest(const std::optional<UsernameToken>& security,
                                     std::string_view profileToken) {
  std::string body;
  XmlWriter w(body);
  w.Start("trt:GetStreamUri").Start("trt:StreamSetup").Leaf("tt:Stream", "RTP-Unicast");
  w.Start("tt:Transport").Leaf("tt:Protocol", "RTSP").End("tt:Transport");
  w.End("trt:StreamSetup").Leaf("trt:ProfileToken", profileToken).End("trt:GetStreamUri");
  return BuildEnvelope(body, security);
}

Result<MediaUri> ParseGetStreamUriResponse(std::string_view xml) {
  return ParseMediaUri(xml, "GetStreamUriResponse");
}

std::string BuildGetSnapshotUriRequest(const std::optional<UsernameToken>& security,
                                       std::string_view profileToken) {
  return ProfileTokenRequest("trt:GetSnapshotUri", security, profileToken);
}

Result<MediaUri> ParseGetSnapshotUriResponse(std::string_view xml) {
  return ParseMediaUri(xml, "GetSnapshotUriResponse");
}

Result<GetStreamUriRequest> ParseGetStreamUriRequest(const XmlElement& body) {
  if (!body.Is(ns::kMedia, "GetStreamUri")) return Unexpected("not GetStreamUri");
  auto token = ProfileToken(body);
  if (!token) return token.error();
  const XmlElement setup = body.Child(ns::kMedia, "StreamSetup");
  GetStreamUriRequest r;
  r.profileToken = std::move(*token);
  r.stream = FieldText(setup.Child(ns::kSchema, "Stream"));
  r.protocol = FieldText(setup.Child(ns::kSchema, "Transport").Child(ns::kSchema, "Protocol"));
  if (r.stream.empty() || r.protocol.empty()) return Unexpected("incomplete StreamSetup");
  return r;
}

Result<std::string> ParseGetSnapshotUriRequest(const XmlElement& body) {
  if (!body.Is(ns::kMedia, "GetSnapshotUri")) return Unexpected("not GetSnapshotUri");
  return ProfileToken(body);
}

std::string BuildGetProfilesResponse(const std::vector<MediaProfile>& profiles) {
  std::string body;
  XmlWriter w(body);
  w.Start("trt:GetProfilesResponse");
  for (const auto& p : profiles) {
    w.Start("trt:Profiles").Attr("token", p.token).Attr("fixed", "true");
    w.Leaf("tt:Name", p.name);
    if (!p.videoSourceToken.empty()) {
      w.Start("tt:VideoSourceConfiguration").Attr("token", p.videoSourceToken);
      w.Leaf("tt:Name", p.videoSourceToken).Leaf("tt:UseCount", "1");
      w.Leaf("tt:SourceToken", p.videoSourceToken);
      w.Start("tt:Bounds")
          .Attr("x", "0")
          .Attr("y", "0")
          .Attr("width", std::to_string(p.width))
          .Attr("height", std::to_string(p.height))
          .End("tt:Bounds");
      w.End("tt:VideoSourceConfiguration");
    }
    if (!p.videoEncoding.empty()) {
      w.Start("tt:VideoEncoderConfiguration").Attr("token", p.token + "_video");
      w.Leaf("tt:Name", p.name).Leaf("tt:UseCount", "1");
      w.Leaf("tt:Encoding", p.videoEncoding);
      w.Start("tt:Resolution")
          .Leaf("tt:Width", std::to_string(p.width))
          .Leaf("tt:Height", std::to_string(p.height))
          .End("tt:Resolution");
      w.Leaf("tt:Quality", "5");
      if (p.frameRateLimit > 0 || p.bitrateLimit > 0) {
        w.Start("tt:RateControl");
        w.Leaf("tt:FrameRateLimit", std::to_string(p.frameRateLimit));
        w.Leaf("tt:EncodingInterval", "1");
        w.Leaf("tt:BitrateLimit", std::to_string(p.bitrateLimit));
        w.End("tt:RateControl");
      }
      w.End("tt:VideoEncoderConfiguration");
    }
    if (p.hasPtz) {
      w.Start("tt:PTZConfiguration").Attr("token", p.token + "_ptz");
      w.Leaf("tt:Name", p.name).Leaf("tt:UseCount", "1").Leaf("tt:NodeToken", "ptz");
      w.End("tt:PTZConfiguration");
    }
    w.End("trt:Profiles");
  }
  w.End("trt:GetProfilesResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildGetStreamUriResponse(const MediaUri& uri) {
  return BuildMediaUriResponse("trt:GetStreamUriResponse", uri);
}

std::string BuildGetSnapshotUriResponse(const MediaUri& uri) {
  return BuildMediaUriResponse("trt:GetSnapshotUriResponse", uri);
}

}  // namespace qrv::tmcc::onvif
