// H.264 Annex B encoder for the simulated cameras: one packet per frame, a
// fixed GOP, no scene-cut key frames, one slice per frame.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/media/picture.h"
#include "simulator/simulator.h"

struct x264_t;

namespace qrv::sim {

struct EncodedFrame {
  std::vector<uint8_t> data;  // Annex B, start code first
  bool key = false;           // an IDR frame
};

// Checks that the settings are usable; returns an empty text when they are.
std::string ValidateMediaSettings(const MediaSettings& settings);

class H264Encoder {
 public:
  // Null and *error set when the settings are invalid or the encoder fails.
  static std::unique_ptr<H264Encoder> Create(const MediaSettings& settings, std::string* error);
  ~H264Encoder();
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  const MediaSettings& Settings() const { return settings_; }
  // The stream header: the SPS and PPS NAL units, each with a 4-byte start code.
  const std::vector<uint8_t>& Header() const { return header_; }

  // Encodes one picture of the configured size; forceIdr makes it an IDR and
  // restarts the GOP there. Returns false when the encoder fails.
  bool Encode(const I420Picture& picture, bool forceIdr, EncodedFrame& out);

 private:
  H264Encoder() = default;
  MediaSettings settings_;
  x264_t* encoder_ = nullptr;
  std::vector<uint8_t> header_;
  int64_t pts_ = 0;
};

}  // namespace qrv::sim
