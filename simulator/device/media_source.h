// Where a simulated device's video comes from: a live encoder of the scene as
// the PTZ view shows it, or a shared pre-encoded replay loop. Not thread-safe:
// the owning device uses it from its own strand only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/media/h264_encoder.h"
#include "simulator/media/h265_encoder.h"
#include "simulator/media/picture.h"
#include "simulator/media/replay_loop.h"
#include "simulator/simulator.h"

namespace qrv::sim {

struct SourceFrame {
  std::shared_ptr<const std::vector<uint8_t>> data;  // Annex B
  bool key = false;
  uint64_t number = 0;  // frame number since the source started
};

class MediaSource {
 public:
  // `h265NalHeaders` and `h265` (live only): see DeviceConfig.
  static std::unique_ptr<MediaSource> Create(const MediaSettings& settings, bool replay,
                                             bool h265NalHeaders, bool h265, std::string* error);

  const MediaSettings& Settings() const { return settings_; }
  bool Replay() const { return loop_ != nullptr; }
  const std::shared_ptr<const ReplayLoop>& Loop() const { return loop_; }
  const std::vector<uint8_t>& Header() const;
  // Real H.265 video (DeviceConfig::h265), not H.264.
  bool H265() const { return h265Encoder_ != nullptr; }

  // The next frame. A live source encodes the scene seen from `view`; with
  // `skipEncoding` (nobody watches) it only advances the frame number and
  // leaves out.data null.
  bool Next(const PtzPosition& view, bool skipEncoding, SourceFrame& out);

  // The next frame produced will be an IDR (a replay source skips ahead to
  // its next GOP start).
  void RequestKeyFrame() { keyRequested_ = true; }

  // Replay: the frames already sent since the last GOP start, so a new viewer
  // can start at once from an IDR. Empty for a live source.
  std::vector<SourceFrame> FramesSinceKey() const;

  // JPEG of the current picture seen from `view`.
  std::vector<uint8_t> Snapshot(const PtzPosition& view);

  uint64_t FrameNumber() const { return number_; }

 private:
  MediaSettings settings_;
  std::unique_ptr<H264Encoder> encoder_;
  std::unique_ptr<H265Encoder> h265Encoder_;  // instead of encoder_
  bool h265NalHeaders_ = false;
  std::vector<uint8_t> h265Header_;
  std::shared_ptr<const ReplayLoop> loop_;
  size_t cursor_ = 0;  // replay: index of the next loop frame
  uint64_t number_ = 0;
  bool keyRequested_ = true;  // the first frame is an IDR
  I420Picture picture_;
};

}  // namespace qrv::sim
