#include "host/kit/ptz_names.h"

#include <array>

namespace qrv::host {
namespace {

constexpr std::array<PtzName, 21> kNames{{
    {"up", 1, PtzKind::kMove, 1, "tilt up"},
    {"down", 2, PtzKind::kMove, 1, "tilt down"},
    {"left", 3, PtzKind::kMove, 1, "pan left"},
    {"right", 4, PtzKind::kMove, 1, "pan right"},
    {"down-left", 5, PtzKind::kMove, 1, "tilt down and pan left"},
    {"down-right", 6, PtzKind::kMove, 1, "tilt down and pan right"},
    {"up-left", 7, PtzKind::kMove, 1, "tilt up and pan left"},
    {"up-right", 8, PtzKind::kMove, 1, "tilt up and pan right"},
    {"preset-set", 9, PtzKind::kPreset, 0, "store the position as preset N"},
    {"preset-clear", 10, PtzKind::kPreset, 0, "clear preset N"},
    {"preset-goto", 11, PtzKind::kPreset, 0, "go to preset N"},
    {"zoom-in", 12, PtzKind::kMove, 1, "zoom in"},
    {"zoom-out", 13, PtzKind::kMove, 1, "zoom out"},
    {"focus-near", 14, PtzKind::kMove, 1, "focus nearer"},
    {"focus-far", 15, PtzKind::kMove, 1, "focus farther"},
    {"iris-open", 16, PtzKind::kMove, 1, "open the iris"},
    {"iris-close", 17, PtzKind::kMove, 1, "close the iris"},
    {"scan-start", 21, PtzKind::kScan, 1, "start the automatic pan scan"},
    {"scan-stop", 21, PtzKind::kScan, 0, "stop the automatic pan scan"},
    {"aux-on", 25, PtzKind::kSwitch, 1, "auxiliary switch on"},
    {"aux-off", 25, PtzKind::kSwitch, 0, "auxiliary switch off"},
}};

}  // namespace

std::span<const PtzName> PtzNames() {
  return kNames;
}

std::optional<PtzName> FindPtzName(const std::string& name) {
  for (const PtzName& entry : kNames) {
    if (name == entry.name) return entry;
  }
  return std::nullopt;
}

}  // namespace qrv::host
