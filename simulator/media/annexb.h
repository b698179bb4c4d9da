// Pure helpers over H.264 Annex B byte streams: splitting into NAL units and
// building the SEI units that carry a device's auxiliary data.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qrv::sim {

struct NalUnit {
  size_t offset = 0;  // of the first byte after the start code
  size_t size = 0;    // bytes up to the next start code (or the end)
  int type = 0;       // nal_unit_type (low five bits of the first byte)
};

// Splits an Annex B stream at its 3- and 4-byte start codes. Bytes before the
// first start code are ignored; empty units are skipped.
std::vector<NalUnit> SplitAnnexB(std::span<const uint8_t> stream);

// The same stream with the two-byte NAL unit headers of H.265 (layer 0,
// temporal id 0): IDR and other slices, SEI, SPS, PPS and access unit
// delimiters get their H.265 types, a VPS goes before each SPS, and the
// payloads stay H.264's. Not decodable; for hosts that must carry a stream of
// another codec without parsing it as H.264.
std::vector<uint8_t> WithH265NalHeaders(std::span<const uint8_t> stream);

// The identifier our devices put into their user-data SEI units.
inline constexpr std::array<uint8_t, 16> kAuxSeiUuid = {
    0x51, 0x52, 0x56, 0x2d, 0x61, 0x75, 0x78, 0x2d, 0x64, 0x61, 0x74, 0x61, 0x2d, 0x76, 0x31, 0x00};

// One SEI NAL unit (type 6) with one "user data unregistered" message
// (payload type 5), start code first:
//
//   00 00 00 01 | 06 | 05 | size (0xFF per 255, then the rest) |
//   uuid (16) | data ... | 80
//
// Everything after the NAL header byte is escaped (00 00 0x -> 00 00 03 0x
// for x <= 3), so the unit never contains a start code.
std::vector<uint8_t> BuildUserDataSei(std::span<const uint8_t> data);

// Reads back the data of an SEI unit built above (the bytes after the start
// code). False when the unit is not a user-data SEI with our identifier or is
// malformed.
bool ParseUserDataSei(std::span<const uint8_t> nal, std::vector<uint8_t>& data);

}  // namespace qrv::sim
