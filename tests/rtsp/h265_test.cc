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

// Two-byte NAL header: type, layer 0, TID 1.
void Header(BitWriter& w, uint8_t type) {
  w.Bits(type << 1, 8);
  w.Bits(1, 8);
}

Bytes Vps(uint32_t id, uint32_t variant = 0) {
  BitWriter w;
  Header(w, rt::kH265Vps);
  w.Bits(id, 4);
  w.Bits(0xf, 4);
  return w.Finish(8, variant);
}

// With subLayers, one sub-layer whose profile and level are both present,
// so the id sits behind the longer profile_tier_level.
Bytes Sps(uint32_t id, uint32_t variant = 0, bool subLayers = false) {
  BitWriter w;
  Header(w, rt::kH265Sps);
  w.Bits(0, 4);  // VPS id
  w.Bits(subLayers ? 1 : 0, 3);
  w.Bit(true);             // temporal id nesting
  w.Bits(0x01600000, 32);  // general profile
  w.Bits(0x90000000, 32);  // compatibility and constraint flags
  w.Bits(0, 24);           // constraint flags
  w.Bits(0x5d, 8);         // level 93
  if (subLayers) {
    w.Bits(0b11, 2);         // sub-layer profile and level present
    w.Bits(0, 14);           // reserved to eight sub-layers
    w.Bits(0x01600000, 32);  // sub-layer profile
    w.Bits(0x90000000, 32);
    w.Bits(0x0000, 24);
    w.Bits(0x5a, 8);  // sub-layer level
  }
  w.Ue(id);
  return w.Finish(10, variant);
}

Bytes Pps(uint32_t id, uint32_t variant = 0) {
  BitWriter w;
  Header(w, rt::kH265Pps);
  w.Ue(id);
  w.Ue(0);
  return w.Finish(3, variant);
}

Bytes Slice(uint8_t type, size_t size, uint32_t seed, bool firstInPicture = true) {
  BitWriter w;
  Header(w, type);
  w.Bit(firstInPicture);
  return w.Finish(size, seed);
}

constexpr uint8_t kTrail = 1;
constexpr uint8_t kBla = 16;
constexpr uint8_t kIdr = 19;
constexpr uint8_t kCra = 21;
constexpr uint8_t kRasl = 8;

Bytes AnnexB(const std::vector<Bytes>& nals) {
  Bytes out;
  for (const auto& n : nals) rt::AppendAnnexB(out, n);
  return out;
}

rt::H264PacketizerOptions PacketizerOptions(size_t maxPayload, uint16_t firstSequence = 0) {
  rt::H264PacketizerOptions o;
  o.maxPayload = maxPayload;
  o.ssrc = 5;
  o.firstSequence = firstSequence;
  o.codec = rt::VideoCodec::kH265;
  return o;
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

std::vector<std::string> Describe(const std::vector<rt::H264Unit>& units) {
  std::vector<std::string> out;
  for (const auto& u : units) {
    if (u.kind == rt::H264Unit::Kind::kHeader) {
      out.push_back("header");
    } else {
      out.push_back((u.keyFrame ? "key@" : "picture@") + std::to_string(u.timestamp));
    }
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

TEST(H265Packetizer, AggregatesParameterSetsAndFragmentsLargeUnits) {
  const Bytes idr = Slice(kIdr, 3000, 1);
  rt::H264Packetizer p(PacketizerOptions(1000));
  const Packets packets = Packetize(p, AnnexB({Vps(0), Sps(0), Pps(0), idr}), 90);
  const size_t fragments = (idr.size() - 2 + 996) / 997;
  ASSERT_EQ(packets.size(), 1 + fragments);
  // Aggregation packet: payload header of type 48 (layer 0, TID 1), then
  // each unit behind its 16-bit size.
  const auto ap = rt::ParseRtp(packets[0]).packet.payload;
  Bytes expected = {rt::kH265Aggregation << 1, 1};
  for (const Bytes& set : {Vps(0), Sps(0), Pps(0)})
    expected = Cat(Cat(expected, {0, uint8_t(set.size())}), set);
  EXPECT_EQ(Bytes(ap.begin(), ap.end()), expected);
  for (size_t i = 1; i < packets.size(); ++i) {
    const auto r = rt::ParseRtp(packets[i]);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.packet.header.marker, i + 1 == packets.size());
    EXPECT_LE(r.packet.payload.size(), 1000u);
    // Payload header of type 49, then S|E|type.
    EXPECT_EQ(r.packet.payload[0], rt::kH265Fragment << 1);
    EXPECT_EQ(r.packet.payload[1], 1);
    EXPECT_EQ(r.packet.payload[2],
              (i == 1 ? 0x80 : 0) | (i + 1 == packets.size() ? 0x40 : 0) | kIdr);
  }
}

TEST(H265RoundTrip, IrapPicturesAreKeyFramesAndTheHeaderComesFirst) {
  struct Case {
    uint8_t type;
    bool key;
  };
  const std::vector<Case> cases = {{kIdr, true}, {kTrail, false}, {kCra, true}, {kRasl, false},
                                   {kBla, true}, {20, true},      {0, false},   {9, false}};
  rt::H264Packetizer p(PacketizerOptions(1200, 65530));  // the sequence wraps
  rt::H264Depacketizer d = Depacketizer();
  std::vector<Bytes> sent;
  Packets packets;
  uint32_t ts = 3000;
  for (const Case& c : cases) {
    // A few fragments each, the IRAP ones with their parameter sets in band.
    const Bytes slice = Slice(c.type, 2500, c.type);
    sent.push_back(c.key ? AnnexB({Vps(0), Sps(0), Pps(0), slice}) : AnnexB({slice}));
    for (auto& packet : Packetize(p, sent.back(), ts)) packets.push_back(packet);
    ts += 3000;
  }
  const auto units = Feed(d, packets);
  ASSERT_EQ(units.size(), cases.size() + 1);
  EXPECT_EQ(units[0].kind, rt::H264Unit::Kind::kHeader);
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0), Pps(0)}));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(units[i + 1].keyFrame, cases[i].key) << i;
    EXPECT_EQ(units[i + 1].data, sent[i]) << i;
  }
  EXPECT_EQ(d.stats().headers, 1u);
  EXPECT_EQ(d.stats().packetsLost + d.stats().malformed + d.stats().accessUnitsDropped, 0u);
}

TEST(H265RoundTrip, ParameterSetsAreKeptByIdAndAChangeSendsAHeader) {
  rt::H264Packetizer p(PacketizerOptions(1400));
  rt::H264Depacketizer d = Depacketizer();
  // From the session description, with units of other types left out.
  d.SeedParameterSets(std::vector<Bytes>{Vps(0), Sps(0, 0, true), Pps(0), Slice(kTrail, 4, 1)});
  auto units = Feed(d, Packetize(p, AnnexB({Slice(kCra, 900, 1)}), 1));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@1"}));
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0, 0, true), Pps(0)}));

  // The same sets in band, then an SPS replaced under its id (behind the
  // longer profile_tier_level too) and a second PPS: one new header.
  units = Feed(d, Packetize(p, AnnexB({Vps(0), Sps(0, 0, true), Pps(0), Slice(kIdr, 900, 2)}), 2));
  EXPECT_EQ(Describe(units), (std::vector<std::string>{"key@2"}));
  units = Feed(d, Packetize(p, AnnexB({Sps(0, 7, true), Pps(0), Pps(3), Slice(kIdr, 900, 3)}), 3));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@3"}));
  EXPECT_EQ(units[0].data, AnnexB({Vps(0), Sps(0, 7, true), Pps(0), Pps(3)}));

  // Parameter sets repeated between the slices of a picture would split it
  // for a decoder: they are noted and left out.
  const Bytes first = Slice(kIdr, 900, 4);
  const Bytes second = Slice(kIdr, 900, 5, false);
  units = Feed(d, Packetize(p, AnnexB({first, Vps(1), Sps(1), Pps(1), second}), 4));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@4"}));
  EXPECT_EQ(units[1].data, AnnexB({first, second}));
  EXPECT_EQ(d.stats().malformed, 0u);
}

TEST(H265Loss, BrokenOrLostPacketsDropPicturesUntilTheNextIrap) {
  // Three pictures: an IDR of three fragments, a trailing picture of three,
  // then a CRA in one packet. Each case changes the packets of the first two.
  const Bytes idr = Slice(kIdr, 2500, 1);
  const Bytes trail = Slice(kTrail, 2500, 2);
  const Bytes cra = AnnexB({Slice(kCra, 500, 3)});
  const Bytes fu = {rt::kH265Fragment << 1, 1};
  const auto Fragment = [&](uint8_t fuHeader, uint8_t type, size_t from, size_t n,
                            const Bytes& nal) {
    return Cat(Cat(fu, {uint8_t(fuHeader | type)}),
               Bytes(nal.begin() + 2 + long(from), nal.begin() + 2 + long(from + n)));
  };
  struct Case {
    const char* name;
    Packets packets;  // sequence numbers 1.. in order unless a gap is meant
    std::vector<std::string> delivered;
    uint64_t malformed;
    uint64_t unsupported;
  };
  const size_t third = (idr.size() - 2) / 3;
  const Bytes idrStart = Fragment(0x80, kIdr, 0, third, idr);
  const Bytes idrMiddle = Fragment(0, kIdr, third, third, idr);
  const Bytes idrEnd = Fragment(0x40, kIdr, 2 * third, idr.size() - 2 - 2 * third, idr);
  const Bytes trailStart = Fragment(0x80, kTrail, 0, third, trail);
  const Bytes trailEnd = Fragment(0x40, kTrail, third, trail.size() - 2 - third, trail);
  const Bytes ap = Cat(Cat(Bytes{rt::kH265Aggregation << 1, 1, 0, uint8_t(Vps(0).size())}, Vps(0)),
                       Cat(Cat(Bytes{0, uint8_t(Sps(0).size())}, Sps(0)),
                           Cat(Bytes{0, uint8_t(Pps(0).size())}, Pps(0))));
  const Bytes craPacket = Rtp(20, 9000, true, Bytes(cra.begin() + 4, cra.end()));
  const std::vector<Case> cases = {
      {"whole",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, false, idrStart), Rtp(3, 3000, false, idrMiddle),
        Rtp(4, 3000, true, idrEnd), Rtp(5, 6000, false, trailStart), Rtp(6, 6000, true, trailEnd),
        craPacket},
       {"header", "key@3000", "picture@6000", "key@9000"},
       0,
       0},
      {"a lost middle fragment",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, false, idrStart), Rtp(4, 3000, true, idrEnd),
        Rtp(5, 6000, false, trailStart), Rtp(6, 6000, true, trailEnd), craPacket},
       {"header", "key@9000"},
       0,
       0},
      {"an end without its start",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, true, idrEnd), Rtp(3, 6000, false, trailStart),
        Rtp(4, 6000, true, trailEnd), craPacket},
       {"header", "key@9000"},
       1,
       0},
      {"a fragment cut off by a single unit",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, false, idrStart),
        Rtp(3, 3000, true, Slice(kIdr, 50, 9, false)), Rtp(4, 6000, false, trailStart),
        Rtp(5, 6000, true, trailEnd), craPacket},
       {"header", "key@9000"},
       1,
       0},
      {"an aggregation packet whose size runs past its end",
       {Rtp(1, 3000, false, Bytes{rt::kH265Aggregation << 1, 1, 0, 40, 0x40, 1, 2}),
        Rtp(2, 3000, false, idrStart), Rtp(3, 3000, false, idrMiddle), Rtp(4, 3000, true, idrEnd),
        craPacket},
       {"key@9000"},  // no VPS/SPS/PPS were ever seen for that picture
       1,
       0},
      {"an aggregation packet holding a fragment",
       {Rtp(1, 3000, false, Cat(Bytes{rt::kH265Aggregation << 1, 1, 0, 3}, idrStart)), craPacket},
       {"key@9000"},
       1,
       0},
      {"PACI: picture data not unwrapped",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, true, Bytes{rt::kH265Paci << 1, 1, 0, 0}),
        Rtp(3, 6000, true, Slice(kTrail, 50, 4)), craPacket},
       {"header", "key@9000"},
       0,
       1},
      {"unspecified type 55 ignored",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, false, Bytes{55 << 1, 1, 9}),
        Rtp(3, 3000, true, Slice(kIdr, 50, 4))},
       {"header", "key@3000"},
       0,
       1},
      {"after a gap, a picture without its first slice segment",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, true, Slice(kIdr, 50, 4)),
        Rtp(5, 6000, true, Slice(kCra, 50, 5, false)), craPacket},
       {"header", "key@3000", "key@9000"},
       0,
       0},
      {"after a gap, an IRAP that begins whole",
       {Rtp(1, 3000, false, ap), Rtp(2, 3000, true, Slice(kIdr, 50, 4)),
        Rtp(5, 6000, true, Slice(kCra, 50, 5)), Rtp(6, 7000, true, Slice(kTrail, 50, 6))},
       {"header", "key@3000", "key@6000", "picture@7000"},
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
