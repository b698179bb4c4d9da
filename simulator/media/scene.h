// The synthetic scene a simulated camera looks at: a large patterned plane
// with a moving ball, seen through a window that the PTZ position pans,
// tilts and zooms, with the frame number burned into the corner.
#pragma once

#include <cstdint>

#include "simulator/media/picture.h"
#include "simulator/simulator.h"

namespace qrv::sim {

// Renders frame `frameNumber` as seen from `view` into `out` (which must
// already be sized, even width and height).
void RenderScene(const PtzPosition& view, uint64_t frameNumber, I420Picture& out);

}  // namespace qrv::sim
