#include "tmcc/onvif/codec/ptz_service.h"

#include <cmath>

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xml_writer.h"
#include "tmcc/onvif/codec/xs_duration.h"

namespace qrv::tmcc::onvif {

namespace {

double Clamp(std::optional<double> v) {
  if (!v || std::isnan(*v)) return 0;
  return *v < -1 ? -1 : *v > 1 ? 1 : *v;
}

std::string PresetRequestXml(std::string_view operation,
                             const std::optional<UsernameToken>& security,
                             std::string_view profileToken, std::string_view presetToken) {
  std::string body;
  XmlWriter(body)
      .Start(operation)
      .Leaf("tptz:ProfileToken", profileToken)
      .Leaf("tptz:PresetToken", presetToken)
      .End(operation);
  return BuildEnvelope(body, security);
}

Result<std::string> ProfileToken(const XmlElement& body) {
  std::string token = FieldText(body.Child(ns::kPtz, "ProfileToken"));
  if (token.empty()) return Unexpected("no ProfileToken");
  return token;
}

// A speed attribute of a velocity vector: present, finite and in [-1, 1].
std::optional<double> Speed(const XmlElement& vector, std::string_view axis) {
  auto v = ParseDecimal(vector.Attribute("", axis).value_or(""));
  if (!v || *v < -1 || *v > 1) return std::nullopt;
  return v;
}

Result<PresetRequest> ParsePreset(const XmlElement& body, std::string_view operation,
                                  bool tokenRequired) {
  if (!body.Is(ns::kPtz, operation)) return Unexpected("not " + std::string(operation));
  auto profile = ProfileToken(body);
  if (!profile) return profile.error();
  PresetRequest r;
  r.profileToken = std::move(*profile);
  r.presetToken = FieldText(body.Child(ns::kPtz, "PresetToken"));
  r.presetName = FieldText(body.Child(ns::kPtz, "PresetName"));
  if (tokenRequired && r.presetToken.empty()) return Unexpected("no PresetToken");
  return r;
}

}  // namespace

std::string BuildContinuousMoveRequest(const std::optional<UsernameToken>& security,
                                       const ContinuousMove& move) {
  std::string body;
  XmlWriter w(body);
  w.Start("tptz:ContinuousMove").Leaf("tptz:ProfileToken", move.profileToken);
  w.Start("tptz:Velocity");
  if (move.panX || move.tiltY) {
    w.Start("tt:PanTilt")
        .Attr("x", FormatDecimal(Clamp(move.panX)))
        .Attr("y", FormatDecimal(Clamp(move.tiltY)))
        .End("tt:PanTilt");
  }
  if (move.zoom) w.Start("tt:Zoom").Attr("x", FormatDecimal(Clamp(move.zoom))).End("tt:Zoom");
  w.End("tptz:Velocity");
  if (move.timeoutMs) w.Leaf("tptz:Timeout", FormatDuration(*move.timeoutMs));
  w.End("tptz:ContinuousMove");
  return BuildEnvelope(body, security);
}

std::string BuildStopRequest(const std::optional<UsernameToken>& security, const StopMove& stop) {
  std::string body;
  XmlWriter(body)
      .Start("tptz:Stop")
      .Leaf("tptz:ProfileToken", stop.profileToken)
      .Leaf("tptz:PanTilt", stop.panTilt ? "true" : "false")
      .Leaf("tptz:Zoom", stop.zoom ? "true" : "false")
      .End("tptz:Stop");
  return BuildEnvelope(body, security);
}

std::string BuildGetPresetsRequest(const std::optional<UsernameToken>& security,
                                   std::string_view profileToken) {
  std::string body;
  XmlWriter(body)
      .Start("tptz:GetPresets")
      .Leaf("tptz:ProfileToken", profileToken)
      .End("tptz:GetPresets");
  return BuildEnvelope(body, security);
}

Result<std::vector<Preset>> ParseGetPresetsResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kPtz, "GetPresetsResponse");
  if (!message) return message.error();
  std::vector<Preset> presets;
  for (XmlElement p = message->body.Child(ns::kPtz, "Preset"); p && presets.size() < kMaxPresets;
       p = p.NextNamed(ns::kPtz, "Preset")) {
    Preset preset;
    preset.token = FieldText(p.Attribute("", "token").value_or(""));
    if (preset.token.empty()) continue;
    preset.name = FieldText(p.Child(ns::kSchema, "Name"));
    presets.push_back(std::move(preset));
  }
  return presets;
}

std::string BuildGotoPresetRequest(const std::optional<UsernameToken>& security,
                                   std::string_view profileToken, std::string_view presetToken) {
  return PresetRequestXml("tptz:GotoPreset", security, profileToken, presetToken);
}

std::string BuildSetPresetRequest(const std::optional<UsernameToken>& security,
                                  std::string_view profileToken, std::string_view presetName,
                                  std::string_view presetToken) {
  std::string body;
  XmlWriter w(body);
  w.Start("tptz:SetPreset").Leaf("tptz:ProfileToken", profileToken);
  if (!presetName.empty()) w.Leaf("tptz:PresetName", presetName);
  if (!presetToken.empty()) w.Leaf("tptz:PresetToken", presetToken);
  w.End("tptz:SetPreset");
  return BuildEnvelope(body, security);
}

Result<std::string> ParseSetPresetResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kPtz, "SetPresetResponse");
  if (!message) return message.error();
  std::string token = FieldText(message->body.Child(ns::kPtz, "PresetToken"));
  if (token.empty()) return Unexpected("no PresetToken");
  return token;
}

std::string BuildRemovePresetRequest(const std::optional<UsernameToken>& security,
                                     std::string_view profileToken, std::string_view presetToken) {
  return PresetRequestXml("tptz:RemovePreset", security, profileToken, presetToken);
}

Result<Empty> ParseContinuousMoveResponse(std::string_view xml) {
  return ParseEmptyResponse(xml, ns::kPtz, "ContinuousMoveResponse");
}
Result<Empty> ParseStopResponse(std::string_view xml) {
  return ParseEmptyResponse(xml, ns::kPtz, "StopResponse");
}
Result<Empty> ParseGotoPresetResponse(std::string_view xml) {
  return ParseEmptyResponse(xml, ns::kPtz, "GotoPresetResponse");
}
Result<Empty> ParseRemovePresetResponse(std::string_view xml) {
  return ParseEmptyResponse(xml, ns::kPtz, "RemovePresetResponse");
}

Result<ContinuousMove> ParseContinuousMoveRequest(const XmlElement& body) {
  if (!body.Is(ns::kPtz, "ContinuousMove")) return Unexpected("not ContinuousMove");
  auto profile = ProfileToken(body);
  if (!profile) return profile.error();
  const XmlElement velocity = body.Child(ns::kPtz, "Velocity");
  if (!velocity) return Unexpected("no Velocity");
  ContinuousMove move;
  move.profileToken = std::move(*profile);
  if (const XmlElement panTilt = velocity.Child(ns::kSchema, "PanTilt")) {
    move.panX = Speed(panTilt, "x");
    move.tiltY = Speed(panTilt, "y");
    if (!move.panX || !move.tiltY) return Unexpected("PanTilt speed missing or out of range");
  }
  if (const XmlElement zoom = velocity.Child(ns::kSchema, "Zoom")) {
    move.zoom = Speed(zoom, "x");
    if (!move.zoom) return Unexpected("Zoom speed missing or out of range");
  }
  if (const XmlElement timeout = body.Child(ns::kPtz, "Timeout")) {
    move.timeoutMs = ParseDuration(timeout.TrimmedText());
    if (!move.timeoutMs) return Unexpected("Timeout is not a duration we accept");
  }
  return move;
}

Result<StopMove> ParseStopRequest(const XmlElement& body) {
  if (!body.Is(ns::kPtz, "Stop")) return Unexpected("not Stop");
  auto profile = ProfileToken(body);
  if (!profile) return profile.error();
  StopMove stop;
  stop.profileToken = std::move(*profile);
  // An absent flag stops that axis too.
  for (auto [name, flag] : {std::pair{"PanTilt", &stop.panTilt}, std::pair{"Zoom", &stop.zoom}}) {
    if (const XmlElement e = body.Child(ns::kPtz, name)) {
      auto v = ParseBoolean(e.Text());
      if (!v) return Unexpected(std::string(name) + " is not a boolean");
      *flag = *v;
    }
  }
  return stop;
}

Result<std::string> ParseGetPresetsRequest(const XmlElement& body) {
  if (!body.Is(ns::kPtz, "GetPresets")) return Unexpected("not GetPresets");
  return ProfileToken(body);
}

Result<PresetRequest> ParseGotoPresetRequest(const XmlElement& body) {
  return ParsePreset(body, "GotoPreset", true);
}

Result<PresetRequest> ParseSetPresetRequest(const XmlElement& body) {
  return ParsePreset(body, "SetPreset", false);
}

Result<PresetRequest> ParseRemovePresetRequest(const XmlElement& body) {
  return ParsePreset(body, "RemovePreset", true);
}

std::string BuildContinuousMoveResponse() {
  return BuildEmptyResponse("tptz:ContinuousMoveResponse");
}

std::string BuildStopResponse() {
  return BuildEmptyResponse("tptz:StopResponse");
}

std::string BuildGetPresetsResponse(const std::vector<Preset>& presets) {
  std::string body;
  XmlWriter w(body);
  w.Start("tptz:GetPresetsResponse");
  for (const auto& p : presets) {
    w.Start("tptz:Preset").Attr("token", p.token).Leaf("tt:Name", p.name).End("tptz:Preset");
  }
  w.End("tptz:GetPresetsResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildGotoPresetResponse() {
  return BuildEmptyResponse("tptz:GotoPresetResponse");
}

std::string BuildSetPresetResponse(std::string_view presetToken) {
  std::string body;
  XmlWriter(body)
      .Start("tptz:SetPresetResponse")
      .Leaf("tptz:PresetToken", presetToken)
      .End("tptz:SetPresetResponse");
  return BuildEnvelope(body, std::nullopt);
}

std::string BuildRemovePresetResponse() {
  return BuildEmptyResponse("tptz:RemovePresetResponse");
}

}  // namespace qrv::tmcc::onvif
