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

}  // namespace

H264Depacketizer::H264Depacketizer(H264DepacketizerOptions options) : options_(options) {}

void H264Depacketizer::SeedParameterSets(std::span<const std::vector<uint8_t>> nalUnits) {
  for (const auto& nal : nalUnits) {
    if (nal.empty()) continue;
    const uint8_t type = NalType(nal[0]);
    if (type == kNalSps || type == kNalPps) NoteParameterSet(nal);
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
  if (headerChanged_ && !sps_.empty() && !pps_.empty()) {
    H264Unit header;
    header.kind = H264Unit::Kind::kHeader;
    header.timestamp = timestamp_;
    header.data = TakeSpare(false);
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
  if (payload.empty()) {
    ++stats_.malformed;
    return;
  }
  const uint8_t type = NalType(payload[0]);
  if (inFu_ && type != kNalFuA) {
    // A fragmented unit was cut off by another packet.
    ++stats_.malformed;
    inFu_ = false;
    Break();
  }
  if (type >= 1 && type <= 23) {
    CompleteNal(payload);
  } else if (type == kNalStapA) {
    StapA(payload);
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

void H264Depacketizer::StapA(std::span<const uint8_t> payload) {
  //   STAP-A header (1) | size (16, big-endian) | NAL unit | size | NAL unit ...
  size_t pos = 1;
  if (payload.size() == pos) {
    ++stats_.malformed;
    return;
  }
  while (pos < payload.size()) {
    if (payload.size() - pos < 2) {
      ++stats_.malformed;
      Break();
      return;
    }
    const size_t size = size_t(payload[pos]) << 8 | payload[pos + 1];
    pos += 2;
    if (size == 0 || size > payload.size() - pos) {
      ++stats_.malformed;
      Break();
      return;
    }
    const auto nal = payload.subspan(pos, size);
    const uint8_t type = NalType(nal[0]);
    if (type == 0 || type >= kNalStapA) {
      ++stats_.malformed;
      Break();
      return;
    }
    CompleteNal(nal);
    pos += size;
  }
}

void H264Depacketizer::FuA(std::span<const uint8_t> payload) {
  //   FU indicator: F|NRI|28   FU header: S|E|R|type   fragment...
  if (payload.size() < 2) {
    ++stats_.malformed;
    inFu_ = false;
    Break();
    return;
  }
  const uint8_t fuHeader = payload[1];
  const uint8_t type = NalType(fuHeader);
  const auto fragment = payload.subspan(2);
  if (type == 0 || type >= kNalStapA) {
    ++stats_.malformed;
    inFu_ = false;
    Break();
    return;
  }
  if (fuHeader & kFuStart) {
    if (inFu_) {
      // The previous unit's end never came.
      ++stats_.malformed;
      Break();
    }
    inFu_ = true;
    fuType_ = type;
    // As for whole units (CompleteNal): not part of the picture.
    fuAfterSlice_ = hasSlice_ && type >= 6 && type <= 9;
    if (type == kNalIdr) key_ = true;
    if (type >= 1 && type <= 5) {
      hasSlice_ = true;
      CheckHead(fragment);
    }
    fuStart_ = unit_.size();
    const uint8_t nalHeader = static_cast<uint8_t>((payload[0] & 0xe0) | type);
    Append(kStartCode);
    Append({&nalHeader, 1});
  } else if (!inFu_ || type != fuType_) {
    // A middle or end without its start: the start was lost or never sent.
    ++stats_.malformed;
    inFu_ = false;
    Break();
    return;
  }
  Append(fragment);
  if (fuHeader & kFuEnd) {
    inFu_ = false;
    if ((type == kNalSps || type == kNalPps) && !broken_ && fuStart_ + 4 < unit_.size())
      NoteParameterSet(std::span<const uint8_t>(unit_).subspan(fuStart_ + 4));
    if (fuAfterSlice_ && fuStart_ <= unit_.size()) unit_.resize(fuStart_);
    fuAfterSlice_ = false;
  }
}

void H264Depacketizer::CompleteNal(std::span<const uint8_t> nal) {
  const uint8_t type = NalType(nal[0]);
  // SEI, parameter sets and delimiters only come before a picture's first
  // slice (H.264 7.4.1.2.3): after one, a decoder of the Annex-B bytes starts
  // a new picture there. Some senders repeat the parameter sets before every
  // slice of a key frame; they are taken and left out of the picture.
  if (hasSlice_ && type >= 6 && type <= 9) {
    if (type == kNalSps || type == kNalPps) NoteParameterSet(nal);
    return;
  }
  if (type == kNalIdr) key_ = true;
  if (type >= 1 && type <= 5) {
    hasSlice_ = true;
    CheckHead(nal.subspan(1));
  }
  if (type == kNalSps || type == kNalPps) NoteParameterSet(nal);
  Append(kStartCode);
  Append(nal);
}

void H264Depacketizer::CheckHead(std::span<const uint8_t> slice) {
  if (!headUncertain_) return;
  headUncertain_ = false;
  // An access unit's first slice starts at macroblock 0 (first_mb_in_slice,
  // the slice header's first field). If the first slice after a gap starts
  // elsewhere, the lost packets held the picture's beginning. What else they
  // may have held (parameter sets, SEI) the header and the decoder make up.
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
  const uint8_t type = NalType(nal[0]);
  if (nal.size() > kMaxParameterSet) {
    ++stats_.malformed;
    return;
  }
  RbspBits bits(nal.subspan(1));
  std::optional<uint32_t> id;
  std::map<uint32_t, std::vector<uint8_t>>* table = nullptr;
  if (type == kNalSps) {
    // profile_idc (8), constraint flags (8), level_idc (8), then the id.
    if (bits.Bits(24)) id = bits.Ue();
    if (id && *id > 31) id.reset();
    table = &sps_;
  } else {
    id = bits.Ue();
    if (id && *id > 255) id.reset();
    table = &pps_;
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
