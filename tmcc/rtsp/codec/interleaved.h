// RTP and RTCP interleaved on the RTSP connection (RFC 2326 10.12): between
// RTSP messages, binary packets framed as
//
//   0      1        2        3
//   '$'  channel  length (16-bit big-endian)  then `length` bytes of packet
//
// SplitInterleaved takes the next item off a receive buffer, in order: a
// packet, a response, or a request the server sent. Stateless, like the
// message parsers: call it with all bytes received and not yet consumed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/rtsp/codec/message.h"

namespace qrv::tmcc::rtsp {

inline constexpr uint8_t kInterleavedMagic = '$';
inline constexpr size_t kInterleavedHeaderSize = 4;
inline constexpr size_t kMaxInterleavedPacket = 65535;

enum class InterleavedKind { kNeedMore, kPacket, kResponse, kRequest, kError };

struct InterleavedItem {
  InterleavedKind kind = InterleavedKind::kNeedMore;
  // Bytes of the input this item took (stray CR/LF before it included).
  size_t consumed = 0;
  // kPacket: the channel and the packet, pointing into the input.
  uint8_t channel = 0;
  std::span<const uint8_t> packet;
  Response response;                         // kResponse
  Request request;                           // kRequest
  MessageError error = MessageError::kNone;  // kError
};

// CR and LF bytes between items are skipped (some servers end a packet with
// one), up to MessageLimits::maxHeaderBlock of them.
InterleavedItem SplitInterleaved(std::span<const uint8_t> bytes, const MessageLimits& limits = {});

// Appends '$', channel, length and the packet; false (nothing appended) when
// the packet is longer than the 16-bit length can tell.
bool AppendInterleaved(std::vector<uint8_t>& out, uint8_t channel, std::span<const uint8_t> packet);

}  // namespace qrv::tmcc::rtsp
