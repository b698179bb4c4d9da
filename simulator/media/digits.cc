#include "simulator/media/digits.h"

#include <algorithm>
#include <string>

namespace qrv::sim {
namespace {

// 5 x 7 glyphs, one row per byte, most significant of the low five bits on the left.
constexpr uint8_t kGlyphs[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
};

constexpr int kCellW = 6;  // glyph width plus one column of spacing
constexpr int kCellH = 9;  // glyph height plus a row above and below

void FillLuma(I420Picture& p, int x0, int y0, int w, int h, uint8_t value) {
  const int x1 = std::min(p.width, x0 + w), y1 = std::min(p.height, y0 + h);
  for (int yy = std::max(0, y0); yy < y1; ++yy)
    for (int xx = std::max(0, x0); xx < x1; ++xx)
      p.y[static_cast<size_t>(yy) * p.width + xx] = value;
}

}  // namespace

void DrawNumber(I420Picture& picture, uint64_t number, int x, int y, int scale) {
  if (scale < 1) scale = 1;
  const std::string text = std::to_string(number);
  const int boxW = (static_cast<int>(text.size()) * kCellW + 1) * scale;
  const int boxH = kCellH * scale;
  FillLuma(picture, x, y, boxW, boxH, 16);
  const int cw = picture.width / 2, ch = picture.height / 2;
  for (int yy = std::max(0, y / 2); yy < std::min(ch, (y + boxH + 1) / 2); ++yy)
    for (int xx = std::max(0, x / 2); xx < std::min(cw, (x + boxW + 1) / 2); ++xx) {
      picture.u[static_cast<size_t>(yy) * cw + xx] = 128;
      picture.v[static_cast<size_t>(yy) * cw + xx] = 128;
    }
  for (size_t i = 0; i < text.size(); ++i) {
    const auto& glyph = kGlyphs[text[i] - '0'];
    const int gx = x + (static_cast<int>(i) * kCellW + 1) * scale;
    for (int row = 0; row < 7; ++row)
      for (int col = 0; col < 5; ++col)
        if (glyph[row] & (0x10 >> col))
          FillLuma(picture, gx + col * scale, y + (row + 1) * scale, scale, scale, 235);
  }
}

}  // namespace qrv::sim
