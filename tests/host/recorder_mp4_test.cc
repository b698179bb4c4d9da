// MP4 segments of real H.264 and H.265 (the simulator's encoders), read back
// with ffprobe: every frame a sample, key frames flagged, times as the frames
// arrived (pauses included), crash leftovers cut to whole fragments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "host/kit/media_probe.h"
#include "host/recorder/output_folder.h"
#include "host/recorder/retention.h"
#include "host/recorder/segmenter.h"
#include "qrvaccess/qrv_access.h"
#include "simulator/media/h264_encoder.h"
#include "simulator/media/h265_encoder.h"
#include "simulator/media/scene.h"
#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace qrv::recorder {
namespace {

using namespace std::chrono_literals;

struct Encoded {
  std::vector<uint8_t> header;
  std::vector<sim::EncodedFrame> frames;
};

// `count` frames of the simulator's scene, a key frame every `gop`.
template <typename Encoder>
Encoded Encode(int count, int gop, int width, int kbps) {
  sim::MediaSettings settings{.width = width, .height = width * 9 / 16, .gop = gop};
  settings.bitrateKbps = kbps;
  std::string error;
  auto encoder = Encoder::Create(settings, &error);
  EXPECT_TRUE(encoder) << error;
  Encoded out{encoder ? encoder->Header() : std::vector<uint8_t>{}, {}};
  sim::I420Picture picture;
  picture.Resize(settings.width, settings.height);
  for (int i = 0; encoder && i < count; ++i) {
    sim::RenderScene({}, static_cast<uint64_t>(i), picture);
    EXPECT_TRUE(encoder->Encode(picture, i % gop == 0, out.frames.emplace_back()));
  }
  return out;
}

// What ffprobe prints of the video stream for `entries`, as CSV lines.
std::string Probe(const std::string& path, const std::string& entries) {
  FILE* pipe = ::popen(("ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries " +
                        entries + " '" + path + "'")
                           .c_str(),
                       "r");
  std::string out;
  char piece[4096];
  for (size_t n; pipe != nullptr && (n = std::fread(piece, 1, sizeof piece, pipe)) > 0;)
    out.append(piece, n);
  if (pipe != nullptr) ::pclose(pipe);
  return out;
}

// Each packet's time and whether it is a key frame.
std::vector<std::pair<double, bool>> Packets(const std::string& path) {
  std::istringstream lines(Probe(path, "packet=pts_time,flags"));
  std::vector<std::pair<double, bool>> packets;
  for (std::string line; std::getline(lines, line);)
    if (const size_t comma = line.find(','); comma != std::string::npos)
      packets.emplace_back(std::stod(line), line[comma + 1] == 'K');
  return packets;
}

// Top-level boxes of an MP4 file: type and where the box ends.
std::vector<std::pair<std::string, size_t>> Boxes(const std::vector<uint8_t>& bytes) {
  std::vector<std::pair<std::string, size_t>> boxes;
  for (size_t at = 0, size = 8; size >= 8 && at + 8 <= bytes.size(); at += size) {
    const uint8_t* p = bytes.data() + at;
    size = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    boxes.emplace_back(std::string(reinterpret_cast<const char*>(p + 4), 4), at + size);
  }
  return boxes;
}

// Frames 40 ms apart through an MP4 segmenter, with a pause of `pause`
// after frame 60 (no reconnection: the segment goes on).
struct Recording {
  test::TempDir dir;
  JsonLog log;
  std::unique_ptr<SegmentCloser> closer;
  std::chrono::steady_clock::time_point now{};
  std::unique_ptr<Segmenter> segmenter;
  std::vector<double> sent;  // seconds since the first frame
  std::vector<std::pair<std::string, size_t>> onDiskBeforeEnd;

  explicit Recording(const Encoded& stream, std::chrono::milliseconds pause = 40ms,
                     size_t limitFrom = 0, rlim_t limit = RLIM_INFINITY) {
    std::string error;
    EXPECT_TRUE(log.Open(dir.File("log.jsonl"), &error)) << error;
    closer = std::make_unique<SegmentCloser>(log);
    SegmenterClock clock;
    clock.steady = [this] { return now; };
    segmenter = std::make_unique<Segmenter>("cam", dir.File("out"), 60s, log, *closer, clock,
                                            SegmentFormat::kMp4);
    Send(kStreamDataFirstHeader, stream.header);
    std::unique_ptr<test::FileSizeLimit> full;
    for (size_t i = 0; i < stream.frames.size(); ++i) {
      // Full from frame `limitFrom` until the first write error.
      if (i == limitFrom && limit != RLIM_INFINITY)
        full = std::make_unique<test::FileSizeLimit>(limit);
      Send(kStreamDataVideo, stream.frames[i].data, stream.frames[i].key);
      if (segmenter->Counts().writeErrors > 0) full.reset();
      sent.push_back(std::chrono::duration<double>(now.time_since_epoch()).count());
      if (i == 10) Send(kStreamDataAux, {1, 2, 3});
      now += i == 60 ? pause : 40ms;
    }
    // What a crash would leave: the open segment's ".part" file.
    for (const auto& file : Files())
      if (file.ends_with(".part")) onDiskBeforeEnd = Boxes(*host::ReadFileBytes(file));
    segmenter->Finish("stop");
    closer->Drain();
  }
  void Send(int32_t type, const std::vector<uint8_t>& bytes, bool key = false) {
    segmenter->OnPacket(type, bytes.data(), static_cast<uint32_t>(bytes.size()), key);
  }
  std::vector<std::string> Files() {
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(dir.File("out")))
      files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
  }
};

TEST(RecorderMp4, EveryFrameIsASampleAtItsArrivalTimeWithKeyFramesFlagged) {
  struct Case {
    const char* codec;
    Encoded stream;
  } cases[] = {{"h264", Encode<sim::H264Encoder>(100, 50, 160, 0)},
               {"hevc", Encode<sim::H265Encoder>(100, 50, 160, 0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codec);
    Recording r(c.stream, 640ms);
    EXPECT_EQ(r.segmenter->Counts().auxSkipped, 1u) << "an MP4 segment has no place for it";
    const auto files = r.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with(".mp4")) << files[0];
    EXPECT_EQ(ListSegments(r.dir.File("out"), "cam").size(), 1u) << "retention sees it";
    const auto packets = Packets(files[0]);
    ASSERT_EQ(packets.size(), c.stream.frames.size());
    for (size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(packets[i].second, c.stream.frames[i].key) << "frame " << i;
      EXPECT_NEAR(packets[i].first, r.sent[i], 0.001) << "frame " << i;
    }
    EXPECT_EQ(Probe(files[0], "stream=codec_name,width,height,nb_read_frames -count_frames"),
              std::string(c.codec) + ",160,90,100\n")
        << "every frame decodes, at the stream's size";
    // Fragments at each key frame and at least every second (4.6 s here,
    // two key frames).
    const auto boxes = Boxes(*host::ReadFileBytes(files[0]));
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].first + boxes[1].first, "ftypmoov");
    auto count = [&](const char* type) {
      return std::count_if(boxes.begin(), boxes.end(), [&](auto& b) { return b.first == type; });
    };
    EXPECT_EQ(count("mdat"), count("moof"));
    EXPECT_GE(count("moof"), 4);
    ASSERT_LT(r.onDiskBeforeEnd.size(), boxes.size());
    EXPECT_TRUE(std::equal(r.onDiskBeforeEnd.begin(), r.onDiskBeforeEnd.end(), boxes.begin()));
    EXPECT_EQ(r.onDiskBeforeEnd.size(), boxes.size() - 3) << "only the last fragment (and the "
                                                             "index) missing before the end";
  }
}

TEST(RecorderMp4, AnUnfinishedFileIsCutAfterItsLastWholeFragmentOrRemoved) {
  Recording r(Encode<sim::H264Encoder>(60, 10, 160, 0));  // six fragments, then mfra
  const auto whole = *host::ReadFileBytes(r.Files().at(0));
  const auto boxes = Boxes(whole);
  ASSERT_EQ(boxes.size(), 2u + 12u + 1u);
  const struct {
    const char* what;
    size_t size;
    uint64_t frames;  // 0: removed
  } cuts[] = {
      {"in the last mdat", whole.size() - 200, 50},
      {"in the last moof", boxes[11].second + 20, 50},
      {"before the index", boxes[13].second, 60},
      {"in the first fragment", boxes[1].second + 30, 0},
      {"in the header", 10, 0},
  };
  for (const auto& cut : cuts) {
    SCOPED_TRACE(cut.what);
    test::TempDir dir;
    const std::string part = dir.File("cam_20261208T021449.123Z.mp4.part");
    std::ofstream(part, std::ios::binary)
        .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(cut.size));
    auto done = RecoverParts(dir.Path().string(), "cam");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].error, "");
    EXPECT_EQ(done[0].pictures, cut.frames);
    EXPECT_EQ(done[0].path, cut.frames == 0 ? "" : dir.File("cam_20261208T021449.123Z.mp4"));
    EXPECT_FALSE(std::filesystem::exists(part));
    if (cut.frames > 0) {
      EXPECT_EQ(Packets(done[0].path).size(), cut.frames) << "ffprobe reads every frame kept";
    }
  }
}

TEST(RecorderMp4, AFailedWriteKeepsWholeFragmentsAndTheCountsMatchTheFiles) {
  // Room for the buffered fragments, not for the one that overflows them;
  // recording resumes in a new segment once the disk has room again.
  Recording r(Encode<sim::H264Encoder>(200, 10, 640, 8000), 40ms, 1,
              SegmentFile::kBufferBytes + SegmentFile::kBufferBytes / 4);
  const auto files = r.Files();
  ASSERT_EQ(files.size(), 2u);
  uint64_t samples = 0;
  for (const auto& f : files) samples += Packets(f).size();
  const SegmenterCounts c = r.segmenter->Counts();
  EXPECT_EQ(c.writeErrors, 1u);
  EXPECT_GT(c.framesLost, 0u);
  EXPECT_EQ(c.framesRecorded, samples) << "frames recorded are the samples in the files";
  EXPECT_EQ(c.framesRecorded + c.framesLost + c.framesSkipped, c.frames);
}

}  // namespace
}  // namespace qrv::recorder
