#include "tmcc/rtsp/codec/h264_depacketizer.h"

#include <algorithm>
#include <utility>

#include "tmcc/rtsp/codec/annexb.h"

namespace qrv::tmcc::rtsp {

namespace {

// Within this distance behind the last sequence number a packet is an old
// duplicate; further back the sender has started over (RFC 3550 A.1 uses the
// same order of magnitude for its dropout bound).
constexpr uint16_t kMaxBackwards = 3000;

constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;

// Reads bits of a NAL unit's payload, dropping emulation-prevention bytes
// (the 03 of 00 00 03), enough to reach the ids at the start of an SPS or PPS.
class RbspBits {
 public:
  explicit RbspBits(std::span<const uint8_t> payload) : in_(payload) {}

  std::optional<uint32_t> Bit() {
    if (bit_ == 0) {
      if (pos_ >= in_.size()) return std::nullopt;
      if (zeros_ >= 2 && in_[pos_] == 3) {
        ++pos_;
        zeros_ = 0;
        if (pos_ >= in_.size()) return std::nullopt;
      }
      byte_ = in_[pos_++];
      zeros_ = byte_ == 0 ? zeros_ + 1 : 0;
      bit_ = 8;
    }
    --bit_;
    return (byte_ >> bit_) & 1;
  }

  std::optional<uint32_t> Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const auto b = Bit();
      if (!b) return std::nullopt;
      v = v << 1 | *b;
    }
    return v;
  }

  // Unsigned Exp-Golomb, up to 31 leading zeros.
  std::optional<uint32_t> Ue() {
    int zeros = 0;
    for (;;) {
      const auto b = Bit();
      if (!b) return std::nullopt;
      if (*b == 1) break;
      if (++zeros > 31) return std::nullopt;
    }
    const auto rest = Bits(zeros);
    if (!rest) return std::nullopt;
    return static_cast<uint32_t>((uint64_t(1) << zeros) - 1 + *rest);
  }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  int zeros_ = 0;
  uint8_t byte_ = 0;
  int bit_ = 0;
};

// What a NAL unit is to the access unit it belongs to.
struct NalInfo {
  bool slice = false;         // coded picture data
  bool key = false;           // makes its picture a key frame
  bool parameterSet = false;  // kept by id and delivered in the header
  // Only comes before a picture's first slice: after one, a decoder of the
  // Annex-B bytes would start a new picture there.
  bool beforeSlice = false;
};

NalInfo Classify(VideoCodec codec, std::span<const uint8_t> nal) {
  NalInfo info;
  if (codec == VideoCodec::kH264) {
    const uint8_t type = NalType(nal[0]);
    info.slice = type >= 1 && type <= 5;
    info.key = type == kNalIdr;
    info.parameterSet = type == kNalSps || type == kNalPps;
    info.beforeSlice = type >= 6 && type <= 9;  // SEI, SPS, PPS, delimiter
    return info;
  }
  const uint8_t type = H265NalType(nal[0]);
  info.slice = type <= 31;
  info.key = type >= kH265IrapFirst && type <= kH265IrapLast;
  info.parameterSet = type >= kH265Vps && type <= kH265Pps;
  // VPS, SPS, PPS, delimiter, prefix SEI and the reserved prefix types.
  info.beforeSlice = (type >= kH265Vps && type <= 35) || type == 39 || (type >= 41 && type <= 44);
  return info;
}

size_t NalHeaderBytes(VideoCodec codec) {
  return codec == VideoCodec::kH264 ? 1 : 2;
}

// H.265 profile_tier_level() with profilePresentFlag 1, up to the SPS id.
bool SkipProfileTierLevel(RbspBits& bits, uint32_t maxSubLayersMinus1) {
  if (!bits.Bits(24) || !bits.Bits(24) || !bits.Bits(24) || !bits.Bits(24)) return false;
  bool profile[8] = {};
  bool level[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    const auto p = bits.Bit();
    const auto l = bits.Bit();
    if (!p || !l) return false;
    profile[i] = *p != 0;
    level[i] = *l != 0;
  }
  if (maxSubLayersMinus1 > 0 && !bits.Bits(int(8 - maxSubLayersMinus1) * 2)) return false;
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profile[i] && (!bits.Bits(24) || !bits.Bits(24) || !bits.Bits(24) || !bits.Bits(16)))
      return false;
    if (level[i] && !bits.Bits(8)) return false;
  }
  return true;
}

}  // namespace

H264Depacketizer::H264Depacketizer(H264DepacketizerOptions options) : options_(options) {}

void H264Depacketizer::SeedParameterSets(std::span<const std::vector<uint8_t>> nalUnits) {
  for (const auto& nal : nalUnits) {
    if (nal.size() < NalHeaderBytes(options_.codec)) continue;
    if (Classify(options_.codec, nal).parameterSet) NoteParameterSet(nal);
  }
}

namespace {
// Spare buffers kept: the unit being assembled takes one while the units of
// the last read (a header and a picture, at most a few pictures) come back.
constexpr size_t kSpareBuffers = 4;
}  // namespace

void H264Depacketizer::Recycle(std::vector<H264Unit>& units) {
  for (auto& unit : units) {
    if (spare_.size() >= kSpareBuffers || unit.data.capacity() > kKeptBufferBytes) continue;
    unit.data.clear();
    spare_.push_back(std::move(unit.data));
  }
  units.clear();
}

std::vector<uint8_t> H264Depacketizer::TakeSpare(bool largest) {
  if (spare_.empty()) return {};
  auto pick = spare_.begin();
  for (auto it = spare_.begin(); it != spare_.end(); ++it) {
    if (largest ? it->capacity() > pick->capacity() : it->capacity() < pick->capacity()) pick = it;
  }
  auto buffer = std::move(*pick);
  spare_.erase(pick);
  return buffer;
}

void H264Depacketizer::Reset() {
  haveSequence_ = false;
  open_ = false;
  unit_.clear();
  inFu_ = false;
  awaitingKey_ = true;
  headerChanged_ = true;
}

void H264Depacketizer::OnRtpPacket(std::span<const uint8_t> packet, std::vector<H264Unit>& out) {
  const RtpResult r = ParseRtp(packet);
  if (!r.ok()) {
    ++stats_.packets;
    ++stats_.invalidRtp;
    return;
  }
  OnRtpPacket(r.packet, out);
}

void H264Depacketizer::OnRtpPacket(const RtpPacket& packet, std::vector<H264Unit>& out) {
  ++stats_.packets;
  const RtpHeader& h = packet.header;
  if (options_.payloadType && h.payloadType != *options_.payloadType) {
    ++stats_.otherPayloadType;
    return;
  }

  bool gap = false;
  if (haveSequence_) {
    const uint16_t ahead = static_cast<uint16_t>(h.sequence - lastSequence_);
    const uint16_t behind = static_cast<uint16_t>(lastSequence_ - h.sequence);
    if (h.ssrc != ssrc_) {
      ++stats_.resyncs;
      gap = true;
    } else if (ahead == 0 || behind <= kMaxBackwards) {
      ++stats_.duplicates;
      return;
    } else if (ahead >= 0x8000) {
      ++stats_.resyncs;
      gap = true;
    } else if (ahead > 1) {
      stats_.packetsLost += ahead - 1u;
      gap = true;
    }
  }
  haveSequence_ = true;
  lastSequence_ = h.sequence;
  ssrc_ = h.ssrc;

  if (gap) OnGap();
  if (open_ && h.timestamp != timestamp_) FinishAccessUnit(out);
  if (!open_) {
    StartAccessUnit(h.timestamp);
    // The lost packets may have begun this access unit: its first slice
    // tells (CheckHead).
    headUncertain_ = gap;
  }
  Payload(packet.payload);
  if (h.marker) FinishAccessUnit(out);
}

void H264Depacketizer::OnGap() {
  // The access unit in progress may have lost its end.
  if (open_) Break();
  awaitingKey_ = true;
}

void H264Depacketizer::StartAccessUnit(uint32_t timestamp) {
  open_ = true;
  timestamp_ = timestamp;
  unit_.clear();
  key_ = false;
  hasSlice_ = false;
  broken_ = false;
  oversize_ = false;
  headUncertain_ = false;
  inFu_ = false;
}

void H264Depacketizer::Break() {
  broken_ = true;
  // Nothing more of it will be delivered: keep no bytes.
  unit_.clear();
}

void H264Depacketizer::FinishAccessUnit(std::vector<H264Unit>& out) {
  if (!open_) return;
  open_ = false;
  if (inFu_) {
    // Its last fragment never came.
    ++stats_.malformed;
    inFu_ = false;
    Break();
  }
  if (broken_) {
    ++stats_.accessUnitsDropped;
    if (oversize_) ++stats_.oversize;
    awaitingKey_ = true;
    unit_.clear();
    return;
  }
  if (!hasSlice_) {
    // Parameter sets or SEI alone: nothing to show; the sets are noted.
    unit_.clear();
    return;
  }
  if (awaitingKey_ && !key_) {
    ++stats_.accessUnitsDropped;
    unit_.clear();
    return;
  }
  awaitingKey_ = false;
  const bool h265 = options_.codec == VideoCodec::kH265;
  if (headerChanged_ && !sps_.empty() && !pps_.empty() && (!h265 || !vps_.empty())) {
    H264Unit header;
    header.kind = H264Unit::Kind::kHeader;
    header.timestamp = timestamp_;
    header.data = TakeSpare(false);
    for (const auto& [id, nal] : vps_) AppendAnnexB(header.data, nal);
    for (const auto& [id, nal] : sps_) AppendAnnexB(header.data, nal);
    for (const auto& [id, nal] : pps_) AppendAnnexB(header.data, nal);
    out.push_back(std::move(header));
    ++stats_.headers;
    headerChanged_ = false;
  }
  H264Unit picture;
  picture.kind = H264Unit::Kind::kPicture;
  picture.keyFrame = key_;
  picture.timestamp = timestamp_;
  picture.data = std::move(unit_);
  unit_ = TakeSpare(true);
  out.push_back(std::move(picture));
  ++stats_.accessUnits;
}

void H264Depacketizer::Payload(std::span<const uint8_t> payload) {
  if (options_.codec == VideoCodec::kH265) {
    Payload265(payload);
    return;
  }
  if (payload.empty()) {
    ++stats_.malformed;
    return;
  }
  const uint8_t type = NalType(payload[0]);
  if (inFu_ && type != kNalFuA) FragmentBroken();  // cut off by another packet
  if (type >= 1 && type <= 23) {
    CompleteNal(payload);
  } else if (type == kNalStapA) {
    Aggregate(payload, 1);
  } else if (type == kNalFuA) {
    FuA(payload);
  } else {
    ++stats_.unsupported;
    // STAP-B, MTAP16, MTAP24 and FU-B carry picture data this mode-0/1
    // receiver cannot place; types 0, 30 and 31 carry nothing of the stream
    // and are ignored as RFC 6184 asks.
    if (type != 0 && type != 30 && type != 31) Break();
  }
}

void H264Depacketizer::Payload265(std::span<const uint8_t> payload) {
  //   payload header: F|type(6)|layer id(6)|TID(3), as a NAL unit header
  if (payload.size() < 2) {
    ++stats_.malformed;
    return;
  }
  const uint8_t type = H265NalType(payload[0]);
  if (inFu_ && type != kH265Fragment) FragmentBroken();
  if (type < kH265Aggregation) {
    CompleteNal(payload);
  } else if (type == kH265Aggregation) {
    Aggregate(payload, 2);
  } else if (type == kH265Fragment) {
    Fu265(payload);
  } else {
    ++stats_.unsupported;
    // PACI wraps picture data this receiver does not unwrap; 51-63 carry
    // nothing of the stream and are ignored.
    if (type == kH265Paci) Break();
  }
}

void H264Depacketizer::Aggregate(std::span<const uint8_t> payload, size_t headerBytes) {
  //   header | size (16, big-endian) | NAL unit | size | NAL unit ...
  // (H.265 without DONL; with it ParseSdp refuses the track.)
  size_t pos = headerBytes;
  if (payload.size() == pos) {
    ++stats_.malformed;
    return;
  }
  const bool h265 = options_.codec == VideoCodec::kH265;
  while (pos < payload.size()) {
    if (payload.size() - pos < 2) {
      ++stats_.malformed;
      Break();
      return;
    }
    const size_t size = size_t(payload[pos]) << 8 | payload[pos + 1];
    pos += 2;
    if (size < headerBytes || size > payload.size() - pos) {
      ++stats_.malformed;
      Break();
      return;
    }
    const auto nal = payload.subspan(pos, size);
    const uint8_t type = h265 ? H265NalType(nal[0]) : NalType(nal[0]);
    if (h265 ? type >= kH265Aggregation : (type == 0 || type >= kNalStapA)) {
      ++stats_.malformed;
      Break();
      return;
    }
    CompleteNal(nal);
    pos += size;
  }
}

void H264Depacketizer::FragmentBroken() {
  ++stats_.malformed;
  inFu_ = false;
  Break();
}

void H264Depacketizer::FuA(std::span<const uint8_t> payload) {
  //   FU indicator: F|NRI|28   FU header: S|E|R|type   fragment...
  if (payload.size() < 2) {
    FragmentBroken();
    return;
  }
  const uint8_t fuHeader = payload[1];
  const uint8_t type = NalType(fuHeader);
  if (type == 0 || type >= kNalStapA) {
    FragmentBroken();
    return;
  }
  const uint8_t nalHeader = static_cast<uint8_t>((payload[0] & 0xe0) | type);
  Fragment(fuHeader & kFuStart, fuHeader & kFuEnd, type, {&nalHeader, 1}, payload.subspan(2));
}

void H264Depacketizer::Fu265(std::span<const uint8_t> payload) {
  //   payload header (type 49, 2 bytes)   FU header: S|E|type(6)   fragment...
  if (payload.size() < 3) {
    FragmentBroken();
    return;
  }
  const uint8_t fuHeader = payload[2];
  const uint8_t type = fuHeader & 0x3f;
  if (type >= kH265Aggregation) {
    FragmentBroken();
    return;
  }
  const uint8_t nalHeader[2] = {static_cast<uint8_t>((payload[0] & 0x81) | type << 1), payload[1]};
  Fragment(fuHeader & kFuStart, fuHeader & kFuEnd, type, nalHeader, payload.subspan(3));
}

void H264Depacketizer::Fragment(bool start, bool end, uint8_t type,
                                std::span<const uint8_t> nalHeader,
                                std::span<const uint8_t> fragment) {
  const NalInfo info = Classify(options_.codec, nalHeader);
  if (start) {
    if (inFu_) {
      // The previous unit's end never came.
      ++stats_.malformed;
      Break();
    }
    inFu_ = true;
    fuType_ = type;
    // As for whole units (CompleteNal): not part of the picture.
    fuAfterSlice_ = hasSlice_ && info.beforeSlice;
    if (info.key) key_ = true;
    if (info.slice) {
      hasSlice_ = true;
      CheckHead(fragment);
    }
    fuStart_ = unit_.size();
    Append(kStartCode);
    Append(nalHeader);
  } else if (!inFu_ || type != fuType_) {
    // A middle or end without its start: the start was lost or never sent.
    FragmentBroken();
    return;
  }
  Append(fragment);
  if (end) {
    inFu_ = false;
    if (info.parameterSet && !broken_ && fuStart_ + 4 < unit_.size())
      NoteParameterSet(std::span<const uint8_t>(unit_).subspan(fuStart_ + 4));
    if (fuAfterSlice_ && fuStart_ <= unit_.size()) unit_.resize(fuStart_);
    fuAfterSlice_ = false;
  }
}

void H264Depacketizer::CompleteNal(std::span<const uint8_t> nal) {
  const NalInfo info = Classify(options_.codec, nal);
  // SEI, parameter sets and delimiters only come before a picture's first
  // slice (H.264 7.4.1.2.3, likewise H.265): after one, a decoder of the
  // Annex-B bytes starts a new picture there. Some senders repeat the
  // parameter sets before every slice of a key frame; they are taken and
  // left out of the picture.
  if (hasSlice_ && info.beforeSlice) {
    if (info.parameterSet) NoteParameterSet(nal);
    return;
  }
  if (info.key) key_ = true;
  if (info.slice) {
    hasSlice_ = true;
    CheckHead(nal.subspan(NalHeaderBytes(options_.codec)));
  }
  if (info.parameterSet) NoteParameterSet(nal);
  Append(kStartCode);
  Append(nal);
}

void H264Depacketizer::CheckHead(std::span<const uint8_t> slice) {
  if (!headUncertain_) return;
  headUncertain_ = false;
  // An access unit's first slice starts at macroblock 0 (first_mb_in_slice,
  // the slice header's first field; H.265 flags it in its first bit,
  // first_slice_segment_in_pic_flag). If the first slice after a gap starts
  // elsewhere, the lost packets held the picture's beginning. What else they
  // may have held (parameter sets, SEI) the header and the decoder make up.
  if (options_.codec == VideoCodec::kH265) {
    if (slice.empty() || (slice[0] & 0x80) == 0) Break();
    return;
  }
  RbspBits bits(slice);
  const auto firstMb = bits.Ue();
  if (!firstMb || *firstMb != 0) Break();
}

void H264Depacketizer::Append(std::span<const uint8_t> bytes) {
  if (broken_) return;
  if (bytes.size() > options_.maxAccessUnit - unit_.size()) {
    oversize_ = true;
    Break();
    return;
  }
  unit_.insert(unit_.end(), bytes.begin(), bytes.end());
}

void H264Depacketizer::NoteParameterSet(std::span<const uint8_t> nal) {
  if (nal.size() > kMaxParameterSet) {
    ++stats_.malformed;
    return;
  }
  std::optional<uint32_t> id;
  std::map<uint32_t, std::vector<uint8_t>>* table = nullptr;
  if (options_.codec == VideoCodec::kH264) {
    RbspBits bits(nal.subspan(1));
    if (NalType(nal[0]) == kNalSps) {
      // profile_idc (8), constraint flags (8), level_idc (8), then the id.
      if (bits.Bits(24)) id = bits.Ue();
      if (id && *id > 31) id.reset();
      table = &sps_;
    } else {
      id = bits.Ue();
      if (id && *id > 255) id.reset();
      table = &pps_;
    }
  } else {
    RbspBits bits(nal.subspan(2));
    const uint8_t type = H265NalType(nal[0]);
    if (type == kH265Vps) {
      // vps_video_parameter_set_id (4) comes first.
      id = bits.Bits(4);
      table = &vps_;
    } else if (type == kH265Sps) {
      // sps_video_parameter_set_id (4), max_sub_layers_minus1 (3), nesting
      // flag (1), profile_tier_level, then the id.
      const auto head = bits.Bits(8);
      if (head && SkipProfileTierLevel(bits, (*head >> 1) & 7)) id = bits.Ue();
      if (id && *id > 15) id.reset();
      table = &sps_;
    } else {
      id = bits.Ue();
      if (id && *id > 63) id.reset();
      table = &pps_;
    }
  }
  if (!id) {
    ++stats_.malformed;
    return;
  }
  auto& kept = (*table)[*id];
  if (kept.size() == nal.size() && std::equal(kept.begin(), kept.end(), nal.begin())) return;
  kept.assign(nal.begin(), nal.end());
  headerChanged_ = true;
}

}  // namespace qrv::tmcc::rtsp
