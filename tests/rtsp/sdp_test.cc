// Session descriptions as cameras write them: the H.264 tracks found, their
// controls resolved, parameter sets decoded, and what cannot be used refused.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "tmcc/rtsp/codec/sdp.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

const std::vector<uint8_t> kSps = {0x67, 0x42, 0xe0, 0x1f, 0xda, 0x02, 0x80, 0xbf, 0xe5};
const std::vector<uint8_t> kPps = {0x68, 0xce, 0x3c, 0x80};

// A camera's answer: an audio track first, then video with two formats.
const char kCamera[] =
    "v=0\r\n"
    "o=- 1 1 IN IP4 192.0.2.10\r\n"
    "s=Live\r\n"
    "t=0 0\r\n"
    "a=control:*\r\n"
    "m=audio 0 RTP/AVP 0\r\n"
    "a=control:trackID=0\r\n"
    "m=video 0 RTP/AVP 98 96\r\n"
    "a=rtpmap:98 MP4V-ES/90000\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 profile-level-id=42E01F; packetization-mode=1;"
    "sprop-parameter-sets=Z0LgH9oCgL/l,aM48gA==\r\n"
    "a=control:trackID=1\r\n";

}  // namespace

TEST(Sdp, FindsTheH264TrackAndResolvesItsControl) {
  const auto r = rt::ParseSdp(kCamera, "rtsp://192.0.2.10/live/");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.description.control, "rtsp://192.0.2.10/live/");
  ASSERT_EQ(r.description.videoTracks.size(), 1u);
  const rt::H264Track& t = r.description.videoTracks[0];
  EXPECT_EQ(t.control, "rtsp://192.0.2.10/live/trackID=1");
  EXPECT_EQ(t.payloadType, 96);
  EXPECT_EQ(t.clockRate, 90000u);
  EXPECT_EQ(t.packetizationMode, 1);
  EXPECT_EQ(t.profileLevelId, 0x42e01fu);
  EXPECT_EQ(t.parameterSets, (std::vector<std::vector<uint8_t>>{kSps, kPps}));
}

TEST(Sdp, TakesAbsoluteControlsLineFeedsAndASecondTrack) {
  const char* text =
      "v=0\n"
      "a=control:rtsp://192.0.2.10:8554/stream\n"
      "m=video 0 RTP/AVP 96\n"
      "a=rtpmap:96 h264/90000\n"
      "a=control:rtsp://192.0.2.10:8554/stream/main\n"
      "m=video 0 RTP/AVP 97\n"
      "a=rtpmap:97 H264/90000\n"
      "a=fmtp:97 sprop-parameter-sets=Z2QAKKwr\n"  // no padding needed, no PPS
      "m=video 0 RTP/AVP 99\n"
      "a=rtpmap:99 H264/90000\n"
      "a=control:third\n";
  const auto r = rt::ParseSdp(text, "rtsp://192.0.2.10:8554/stream");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.description.control, "rtsp://192.0.2.10:8554/stream");
  ASSERT_EQ(r.description.videoTracks.size(), rt::kMaxVideoTracks);
  EXPECT_EQ(r.description.videoTracks[0].control, "rtsp://192.0.2.10:8554/stream/main");
  EXPECT_EQ(r.description.videoTracks[0].packetizationMode, 0);
  // Without its own control a track is set up at the session's URL.
  EXPECT_EQ(r.description.videoTracks[1].control, "rtsp://192.0.2.10:8554/stream");
  EXPECT_EQ(r.description.videoTracks[1].payloadType, 97);
  EXPECT_EQ(r.description.videoTracks[1].parameterSets.size(), 1u);
}

TEST(Sdp, DecodesParameterSetsLeniently) {
  auto sets = [](const std::string& value) {
    const std::string text =
        "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
        "a=fmtp:96 sprop-parameter-sets=" +
        value + "\r\n";
    const auto r = rt::ParseSdp(text, "rtsp://h/");
    EXPECT_TRUE(r.ok()) << value;
    return r.ok() ? r.description.videoTracks[0].parameterSets
                  : std::vector<std::vector<uint8_t>>{};
  };
  // Padding left off, spaces around the comma.
  EXPECT_EQ(sets("Z0LgH9oCgL/l , aM48gA"), (std::vector<std::vector<uint8_t>>{kSps, kPps}));
  // Entries that are not base64 (or empty) are left out, the rest kept.
  EXPECT_EQ(sets("@@@@,,aM48gA==,A"), (std::vector<std::vector<uint8_t>>{kPps}));
  EXPECT_EQ(sets(std::string(8 * 1024, 'A')), (std::vector<std::vector<uint8_t>>{}));
  std::string many;
  for (int i = 0; i < 20; ++i) many += "aM48gA==,";
  EXPECT_EQ(sets(many).size(), rt::kMaxParameterSets);
}

TEST(Sdp, BaseUrlComesFromContentBaseThenLocationThenTheRequest) {
  rt::Response describe;
  EXPECT_EQ(rt::DescribeBaseUrl(describe, "rtsp://h/req"), "rtsp://h/req");
  describe.headers.Add("Content-Location", "rtsp://h/loc/");
  EXPECT_EQ(rt::DescribeBaseUrl(describe, "rtsp://h/req"), "rtsp://h/loc/");
  describe.headers.Add("Content-Base", "rtsp://h/base/");
  EXPECT_EQ(rt::DescribeBaseUrl(describe, "rtsp://h/req"), "rtsp://h/base/");
  rt::Response spaced;
  spaced.headers.Add("Content-Base", "rtsp://h/a b/");
  EXPECT_EQ(rt::DescribeBaseUrl(spaced, "rtsp://h/req"), "rtsp://h/req");
}

TEST(Sdp, RefusesWhatHoldsNoUsableVideoTrack) {
  struct Case {
    std::string text;
    rt::SdpError error;
  };
  const std::string video = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n";
  const Case cases[] = {
      {"", rt::SdpError::kNotSdp},
      {"RTSP/1.0 200 OK\r\n", rt::SdpError::kNotSdp},
      {"o=- 1 1 IN IP4 h\r\nv=0\r\n", rt::SdpError::kNotSdp},
      {"v=0\r\nm=audio 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n", rt::SdpError::kNoUsableVideo},
      {"v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H266/90000\r\n", rt::SdpError::kNoUsableVideo},
      // The rtpmap names a format the m= line does not list.
      {"v=0\r\nm=video 0 RTP/AVP 97\r\na=rtpmap:96 H264/90000\r\n", rt::SdpError::kNoUsableVideo},
      {"v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/0\r\n", rt::SdpError::kNoUsableVideo},
      {"v=0\r\nm=video 0 RTP/AVP 128\r\na=rtpmap:128 H264/90000\r\n", rt::SdpError::kNoUsableVideo},
      {video + "a=fmtp:96 packetization-mode=2\r\n", rt::SdpError::kNoUsableVideo},
      // A control that would break the SETUP request line.
      {video + "a=control:track 1\r\n", rt::SdpError::kNoUsableVideo},
      {video + "a=control:" + std::string(3000, 'c') + "\r\n", rt::SdpError::kNoUsableVideo},
      {"v=0\r\n" + std::string(rt::kMaxSdpLength, 'x'), rt::SdpError::kTooLong},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rt::ParseSdp(c.text, "rtsp://h/").error, c.error) << c.text.substr(0, 200);
  }
  // A session-level control that could not go on a request line is not used.
  const auto r = rt::ParseSdp("v=0\r\na=control:x\ty\r\n" + video.substr(5), "rtsp://h/live");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.description.control, "rtsp://h/live");
}

TEST(Sdp, TakesTheFirstUsableH264OrH265FormatAndNamesWhatWasOffered) {
  const std::string h265 = "a=rtpmap:97 H265/90000\r\n";
  const std::string h264 = "a=rtpmap:96 H264/90000\r\n";
  struct Case {
    std::string media;  // after "m=video 0 RTP/AVP "
    int payloadType;    // -1: refused, `offered` says why
    std::string offered;
  };
  const std::vector<Case> cases = {
      {"97 96\r\n" + h265 + h264 + "a=fmtp:97 sprop-max-don-diff=0\r\n", 97, ""},
      {"96 97\r\n" + h265 + h264, 96, ""},  // the offer's order of preference
      {"97 96\r\n" + h265 + h264 + "a=fmtp:97 sprop-max-don-diff=2\r\n", 96, ""},
      {"98 97 95\r\na=rtpmap:98 MP4V-ES/90000\r\n" + h265 +
           "a=fmtp:97 sprop-depack-buf-nalus=1\r\n",
       -1, "MP4V-ES, H265 with decoding-order numbers, payload type 95 without rtpmap"},
      {"96\r\n" + h264 + "a=fmtp:96 packetization-mode=2\r\n", -1, "H264 in packetization mode 2"},
  };
  for (const Case& c : cases) {
    const auto r = rt::ParseSdp("v=0\r\nm=video 0 RTP/AVP " + c.media, "rtsp://h/");
    EXPECT_EQ(r.offered, c.offered) << c.media;
    EXPECT_EQ(r.ok() ? r.description.videoTracks[0].payloadType : -1, c.payloadType) << c.media;
  }
  // H.265 parameter sets in the header's order (VPS, SPS, PPS), whatever the fmtp's.
  const auto r =
      rt::ParseSdp("v=0\r\nm=video 0 RTP/AVP 97\r\n" + h265 +
                       "a=fmtp:97 sprop-pps=RAHB; sprop-sps=QgEBAQ==;sprop-vps=QAEMAQ\r\n",
                   "rtsp://h/");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.description.videoTracks[0].codec, rt::VideoCodec::kH265);
  EXPECT_EQ(r.description.videoTracks[0].parameterSets,
            (std::vector<std::vector<uint8_t>>{
                {0x40, 0x01, 0x0c, 0x01}, {0x42, 0x01, 0x01, 0x01}, {0x44, 0x01, 0xc1}}));
}
