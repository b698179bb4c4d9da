// Feeds arbitrary RTP packets to the H.264 depacketizer (in its H.264 or,
// settings bit 4, its H.265 mode): the input is a settings byte, then
// packets each behind a 16-bit big-endian length. Checks
// what comes out (Annex-B, within the size bound, a key frame first, counts
// that match), and that an access unit made of the input's bytes survives
// the packetizer and the depacketizer unchanged.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tmcc/rtsp/codec/annexb.h"
#include "tmcc/rtsp/codec/h264_depacketizer.h"
#include "tmcc/rtsp/codec/h264_packetizer.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool StartsWithStartCode(const std::vector<uint8_t>& d) {
  return d.size() > 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1;
}

void CheckOutput(const rt::H264Depacketizer& d, const std::vector<rt::H264Unit>& out,
                 size_t maxAccessUnit) {
  uint64_t pictures = 0;
  uint64_t headers = 0;
  for (const auto& u : out) {
    Check(StartsWithStartCode(u.data));
    if (u.kind == rt::H264Unit::Kind::kHeader) {
      ++headers;
      continue;
    }
    Check(u.data.size() <= maxAccessUnit);
    // Delivery starts at a key frame.
    if (pictures++ == 0) Check(u.keyFrame);
  }
  Check(d.stats().accessUnits == pictures && d.stats().headers == headers);
  Check(d.stats().oversize <= d.stats().accessUnitsDropped);
}

// The input as one access unit: packetized and depacketized, it must come
// back as its units behind four-byte start codes, when it is something the
// depacketizer delivers (a key frame of plain NAL unit types) and fits.
void RoundTrip(std::span<const uint8_t> bytes, size_t mtu, rt::VideoCodec codec) {
  const bool h265 = codec == rt::VideoCodec::kH265;
  const auto units = rt::SplitAnnexB(bytes);
  bool key = false;
  bool slice = false;
  std::vector<uint8_t> expected;
  for (const auto& u : units) {
    bool isSlice = false;
    bool beforeSlice = false;
    if (h265) {
      const uint8_t type = rt::H265NalType(u[0]);
      if (u.size() < 2 || type >= rt::kH265Aggregation) return;
      key = key || (type >= rt::kH265IrapFirst && type <= rt::kH265IrapLast);
      isSlice = type <= 31;
      beforeSlice = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44);
    } else {
      const uint8_t type = rt::NalType(u[0]);
      if (type == 0 || type > 23) return;
      key = key || type == rt::kNalIdr;
      isSlice = type >= 1 && type <= 5;
      beforeSlice = type >= 6 && type <= 9;
    }
    // SEI, parameter sets and delimiters after the first slice are taken but
    // left out of the picture.
    if (slice && beforeSlice) continue;
    slice = slice || isSlice;
    rt::AppendAnnexB(expected, u);
  }
  if (!key) return;
  rt::H264Packetizer packetizer({mtu, 96, 1, 65500, (mtu & 1) != 0, codec});
  std::vector<std::vector<uint8_t>> packets;
  Check(packetizer.Packetize(bytes, 1234, packets));
  rt::H264DepacketizerOptions options;
  options.codec = codec;
  rt::H264Depacketizer d(options);
  std::vector<rt::H264Unit> out;
  for (const auto& p : packets) {
    Check(p.size() <= rt::kRtpHeaderSize + packetizer.maxPayload());
    d.OnRtpPacket(p, out);
  }
  Check(!out.empty());
  const auto& picture = out.back();
  Check(picture.kind == rt::H264Unit::Kind::kPicture && picture.keyFrame);
  Check(picture.timestamp == 1234 && picture.data == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[0];
  rt::H264DepacketizerOptions options;
  options.maxAccessUnit = (settings & 1) ? 4096 : rt::kDefaultMaxAccessUnit;
  if (settings & 2) options.payloadType = 96;
  if (settings & 16) options.codec = rt::VideoCodec::kH265;
  rt::H264Depacketizer d(options);
  if (settings & 4) {
    const std::vector<std::vector<uint8_t>> seeds = {{0x67, 0x42, 0xe0, 0x1f, 0xda},
                                                     {0x68, 0xce, 0x3c, 0x80},
                                                     {0x40, 0x01, 0x0c, 0x01},
                                                     {0x42, 0x01, 0x01, 0x01, 0x60},
                                                     {0x44, 0x01, 0xc1}};
    d.SeedParameterSets(seeds);
  }

  std::vector<rt::H264Unit> out;
  std::span<const uint8_t> rest(data + 1, size - 1);
  while (rest.size() >= 2) {
    const size_t length = size_t(rest[0]) << 8 | rest[1];
    rest = rest.subspan(2);
    const auto packet = rest.first(length < rest.size() ? length : rest.size());
    d.OnRtpPacket(packet, out);
    rest = rest.subspan(packet.size());
    if ((settings & 8) && rest.size() % 7 == 0) d.Reset();
  }
  if (!(settings & 8)) CheckOutput(d, out, options.maxAccessUnit);

  RoundTrip(std::span<const uint8_t>(data + 1, size - 1), 16 + settings, options.codec);
  return 0;
}
