// The auxiliary data a device sends as frame type 1 while its audio is on: a
// short block of synthetic audio samples per video frame, wrapped in a
// user-data SEI unit so a recording of video and auxiliary packets stays a
// valid H.264 stream.
#pragma once

#include <cstdint>
#include <vector>

namespace qrv::sim {

// The SEI unit for video frame `frameNumber` at `fps` frames per second:
// 8 kHz signed 16-bit little-endian samples of a 440 Hz tone covering one
// frame interval, preceded by the frame number (8 bytes, little-endian).
std::vector<uint8_t> BuildAudioAuxPacket(uint64_t frameNumber, int fps);

}  // namespace qrv::sim
