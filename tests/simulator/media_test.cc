// The simulator's media without any network: H.264 structure, decodability
// with ffprobe, JPEG snapshots, the PTZ view and the auxiliary SEI packets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "simulator/media/annexb.h"
#include "simulator/media/aux_data.h"
#include "simulator/media/h264_encoder.h"
#include "simulator/media/jpeg.h"
#include "simulator/media/replay_loop.h"
#include "simulator/media/scene.h"
#include "support/temp_dir.h"
#include "tests/simulator/media_probe.h"

namespace qrv::sim {
namespace {

using test::CountDecodedFrames;
using test::JpegSize;
using test::WriteFile;

std::vector<int> NalTypes(const std::vector<uint8_t>& bytes) {
  std::vector<int> types;
  for (const auto& nal : SplitAnnexB(bytes)) types.push_back(nal.type);
  return types;
}

int SliceCount(const std::vector<uint8_t>& frame) {
  auto t = NalTypes(frame);
  return static_cast<int>(std::count(t.begin(), t.end(), 1) + std::count(t.begin(), t.end(), 5));
}

bool HasNal(const std::vector<uint8_t>& bytes, int type) {
  auto t = NalTypes(bytes);
  return std::find(t.begin(), t.end(), type) != t.end();
}

struct Encoded {
  std::unique_ptr<H264Encoder> encoder;
  std::vector<EncodedFrame> frames;
};

// Encodes `count` frames of the scene; frames listed in forced are forced IDRs.
Encoded EncodeScene(const MediaSettings& settings, int count, std::vector<int> forced = {}) {
  Encoded e;
  std::string error;
  e.encoder = H264Encoder::Create(settings, &error);
  EXPECT_TRUE(e.encoder) << error;
  if (!e.encoder) return e;
  I420Picture picture;
  picture.Resize(settings.width, settings.height);
  for (int i = 0; i < count; ++i) {
    RenderScene(PtzPosition{}, static_cast<uint64_t>(i), picture);
    EncodedFrame frame;
    const bool force = std::find(forced.begin(), forced.end(), i) != forced.end();
    EXPECT_TRUE(e.encoder->Encode(picture, force, frame));
    e.frames.push_back(std::move(frame));
  }
  return e;
}

TEST(SimulatorMedia, EncoderHeaderGopAndForcedKeyFrames) {
  const MediaSettings settings{320, 180, 25, 10};
  auto e = EncodeScene(settings, 36, {13});
  ASSERT_TRUE(e.encoder);
  // The header is exactly one SPS and one PPS.
  EXPECT_EQ(NalTypes(e.encoder->Header()), (std::vector<int>{7, 8}));

  std::vector<int> keys;
  for (size_t i = 0; i < e.frames.size(); ++i) {
    const auto& f = e.frames[i];
    EXPECT_EQ(SliceCount(f.data), 1) << "frame " << i;
    EXPECT_EQ(f.key, HasNal(f.data, 5)) << "key flag must match an IDR slice, frame " << i;
    if (f.key) keys.push_back(static_cast<int>(i));
  }
  // A key frame every GOP; the forced IDR at 13 restarts the GOP there.
  EXPECT_EQ(keys, (std::vector<int>{0, 10, 13, 23, 33}));
  // Every IDR carries SPS and PPS in-band as well.
  EXPECT_TRUE(HasNal(e.frames[13].data, 7));
  EXPECT_TRUE(HasNal(e.frames[13].data, 8));
}

TEST(SimulatorMedia, InvalidSettingsAreRefusedWithAReason) {
  for (const MediaSettings& bad : {MediaSettings{321, 180, 25, 10}, MediaSettings{320, 8, 25, 10},
                                   MediaSettings{320, 180, 0, 10}, MediaSettings{320, 180, 25, 0},
                                   MediaSettings{8192, 180, 25, 10}}) {
    std::string error;
    EXPECT_EQ(H264Encoder::Create(bad, &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
  // A picture of another size is refused rather than read out of bounds.
  auto e = EncodeScene({320, 180, 25, 10}, 0);
  ASSERT_TRUE(e.encoder);
  I420Picture small;
  small.Resize(160, 90);
  EncodedFrame frame;
  EXPECT_FALSE(e.encoder->Encode(small, false, frame));
}

TEST(SimulatorMedia, RecordedStreamsDecodeToExactlyTheFramesWritten) {
  qrv::test::TempDir dir;
  const MediaSettings settings{320, 180, 25, 12};
  auto e = EncodeScene(settings, 30, {17});
  ASSERT_TRUE(e.encoder);

  // Header then every frame from the first IDR.
  std::vector<uint8_t> plain = e.encoder->Header();
  for (const auto& f : e.frames) plain.insert(plain.end(), f.data.begin(), f.data.end());
  ASSERT_TRUE(WriteFile(dir.File("plain.264"), plain));
  EXPECT_EQ(CountDecodedFrames(dir.File("plain.264")), 30);

  // The same with an auxiliary SEI packet after every frame, as a recording of
  // video and auxiliary packets looks: still exactly 30 pictures.
  std::vector<uint8_t> mixed = e.encoder->Header();
  for (size_t i = 0; i < e.frames.size(); ++i) {
    mixed.insert(mixed.end(), e.frames[i].data.begin(), e.frames[i].data.end());
    auto aux = BuildAudioAuxPacket(i, settings.fps);
    mixed.insert(mixed.end(), aux.begin(), aux.end());
  }
  ASSERT_TRUE(WriteFile(dir.File("mixed.264"), mixed));
  EXPECT_EQ(CountDecodedFrames(dir.File("mixed.264")), 30);

  // The decoder really sees a different stream when one frame is missing.
  std::vector<uint8_t> gap = e.encoder->Header();
  for (size_t i = 0; i < e.frames.size(); ++i)
    if (i != 0) gap.insert(gap.end(), e.frames[i].data.begin(), e.frames[i].data.end());
  ASSERT_TRUE(WriteFile(dir.File("gap.264"), gap));
  EXPECT_LT(CountDecodedFrames(dir.File("gap.264")), 29);
}

TEST(SimulatorMedia, AuxiliarySeiRoundTripsAndNeverContainsAStartCode) {
  // Data full of start-code lookalikes, longer than 255 bytes so the size
  // field takes several bytes.
  std::vector<uint8_t> data;
  for (int i = 0; i < 300; ++i) {
    const uint8_t pattern[] = {0, 0, 0, 1, 0, 0, 3, 0, 0, 2};
    data.push_back(pattern[i % 10]);
  }
  auto sei = BuildUserDataSei(data);
  auto units = SplitAnnexB(sei);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].type, 6);
  std::vector<uint8_t> back;
  ASSERT_TRUE(ParseUserDataSei(std::span(sei).subspan(units[0].offset, units[0].size), back));
  EXPECT_EQ(back, data);

  // Audio packets carry their frame number and one frame interval of samples.
  auto audio = BuildAudioAuxPacket(0x0102030405ull, 25);
  units = SplitAnnexB(audio);
  ASSERT_EQ(units.size(), 1u);
  ASSERT_TRUE(ParseUserDataSei(std::span(audio).subspan(units[0].offset, units[0].size), back));
  ASSERT_EQ(back.size(), 8u + 320u * 2u);
  EXPECT_EQ(back[0], 0x05);
  EXPECT_EQ(back[4], 0x01);

  // Truncated units and foreign SEI are refused, not over-read.
  auto body = std::span(sei).subspan(units.empty() ? 0 : 4);
  for (size_t cut : {size_t{1}, size_t{3}, size_t{20}, body.size() / 2})
    EXPECT_FALSE(ParseUserDataSei(body.first(cut), back)) << "cut at " << cut;
  std::vector<uint8_t> foreign = {0x06, 0x05, 0x10, 1,  2,  3,  4,  5,  6,  7,
                                  8,    9,    10,   11, 12, 13, 14, 15, 16, 0x80};
  EXPECT_FALSE(ParseUserDataSei(foreign, back));
}

TEST(SimulatorMedia, SplitAnnexBHandlesBothStartCodeLengths) {
  const std::vector<uint8_t> stream = {0xAA, 0, 0, 0, 1, 0x67, 1,    2, 0, 0, 1,
                                       0x68, 3, 0, 0, 0, 1,    0x65, 4, 0, 5};
  auto units = SplitAnnexB(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].type, 7);
  EXPECT_EQ(units[0].size, 3u);  // 0x67 1 2: the next start code's zeros are not part of it
  EXPECT_EQ(units[1].type, 8);
  EXPECT_EQ(units[1].size, 2u);
  EXPECT_EQ(units[2].type, 5);
  EXPECT_EQ(units[2].size, 4u);
  EXPECT_TRUE(SplitAnnexB(std::vector<uint8_t>{0, 0}).empty());
}

TEST(SimulatorMedia, SnapshotsAreJpegsOfThePictureSize) {
  for (auto [w, h] : {std::pair{320, 180}, std::pair{640, 360}, std::pair{176, 144}}) {
    I420Picture picture;
    picture.Resize(w, h);
    RenderScene(PtzPosition{}, 42, picture);
    auto jpeg = EncodeJpeg(picture);
    int jw = 0, jh = 0;
    ASSERT_TRUE(JpegSize(jpeg, jw, jh));
    EXPECT_EQ(jw, w);
    EXPECT_EQ(jh, h);
  }
}

// Share of luma samples in rows [top, height) that are equal in a (shifted by
// dx columns) and b.
double MatchShare(const I420Picture& a, const I420Picture& b, int dx, int top) {
  size_t same = 0, total = 0;
  for (int y = top; y < a.height; ++y)
    for (int x = std::max(0, -dx); x < std::min(a.width, a.width - dx); ++x) {
      ++total;
      if (a.y[static_cast<size_t>(y) * a.width + x + dx] ==
          b.y[static_cast<size_t>(y) * a.width + x])
        ++same;
    }
  return total ? static_cast<double>(same) / total : 0;
}

TEST(SimulatorMedia, PtzPositionMovesAndZoomsTheView) {
  const int w = 320, h = 180;
  I420Picture home, right, again, zoomed, nextFrame;
  for (auto* p : {&home, &right, &again, &zoomed, &nextFrame}) p->Resize(w, h);
  // The frame number is constant so only the view changes (the ball still
  // moves with the frame number, so keep it the same too).
  RenderScene(PtzPosition{}, 5, home);
  RenderScene(PtzPosition{}, 5, again);
  EXPECT_EQ(home.y, again.y);
  EXPECT_EQ(home.u, again.u);

  // Panning right by exactly 40 pixels' worth shows the same scene 40 pixels
  // further left in the picture (below the burned-in number).
  const double step = 1.0 / w;
  PtzPosition panned;
  panned.pan = 40 * step / 1.5;
  RenderScene(panned, 5, right);
  EXPECT_LT(MatchShare(home, right, 0, h / 4), 0.5);
  EXPECT_GT(MatchShare(home, right, 40, h / 4), 0.97);
  EXPECT_NE(home.u, right.u);  // colour drifts with the position

  PtzPosition zoom;
  zoom.zoom = 2;
  RenderScene(zoom, 5, zoomed);
  EXPECT_LT(MatchShare(home, zoomed, 0, h / 4), 0.5);

  // The burned-in number changes with the frame.
  RenderScene(PtzPosition{}, 6, nextFrame);
  const int box = std::max(2, h / 120) * 9;
  bool numberDiffers = false;
  for (int y = 0; y < box && !numberDiffers; ++y)
    for (int x = 0; x < box * 2; ++x)
      if (home.y[static_cast<size_t>(y) * w + x] != nextFrame.y[static_cast<size_t>(y) * w + x])
        numberDiffers = true;
  EXPECT_TRUE(numberDiffers);
}

TEST(SimulatorMedia, ReplayLoopIsGopAlignedSharedAndLoopsCleanly) {
  const MediaSettings settings{320, 180, 10, 15};
  std::string error;
  auto loop = SharedReplayLoop(settings, &error);
  ASSERT_TRUE(loop) << error;
  ASSERT_EQ(loop->frames.size() % 15, 0u);
  EXPECT_GE(loop->frames.size(), 40u);
  for (size_t i = 0; i < loop->frames.size(); ++i)
    EXPECT_EQ(loop->frames[i].key, i % 15 == 0) << "frame " << i;
  EXPECT_EQ(loop->NextKeyIndex(1), 15u);
  EXPECT_EQ(loop->NextKeyIndex(15), 15u);
  EXPECT_EQ(loop->NextKeyIndex(loop->frames.size() - 1), 0u);

  EXPECT_EQ(SharedReplayLoop(settings, &error), loop);
  auto other = SharedReplayLoop({320, 180, 10, 5}, &error);
  ASSERT_TRUE(other);
  EXPECT_NE(other, loop);
  EXPECT_EQ(SharedReplayLoop({0, 180, 10, 5}, &error), nullptr);

  // Played twice in a row, the loop decodes to exactly twice its length.
  qrv::test::TempDir dir;
  std::vector<uint8_t> twice = loop->header;
  for (int round = 0; round < 2; ++round)
    for (const auto& f : loop->frames) twice.insert(twice.end(), f.data.begin(), f.data.end());
  ASSERT_TRUE(WriteFile(dir.File("loop.264"), twice));
  EXPECT_EQ(CountDecodedFrames(dir.File("loop.264")), static_cast<int>(loop->frames.size() * 2));
}

// Rate control: a loop encoded at an asked bitrate carries that many bits
// per second of video, at the two sizes the benchmarks use, and still loops
// cleanly; without a bitrate the size follows the scene.
TEST(SimulatorMedia, ReplayLoopHoldsTheAskedBitrate) {
  struct Case {
    MediaSettings settings;
    double kbps;
  };
  for (const Case& c :
       {Case{{640, 360, 25, 50, 1000}, 1000}, Case{{1920, 1080, 25, 50, 4000}, 4000}}) {
    SCOPED_TRACE(std::to_string(c.settings.width) + "x" + std::to_string(c.settings.height));
    std::string error;
    auto loop = EncodeReplayLoop(c.settings, &error);
    ASSERT_TRUE(loop) << error;
    const double seconds = double(loop->frames.size()) / c.settings.fps;
    const double kbps = double(loop->totalBytes) * 8 / seconds / 1000;
    EXPECT_NEAR(kbps, c.kbps, 0.2 * c.kbps);
    // Each second on its own, too: the buffer bounds the peaks.
    const size_t perSecond = static_cast<size_t>(c.settings.fps);
    for (size_t start = 0; start + perSecond <= loop->frames.size(); start += perSecond) {
      uint64_t bytes = 0;
      for (size_t i = start; i < start + perSecond; ++i) bytes += loop->frames[i].data.size();
      EXPECT_LT(double(bytes) * 8 / 1000, 1.5 * c.kbps) << "second from frame " << start;
    }
    for (size_t i = 0; i < loop->frames.size(); ++i)
      EXPECT_EQ(loop->frames[i].key, i % 50 == 0) << "frame " << i;
    // Rate control is warmed up before the loop: its first IDR is not a
    // starved one far smaller than the next.
    EXPECT_GT(loop->frames[0].data.size(), loop->frames[50].data.size() / 2);
  }

  // Out-of-range bitrates are refused; 0 keeps constant quality.
  std::string error;
  EXPECT_EQ(H264Encoder::Create({320, 180, 25, 10, 8}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(H264Encoder::Create({320, 180, 25, 10, 300000}, &error), nullptr);
  EXPECT_NE(H264Encoder::Create({320, 180, 25, 10, 0}, &error), nullptr);

  // The shared cache tells loops of different bitrates apart.
  auto low = SharedReplayLoop({320, 180, 25, 25, 200}, &error);
  auto high = SharedReplayLoop({320, 180, 25, 25, 800}, &error);
  ASSERT_TRUE(low && high) << error;
  EXPECT_NE(low, high);
  EXPECT_GT(high->totalBytes, 2 * low->totalBytes);
}

}  // namespace
}  // namespace qrv::sim
