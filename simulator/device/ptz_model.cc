#include "simulator/device/ptz_model.h"

#include <algorithm>
#include <cmath>

namespace qrv::sim {
namespace {

constexpr double kMinZoom = 1, kMaxZoom = 8;
constexpr double kPanRatePerSpeed = 0.5 / 80;  // a full-speed move crosses the scene in 4 s
constexpr double kZoomRatePerSpeed = 2.0 / 80;
// A start request moves the camera one step at once, the way a key press
// nudges a real head, so even a start quickly followed by a stop is visible.
constexpr double kPanStep = 0.02;
constexpr double kZoomStep = 0.1;

double SpeedOf(int32_t raw) {
  return std::clamp<double>(raw, 1, 80);
}

// Folds a position that ran past an end back into -1..1 (a bouncing scan).
double Bounce(double p, double& direction) {
  double t = std::fmod(p + 1, 4.0);
  if (t < 0) t += 4;
  if (t <= 2) return t - 1;
  direction = -direction;
  return 3 - t;
}

}  // namespace

PtzPosition PtzModel::Advance(PtzPosition p, double vPan, double vTilt, double vZoom, bool scanning,
                              double seconds) {
  if (scanning) {
    double direction = 1;
    p.pan = Bounce(p.pan + vPan * seconds, direction);
  } else {
    p.pan = std::clamp(p.pan + vPan * seconds, -1.0, 1.0);
  }
  p.tilt = std::clamp(p.tilt + vTilt * seconds, -1.0, 1.0);
  p.zoom = std::clamp(p.zoom + vZoom * seconds, kMinZoom, kMaxZoom);
  return p;
}

void PtzModel::Settle(Clock::time_point now) {
  if (now <= since_) return;
  const double seconds = std::chrono::duration<double>(now - since_).count();
  if (scanning_) {
    double direction = panRate_ >= 0 ? 1 : -1;
    position_.pan = Bounce(position_.pan + panRate_ * seconds, direction);
    panRate_ = std::fabs(panRate_) * direction;
  } else {
    position_ = Advance(position_, panRate_, tiltRate_, zoomRate_, false, seconds);
  }
  since_ = now;
}

PtzPosition PtzModel::Position(Clock::time_point now) const {
  if (now <= since_) return position_;
  const double seconds = std::chrono::duration<double>(now - since_).count();
  return Advance(position_, panRate_, tiltRate_, zoomRate_, scanning_, seconds);
}

int32_t PtzModel::Apply(int32_t code, int32_t p1, int32_t p2, Clock::time_point now) {
  Settle(now);
  const bool stop = p1 != 0;
  switch (code) {
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
      static constexpr int kDy[8] = {-1, 1, 0, 0, -1, -1, 1, 1};
      scanning_ = false;
      if (stop) {
        panRate_ = tiltRate_ = 0;
        return 0;
      }
      const double speed = SpeedOf(p2);
      const int dx = kDx[code - 21], dy = kDy[code - 21];
      panRate_ = dx * speed * kPanRatePerSpeed;
      tiltRate_ = dy * speed * kPanRatePerSpeed;
      position_.pan = std::clamp(position_.pan + dx * kPanStep, -1.0, 1.0);
      position_.tilt = std::clamp(position_.tilt + dy * kPanStep, -1.0, 1.0);
      return 0;
    }
    case 11:
    case 12: {  // zoom in, zoom out
      if (stop) {
        zoomRate_ = 0;
        return 0;
      }
      const double sign = code == 11 ? 1 : -1;
      zoomRate_ = sign * SpeedOf(p2) * kZoomRatePerSpeed;
      position_.zoom = std::clamp(position_.zoom + sign * kZoomStep, kMinZoom, kMaxZoom);
      return 0;
    }
    case 13:
    case 14:
    case 15:
    case 16:  // focus near/far, iris open/close
    case 3:   // auxiliary switch
      return 0;
    case 100:
    case 101:
    case 102: {
      if (p1 < 1 || p1 > 255) return kRefused;
      auto& preset = presets_[static_cast<size_t>(p1)];
      if (code == 100) {
        preset = position_;
      } else if (code == 101) {
        preset.reset();
      } else {
        if (!preset) return kRefused;
        position_ = *preset;
        panRate_ = tiltRate_ = zoomRate_ = 0;
        scanning_ = false;
      }
      return 0;
    }
    case 122:  // stop the automatic scan
      if (scanning_) panRate_ = 0;
      scanning_ = false;
      return 0;
    case 123:  // start the automatic scan
      scanning_ = true;
      tiltRate_ = 0;
      panRate_ = SpeedOf(p1) * kPanRatePerSpeed;
      return 0;
    default:
      return kRefused;
  }
}

}  // namespace qrv::sim
