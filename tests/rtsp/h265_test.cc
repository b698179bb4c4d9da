// H.265 over RTP: access units packetized and put back together byte for
// byte (single units, aggregation packets, fragmentation units), VPS/SPS/PPS
// delivered as the header, IRAP pictures as key frames, and loss or
// malformed packets dropping pictures until the next key frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/h264_depacketizer.h"
#include "tmcc/rtsp/codec/h264_packetizer.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

using Bytes = std::vector<uint8_t>;
using Packets = std::vector<Bytes>;

class BitWriter {
 public:
  void Bit(bool b) {
    if (used_ == 0) out_.push_back(0);
    if (b) out_.back() |= static_cast<uint8_t>(0x80 >> used_);
    used_ = (used_ + 1) % 8;
  }
  void Bits(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t(v) + 1;
    int bits = 0;
    while ((x >> bits) > 1) ++bits;
    Bits(0, bits);
    for (int i = bits; i >= 0; --i) Bit((x >> i) & 1);
  }
  // Ones to the byte's end, then bytes that are never zero.
  Bytes Finish(size_t filler, uint32_t seed) {
    while (used_ != 0) Bit(true);
    for (size_t i = 0; i < filler; ++i) {
      seed = seed * 1103515245u + 12345u;
      out_.push_back(static_cast<uint8_t>(1 + (seed >> 16) % 255));
    }
    return out_;
  }

 private:
  Bytes out_;
  int used_ = 0;
};

// A unit with a two-byte header (layer 0, TID 1), then what `body` writes.
template <typename F>
Bytes Nal(uint8_t type, size_t filler, uint32_t seed, F body) {
  BitWriter w;
  w.Bits(type << 1, 8);
  w.Bits(1, 8);
  body(w);
  return w.Finish(filler, seed);
}

Bytes Vps(uint32_t id) {
  return Nal(rt::kH265Vps, 8, 0, [&](BitWriter& w) { w.Bits(id << 4 | 0xf, 8); });
}

// With subLayers, one sub-layer whose profile and level are both present, so
// the id sits behind the longer profile_tier_level.
Bytes Sps(uint32_t id, uint32_t variant = 0, bool subLayers = false) {
  return Nal(rt::kH265Sps, 10, variant, [&](BitWriter& w) {
    w.Bits(subLayers ? 0b0011 : 0b0001, 8);  // VPS 0, sub-layers - 1, nesting
    w.Bits(0x01600000, 32);                  // general profile, 96 bits with the level
    w.Bits(0x90000000, 32);
    w.Bits(0x5d, 32);
    if (subLayers) {
      w.Bits(0b11 << 14, 16);  // profile and level present, reserved to eight
      w.Bits(0x01600000, 32);  // sub-layer profile (88 bits) and level
      w.Bits(0x90000000, 32);
      w.Bits(0x5a, 32);
    }
    w.Ue(id);
  });
}

Bytes Pps(uint32_t id) {
  return Nal(rt::kH265Pps, 3, 0, [&](BitWriter& w) { w.Ue(id); });
}

// first: first_slice_segment_in_pic_flag, the slice header's first bit.
Bytes Slice(uint8_t type, size_t size, uint32_t seed, bool first = true) {
  return Nal(type, size, seed, [&](BitWriter& w) { w.Bit(first); });
}

constexpr uint8_t kTrail = 1;
constexpr uint8_t kIdr = 19;
constexpr uint8_t kCra = 21;

Bytes AnnexB(const std::vector<Bytes>& nals) {
  Bytes out;
  for (const auto& n : nals) rt::AppendAnnexB(out, n);
  return out;
}

rt::H264Packetizer Packetizer(size_t maxPayload) {
  rt::H264PacketizerOptions o;
  o.maxPayload = maxPayload;
  o.ssrc = 5;
  o.firstSequence = 65530;  // wraps
  o.codec = rt::VideoCodec::kH265;
  return rt::H264Packetizer(o);
}

rt::H264Depacketizer Depacketizer() {
  rt::H264DepacketizerOptions o;
  o.codec = rt::VideoCodec::kH265;
  return rt::H264Depacketizer(o);
}

Packets Packetize(rt::H264Packetizer& p, const Bytes& au, uint32_t ts) {
  Packets out;
  EXPECT_TRUE(p.Packetize(au, ts, out));
  return out;
}

std::vector<rt::H264Unit> Feed(rt::H264Depacketizer& d, const Packets& packets) {
  std::vector<rt::H264Unit> out;
  for (const auto& p : packets) d.OnRtpPacket(p, out);
  return out;
}

// "header" / "key@ts" / "picture@ts"
std::vector<std::string> Describe(const std::vector<rt::H264Unit>& units) {
  std::vector<std::string> out;
  for (const auto& u : units) {
    out.push_back(u.kind == rt::H264Unit::Kind::kHeader
                      ? "header"
                      : (u.keyFrame ? "key@" : "picture@") + std::to_string(u.timestamp));
  }
  return out;
}

Bytes Rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload) {
  Bytes out;
  rt::AppendRtp(out, {marker, 96, seq, ts, 5}, payload);
  return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(H265RoundTrip, IrapPicturesAreKeyFramesAndTheHeaderComesFirst) {
  // Types: IDR_W_RADL, TRAIL_R, CRA, RASL_R, BLA_W_LP, IDR_N_LP, TRAIL_N.
  const std::vector<std::pair<uint8_t, bool>> cases = {
      {kIdr, true}, {kTrail, false}, {kCra, true}, {9, false}, {16, true}, {20, true}, {0, false}};
  rt::H264Packetizer p = Packetizer(1000);
  std::vector<Bytes> sent;
  Packets packets;
  uint32_t ts = 3000;
  for (const auto& [type, key] : cases) {
    // Fragmented slices; the IRAP ones with their parameter sets in band,
    // which go together in an aggregation packet.
    const Bytes slice = Slice(type, 2500, type);
    sent.push_back(key ? AnnexB({Vps(0), Sps(0), Pps(0), slice}) : AnnexB({slice}));
    for (auto& packet : Packetize(p, sent.back(), ts += 3000)) packets.push_back(packet);
  }
  // The first access unit: payload header type 48 (layer 0, TID 1), sizes
  // and units; then fragments: payload header type 49, S|E|type.
  Bytes ap = {rt::kH265Aggregation << 1, 1};
  for (const Bytes& set : {Vps(0), Sps(0), Pps(0)})
    ap = Cat(Cat(ap, {0, uint8_t(set.size())}), set);
  EXPECT_EQ(Bytes(packets[0].begin() + 12, packets[0].end()), ap);
  EXPECT_EQ(Bytes(packets[1].begin() + 12, packets[1].begin() + 15),
            (Bytes{rt::kH265Fragment << 1, 1, 0x80 | kIdr}));
  EXPECT_EQ(packets[3][14], 0x40 | kIdr);  // its last fragment
  EXPECT_TRUE(rt::ParseRtp(packets[3]).packet.header.marker);

  rt::H264Depacketizer d = Depacketizer();
  const auto units = Feed(d, packets);
  ASSERT_EQ(units.size(), cases.size() + 1);
  EXPECT_EQ(units[0].kind, rt::H264Unit::Kind::kHeader);
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0), Pps(0)}));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(units[i + 1].keyFrame, cases[i].second) << i;
    EXPECT_EQ(units[i + 1].data, sent[i]) << i;
  }
  EXPECT_EQ(d.stats().packetsLost + d.stats().malformed + d.stats().accessUnitsDropped, 0u);
}

TEST(H265RoundTrip, ParameterSetsAreKeptByIdAndAChangeSendsAHeader) {
  rt::H264Packetizer p = Packetizer(1400);
  rt::H264Depacketizer d = Depacketizer();
  // From the session description; units of other types are left out.
  d.SeedParameterSets(std::vector<Bytes>{Vps(0), Sps(0, 0, true), Pps(0), Slice(kTrail, 4, 1)});
  auto units = Feed(d, Packetize(p, AnnexB({Slice(kCra, 900, 1)}), 1));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@1"}));
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0, 0, true), Pps(0)}));
  // An SPS replaced under its id and a second PPS: one new header.
  units = Feed(d, Packetize(p, AnnexB({Sps(0, 7, true), Pps(0), Pps(3), Slice(kIdr, 900, 3)}), 3));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@3"}));
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0, 7, true), Pps(0), Pps(3)}));
  // Parameter sets between the slices of a picture would split it for a
  // decoder: noted, left out.
  const Bytes first = Slice(kIdr, 900, 4);
  const Bytes second = Slice(kIdr, 900, 5, false);
  units = Feed(d, Packetize(p, AnnexB({first, Vps(1), Sps(1), Pps(1), second}), 4));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@4"}));
  EXPECT_EQ(units[1].data, AnnexB({first, second}));
  EXPECT_EQ(d.stats().malformed, 0u);
}

TEST(H265Loss, BrokenOrLostPacketsDropPicturesUntilTheNextIrap) {
  // An IDR in three fragments (after its parameter sets), a trailing picture
  // in two, then a CRA after a gap. Each case changes the first two.
  const Bytes idr = Slice(kIdr, 2400, 1);
  const Bytes trail = Slice(kTrail, 2400, 2);
  const auto Fu = [](uint8_t se, uint8_t type, const Bytes& nal, size_t from, size_t n) {
    return Cat({rt::kH265Fragment << 1, 1, uint8_t(se | type)},
               Bytes(nal.begin() + 2 + long(from), nal.begin() + 2 + long(from + n)));
  };
  const size_t third = (idr.size() - 2) / 3;
  const Bytes idr1 = Fu(0x80, kIdr, idr, 0, third);
  const Bytes idr2 = Fu(0, kIdr, idr, third, third);
  const Bytes idr3 = Fu(0x40, kIdr, idr, 2 * third, idr.size() - 2 - 2 * third);
  const Bytes trail1 = Fu(0x80, kTrail, trail, 0, third);
  const Bytes trail2 = Fu(0x40, kTrail, trail, third, trail.size() - 2 - third);
  Bytes ap = {rt::kH265Aggregation << 1, 1};
  for (const Bytes& set : {Vps(0), Sps(0), Pps(0)})
    ap = Cat(Cat(ap, {0, uint8_t(set.size())}), set);
  const Bytes cra = Rtp(20, 9000, true, Slice(kCra, 500, 3));
  struct Case {
    const char* name;
    Packets packets;
    std::vector<std::string> delivered;
    uint64_t malformed, unsupported;
  };
  const std::vector<Case> cases = {
      {"whole",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 0, idr1), Rtp(3, 3000, 0, idr2), Rtp(4, 3000, 1, idr3),
        Rtp(5, 6000, 0, trail1), Rtp(6, 6000, 1, trail2), cra},
       {"header", "key@3000", "picture@6000", "key@9000"},
       0,
       0},
      {"a middle fragment lost",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 0, idr1), Rtp(4, 3000, 1, idr3), Rtp(5, 6000, 0, trail1),
        Rtp(6, 6000, 1, trail2), cra},
       {"header", "key@9000"},
       0,
       0},
      {"an end without its start",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 1, idr3), Rtp(3, 6000, 0, trail1),
        Rtp(4, 6000, 1, trail2), cra},
       {"header", "key@9000"},
       1,
       0},
      {"a fragment cut off by a single unit",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 0, idr1), Rtp(3, 3000, 1, Slice(kIdr, 50, 9, false)),
        cra},
       {"header", "key@9000"},
       1,
       0},
      {"an aggregated size past the packet's end",
       {Rtp(1, 3000, 0, {rt::kH265Aggregation << 1, 1, 0, 40, 0x40, 1, 2}), Rtp(2, 3000, 0, idr1),
        Rtp(3, 3000, 0, idr2), Rtp(4, 3000, 1, idr3), cra},
       {"key@9000"},
       1,
       0},
      {"a fragment inside an aggregation packet",
       {Rtp(1, 3000, 0, Cat({rt::kH265Aggregation << 1, 1, 0, 3}, idr1)), cra},
       {"key@9000"},
       1,
       0},
      {"PACI drops its picture, type 55 is ignored",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 1, {rt::kH265Paci << 1, 1, 0, 0}),
        Rtp(3, 6000, 0, {55 << 1, 1, 9}), Rtp(4, 6000, 1, Slice(kTrail, 50, 4)), cra},
       {"header", "key@9000"},
       0,
       2},
      {"after a gap, a picture without its first slice segment",
       {Rtp(1, 3000, 0, ap), Rtp(2, 3000, 1, Slice(kIdr, 50, 4)),
        Rtp(5, 6000, 1, Slice(kCra, 50, 5, false)), Rtp(6, 7000, 1, Slice(kCra, 50, 6))},
       {"header", "key@3000", "key@7000"},
       0,
       0},
  };
  for (const Case& c : cases) {
    rt::H264Depacketizer d = Depacketizer();
    EXPECT_EQ(Describe(Feed(d, c.packets)), c.delivered) << c.name;
    EXPECT_EQ(d.stats().malformed, c.malformed) << c.name;
    EXPECT_EQ(d.stats().unsupported, c.unsupported) << c.name;
  }
}
