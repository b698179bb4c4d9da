// Annex-B access units into H.264 RTP packets (RFC 6184, packetization mode
// 1), for a server's side: a NAL unit that fits the payload budget goes alone,
// a larger one in FU-A fragments, and a run of small SPS/PPS units may go
// together in one STAP-A. The last packet of the access unit has the marker.
// With VideoCodec::kH265 the same for H.265 (RFC 7798, no decoding-order
// numbers): aggregation packets (48) for VPS/SPS/PPS, fragmentation units (49).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/rtp.h"

namespace qrv::tmcc::rtsp {

struct H264PacketizerOptions {
  // Largest RTP payload (without the 12-byte header); taken within
  // [kMinPayload, 65535 - 12] so every packet also fits an interleaved frame.
  size_t maxPayload = 1400;
  uint8_t payloadType = 96;
  uint32_t ssrc = 0;
  uint16_t firstSequence = 0;
  // Send consecutive SPS and PPS units in one STAP-A when they fit.
  bool aggregateParameterSets = true;
  VideoCodec codec = VideoCodec::kH264;
};

class H264Packetizer {
 public:
  static constexpr size_t kMinPayload = 16;

  explicit H264Packetizer(H264PacketizerOptions options = {});

  // Appends the RTP packets of one access unit (Annex-B) with this RTP
  // timestamp to out, one vector per packet; false (nothing appended) when it
  // holds no NAL unit.
  bool Packetize(std::span<const uint8_t> accessUnit, uint32_t timestamp,
                 std::vector<std::vector<uint8_t>>& out);

  // The sequence number the next packet will carry.
  uint16_t nextSequence() const { return sequence_; }
  size_t maxPayload() const { return options_.maxPayload; }

 private:
  void Emit(std::span<const uint8_t> payload, uint32_t timestamp, bool marker,
            std::vector<std::vector<uint8_t>>& out);

  H264PacketizerOptions options_;
  uint16_t sequence_;
};

}  // namespace qrv::tmcc::rtsp
