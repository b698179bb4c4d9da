// Pre-encoded GOP-aligned loops for replay mode. A loop is encoded once per
// media settings and shared (read-only) by every device and connection that
// uses it, so many devices cost little more than sending bytes from memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/simulator.h"

namespace qrv::sim {

struct ReplayFrame {
  std::vector<uint8_t> data;  // Annex B
  bool key = false;
};

struct ReplayLoop {
  MediaSettings settings;
  std::vector<uint8_t> header;      // SPS + PPS
  std::vector<ReplayFrame> frames;  // starts with an IDR; a whole number of GOPs
  uint64_t totalBytes = 0;

  // Index of the next GOP start at or after `index` (wrapping to 0).
  size_t NextKeyIndex(size_t index) const;
};

// Number of frames in a loop: whole GOPs covering at least four seconds.
size_t ReplayLoopLength(const MediaSettings& settings);

// Encodes a loop (no caching). Null and *error set on failure.
std::shared_ptr<const ReplayLoop> EncodeReplayLoop(const MediaSettings& settings,
                                                   std::string* error);

// The process-wide cache: the same settings give the same loop object. Safe to
// call from any thread; concurrent callers for new settings encode it once.
std::shared_ptr<const ReplayLoop> SharedReplayLoop(const MediaSettings& settings,
                                                   std::string* error);

}  // namespace qrv::sim
