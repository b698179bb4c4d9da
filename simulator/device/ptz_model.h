// The pan-tilt-zoom mechanics of a simulated camera: moves started by one
// request continue until a stop request, presets, and an automatic pan scan.
// Time is passed in, so the model is deterministic under test.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "simulator/simulator.h"

namespace qrv::sim {

class PtzModel {
 public:
  using Clock = std::chrono::steady_clock;

  // Result of a request: 0 applied, kRefused for an unknown code or a bad
  // preset number (the position is then unchanged).
  static constexpr int32_t kRefused = 2;

  explicit PtzModel(Clock::time_point now) : since_(now) {}

  int32_t Apply(int32_t code, int32_t param1, int32_t param2, Clock::time_point now);
  PtzPosition Position(Clock::time_point now) const;
  bool Scanning() const { return scanning_; }

 private:
  // Moves the stored position forward to `now` along the current motion.
  void Settle(Clock::time_point now);
  static PtzPosition Advance(PtzPosition p, double vPan, double vTilt, double vZoom, bool scanning,
                             double seconds);

  PtzPosition position_;
  double panRate_ = 0, tiltRate_ = 0, zoomRate_ = 0;  // units per second
  bool scanning_ = false;
  Clock::time_point since_;
  std::array<std::optional<PtzPosition>, 256> presets_{};
};

}  // namespace qrv::sim
