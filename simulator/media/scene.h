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

// Adds sensor-like grain to the luma plane, different in every frame (the
// same for the same frame number). The rendered scene alone is too clean to
// fill a camera's bitrate: its still background costs almost nothing to code,
// so rate control runs out of detail to spend the bits on. With grain the
// encoder has work at any bitrate and quantises it away as the rate drops.
void AddSensorGrain(uint64_t frameNumber, I420Picture& picture);

}  // namespace qrv::sim
