// PTZ service: moves, stop and presets both ways, speeds clamped by our
// builder and refused by the server when out of range.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/operations.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;
using onvif::Operation;

namespace {

onvif::XmlElement BodyOf(const std::string& xml, Operation expected,
                         std::vector<onvif::SoapMessage>& keep) {
  auto message = onvif::ParseSoapMessage(xml);
  EXPECT_TRUE(message) << xml;
  if (!message) return {};
  EXPECT_EQ(onvif::IdentifyOperation(message->body), expected) << xml;
  keep.push_back(std::move(*message));
  return keep.back().body;
}

std::string Envelope(const std::string& body) {
  return "<s:Envelope xmlns:s='http://www.w3.org/2003/05/soap-envelope'"
         " xmlns:p='http://www.onvif.org/ver20/ptz/wsdl' "
         "xmlns:t='http://www.onvif.org/ver10/schema'>"
         "<s:Body>" +
         body + "</s:Body></s:Envelope>";
}

}  // namespace

TEST(PtzService, ContinuousMoveAndStopReachTheServer) {
  std::vector<onvif::SoapMessage> keep;
  onvif::ContinuousMove move{"prof&1", 0.5, -0.25, 1.0, 1500};
  auto r = onvif::ParseContinuousMoveRequest(BodyOf(
      onvif::BuildContinuousMoveRequest(std::nullopt, move), Operation::kContinuousMove, keep));
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->profileToken, "prof&1");
  EXPECT_EQ(r->panX, 0.5);
  EXPECT_EQ(r->tiltY, -0.25);
  EXPECT_EQ(r->zoom, 1.0);
  EXPECT_EQ(r->timeoutMs, 1500);

  // Zoom only: no PanTilt written, none read; no timeout.
  auto zoomOnly = onvif::ParseContinuousMoveRequest(
      BodyOf(onvif::BuildContinuousMoveRequest(std::nullopt, {"p", {}, {}, -0.3, {}}),
             Operation::kContinuousMove, keep));
  ASSERT_TRUE(zoomOnly);
  EXPECT_FALSE(zoomOnly->panX);
  EXPECT_FALSE(zoomOnly->tiltY);
  EXPECT_EQ(zoomOnly->zoom, -0.3);
  EXPECT_FALSE(zoomOnly->timeoutMs);

  // Our builder clamps what the server would refuse.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto clamped = onvif::ParseContinuousMoveRequest(
      BodyOf(onvif::BuildContinuousMoveRequest(std::nullopt, {"p", 7.0, nan, -1e300, {}}),
             Operation::kContinuousMove, keep));
  ASSERT_TRUE(clamped) << clamped.error().message;
  EXPECT_EQ(clamped->panX, 1.0);
  EXPECT_EQ(clamped->tiltY, 0.0);
  EXPECT_EQ(clamped->zoom, -1.0);

  for (auto [panTilt, zoom] : {std::pair{true, false}, std::pair{false, true}}) {
    auto s = onvif::ParseStopRequest(BodyOf(
        onvif::BuildStopRequest(std::nullopt, {"p", panTilt, zoom}), Operation::kStop, keep));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->panTilt, panTilt);
    EXPECT_EQ(s->zoom, zoom);
  }
  // Flags left out stop both.
  auto all = onvif::ParseStopRequest(BodyOf(
      Envelope("<p:Stop><p:ProfileToken>x</p:ProfileToken></p:Stop>"), Operation::kStop, keep));
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->panTilt && all->zoom);
}

TEST(PtzService, ServerRefusesOutOfRangeOrMalformedMoves) {
  std::vector<onvif::SoapMessage> keep;
  const char* bad[] = {
      "<t:PanTilt x='1.5' y='0'/>",
      "<t:PanTilt x='0' y='-1.01'/>",
      "<t:PanTilt x='0'/>",
      "<t:PanTilt x='NaN' y='0'/>",
      "<t:PanTilt x='INF' y='0'/>",
      "<t:Zoom x='2'/>",
      "<t:Zoom/>",
      "<t:Zoom x='0.5x'/>",
  };
  for (const char* velocity : bad) {
    const std::string xml =
        Envelope(std::string("<p:ContinuousMove><p:ProfileToken>a</p:ProfileToken><p:Velocity>") +
                 velocity + "</p:Velocity></p:ContinuousMove>");
    EXPECT_FALSE(onvif::ParseContinuousMoveRequest(BodyOf(xml, Operation::kContinuousMove, keep)))
        << velocity;
  }
  EXPECT_FALSE(onvif::ParseContinuousMoveRequest(
      BodyOf(Envelope("<p:ContinuousMove><p:ProfileToken>a</p:ProfileToken><p:Velocity/>"
                      "<p:Timeout>soon</p:Timeout></p:ContinuousMove>"),
             Operation::kContinuousMove, keep)));
  EXPECT_FALSE(onvif::ParseContinuousMoveRequest(
      BodyOf(Envelope("<p:ContinuousMove><p:ProfileToken>a</p:ProfileToken></p:ContinuousMove>"),
             Operation::kContinuousMove, keep)));
  EXPECT_FALSE(onvif::ParseStopRequest(
      BodyOf(Envelope("<p:Stop><p:ProfileToken>a</p:ProfileToken><p:Zoom>yes</p:Zoom></p:Stop>"),
             Operation::kStop, keep)));
}

TEST(PtzService, PresetsBothWays) {
  std::vector<onvif::SoapMessage> keep;
  auto get = onvif::ParseGetPresetsRequest(
      BodyOf(onvif::BuildGetPresetsRequest(std::nullopt, "prof"), Operation::kGetPresets, keep));
  EXPECT_EQ(get.value(), "prof");

  auto go = onvif::ParseGotoPresetRequest(BodyOf(
      onvif::BuildGotoPresetRequest(std::nullopt, "prof", "7"), Operation::kGotoPreset, keep));
  ASSERT_TRUE(go);
  EXPECT_EQ(go->profileToken, "prof");
  EXPECT_EQ(go->presetToken, "7");

  auto setNew = onvif::ParseSetPresetRequest(
      BodyOf(onvif::BuildSetPresetRequest(std::nullopt, "prof", "Door <east>", ""),
             Operation::kSetPreset, keep));
  ASSERT_TRUE(setNew);
  EXPECT_EQ(setNew->presetName, "Door <east>");
  EXPECT_EQ(setNew->presetToken, "");
  auto setOld = onvif::ParseSetPresetRequest(BodyOf(
      onvif::BuildSetPresetRequest(std::nullopt, "prof", "", "3"), Operation::kSetPreset, keep));
  ASSERT_TRUE(setOld);
  EXPECT_EQ(setOld->presetToken, "3");

  auto remove = onvif::ParseRemovePresetRequest(BodyOf(
      onvif::BuildRemovePresetRequest(std::nullopt, "prof", "3"), Operation::kRemovePreset, keep));
  ASSERT_TRUE(remove);
  EXPECT_EQ(remove->presetToken, "3");
  // Goto and Remove need a preset token.
  EXPECT_FALSE(onvif::ParseGotoPresetRequest(BodyOf(
      onvif::BuildGotoPresetRequest(std::nullopt, "prof", ""), Operation::kGotoPreset, keep)));
  EXPECT_FALSE(onvif::ParseRemovePresetRequest(BodyOf(
      onvif::BuildGotoPresetRequest(std::nullopt, "prof", "3"), Operation::kGotoPreset, keep)));

  std::vector<onvif::Preset> presets = {{"1", "Gate"}, {"2", "Yard & road"}};
  auto list = onvif::ParseGetPresetsResponse(onvif::BuildGetPresetsResponse(presets));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[1].token, "2");
  EXPECT_EQ((*list)[1].name, "Yard & road");
  EXPECT_EQ(onvif::ParseSetPresetResponse(onvif::BuildSetPresetResponse("12")).value(), "12");
  EXPECT_TRUE(onvif::ParseContinuousMoveResponse(onvif::BuildContinuousMoveResponse()));
  EXPECT_TRUE(onvif::ParseStopResponse(onvif::BuildStopResponse()));
  EXPECT_TRUE(onvif::ParseGotoPresetResponse(onvif::BuildGotoPresetResponse()));
  EXPECT_TRUE(onvif::ParseRemovePresetResponse(onvif::BuildRemovePresetResponse()));
  EXPECT_FALSE(onvif::ParseStopResponse(onvif::BuildGotoPresetResponse()));
}

TEST(PtzService, CameraPresetListsAreReadAndBounded) {
  std::string presets =
      "<p:Preset token='1'><t:Name>one</t:Name><t:PTZPosition><t:PanTilt x='0.1' y='0.2'/>"
      "</t:PTZPosition></p:Preset><p:Preset><t:Name>tokenless</t:Name></p:Preset>"
      "<p:Preset token='2'/>";
  auto list = onvif::ParseGetPresetsResponse(
      Envelope("<p:GetPresetsResponse>" + presets + "</p:GetPresetsResponse>"));
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].name, "one");
  EXPECT_EQ((*list)[1].token, "2");
  EXPECT_EQ((*list)[1].name, "");

  std::string many;
  for (size_t i = 0; i < onvif::kMaxPresets + 5; ++i) many += "<p:Preset token='x'/>";
  auto bounded = onvif::ParseGetPresetsResponse(
      Envelope("<p:GetPresetsResponse>" + many + "</p:GetPresetsResponse>"));
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->size(), onvif::kMaxPresets);
  EXPECT_FALSE(onvif::ParseSetPresetResponse(
      Envelope("<p:SetPresetResponse><p:PresetToken> </p:PresetToken></p:SetPresetResponse>")));
}
