#include "tmcc/rtsp/codec/interleaved.h"

namespace qrv::tmcc::rtsp {

InterleavedItem SplitInterleaved(std::span<const uint8_t> bytes, const MessageLimits& limits) {
  InterleavedItem item;
  size_t skip = 0;
  while (skip < bytes.size() && (bytes[skip] == '\r' || bytes[skip] == '\n')) ++skip;
  if (skip >= limits.maxHeaderBlock) {
    item.kind = InterleavedKind::kError;
    item.error = MessageError::kHeaderBlockTooLong;
    return item;
  }
  const std::span<const uint8_t> rest = bytes.subspan(skip);
  if (rest.empty()) return item;

  if (rest[0] == kInterleavedMagic) {
    if (rest.size() < kInterleavedHeaderSize) return item;
    const size_t length = size_t(rest[2]) << 8 | rest[3];
    if (rest.size() - kInterleavedHeaderSize < length) return item;
    item.kind = InterleavedKind::kPacket;
    item.channel = rest[1];
    item.packet = rest.subspan(kInterleavedHeaderSize, length);
    item.consumed = skip + kInterleavedHeaderSize + length;
    return item;
  }

  // "RTSP/" starts a response; anything else must be a request. Until five
  // bytes are in, "R..." could be either.
  const bool response = LooksLikeRtspResponse(rest);
  if (response && rest.size() < 5) return item;
  if (response) {
    auto r = ParseRtspResponse(rest, limits);
    if (r.status == ParseStatus::kNeedMore) return item;
    if (r.status == ParseStatus::kError) {
      item.kind = InterleavedKind::kError;
      item.error = r.error;
      return item;
    }
    item.kind = InterleavedKind::kResponse;
    item.consumed = skip + r.consumed;
    item.response = std::move(r.response);
    return item;
  }
  auto r = ParseRtspRequest(rest, limits);
  if (r.status == ParseStatus::kNeedMore) return item;
  if (r.status == ParseStatus::kError) {
    item.kind = InterleavedKind::kError;
    item.error = r.error;
    return item;
  }
  item.kind = InterleavedKind::kRequest;
  item.consumed = skip + r.consumed;
  item.request = std::move(r.request);
  return item;
}

bool AppendInterleaved(std::vector<uint8_t>& out, uint8_t channel,
                       std::span<const uint8_t> packet) {
  if (packet.size() > kMaxInterleavedPacket) return false;
  out.push_back(kInterleavedMagic);
  out.push_back(channel);
  out.push_back(static_cast<uint8_t>(packet.size() >> 8));
  out.push_back(static_cast<uint8_t>(packet.size()));
  out.insert(out.end(), packet.begin(), packet.end());
  return true;
}

}  // namespace qrv::tmcc::rtsp
