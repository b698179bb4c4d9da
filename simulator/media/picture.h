// A planar YUV 4:2:0 picture (full-range luma and chroma, 8 bits per sample).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qrv::sim {

struct I420Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y;  // width * height
  std::vector<uint8_t> u;  // (width / 2) * (height / 2)
  std::vector<uint8_t> v;  // (width / 2) * (height / 2)

  // Sizes the planes for width x height (both even); contents are undefined.
  void Resize(int w, int h) {
    width = w;
    height = h;
    y.resize(static_cast<size_t>(w) * h);
    u.resize(static_cast<size_t>(w / 2) * (h / 2));
    v.resize(static_cast<size_t>(w / 2) * (h / 2));
  }
};

}  // namespace qrv::sim
