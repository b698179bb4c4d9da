#include "simulator/media/scene.h"

#include <algorithm>
#include <cmath>

#include "simulator/media/digits.h"

namespace qrv::sim {
namespace {

// The scene spans -2..2 units both ways; the camera centre travels -1.5..1.5
// and at zoom 1 the view is one unit wide.
constexpr double kTravel = 1.5;
constexpr double kCellsPerUnit = 12.0;
constexpr double kBallRadius = 0.08;

uint8_t CellLuma(int64_t i, int64_t j) {
  uint32_t h = static_cast<uint32_t>(i) * 73856093u ^ static_cast<uint32_t>(j) * 19349663u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<uint8_t>(48 + h % 160);
}

uint8_t Clamp8(double v) {
  return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
}

}  // namespace

void RenderScene(const PtzPosition& view, uint64_t frameNumber, I420Picture& out) {
  const int w = out.width, h = out.height;
  const double zoom = std::max(1.0, view.zoom);
  const double cx = std::clamp(view.pan, -1.0, 1.0) * kTravel;
  const double cy = std::clamp(view.tilt, -1.0, 1.0) * kTravel;
  const double step = 1.0 / (w * zoom);  // scene units per pixel, square pixels
  const double x0 = cx - (w / 2.0) * step;
  const double y0 = cy - (h / 2.0) * step;

  // The ball circles the scene origin, one turn every 200 frames.
  const double angle = (frameNumber % 200) * (2.0 * M_PI / 200.0);
  const double bx = 0.35 * std::cos(angle), by = 0.25 * std::sin(angle);
  const double r2 = kBallRadius * kBallRadius;

  for (int py = 0; py < h; ++py) {
    const double sy = y0 + py * step;
    const double fy = sy * kCellsPerUnit;
    const int64_t j = static_cast<int64_t>(std::floor(fy));
    const bool rowLine = fy - j < 0.06;
    const double dy2 = (sy - by) * (sy - by);
    uint8_t* row = &out.y[static_cast<size_t>(py) * w];
    double sx = x0;
    for (int px = 0; px < w; ++px, sx += step) {
      const double fx = sx * kCellsPerUnit;
      const int64_t i = static_cast<int64_t>(std::floor(fx));
      uint8_t luma = (rowLine || fx - i < 0.06) ? 24 : CellLuma(i, j);
      if ((sx - bx) * (sx - bx) + dy2 < r2) luma = 235;
      row[px] = luma;
    }
  }
  // Chroma drifts with the scene position, so the colour tells where the view is.
  const int cw = w / 2, ch = h / 2;
  for (int py = 0; py < ch; ++py) {
    const double sy = y0 + (2 * py + 1) * step;
    for (int px = 0; px < cw; ++px) {
      const double sx = x0 + (2 * px + 1) * step;
      out.u[static_cast<size_t>(py) * cw + px] = Clamp8(128 + 50 * sx);
      out.v[static_cast<size_t>(py) * cw + px] = Clamp8(128 + 50 * sy);
    }
  }
  const int scale = std::max(2, h / 120);
  DrawNumber(out, frameNumber, 2 * scale, 2 * scale, scale);
}

void AddSensorGrain(uint64_t frameNumber, I420Picture& picture) {
  // xorshift64*: one draw gives grain for eight pixels.
  uint64_t state = (0x9E3779B97F4A7C15ull ^ (frameNumber * 0xBF58476D1CE4E5B9ull)) | 1;
  auto next = [&state] {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  };
  uint8_t* y = picture.y.data();
  const size_t size = picture.y.size();
  for (size_t i = 0; i < size; i += 8) {
    uint64_t bits = next();
    for (size_t k = i; k < i + 8 && k < size; ++k, bits >>= 8) {
      // Two 2-bit draws summed: -3..3, centred on 0.
      const int grain = int(bits & 3) + int((bits >> 2) & 3) - 3;
      y[k] = static_cast<uint8_t>(std::clamp(int(y[k]) + grain, 0, 255));
    }
  }
}

}  // namespace qrv::sim
