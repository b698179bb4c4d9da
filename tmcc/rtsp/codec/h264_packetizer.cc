#include "tmcc/rtsp/codec/h264_packetizer.h"

#include <algorithm>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/interleaved.h"

namespace qrv::tmcc::rtsp {

namespace {

bool IsParameterSet(std::span<const uint8_t> nal) {
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

    if (options_.aggregateParameterSets && IsParameterSet(nal)) {
      // As many following SPS/PPS units as fit with their sizes:
      //   STAP-A header | size (16) | unit | size (16) | unit ...
      size_t n = 0;
      size_t size = 1;
      while (i + n < units.size() && IsParameterSet(units[i + n]) &&
             units[i + n].size() <= 0xffff && size + 2 + units[i + n].size() <= budget) {
        size += 2 + units[i + n].size();
        ++n;
      }
      if (n >= 2) {
        uint8_t f = 0;
        uint8_t nri = 0;
        for (size_t k = 0; k < n; ++k) {
          f |= units[i + k][0] & 0x80;
          nri = std::max<uint8_t>(nri, units[i + k][0] & 0x60);
        }
        payload.clear();
        payload.push_back(static_cast<uint8_t>(f | nri | kNalStapA));
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
    const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xe0) | kNalFuA);
    const uint8_t type = NalType(nal[0]);
    const size_t chunk = budget - 2;
    auto body = nal.subspan(1);
    bool first = true;
    while (!body.empty()) {
      const size_t take = std::min(chunk, body.size());
      const bool last = take == body.size();
      payload.clear();
      payload.push_back(indicator);
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
