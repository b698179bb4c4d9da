#include "tmcc/rtsp/codec/h264_packetizer.h"

#include <algorithm>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/interleaved.h"

namespace qrv::tmcc::rtsp {

namespace {

bool IsParameterSet(VideoCodec codec, std::span<const uint8_t> nal) {
  if (codec == VideoCodec::kH265) {
    const uint8_t type = H265NalType(nal[0]);
    return nal.size() >= 2 && type >= kH265Vps && type <= kH265Pps;
  }
  const uint8_t type = NalType(nal[0]);
  return type == kNalSps || type == kNalPps;
}

}  // namespace

H264Packetizer::H264Packetizer(H264PacketizerOptions options)
    : options_(options), sequence_(options.firstSequence) {
  options_.maxPayload =
      std::clamp(options_.maxPayload, kMinPayload, kMaxInterleavedPacket - kRtpHeaderSize);
}

void H264Packetizer::Emit(std::span<const uint8_t> payload, uint32_t timestamp, bool marker,
                          std::vector<std::vector<uint8_t>>& out) {
  RtpHeader h;
  h.marker = marker;
  h.payloadType = options_.payloadType;
  h.sequence = sequence_++;
  h.timestamp = timestamp;
  h.ssrc = options_.ssrc;
  std::vector<uint8_t> packet;
  packet.reserve(kRtpHeaderSize + payload.size());
  AppendRtp(packet, h, payload);
  out.push_back(std::move(packet));
}

bool H264Packetizer::Packetize(std::span<const uint8_t> accessUnit, uint32_t timestamp,
                               std::vector<std::vector<uint8_t>>& out) {
  const auto units = SplitAnnexB(accessUnit);
  if (units.empty()) return false;
  const size_t budget = options_.maxPayload;
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < units.size(); ++i) {
    const auto nal = units[i];
    const bool lastUnit = i + 1 == units.size();

    if (options_.aggregateParameterSets && IsParameterSet(options_.codec, nal)) {
      // As many following parameter sets as fit with their sizes:
      //   STAP-A header | size (16) | unit | size (16) | unit ...
      const bool h265 = options_.codec == VideoCodec::kH265;
      size_t n = 0;
      size_t size = h265 ? 2 : 1;
      while (i + n < units.size() && IsParameterSet(options_.codec, units[i + n]) &&
             units[i + n].size() <= 0xffff && size + 2 + units[i + n].size() <= budget) {
        size += 2 + units[i + n].size();
        ++n;
      }
      if (n >= 2) {
        payload.clear();
        if (h265) {
          // F: any unit's; layer id and TID: the lowest of the units'.
          uint8_t f = 0;
          uint16_t layerTid = 0xffff;
          for (size_t k = 0; k < n; ++k) {
            f |= units[i + k][0] & 0x80;
            const uint16_t lt = uint16_t((units[i + k][0] & 1) << 8 | units[i + k][1]);
            layerTid = std::min(layerTid, lt);
          }
          payload.push_back(static_cast<uint8_t>(f | kH265Aggregation << 1 | layerTid >> 8));
          payload.push_back(static_cast<uint8_t>(layerTid));
        } else {
          uint8_t f = 0;
          uint8_t nri = 0;
          for (size_t k = 0; k < n; ++k) {
            f |= units[i + k][0] & 0x80;
            nri = std::max<uint8_t>(nri, units[i + k][0] & 0x60);
          }
          payload.push_back(static_cast<uint8_t>(f | nri | kNalStapA));
        }
        for (size_t k = 0; k < n; ++k) {
          payload.push_back(static_cast<uint8_t>(units[i + k].size() >> 8));
          payload.push_back(static_cast<uint8_t>(units[i + k].size()));
          payload.insert(payload.end(), units[i + k].begin(), units[i + k].end());
        }
        i += n - 1;
        Emit(payload, timestamp, i + 1 == units.size(), out);
        continue;
      }
    }

    if (nal.size() <= budget) {
      Emit(nal, timestamp, lastUnit, out);
      continue;
    }
    // FU-A: the unit's header goes into the indicator and the FU header, its
    // body into fragments.
    //   FU indicator: F|NRI|28   FU header: S|E|R|type   fragment
    // H.265's: payload header (the unit's, type 49)   FU header: S|E|type(6)
    const bool h265 = options_.codec == VideoCodec::kH265;
    if (h265 && nal.size() < 2) continue;  // no unit: nothing to send
    uint8_t head[2] = {static_cast<uint8_t>((nal[0] & 0xe0) | kNalFuA), 0};
    uint8_t type = NalType(nal[0]);
    if (h265) {
      head[0] = static_cast<uint8_t>((nal[0] & 0x81) | kH265Fragment << 1);
      head[1] = nal[1];
      type = H265NalType(nal[0]);
    }
    const size_t headBytes = h265 ? 2 : 1;
    const size_t chunk = budget - headBytes - 1;
    auto body = nal.subspan(headBytes);
    bool first = true;
    while (!body.empty()) {
      const size_t take = std::min(chunk, body.size());
      const bool last = take == body.size();
      payload.clear();
      payload.insert(payload.end(), head, head + headBytes);
      payload.push_back(static_cast<uint8_t>((first ? 0x80 : 0) | (last ? 0x40 : 0) | type));
      payload.insert(payload.end(), body.begin(), body.begin() + static_cast<ptrdiff_t>(take));
      Emit(payload, timestamp, last && lastUnit, out);
      body = body.subspan(take);
      first = false;
    }
  }
  return true;
}

}  // namespace qrv::tmcc::rtsp
