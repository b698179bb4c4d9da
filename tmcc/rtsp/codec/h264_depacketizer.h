// H.264 over RTP (RFC 6184), packetization modes 0 and 1, back into access
// units: single NAL unit packets (types 1-23), STAP-A (24) and FU-A (28).
// With VideoCodec::kH265 the same for H.265 over RTP (RFC 7798) without
// decoding-order numbers (sprop-max-don-diff 0, which ParseSdp insists on):
// single NAL unit packets (types 0-47), aggregation packets (48) and
// fragmentation units (49).
//
// One access unit per RTP timestamp: the marker bit ends it, and so does a
// packet of another timestamp (for senders that forget the marker). Each is
// delivered as Annex-B bytes, flagged as a key frame when it holds an IDR
// slice (H.265: an IRAP picture, types 16-21). Parameter sets (H.265: VPS,
// SPS and PPS), from the session description or in band, are kept by their
// ids and delivered as a "header" (every VPS, every SPS, then every PPS, in
// Annex-B) before the first picture after they change; the pictures keep
// their in-band copies too, so a decoder may start at any key frame.
//
// Loss: RTSP over TCP does not reorder, but a server may drop packets under
// load. A sequence gap (modulo 2^16), or a fragmented or aggregated packet
// that cannot be put together, drops the access unit it broke and every one
// after it until the next key frame, since those only decode against the
// lost one. The access unit in progress when a gap is seen is dropped too;
// one that begins after the gap is kept only if its first slice starts the
// picture (H.264: at macroblock 0; H.265: first_slice_segment_in_pic_flag),
// else the lost packets held its beginning. A duplicate or older packet is
// ignored.
//
// Not thread-safe; one per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/rtp.h"

namespace qrv::tmcc::rtsp {

inline constexpr size_t kDefaultMaxAccessUnit = 8 * 1024 * 1024;
// Real parameter sets are tens of bytes; scaling lists can take a few hundred.
inline constexpr size_t kMaxParameterSet = 4096;
// Buffers larger than this (a huge key frame) are freed, not kept for reuse.
inline constexpr size_t kKeptBufferBytes = 1024 * 1024;

struct H264DepacketizerOptions {
  // An access unit over this many Annex-B bytes is dropped (and counted).
  size_t maxAccessUnit = kDefaultMaxAccessUnit;
  // When set, packets of any other payload type are ignored (and counted).
  std::optional<uint8_t> payloadType;
  VideoCodec codec = VideoCodec::kH264;
};

struct H264Stats {
  uint64_t packets = 0;             // every packet fed in
  uint64_t invalidRtp = 0;          // refused by the RTP header parser
  uint64_t otherPayloadType = 0;    // ignored: not the configured payload type
  uint64_t duplicates = 0;          // ignored: same or older sequence number
  uint64_t packetsLost = 0;         // missing sequence numbers
  uint64_t resyncs = 0;             // a new SSRC or a far jump back: sequence taken anew
  uint64_t unsupported = 0;         // STAP-B, MTAP, FU-B, PACI and reserved types
  uint64_t malformed = 0;           // broken aggregates or fragments, unreadable parameter sets
  uint64_t accessUnits = 0;         // pictures delivered
  uint64_t accessUnitsDropped = 0;  // broken, too large, or before a key frame
  uint64_t oversize = 0;            // of those dropped, over the size limit
  uint64_t headers = 0;             // headers delivered
};

struct H264Unit {
  enum class Kind { kHeader, kPicture };
  Kind kind = Kind::kPicture;
  bool keyFrame = false;      // kPicture: holds an IDR slice (H.265: an IRAP picture)
  uint32_t timestamp = 0;     // RTP timestamp (90 kHz for H.264 and H.265)
  std::vector<uint8_t> data;  // Annex-B
};

class H264Depacketizer {
 public:
  explicit H264Depacketizer(H264DepacketizerOptions options = {});

  // Parameter sets known before any packet (SDP sprop-parameter-sets, or
  // H.265's sprop-vps/sps/pps): NAL units without start codes. Units that
  // are no parameter sets of the codec are ignored.
  void SeedParameterSets(std::span<const std::vector<uint8_t>> nalUnits);

  // One RTP packet. What it completes is appended to out in order: a header
  // (when the parameter sets changed), then the picture.
  void OnRtpPacket(std::span<const uint8_t> packet, std::vector<H264Unit>& out);
  void OnRtpPacket(const RtpPacket& packet, std::vector<H264Unit>& out);

  // Takes back the buffers of units it delivered (clearing `units`), so the
  // next access units are assembled in memory that already has the capacity
  // instead of growing from empty every time. Keeps a few, none over
  // kKeptBufferBytes.
  void Recycle(std::vector<H264Unit>& units);

  // A new start of the same stream (a new PLAY): the sequence is taken anew,
  // the access unit in progress is forgotten, delivery waits for a key frame,
  // and the header is delivered again before it. Parameter sets are kept.
  void Reset();

  const H264Stats& stats() const { return stats_; }

 private:
  void OnGap();
  void StartAccessUnit(uint32_t timestamp);
  void FinishAccessUnit(std::vector<H264Unit>& out);
  void Payload(std::span<const uint8_t> payload);
  void Payload265(std::span<const uint8_t> payload);
  // STAP-A or an H.265 aggregation packet: sizes and units after a header
  // of headerBytes.
  void Aggregate(std::span<const uint8_t> payload, size_t headerBytes);
  void FuA(std::span<const uint8_t> payload);
  void Fu265(std::span<const uint8_t> payload);
  // One fragment of a unit whose NAL header is nalHeader (rebuilt from the
  // fragmentation unit's headers) and type is type.
  void Fragment(bool start, bool end, uint8_t type, std::span<const uint8_t> nalHeader,
                std::span<const uint8_t> fragment);
  void FragmentBroken();
  void CompleteNal(std::span<const uint8_t> nal);
  void CheckHead(std::span<const uint8_t> slice);
  void Append(std::span<const uint8_t> bytes);
  void Break();
  void NoteParameterSet(std::span<const uint8_t> nal);
  // The spare buffer of the largest capacity (for a picture) or the smallest
  // (for a header); empty when none is kept.
  std::vector<uint8_t> TakeSpare(bool largest);

  H264DepacketizerOptions options_;
  H264Stats stats_;

  bool haveSequence_ = false;
  uint16_t lastSequence_ = 0;
  uint32_t ssrc_ = 0;

  // The access unit being assembled.
  bool open_ = false;
  uint32_t timestamp_ = 0;
  std::vector<uint8_t> unit_;
  bool key_ = false;
  bool hasSlice_ = false;
  bool broken_ = false;
  bool oversize_ = false;
  bool headUncertain_ = false;  // begun after a gap; its first slice not yet seen

  // A fragmented unit in progress: its NAL unit type and where it began in unit_.
  bool inFu_ = false;
  uint8_t fuType_ = 0;
  size_t fuStart_ = 0;
  bool fuAfterSlice_ = false;  // a non-slice unit after the first slice: left out

  bool awaitingKey_ = true;

  // Emptied buffers with capacity, for the next access units and headers.
  std::vector<std::vector<uint8_t>> spare_;

  std::map<uint32_t, std::vector<uint8_t>> vps_;  // H.265 only
  std::map<uint32_t, std::vector<uint8_t>> sps_;
  std::map<uint32_t, std::vector<uint8_t>> pps_;
  bool headerChanged_ = false;
};

}  // namespace qrv::tmcc::rtsp
