#include "tmcc/native/codec/builders.h"

#include <string_view>

#include "tmcc/native/codec/byte_io.h"
#include "tmcc/native/codec/frame.h"

namespace qrv::tmcc::protocol {
namespace {

bool TextFits(std::string_view s, size_t maxLength) {
  return s.size() <= maxLength && s.find('\0') == std::string_view::npos;
}

// Writes header + payload; the payload writer fills exactly payloadLength bytes.
template <typename Fill>
bool Emit(std::vector<uint8_t>& out, MessageType type, uint32_t requestId, size_t payloadLength,
          Fill fill) {
  if (payloadLength > MaxPayloadFor(type)) return false;
  out.reserve(out.size() + kFrameHeaderSize + payloadLength);
  AppendFrameHeader(out, type, requestId, static_cast<uint32_t>(payloadLength));
  ByteWriter w(out);
  fill(w);
  return true;
}

}  // namespace

// ServerHello payload (32 bytes):
//   0   32  server nonce
bool BuildServerHello(std::vector<uint8_t>& out, uint32_t requestId, const ServerHello& m) {
  return Emit(out, MessageType::kServerHello, requestId, kNonceSize,
              [&](ByteWriter& w) { w.Bytes(m.serverNonce); });
}

// Login payload (69..100 bytes):
//   0   1   purpose (0 control, 1 stream)
//   1   1   stream type
//   2   2   reserved, 0
//   4   32  client nonce
//   36  32  proof = HMAC-SHA256(password; server nonce, client nonce, purpose, stream type, user)
//   68  1   user length n (<= 31)
//   69  n   user
bool BuildLogin(std::vector<uint8_t>& out, uint32_t requestId, const Login& m) {
  if (!TextFits(m.user, kMaxUserText)) return false;
  return Emit(out, MessageType::kLogin, requestId, 4 + kNonceSize + kProofSize + 1 + m.user.size(),
              [&](ByteWriter& w) {
                w.U8(static_cast<uint8_t>(m.purpose));
                w.U8(m.streamType);
                w.U16(0);
                w.Bytes(m.clientNonce);
                w.Bytes(m.proof);
                w.Text(m.user);
              });
}

// LoginResult payload (36 bytes):
//   0   4   status (0 accepted, 1 credentials refused, 2 purpose unsupported, 3 busy)
//   4   32  server proof = HMAC-SHA256(password; client nonce, server nonce), zero if refused
bool BuildLoginResult(std::vector<uint8_t>& out, uint32_t requestId, const LoginResult& m) {
  return Emit(out, MessageType::kLoginResult, requestId, 4 + kProofSize, [&](ByteWriter& w) {
    w.I32(static_cast<int32_t>(m.status));
    w.Bytes(m.serverProof);
  });
}

// Ping and Pong: no payload; a Pong echoes the Ping's request id.
bool BuildPing(std::vector<uint8_t>& out, uint32_t requestId) {
  return Emit(out, MessageType::kPing, requestId, 0, [](ByteWriter&) {});
}
bool BuildPong(std::vector<uint8_t>& out, uint32_t requestId) {
  return Emit(out, MessageType::kPong, requestId, 0, [](ByteWriter&) {});
}

// Request payload (17..48 bytes):
//   0   2   request code
//   2   2   reserved, 0
//   4   4   arg0
//   8   4   arg1
//   12  4   arg2
//   16  1   text length n (<= 31)
//   17  n   text
bool BuildRequest(std::vector<uint8_t>& out, uint32_t requestId, const Request& m) {
  if (!TextFits(m.text, kMaxUserText)) return false;
  return Emit(out, MessageType::kRequest, requestId, 17 + m.text.size(), [&](ByteWriter& w) {
    w.U16(static_cast<uint16_t>(m.code));
    w.U16(0);
    w.I32(m.arg0);
    w.I32(m.arg1);
    w.I32(m.arg2);
    w.Text(m.text);
  });
}

// Answer payload (12 + n bytes, n <= 4 MiB):
//   0   4   status (0 ok, 1 unknown request, 2 refused, 3 unavailable)
//   4   4   picture width (snapshot) or 0
//   8   4   picture height (snapshot) or 0
//   12  n   data (snapshot: the JPEG file)
bool BuildAnswer(std::vector<uint8_t>& out, uint32_t requestId, const Answer& m) {
  if (m.data.size() > kMaxMediaBytes) return false;
  return Emit(out, MessageType::kAnswer, requestId, 12 + m.data.size(), [&](ByteWriter& w) {
    w.I32(static_cast<int32_t>(m.status));
    w.U32(m.width);
    w.U32(m.height);
    w.Bytes(m.data);
  });
}

// StreamData payload (28 + n bytes, n <= 4 MiB):
//   0   1   frame type (0 video, 1 aux data, 2 header)
//   1   1   key-frame flag
//   2   2   reserved, 0
//   4   4   channel
//   8   4   width
//   12  4   height
//   16  4   sequence number
//   20  8   timestamp, milliseconds
//   28  n   data
bool BuildStreamData(std::vector<uint8_t>& out, uint32_t requestId, const StreamData& m) {
  if (m.data.size() > kMaxMediaBytes) return false;
  return Emit(out, MessageType::kStreamData, requestId, kStreamDataPrefix + m.data.size(),
              [&](ByteWriter& w) {
                w.U8(m.frameType);
                w.U8(m.keyFrame);
                w.U16(0);
                w.U32(m.channel);
                w.U32(m.width);
                w.U32(m.height);
                w.U32(m.sequence);
                w.U64(m.timestampMs);
                w.Bytes(m.data);
              });
}

// Alarm payload (13..44 bytes):
//   0   4   channel
//   4   2   kind (3 = alarm)
//   6   2   reserved, 0
//   8   4   value
//   12  1   address length n (<= 31)
//   13  n   the sending device's own address text
bool BuildAlarm(std::vector<uint8_t>& out, uint32_t requestId, const Alarm& m) {
  if (!TextFits(m.address, kMaxAddressText)) return false;
  return Emit(out, MessageType::kAlarm, requestId, 13 + m.address.size(), [&](ByteWriter& w) {
    w.U32(m.channel);
    w.U16(m.kind);
    w.U16(0);
    w.I32(m.value);
    w.Text(m.address);
  });
}

// AlarmAck: no payload; echoes the Alarm's request id.
bool BuildAlarmAck(std::vector<uint8_t>& out, uint32_t requestId) {
  return Emit(out, MessageType::kAlarmAck, requestId, 0, [](ByteWriter&) {});
}

// Probe payload (4 bytes):
//   0   4   probe id
bool BuildProbe(std::vector<uint8_t>& out, uint32_t requestId, const Probe& m) {
  return Emit(out, MessageType::kProbe, requestId, 4, [&](ByteWriter& w) { w.U32(m.probeId); });
}

// ProbeAnswer payload (19..179 bytes):
//   0   4   probe id (echoed)
//   4   2   control port
//   6   2   stream port
//   8   6   MAC address
//   14  1+n model text (n <= 32)
//   ..  1+n identity text (n <= 63)
//   ..  1+n address text, dotted IPv4 (n <= 15)
//   ..  1+n network mask text (n <= 15)
//   ..  1+n gateway text (n <= 15)
bool BuildProbeAnswer(std::vector<uint8_t>& out, uint32_t requestId, const ProbeAnswer& m) {
  if (!TextFits(m.model, kMaxModelText) || !TextFits(m.identity, kMaxIdentityText) ||
      !TextFits(m.address, kMaxDottedText) || !TextFits(m.mask, kMaxDottedText) ||
      !TextFits(m.gateway, kMaxDottedText)) {
    return false;
  }
  size_t length = 14 + 5 + m.model.size() + m.identity.size() + m.address.size() + m.mask.size() +
                  m.gateway.size();
  return Emit(out, MessageType::kProbeAnswer, requestId, length, [&](ByteWriter& w) {
    w.U32(m.probeId);
    w.U16(m.controlPort);
    w.U16(m.streamPort);
    w.Bytes(m.mac);
    w.Text(m.model);
    w.Text(m.identity);
    w.Text(m.address);
    w.Text(m.mask);
    w.Text(m.gateway);
  });
}

}  // namespace qrv::tmcc::protocol
