#include "tmcc/native/codec/parsers.h"

#include "tmcc/native/codec/byte_io.h"

namespace qrv::tmcc::protocol {
namespace {

// A parse succeeds only if every read fitted and nothing is left over.
template <typename T>
std::optional<T> Finish(const ByteReader& in, T value) {
  if (!in.ok() || in.remaining() != 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ServerHello> ParseServerHello(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  ServerHello m;
  in.Bytes(m.serverNonce);
  return Finish(in, m);
}

std::optional<Login> ParseLogin(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  Login m;
  m.purpose = static_cast<Purpose>(in.U8());
  m.streamType = in.U8();
  if (in.U16() != 0) return std::nullopt;
  in.Bytes(m.clientNonce);
  in.Bytes(m.proof);
  m.user = in.Text(kMaxUserText);
  return Finish(in, std::move(m));
}

std::optional<LoginResult> ParseLoginResult(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  LoginResult m;
  m.status = static_cast<LoginStatus>(in.I32());
  in.Bytes(m.serverProof);
  return Finish(in, m);
}

std::optional<Request> ParseRequest(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  Request m;
  m.code = static_cast<RequestCode>(in.U16());
  if (in.U16() != 0) return std::nullopt;
  m.arg0 = in.I32();
  m.arg1 = in.I32();
  m.arg2 = in.I32();
  m.text = in.Text(kMaxUserText);
  return Finish(in, std::move(m));
}

std::optional<Answer> ParseAnswer(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  Answer m;
  m.status = static_cast<AnswerStatus>(in.I32());
  m.width = in.U32();
  m.height = in.U32();
  if (in.remaining() > kMaxMediaBytes) return std::nullopt;
  m.data = in.Rest();
  return Finish(in, m);
}

std::optional<StreamData> ParseStreamData(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  StreamData m;
  m.frameType = in.U8();
  m.keyFrame = in.U8();
  if (in.U16() != 0) return std::nullopt;
  m.channel = in.U32();
  m.width = in.U32();
  m.height = in.U32();
  m.sequence = in.U32();
  m.timestampMs = in.U64();
  if (in.remaining() > kMaxMediaBytes) return std::nullopt;
  m.data = in.Rest();
  return Finish(in, m);
}

std::optional<Alarm> ParseAlarm(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  Alarm m;
  m.channel = in.U32();
  m.kind = in.U16();
  if (in.U16() != 0) return std::nullopt;
  m.value = in.I32();
  m.address = in.Text(kMaxAddressText);
  return Finish(in, std::move(m));
}

std::optional<Probe> ParseProbe(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  Probe m;
  m.probeId = in.U32();
  return Finish(in, m);
}

std::optional<ProbeAnswer> ParseProbeAnswer(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  ProbeAnswer m;
  m.probeId = in.U32();
  m.controlPort = in.U16();
  m.streamPort = in.U16();
  in.Bytes(m.mac);
  m.model = in.Text(kMaxModelText);
  m.identity = in.Text(kMaxIdentityText);
  m.address = in.Text(kMaxDottedText);
  m.mask = in.Text(kMaxDottedText);
  m.gateway = in.Text(kMaxDottedText);
  return Finish(in, std::move(m));
}

}  // namespace qrv::tmcc::protocol
