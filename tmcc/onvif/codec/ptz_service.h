// The PTZ service's messages we use: continuous moves and stop, and presets.
// Client and server sides. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc::onvif {

// Speeds in the generic velocity spaces, each in [-1, 1]; an absent axis is
// left as it moves.
struct ContinuousMove {
  std::string profileToken;
  std::optional<double> panX;  // pan and tilt go together (PanTilt x, y)
  std::optional<double> tiltY;
  std::optional<double> zoom;
  std::optional<int64_t> timeoutMs;
};

struct StopMove {
  std::string profileToken;
  bool panTilt = true;
  bool zoom = true;
};

struct Preset {
  std::string token;
  std::string name;
};

inline constexpr size_t kMaxPresets = 1024;

// Client. ContinuousMove clamps speeds into [-1, 1] (not-a-number to 0); a
// pan without a tilt (or the reverse) moves the other axis at 0.
std::string BuildContinuousMoveRequest(const std::optional<UsernameToken>& security,
                                       const ContinuousMove& move);
std::string BuildStopRequest(const std::optional<UsernameToken>& security, const StopMove& stop);
std::string BuildGetPresetsRequest(const std::optional<UsernameToken>& security,
                                   std::string_view profileToken);
// At most kMaxPresets presets; ones without a token are skipped.
Result<std::vector<Preset>> ParseGetPresetsResponse(std::string_view xml);
std::string BuildGotoPresetRequest(const std::optional<UsernameToken>& security,
                                   std::string_view profileToken, std::string_view presetToken);
// An empty presetToken asks for a new preset; an empty name lets the device name it.
std::string BuildSetPresetRequest(const std::optional<UsernameToken>& security,
                                  std::string_view profileToken, std::string_view presetName,
                                  std::string_view presetToken);
Result<std::string> ParseSetPresetResponse(std::string_view xml);  // the preset's token
std::string BuildRemovePresetRequest(const std::optional<UsernameToken>& security,
                                     std::string_view profileToken, std::string_view presetToken);
// The empty answers of ContinuousMove, Stop, GotoPreset and RemovePreset.
Result<Empty> ParseContinuousMoveResponse(std::string_view xml);
Result<Empty> ParseStopResponse(std::string_view xml);
Result<Empty> ParseGotoPresetResponse(std::string_view xml);
Result<Empty> ParseRemovePresetResponse(std::string_view xml);

// Server. Speeds outside [-1, 1] and malformed timeouts are refused.
struct PresetRequest {
  std::string profileToken;
  std::string presetToken;  // empty in SetPreset for a new preset
  std::string presetName;   // SetPreset only
};
Result<ContinuousMove> ParseContinuousMoveRequest(const XmlElement& body);
Result<StopMove> ParseStopRequest(const XmlElement& body);
Result<std::string> ParseGetPresetsRequest(const XmlElement& body);  // the profile token
Result<PresetRequest> ParseGotoPresetRequest(const XmlElement& body);
Result<PresetRequest> ParseSetPresetRequest(const XmlElement& body);
Result<PresetRequest> ParseRemovePresetRequest(const XmlElement& body);

std::string BuildContinuousMoveResponse();
std::string BuildStopResponse();
std::string BuildGetPresetsResponse(const std::vector<Preset>& presets);
std::string BuildGotoPresetResponse();
std::string BuildSetPresetResponse(std::string_view presetToken);
std::string BuildRemovePresetResponse();

}  // namespace qrv::tmcc::onvif
