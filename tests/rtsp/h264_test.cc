// H.264 over RTP: access units packetized and put back together byte for
// byte, parameter sets delivered as headers when they change, and loss,
// duplicates, malformed packets and oversized pictures handled as a stream
// client needs: nothing broken delivered, delivery resumed at a key frame.
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

// Writes the Exp-Golomb fields that start parameter sets and slices.
class BitWriter {
 public:
  void Bit(bool b) {
    if (used_ == 0) out_.push_back(0);
    if (b) out_.back() |= static_cast<uint8_t>(0x80 >> used_);
    used_ = (used_ + 1) % 8;
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t(v) + 1;
    int bits = 0;
    while ((x >> bits) > 1) ++bits;
    for (int i = 0; i < bits; ++i) Bit(false);
    for (int i = bits; i >= 0; --i) Bit((x >> i) & 1);
  }
  // Ones to the byte's end, then `filler` bytes that are never zero, so no
  // start code can appear inside a unit.
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

Bytes Sps(uint32_t id, uint32_t variant = 0) {
  BitWriter w;
  for (uint8_t b : {0x67, 0x42, 0xe0, 0x1f})
    for (int i = 7; i >= 0; --i) w.Bit((b >> i) & 1);
  w.Ue(id);
  return w.Finish(6, variant);
}

Bytes Pps(uint32_t id, uint32_t variant = 0) {
  BitWriter w;
  for (int i = 7; i >= 0; --i) w.Bit((0x68 >> i) & 1);
  w.Ue(id);
  w.Ue(0);
  return w.Finish(2, variant);
}

Bytes Slice(bool idr, size_t size, uint32_t seed, uint32_t firstMb = 0) {
  BitWriter w;
  const uint8_t header = idr ? 0x65 : 0x41;
  for (int i = 7; i >= 0; --i) w.Bit((header >> i) & 1);
  w.Ue(firstMb);
  return w.Finish(size, seed);
}

Bytes AnnexB(const std::vector<Bytes>& nals) {
  Bytes out;
  for (const auto& n : nals) rt::AppendAnnexB(out, n);
  return out;
}

// Packets of one access unit, from a packetizer that keeps its sequence.
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

// "header" / "key@ts" / "picture@ts", for comparing what was delivered.
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

Bytes Rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload, uint32_t ssrc = 1) {
  Bytes out;
  rt::AppendRtp(out, {marker, 96, seq, ts, ssrc}, payload);
  return out;
}

// A group of pictures per entry: IDR when true, else a P picture; sizes
// chosen so that each picture takes a few FU-A packets.
struct Stream {
  std::vector<Bytes> units;      // Annex-B access units
  std::vector<Packets> packets;  // per access unit
};

Stream MakeStream(const std::vector<bool>& keys, uint16_t firstSequence = 100,
                  size_t sliceSize = 3000) {
  rt::H264Packetizer p({1000, 96, 1, firstSequence, true});
  Stream s;
  uint32_t ts = 3000;
  for (size_t i = 0; i < keys.size(); ++i, ts += 3000) {
    const Bytes au = keys[i] ? AnnexB({Sps(0), Pps(0), Slice(true, sliceSize, uint32_t(i))})
                             : AnnexB({Slice(false, sliceSize, uint32_t(i))});
    s.units.push_back(au);
    s.packets.push_back(Packetize(p, au, ts));
  }
  return s;
}

Packets Flatten(const std::vector<Packets>& perUnit) {
  Packets all;
  for (const auto& u : perUnit) all.insert(all.end(), u.begin(), u.end());
  return all;
}

}  // namespace

TEST(AnnexB, SplitsOnThreeAndFourByteStartCodes) {
  const Bytes stream = {0xff, 0, 0,    1,    0x67, 0xaa, 0, 0, 0, 1, 0x68, 0,    0, 0,
                        0,    1, 0x65, 0x01, 0,    0,    1, 0, 0, 1, 0x41, 0x02, 0, 0};
  const auto units = rt::SplitAnnexB(stream);
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 0xaa}));
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68}));
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0x01}));
  EXPECT_EQ(Bytes(units[3].begin(), units[3].end()), (Bytes{0x41, 0x02}));
  EXPECT_TRUE(rt::SplitAnnexB(Bytes{0x65, 1, 2, 0, 0}).empty());
  EXPECT_TRUE(rt::SplitAnnexB(Bytes{0, 0, 1}).empty());
}

TEST(H264Packetizer, SendsSmallUnitsWholeLargeOnesInFragmentsAndMarksTheLast) {
  const Bytes sps = Sps(0);
  const Bytes pps = Pps(0);
  const Bytes idr = Slice(true, 5000, 1);
  const Bytes au = AnnexB({sps, pps, idr});

  rt::H264Packetizer alone({1400, 97, 0xabcdef01u, 65534, false});
  const Packets single = Packetize(alone, au, 90000);
  const size_t fragments = (idr.size() - 1 + 1397) / 1398;
  ASSERT_EQ(single.size(), 2 + fragments);
  for (size_t i = 0; i < single.size(); ++i) {
    const auto r = rt::ParseRtp(single[i]);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.packet.header.sequence, uint16_t(65534 + i)) << i;  // wraps after 65535
    EXPECT_EQ(r.packet.header.timestamp, 90000u);
    EXPECT_EQ(r.packet.header.payloadType, 97);
    EXPECT_EQ(r.packet.header.ssrc, 0xabcdef01u);
    EXPECT_EQ(r.packet.header.marker, i + 1 == single.size()) << i;
    EXPECT_LE(r.packet.payload.size(), 1400u);
    if (i < 2) {
      EXPECT_EQ(Bytes(r.packet.payload.begin(), r.packet.payload.end()), i == 0 ? sps : pps);
      continue;
    }
    // FU indicator keeps F and NRI; the FU header carries S, E and the type.
    EXPECT_EQ(r.packet.payload[0], (idr[0] & 0xe0) | rt::kNalFuA);
    EXPECT_EQ(r.packet.payload[1], (i == 2 ? 0x80 : 0) | (i + 1 == single.size() ? 0x40 : 0) | 5);
  }
  EXPECT_EQ(alone.nextSequence(), uint16_t(65534 + single.size()));

  // With aggregation, SPS and PPS share one STAP-A.
  rt::H264Packetizer together({1400, 96, 1, 0, true});
  const Packets packed = Packetize(together, au, 0);
  ASSERT_EQ(packed.size(), 1 + fragments);
  const auto stap = rt::ParseRtp(packed[0]).packet.payload;
  Bytes expected = {rt::kNalStapA | 0x60, 0, uint8_t(sps.size())};
  expected.insert(expected.end(), sps.begin(), sps.end());
  expected.insert(expected.end(), {0, uint8_t(pps.size())});
  expected.insert(expected.end(), pps.begin(), pps.end());
  EXPECT_EQ(Bytes(stap.begin(), stap.end()), expected);

  // Bounds of the payload budget, and an access unit with no unit at all.
  EXPECT_EQ(rt::H264Packetizer({1}).maxPayload(), rt::H264Packetizer::kMinPayload);
  EXPECT_EQ(rt::H264Packetizer({1 << 20}).maxPayload(), 65535u - rt::kRtpHeaderSize);
  Packets none;
  EXPECT_FALSE(together.Packetize(Bytes{0, 0, 0, 0}, 0, none));
  EXPECT_TRUE(none.empty());
}

TEST(H264RoundTrip, ReassemblesLargeKeyFramesAndDeliversTheHeaderFirst) {
  rt::H264Packetizer p({1400, 96, 7, 0, true});
  const Bytes key = AnnexB({Sps(0), Pps(0), Slice(true, 200000, 1)});
  const Bytes next = AnnexB({Slice(false, 4000, 2)});
  // Two slices in one picture, the second in a STAP-A-free single packet.
  const Bytes twoSlices = AnnexB({Slice(false, 3000, 3), Slice(false, 500, 4, 40)});
  Packets packets = Packetize(p, key, 3000);
  EXPECT_GT(packets.size(), 140u);
  const Packets more = Flatten({Packetize(p, next, 6000), Packetize(p, twoSlices, 9000)});
  packets.insert(packets.end(), more.begin(), more.end());

  rt::H264Depacketizer d;
  const auto units = Feed(d, packets);
  ASSERT_EQ(Describe(units),
            (std::vector<std::string>{"header", "key@3000", "picture@6000", "picture@9000"}));
  EXPECT_EQ(units[0].data, AnnexB({Sps(0), Pps(0)}));
  EXPECT_EQ(units[1].data, key);  // in-band parameter sets stay in the picture
  EXPECT_EQ(units[2].data, next);
  EXPECT_EQ(units[3].data, twoSlices);
  EXPECT_EQ(d.stats().packets, packets.size());
  EXPECT_EQ(d.stats().accessUnits, 3u);
  EXPECT_EQ(d.stats().headers, 1u);
  EXPECT_EQ(d.stats().packetsLost + d.stats().malformed + d.stats().accessUnitsDropped, 0u);
}

TEST(H264RoundTrip, ParameterSetsRepeatedBetweenSlicesStayOutOfThePicture) {
  // A sender that puts SPS and PPS before every slice of a key frame: in the
  // Annex-B picture they would split it in two for a decoder.
  rt::H264Packetizer p({1400, 96, 7, 0, true});
  const Bytes first = Slice(true, 2000, 1);
  const Bytes second = Slice(true, 2000, 2, 40);
  const Bytes sent = AnnexB({Sps(0), Pps(0), first, Sps(0), Pps(0), second});
  rt::H264Depacketizer d;
  const auto units = Feed(d, Packetize(p, sent, 3000));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@3000"}));
  EXPECT_EQ(units[1].data, AnnexB({Sps(0), Pps(0), first, second}));
  EXPECT_EQ(d.stats().malformed, 0u);

  // The same for a unit too large for one packet: in fragments, it is left
  // out as a whole.
  Bytes sei(600, 0x5a);
  sei[0] = 0x06;
  rt::H264Packetizer small({200, 96, 7, 0, false});
  rt::H264Depacketizer d2;
  const auto fragmented =
      Feed(d2, Packetize(small, AnnexB({Sps(0), Pps(0), first, sei, second}), 6000));
  ASSERT_EQ(Describe(fragmented), (std::vector<std::string>{"header", "key@6000"}));
  EXPECT_EQ(fragmented[1].data, AnnexB({Sps(0), Pps(0), first, second}));
}

TEST(H264RoundTrip, DeliversAHeaderWhenParameterSetsChange) {
  rt::H264Packetizer p({1400, 96, 7, 0, true});
  rt::H264Depacketizer d;
  // Seeded from the session description: a header before the first picture
  // even though the stream carries no parameter sets of its own.
  d.SeedParameterSets(std::vector<Bytes>{Sps(0), Pps(0), Slice(false, 3, 9)});
  auto units = Feed(d, Packetize(p, AnnexB({Slice(true, 900, 1)}), 1));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@1"}));
  EXPECT_EQ(units[0].data, AnnexB({Sps(0), Pps(0)}));

  // The same sets in band: no new header.
  units = Feed(d, Packetize(p, AnnexB({Sps(0), Pps(0), Slice(true, 900, 2)}), 2));
  EXPECT_EQ(Describe(units), (std::vector<std::string>{"key@2"}));
  // A new SPS under the same id (a resolution change) and a second PPS.
  units = Feed(d, Packetize(p, AnnexB({Sps(0, 5), Pps(0), Pps(1), Slice(true, 900, 3)}), 3));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "key@3"}));
  EXPECT_EQ(units[0].data, AnnexB({Sps(0, 5), Pps(0), Pps(1)}));
  // Parameter sets alone in their own access unit (own timestamp) are noted,
  // and the header goes out with the next picture.
  units = Feed(d, Packetize(p, AnnexB({Sps(1)}), 4));
  EXPECT_TRUE(units.empty());
  units = Feed(d, Packetize(p, AnnexB({Slice(false, 900, 5)}), 5));
  ASSERT_EQ(Describe(units), (std::vector<std::string>{"header", "picture@5"}));
  EXPECT_EQ(units[0].data, AnnexB({Sps(0, 5), Sps(1), Pps(0), Pps(1)}));

  // After a reset (a new PLAY) the header is delivered again, before a key frame.
  d.Reset();
  rt::H264Packetizer again({1400, 96, 9, 5000, true});
  units = Feed(d, Flatten({Packetize(again, AnnexB({Slice(false, 900, 6)}), 6),
                           Packetize(again, AnnexB({Slice(true, 900, 7)}), 7)}));
  EXPECT_EQ(Describe(units), (std::vector<std::string>{"header", "key@7"}));
}

TEST(H264Loss, ALostFragmentDropsPicturesUntilTheNextKeyFrame) {
  const Stream s = MakeStream({true, false, false, true, false});
  ASSERT_GE(s.packets[1].size(), 3u);
  std::vector<Packets> lossy = s.packets;
  lossy[1].erase(lossy[1].begin() + 1);  // the middle of an FU-A

  rt::H264Depacketizer d;
  const auto units = Feed(d, Flatten(lossy));
  EXPECT_EQ(Describe(units),
            (std::vector<std::string>{"header", "key@3000", "key@12000", "picture@15000"}));
  EXPECT_EQ(units[2].data, s.units[3]);
  EXPECT_EQ(d.stats().packetsLost, 1u);
  EXPECT_EQ(d.stats().accessUnitsDropped, 2u);
  EXPECT_EQ(d.stats().accessUnits, 3u);
}

TEST(H264Loss, ThePictureAfterAGapIsKeptOnlyIfItsBeginningArrived) {
  // The whole picture before a key frame lost: the key frame still begins at
  // its first slice, and is delivered.
  Stream s = MakeStream({true, false, false, true, false});
  std::vector<Packets> lossy = s.packets;
  lossy[2].clear();
  rt::H264Depacketizer d;
  EXPECT_EQ(Describe(Feed(d, Flatten(lossy))),
            (std::vector<std::string>{"header", "key@3000", "picture@6000", "key@12000",
                                      "picture@15000"}));
  EXPECT_EQ(d.stats().packetsLost, s.packets[2].size());
  EXPECT_EQ(d.stats().accessUnitsDropped, 0u);

  // The last packet of a picture lost (its marker with it): that picture and
  // the next are dropped.
  lossy = s.packets;
  lossy[1].pop_back();
  rt::H264Depacketizer d2;
  EXPECT_EQ(Describe(Feed(d2, Flatten(lossy))),
            (std::vector<std::string>{"header", "key@3000", "key@12000", "picture@15000"}));
  EXPECT_EQ(d2.stats().accessUnitsDropped, 2u);

  // A key frame of two slices whose first slice was lost: not delivered.
  rt::H264Packetizer p({1000, 96, 1, 0, true});
  const Packets first = Packetize(p, AnnexB({Slice(true, 900, 1)}), 1);
  const Packets lostSlice = Packetize(p, AnnexB({Slice(true, 2500, 2)}), 2);
  const size_t lostCount = lostSlice.size();
  Packets secondSlice = Packetize(p, AnnexB({Slice(true, 2500, 3, 99)}), 2);
  const Packets later = Flatten({Packetize(p, AnnexB({Slice(false, 900, 4)}), 3),
                                 Packetize(p, AnnexB({Slice(true, 900, 5)}), 4)});
  rt::H264Depacketizer d3;
  d3.SeedParameterSets(std::vector<Bytes>{Sps(0), Pps(0)});
  EXPECT_EQ(Describe(Feed(d3, Flatten({first, secondSlice, later}))),
            (std::vector<std::string>{"header", "key@1", "key@4"}));
  EXPECT_EQ(d3.stats().packetsLost, lostCount);
  EXPECT_EQ(d3.stats().accessUnitsDropped, 2u);
}

TEST(H264Loss, SequenceNumbersWrapAndLossAcrossTheWrapIsSeen) {
  const Stream s = MakeStream({true, false, false, false, true, false}, 65530);
  const Packets all = Flatten(s.packets);
  ASSERT_GT(all.size(), 7u);  // crosses 65535 -> 0
  rt::H264Depacketizer d;
  EXPECT_EQ(Feed(d, all).size(), 7u);  // header and six pictures
  EXPECT_EQ(d.stats().packetsLost, 0u);
  EXPECT_EQ(d.stats().accessUnitsDropped, 0u);

  Packets lossy;
  for (const auto& p : all) {
    if (rt::ParseRtp(p).packet.header.sequence != 0) lossy.push_back(p);
  }
  ASSERT_EQ(lossy.size(), all.size() - 1);
  rt::H264Depacketizer d2;
  Feed(d2, lossy);
  EXPECT_EQ(d2.stats().packetsLost, 1u);
  EXPECT_GE(d2.stats().accessUnitsDropped, 1u);
}

TEST(H264Loss, DuplicatesAndOldPacketsAreIgnored) {
  const Stream s = MakeStream({true, false, false});
  const Packets all = Flatten(s.packets);
  Packets doubled;
  for (const auto& p : all) {
    doubled.push_back(p);
    doubled.push_back(p);
  }
  doubled.push_back(all[1]);  // long after: old
  rt::H264Depacketizer once;
  rt::H264Depacketizer twice;
  const auto a = Feed(once, all);
  const auto b = Feed(twice, doubled);
  ASSERT_EQ(Describe(a), Describe(b));
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].data, b[i].data);
  EXPECT_EQ(twice.stats().duplicates, all.size() + 1);
  EXPECT_EQ(twice.stats().packetsLost, 0u);
}

TEST(H264Loss, AStreamJoinedBetweenKeyFramesWaitsForOne) {
  const Stream s = MakeStream({false, false, true, false});
  rt::H264Depacketizer d;
  EXPECT_EQ(Describe(Feed(d, Flatten(s.packets))),
            (std::vector<std::string>{"header", "key@9000", "picture@12000"}));
  EXPECT_EQ(d.stats().accessUnitsDropped, 2u);

  // A new SSRC is a new sequence: the picture in progress is dropped.
  rt::H264Depacketizer d2;
  Packets mixed = Flatten({s.packets[2]});
  const uint16_t next =
      static_cast<uint16_t>(rt::ParseRtp(mixed.back()).packet.header.sequence + 1);
  mixed.push_back(Rtp(next, 99, false, Slice(false, 50, 1)));  // left open
  mixed.push_back(Rtp(7, 99, true, Slice(true, 50, 2), 2));
  const auto units = Feed(d2, mixed);
  EXPECT_EQ(Describe(units), (std::vector<std::string>{"header", "key@9000"}));
  EXPECT_EQ(d2.stats().resyncs, 1u);
  EXPECT_EQ(d2.stats().duplicates, 0u);
  EXPECT_EQ(d2.stats().accessUnitsDropped, 1u);
}

TEST(H264Depacketizer, ATimestampChangeEndsAPictureWithoutAMarker) {
  const Stream s = MakeStream({true, false, false});
  rt::H264Depacketizer d;
  std::vector<size_t> deliveredAfter;
  std::vector<rt::H264Unit> out;
  for (const auto& unit : s.packets) {
    for (auto p : unit) {
      p[1] &= 0x7f;  // no marker
      d.OnRtpPacket(p, out);
    }
    deliveredAfter.push_back(out.size());
  }
  // Each picture comes out when the next one starts; the last is still open.
  EXPECT_EQ(deliveredAfter, (std::vector<size_t>{0, 2, 3}));
  EXPECT_EQ(out[1].data, s.units[0]);
  EXPECT_EQ(out[2].data, s.units[1]);
}

TEST(H264Depacketizer, MalformedAggregatesAndFragmentsBreakOnlyTheirPicture) {
  const Bytes idr = Slice(true, 40, 1);
  const Bytes p = Slice(false, 40, 2);
  auto fu = [](uint8_t header, uint8_t type, const Bytes& body) {
    Bytes out = {uint8_t(0x60 | rt::kNalFuA), uint8_t(header | type)};
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  struct Case {
    const char* what;
    std::vector<Bytes> payloads;  // one picture's packets
    uint64_t malformed;
    uint64_t unsupported;
  };
  const Case cases[] = {
      {"FU end without its start", {fu(0x40, 5, {1, 2})}, 1, 0},
      {"FU middle of another type", {fu(0x80, 5, {1, 2}), fu(0x40, 1, {3})}, 1, 0},
      {"FU cut off by a single unit", {fu(0x80, 5, {1, 2}), p}, 1, 0},
      {"FU started twice", {fu(0x80, 5, {1}), fu(0x80, 5, {2}), fu(0x40, 5, {3})}, 1, 0},
      {"FU never ended", {fu(0x80, 5, {1, 2})}, 1, 0},
      {"FU of a reserved type", {fu(0xc0, 30, {1})}, 1, 0},
      {"FU without its header", {Bytes{0x7c}}, 1, 0},
      {"STAP-A unit past the end", {Bytes{0x78, 0, 9, 0x65, 1}}, 1, 0},
      {"STAP-A unit of size 0", {Bytes{0x78, 0, 0, 0, 2, 0x65, 1}}, 1, 0},
      {"STAP-A size cut off", {Bytes{0x78, 0, 2, 0x65, 1, 0}}, 1, 0},
      {"STAP-A holding a STAP-A", {Bytes{0x78, 0, 2, 0x78, 1}}, 1, 0},
      {"MTAP16", {Bytes{0x7a, 1, 2, 3}, idr}, 0, 1},
      {"FU-B", {Bytes{0x7d, 0x85, 0, 1, 2}}, 0, 1},
  };
  for (const auto& c : cases) {
    rt::H264Depacketizer d;
    std::vector<rt::H264Unit> out;
    uint16_t seq = 1;
    for (size_t i = 0; i < c.payloads.size(); ++i)
      d.OnRtpPacket(Rtp(seq++, 10, i + 1 == c.payloads.size(), c.payloads[i]), out);
    d.OnRtpPacket(Rtp(seq++, 20, true, idr), out);
    EXPECT_EQ(Describe(out), std::vector<std::string>{"key@20"}) << c.what;
    EXPECT_EQ(d.stats().malformed, c.malformed) << c.what;
    EXPECT_EQ(d.stats().unsupported, c.unsupported) << c.what;
    EXPECT_EQ(d.stats().accessUnitsDropped, 1u) << c.what;
  }

  // Reserved types 0, 30 and 31 carry nothing of the stream: ignored.
  rt::H264Depacketizer d;
  std::vector<rt::H264Unit> out;
  d.OnRtpPacket(Rtp(1, 10, false, Bytes{0x1e, 1}), out);
  d.OnRtpPacket(Rtp(2, 10, false, Bytes{}), out);
  d.OnRtpPacket(Rtp(3, 10, true, idr), out);
  EXPECT_EQ(Describe(out), std::vector<std::string>{"key@10"});
  EXPECT_EQ(d.stats().unsupported, 1u);
  EXPECT_EQ(d.stats().malformed, 1u);  // the empty payload
}

TEST(H264Depacketizer, DropsOversizedPicturesAndOtherPayloadTypes) {
  rt::H264DepacketizerOptions options;
  options.maxAccessUnit = 10000;
  options.payloadType = 96;
  rt::H264Depacketizer d(options);
  rt::H264Packetizer p({1400, 96, 1, 0, true});
  const Packets packets = Flatten({Packetize(p, AnnexB({Slice(true, 20000, 1)}), 1),
                                   Packetize(p, AnnexB({Slice(false, 500, 2)}), 2),
                                   Packetize(p, AnnexB({Slice(true, 9000, 3)}), 3)});
  std::vector<rt::H264Unit> out;
  for (const auto& packet : packets) {
    d.OnRtpPacket(packet, out);
    Bytes other = packet;
    other[1] = static_cast<uint8_t>((other[1] & 0x80) | 97);
    d.OnRtpPacket(other, out);
    d.OnRtpPacket(Bytes{0x40, 0, 0}, out);  // not RTP
  }
  EXPECT_EQ(Describe(out), std::vector<std::string>{"key@3"});
  EXPECT_EQ(d.stats().oversize, 1u);
  EXPECT_EQ(d.stats().accessUnitsDropped, 2u);
  EXPECT_EQ(d.stats().otherPayloadType, packets.size());
  EXPECT_EQ(d.stats().invalidRtp, packets.size());
  EXPECT_EQ(d.stats().packets, 3 * packets.size());
}

// The session hands each read's units back (Recycle) for their buffers to be
// reused: what is delivered must be exactly what a run without reuse
// delivers, whatever the buffers held before (large key frames, a broken
// picture, a header change), and a buffer must come back with its capacity.
TEST(H264Depacketizer, BuffersTakenBackAreReusedWithoutTheirOldBytes) {
  const Stream s = MakeStream({true, false, false, true, false, false}, 100, 30000);
  std::vector<Packets> lossy = s.packets;
  lossy[1].erase(lossy[1].begin() + 1);
  size_t sent = 0;
  for (const auto& au : s.packets) sent += au.size();
  rt::H264Packetizer p({1000, 96, 1, static_cast<uint16_t>(100 + sent), true});
  lossy.push_back(Packetize(p, AnnexB({Sps(0, 5), Pps(0), Slice(true, 500, 9)}), 99000));
  lossy.push_back(Packetize(p, AnnexB({Slice(false, 200, 10)}), 102000));
  const Packets packets = Flatten(lossy);

  rt::H264Depacketizer plain;
  const auto expected = Feed(plain, packets);
  ASSERT_GE(expected.size(), 6u);

  rt::H264Depacketizer reusing;
  std::vector<rt::H264Unit> got;
  std::vector<rt::H264Unit> batch;
  for (const auto& packet : packets) {
    reusing.OnRtpPacket(packet, batch);
    for (const auto& unit : batch)
      got.push_back({unit.kind, unit.keyFrame, unit.timestamp, unit.data});
    if (packet == packets.back()) {
      ASSERT_EQ(batch.size(), 1u);
      EXPECT_GE(batch[0].data.capacity(), s.units[1].size())
          << "the last, small picture was assembled in a buffer that held a large one";
    }
    reusing.Recycle(batch);
    EXPECT_TRUE(batch.empty());
  }
  ASSERT_EQ(Describe(got), Describe(expected));
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].data, expected[i].data) << i;
}
