#include "tmcc/onvif/onvif_ptz_map.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc {

namespace {

// The slowest a camera can be asked to move: a speed of 0 still moves.
double Velocity(int32_t speed) {
  return static_cast<double>(std::clamp(speed, 1, kFullPtzSpeed)) / kFullPtzSpeed;
}

// Whether text ends in the decimal digits of number, leading zeros allowed,
// with no further digit before them ("P001" and "Preset1" end in 1, "P011"
// does not).
bool EndsInNumber(std::string_view text, const std::string& number) {
  size_t start = text.size();
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  std::string_view digits = text.substr(start);
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return digits == number;
}

}  // namespace

const onvif::Preset* FindPreset(const std::vector<onvif::Preset>& presets, int number) {
  const std::string wanted = std::to_string(number);
  const auto first = [&](auto matches) -> const onvif::Preset* {
    for (const auto& p : presets) {
      if (matches(p)) return &p;
    }
    return nullptr;
  };
  const auto name = [](const onvif::Preset& p) { return onvif::FieldText(p.name); };
  if (auto p = first([&](const auto& p) { return name(p) == wanted; })) return p;
  if (auto p = first([&](const auto& p) { return p.token == wanted; })) return p;
  if (auto p = first([&](const auto& p) { return EndsInNumber(p.token, wanted); })) return p;
  return first([&](const auto& p) { return EndsInNumber(name(p), wanted); });
}

PtzAction MapPtzRequest(int32_t command, int32_t param1, int32_t param2) {
  PtzAction action;
  const bool stop = param1 != 0;
  switch (command) {
    case 21:
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28: {
      // up, down, left, right, up-left, up-right, down-left, down-right
      static constexpr int kDx[8] = {0, 0, -1, 1, -1, 1, -1, 1};
      static constexpr int kUp[8] = {1, -1, 0, 0, 1, 1, -1, -1};
      if (stop) {
        action.kind = PtzActionKind::kStop;
        action.stopPanTilt = true;
        return action;
      }
      const double v = Velocity(param2);
      action.kind = PtzActionKind::kMove;
      action.pan = kDx[command - 21] * v;
      action.tilt = kUp[command - 21] * v;
      return action;
    }
    case 11:
    case 12:  // zoom in (tele), zoom out (wide)
      if (stop) {
        action.kind = PtzActionKind::kStop;
        action.stopZoom = true;
        return action;
      }
      action.kind = PtzActionKind::kMove;
      action.zoom = (command == 11 ? 1 : -1) * Velocity(param2);
      return action;
    case 100:
    case 101:
    case 102:
      if (param1 < 1 || param1 > kMaxPresetNumber) return action;
      action.kind = command == 100   ? PtzActionKind::kSetPreset
                    : command == 101 ? PtzActionKind::kRemovePreset
                                     : PtzActionKind::kGotoPreset;
      action.presetNumber = param1;
      return action;
    case 3:    // auxiliary switch
    case 13:   // focus near
    case 14:   // focus far
    case 15:   // iris open
    case 16:   // iris close
    case 122:  // automatic scan off
    case 123:  // automatic scan on
      action.kind = PtzActionKind::kUnsupported;
      return action;
    default:
      return action;
  }
}

}  // namespace qrv::tmcc
