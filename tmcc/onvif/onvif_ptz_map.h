// How our PTZ request (command, param1, param2; the codes the plug-in sends,
// see media/ptz.cc) becomes an ONVIF PTZ operation. Directions and zoom
// start a continuous move at a velocity scaled from the speed (param2, 0..80)
// or stop when param1 is non-zero; presets 100 (set), 101 (clear) and 102
// (go to) name the preset by its number (param1, 1..255). Focus, iris, the
// auxiliary switch and the automatic scan have no way in the PTZ service.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tmcc/onvif/codec/ptz_service.h"

namespace qrv::tmcc {

enum class PtzActionKind {
  kMove,
  kStop,
  kSetPreset,
  kGotoPreset,
  kRemovePreset,
  kUnsupported,  // a known command without an ONVIF way
  kInvalid,      // an unknown command or a preset number out of range
};

struct PtzAction {
  PtzActionKind kind = PtzActionKind::kInvalid;
  // kMove: generic velocities in [-1, 1]; ONVIF's positive tilt is up.
  std::optional<double> pan;
  std::optional<double> tilt;
  std::optional<double> zoom;
  // kStop: which axes.
  bool stopPanTilt = false;
  bool stopZoom = false;
  int presetNumber = 0;  // the preset kinds
};

inline constexpr int kMaxPresetNumber = 255;
// The plug-in's largest speed step (8) times its scale (10).
inline constexpr int32_t kFullPtzSpeed = 80;

// Threading: pure.
PtzAction MapPtzRequest(int32_t command, int32_t param1, int32_t param2);

// Which of a camera's presets our preset number names. Cameras choose the
// tokens ("1", "P001", "Preset1") and often the names, so in this order: the
// one named exactly the number (as we name those we set), the one whose
// token is the number, the first whose token ends in that number, the first
// whose name does. Null when none does. Threading: pure.
const onvif::Preset* FindPreset(const std::vector<onvif::Preset>& presets, int number);

}  // namespace qrv::tmcc
