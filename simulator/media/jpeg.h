// JPEG snapshots of a simulated camera's picture.
#pragma once

#include <cstdint>
#include <vector>

#include "simulator/media/picture.h"

namespace qrv::sim {

// Compresses the picture (4:2:0, quality 85). Empty on failure.
std::vector<uint8_t> EncodeJpeg(const I420Picture& picture);

}  // namespace qrv::sim
