// H.264 and H.265 byte streams (Annex B of either): NAL units each behind a
// start code, 00 00 01 or 00 00 00 01.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qrv::tmcc::rtsp {

inline constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// NAL unit types this codec tells apart.
inline constexpr uint8_t kNalSlice = 1;
inline constexpr uint8_t kNalIdr = 5;
inline constexpr uint8_t kNalSps = 7;
inline constexpr uint8_t kNalPps = 8;
inline constexpr uint8_t kNalStapA = 24;
inline constexpr uint8_t kNalFuA = 28;

constexpr uint8_t NalType(uint8_t headerByte) {
  return headerByte & 0x1f;
}

enum class VideoCodec : uint8_t { kH264, kH265 };

// H.265 NAL unit types (two-byte header; the type is bits 1-6 of the first).
inline constexpr uint8_t kH265IrapFirst = 16;  // BLA, IDR and CRA: 16-21
inline constexpr uint8_t kH265IrapLast = 21;
inline constexpr uint8_t kH265Vps = 32;
inline constexpr uint8_t kH265Sps = 33;
inline constexpr uint8_t kH265Pps = 34;
inline constexpr uint8_t kH265Aggregation = 48;
inline constexpr uint8_t kH265Fragment = 49;
inline constexpr uint8_t kH265Paci = 50;

constexpr uint8_t H265NalType(uint8_t headerByte) {
  return (headerByte >> 1) & 0x3f;
}

// The NAL units of an Annex-B byte stream, pointing into it: bytes before the
// first start code and zero bytes trailing a unit are not part of any, empty
// units are left out.
std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream);

// Appends a four-byte start code and the unit.
void AppendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal);

}  // namespace qrv::tmcc::rtsp
