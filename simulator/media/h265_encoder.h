// H.265 Annex B encoder for the simulated cameras that stream H.265, as the
// H.264 one: one packet per frame, a fixed closed GOP (IDR pictures), no
// scene-cut key frames, no B pictures, one slice per frame, no threads of its
// own. Not thread-safe: its owner (a device's media source) uses it from one
// strand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/media/h264_encoder.h"
#include "simulator/media/picture.h"
#include "simulator/simulator.h"

struct x265_encoder;
struct x265_param;
struct x265_picture;

namespace qrv::sim {

class H265Encoder {
 public:
  // Null and *error set when the settings are invalid or the encoder fails.
  static std::unique_ptr<H265Encoder> Create(const MediaSettings& settings, std::string* error);
  ~H265Encoder();
  H265Encoder(const H265Encoder&) = delete;
  H265Encoder& operator=(const H265Encoder&) = delete;

  // The stream header: VPS, SPS and PPS, each with a 4-byte start code.
  const std::vector<uint8_t>& Header() const { return header_; }

  // Encodes one picture of the configured size; forceIdr makes it an IDR and
  // restarts the GOP there. Returns false when the encoder fails.
  bool Encode(const I420Picture& picture, bool forceIdr, EncodedFrame& out);

 private:
  H265Encoder() = default;
  MediaSettings settings_;
  x265_param* param_ = nullptr;
  x265_encoder* encoder_ = nullptr;
  x265_picture* input_ = nullptr;
  std::vector<uint8_t> header_;
  int64_t pts_ = 0;
};

}  // namespace qrv::sim
