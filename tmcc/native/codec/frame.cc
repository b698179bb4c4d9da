#include "tmcc/native/codec/frame.h"

#include "tmcc/native/codec/byte_io.h"

namespace qrv::tmcc::protocol {

uint32_t MaxPayloadFor(MessageType type) {
  switch (type) {
    case MessageType::kServerHello:
      return kNonceSize;
    case MessageType::kLogin:
      return 4 + kNonceSize + kProofSize + 1 + kMaxUserText;
    case MessageType::kLoginResult:
      return 4 + kProofSize;
    case MessageType::kPing:
    case MessageType::kPong:
    case MessageType::kAlarmAck:
      return 0;
    case MessageType::kRequest:
      return 16 + 1 + kMaxUserText;
    case MessageType::kAnswer:
      return 12 + kMaxMediaBytes;
    case MessageType::kStreamData:
      return kStreamDataPrefix + kMaxMediaBytes;
    case MessageType::kAlarm:
      return 12 + 1 + kMaxAddressText;
    case MessageType::kProbe:
      return 4;
    case MessageType::kProbeAnswer:
      return 4 + 2 + 2 + 6 + (1 + kMaxModelText) + (1 + kMaxIdentityText) +
             3 * (1 + kMaxDottedText);
  }
  return 0;
}

bool IsKnownType(uint8_t type) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::kServerHello:
    case MessageType::kLogin:
    case MessageType::kLoginResult:
    case MessageType::kPing:
    case MessageType::kPong:
    case MessageType::kRequest:
    case MessageType::kAnswer:
    case MessageType::kStreamData:
    case MessageType::kAlarm:
    case MessageType::kAlarmAck:
    case MessageType::kProbe:
    case MessageType::kProbeAnswer:
      return true;
  }
  return false;
}

DecodeResult DecodeFrame(std::span<const uint8_t> bytes) {
  return DecodeFrame(bytes, UINT32_MAX);
}

DecodeResult DecodeFrame(std::span<const uint8_t> bytes, uint32_t maxPayload) {
  DecodeResult r;
  // Judge the magic byte by byte so garbage is refused as early as possible.
  for (size_t i = 0; i < kMagic.size() && i < bytes.size(); ++i) {
    if (bytes[i] != kMagic[i]) {
      r.status = DecodeStatus::kError;
      r.error = DecodeError::kBadMagic;
      return r;
    }
  }
  if (bytes.size() < kFrameHeaderSize) return r;
  ByteReader in(bytes.first(kFrameHeaderSize));
  in.U32();  // magic, checked above
  uint8_t version = in.U8();
  uint8_t type = in.U8();
  uint16_t reserved = in.U16();
  uint32_t requestId = in.U32();
  uint32_t length = in.U32();
  if (version != kProtocolVersion) {
    r.status = DecodeStatus::kError;
    r.error = DecodeError::kBadVersion;
    return r;
  }
  if (!IsKnownType(type)) {
    r.status = DecodeStatus::kError;
    r.error = DecodeError::kUnknownType;
    return r;
  }
  if (reserved != 0) {
    r.status = DecodeStatus::kError;
    r.error = DecodeError::kReservedNotZero;
    return r;
  }
  auto messageType = static_cast<MessageType>(type);
  if (length > MaxPayloadFor(messageType) || length > maxPayload) {
    r.status = DecodeStatus::kError;
    r.error = DecodeError::kTooLong;
    return r;
  }
  if (bytes.size() - kFrameHeaderSize < length) return r;
  r.status = DecodeStatus::kFrame;
  r.consumed = kFrameHeaderSize + length;
  r.frame.type = messageType;
  r.frame.requestId = requestId;
  r.frame.payload = bytes.subspan(kFrameHeaderSize, length);
  return r;
}

void AppendFrameHeader(std::vector<uint8_t>& out, MessageType type, uint32_t requestId,
                       uint32_t payloadLength) {
  ByteWriter w(out);
  w.Bytes(kMagic);
  w.U8(kProtocolVersion);
  w.U8(static_cast<uint8_t>(type));
  w.U16(0);
  w.U32(requestId);
  w.U32(payloadLength);
}

}  // namespace qrv::tmcc::protocol
