// How a stream packet is presented to the host: its data-type code and the
// key-frame field of the StreamFrameInfo. Pure; any thread.
#pragma once

#include <cstdint>

namespace qrv::media {

struct PacketKind {
  int32_t dataType;   // a StreamDataType value
  uint32_t keyFrame;  // 1 for a key frame, else 0
};

// frameType and keyFlag as the library gave them; headerCount is the slot's
// header count after this packet was counted (only used for headers).
PacketKind ClassifyPacket(uint8_t frameType, uint8_t keyFlag, int32_t headerCount);

// True for the frames a recording file receives (video and auxiliary data).
bool IsRecordedFrame(uint8_t frameType);

// True for a video key frame, the only place a recording may begin or switch
// to a new header.
bool IsKeyFrame(uint8_t frameType, uint8_t keyFlag);

}  // namespace qrv::media
