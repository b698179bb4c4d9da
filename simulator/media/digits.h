// Burns a decimal number into the luma plane of a picture, so every frame of
// a recording can be identified by eye.
#pragma once

#include <cstdint>

#include "simulator/media/picture.h"

namespace qrv::sim {

// Draws `number` in white digits on a black box whose top-left corner is at
// (x, y), each digit cell being 6 x 9 blocks of `scale` pixels. Chroma under
// the box is set to neutral grey. Anything outside the picture is clipped.
void DrawNumber(I420Picture& picture, uint64_t number, int x, int y, int scale);

}  // namespace qrv::sim
