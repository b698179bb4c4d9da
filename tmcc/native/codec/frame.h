// Framing: the 16-byte frame header and the pure frame decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/common/codec/messages.h"

namespace qrv::tmcc::protocol {

enum class DecodeStatus {
  kNeedMore,  // not a whole frame yet; read more bytes and call again
  kFrame,     // one whole frame decoded
  kError,     // malformed header: drop the connection
};

enum class DecodeError {
  kNone,
  kBadMagic,
  kBadVersion,
  kUnknownType,
  kReservedNotZero,
  kTooLong,
};

struct FrameView {
  MessageType type = MessageType::kPing;
  uint32_t requestId = 0;
  std::span<const uint8_t> payload;  // points into the decoded bytes
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kNeedMore;
  DecodeError error = DecodeError::kNone;
  size_t consumed = 0;  // bytes of the frame (kFrame only)
  FrameView frame;
};

// Largest payload a frame of this type may carry (0 for unknown types).
uint32_t MaxPayloadFor(MessageType type);
bool IsKnownType(uint8_t type);

// Decodes the frame at the start of bytes. A header is judged as soon as its
// 16 bytes are present, so an oversized or malformed frame is refused before
// its payload is awaited.
DecodeResult DecodeFrame(std::span<const uint8_t> bytes);

// As above, and also refuses (kTooLong) any frame whose payload exceeds
// maxPayload, so a receiver that expects only small messages never buffers a
// large one.
DecodeResult DecodeFrame(std::span<const uint8_t> bytes, uint32_t maxPayload);

// Appends a frame header for a payload of payloadLength bytes.
//
//   offset  width  field
//   0       4      magic "QVDP"
//   4       1      version (1)
//   5       1      message type
//   6       2      reserved, 0
//   8       4      request id
//   12      4      payload length
void AppendFrameHeader(std::vector<uint8_t>& out, MessageType type, uint32_t requestId,
                       uint32_t payloadLength);

}  // namespace qrv::tmcc::protocol
