// MP4 segments of real H.264 and H.265 (the simulator's encoders), read back
// with ffprobe: every frame a sample, key frames flagged, times as the frames
// arrived (pauses included), and crash leftovers cut to whole fragments.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/kit/media_probe.h"
#include "host/recorder/output_folder.h"
#include "host/recorder/retention.h"
#include "host/recorder/segmenter.h"
#include "qrvaccess/qrv_access.h"
#include "simulator/media/h264_encoder.h"
#include "simulator/media/h265_encoder.h"
#include "simulator/media/scene.h"
#include "tests/support/temp_dir.h"

namespace qrv::recorder {
namespace {

using namespace std::chrono_literals;

struct Encoded {
  std::vector<uint8_t> header;
  std::vector<sim::EncodedFrame> frames;
};

// `count` frames of the simulator's scene, a key frame every `gop`.
template <typename Encoder>
Encoded Encode(int count, int gop, int width = 160, int height = 96, int kbps = 0) {
  sim::MediaSettings settings;
  settings.bitrateKbps = kbps;
  settings.width = width;
  settings.height = height;
  settings.gop = gop;
  std::string error;
  auto encoder = Encoder::Create(settings, &error);
  EXPECT_TRUE(encoder) << error;
  Encoded out;
  if (!encoder) return out;
  out.header = encoder->Header();
  sim::I420Picture picture;
  picture.Resize(settings.width, settings.height);
  for (int i = 0; i < count; ++i) {
    sim::RenderScene({}, static_cast<uint64_t>(i), picture);
    sim::EncodedFrame frame;
    EXPECT_TRUE(encoder->Encode(picture, i % gop == 0, frame));
    out.frames.push_back(frame);
  }
  return out;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

struct Packet {
  double pts = 0;
  bool key = false;
};

std::vector<Packet> Packets(const std::string& path) {
  std::istringstream lines(
      Shell("ffprobe -v error -select_streams v:0 -show_entries "
            "packet=pts_time,flags -of csv=p=0 '" +
            path + "'"));
  std::vector<Packet> packets;
  for (std::string line; std::getline(lines, line);) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    packets.push_back({std::stod(line.substr(0, comma)), line[comma + 1] == 'K'});
  }
  return packets;
}

// Top-level boxes of an MP4 file, in order.
std::vector<std::string> Boxes(const std::string& path) {
  auto bytes = host::ReadFileBytes(path);
  std::vector<std::string> boxes;
  for (size_t at = 0; bytes && at + 8 <= bytes->size();) {
    const uint8_t* p = bytes->data() + at;
    const size_t size = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    boxes.emplace_back(reinterpret_cast<const char*>(p + 4), 4);
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

struct Recording {
  test::TempDir dir;
  JsonLog log;
  std::unique_ptr<SegmentCloser> closer;
  std::chrono::steady_clock::time_point now{};
  std::unique_ptr<Segmenter> segmenter;

  Recording() {
    std::string error;
    EXPECT_TRUE(log.Open(dir.File("log.jsonl"), &error)) << error;
    closer = std::make_unique<SegmentCloser>(log);
    SegmenterClock clock;
    clock.steady = [this] { return now; };
    clock.wall = [this] {
      return std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(now.time_since_epoch()));
    };
    segmenter = std::make_unique<Segmenter>("cam", dir.File("out"), 60s, log, *closer, clock,
                                            SegmentFormat::kMp4);
  }
  void Send(int32_t type, const std::vector<uint8_t>& bytes, bool key = false) {
    segmenter->OnPacket(type, bytes.data(), static_cast<uint32_t>(bytes.size()), key);
  }
  size_t Lines(const std::string& event) {
    std::ifstream in(dir.File("log.jsonl"));
    size_t count = 0;
    for (std::string line; std::getline(in, line);)
      count += line.find("\"event\":\"" + event + "\"") != std::string::npos ? 1 : 0;
    return count;
  }
  std::vector<std::string> Finish() {
    segmenter->Finish("stop");
    closer->Drain();
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(dir.File("out")))
      files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
  }
};

// Frames 40 ms apart, with one pause of `pauseAfter`'s length after frame 60
// (no reconnection: the segment goes on).
constexpr int kFrames = 100;
constexpr auto kStep = 40ms;
constexpr auto kPause = 640ms;

struct Case {
  const char* name;
  Encoded (*encode)(int, int, int, int, int);
};

const Case kCases[] = {
    {"h264", &Encode<sim::H264Encoder>},
    {"h265", &Encode<sim::H265Encoder>},
};

TEST(RecorderMp4, EveryFrameIsASampleAtItsArrivalTimeWithKeyFramesFlagged) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Encoded stream = c.encode(kFrames, 50, 160, 96, 0);
    ASSERT_EQ(stream.frames.size(), size_t{kFrames});
    Recording r;
    r.segmenter->OnPacket(kStreamDataFirstHeader, stream.header.data(),
                          static_cast<uint32_t>(stream.header.size()), false);
    std::vector<double> sent;
    const auto start = r.now;
    for (int i = 0; i < kFrames; ++i) {
      const auto& f = stream.frames[static_cast<size_t>(i)];
      r.segmenter->OnPacket(kStreamDataVideo, f.data.data(), static_cast<uint32_t>(f.data.size()),
                            f.key);
      sent.push_back(std::chrono::duration<double>(r.now - start).count());
      if (i == 10) r.Send(kStreamDataAux, {1, 2, 3});
      r.now += i == 60 ? kPause : kStep;
    }
    auto files = r.Finish();
    EXPECT_EQ(r.segmenter->Counts().auxSkipped, 1u) << "an MP4 segment has no place for it";
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].ends_with(".mp4")) << files[0];
    EXPECT_EQ(ListSegments(r.dir.File("out"), "cam").size(), 1u) << "retention sees it";

    const auto packets = Packets(files[0]);
    ASSERT_EQ(packets.size(), size_t{kFrames});
    for (int i = 0; i < kFrames; ++i) {
      const auto& p = packets[static_cast<size_t>(i)];
      EXPECT_EQ(p.key, stream.frames[static_cast<size_t>(i)].key) << "frame " << i;
      EXPECT_NEAR(p.pts, sent[static_cast<size_t>(i)], 0.001) << "frame " << i;
    }
    const auto probe = Shell(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
        files[0] + "'");
    EXPECT_EQ(probe, std::string(c.name == std::string("h264") ? "h264" : "hevc") + ",160,96," +
                         std::to_string(kFrames) + "\n");
    // Fragments at each key frame and at least every second.
    const auto boxes = Boxes(files[0]);
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "ftyp");
    EXPECT_EQ(boxes[1], "moov");
    const auto fragments = std::count(boxes.begin(), boxes.end(), "moof");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "mdat"), fragments);
    const double seconds = sent.back() + 0.04;
    EXPECT_GE(fragments, static_cast<long>(seconds)) << seconds << " s of video";
  }
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(RecorderMp4, AnUnfinishedFileIsCutAfterItsLastWholeFragmentOrRemoved) {
  const Encoded stream = Encode<sim::H264Encoder>(60, 10);
  Recording r;
  r.segmenter->OnPacket(kStreamDataFirstHeader, stream.header.data(),
                        static_cast<uint32_t>(stream.header.size()), false);
  for (const auto& f : stream.frames) {
    r.segmenter->OnPacket(kStreamDataVideo, f.data.data(), static_cast<uint32_t>(f.data.size()),
                          f.key);
    r.now += kStep;
  }
  auto files = r.Finish();
  ASSERT_EQ(files.size(), 1u);
  auto whole = host::ReadFileBytes(files[0]);
  ASSERT_TRUE(whole);
  const auto boxes = Boxes(files[0]);
  ASSERT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 6) << "one per key frame";

  // Where each top-level box ends.
  std::vector<size_t> ends;
  for (size_t at = 0; at + 8 <= whole->size();) {
    const uint8_t* p = whole->data() + at;
    at += size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    ends.push_back(at);
  }
  const size_t headerEnd = ends[1];               // ftyp, moov
  const size_t lastMoof = ends[ends.size() - 4];  // ... moof mdat [moof mdat] mfra
  struct Cut {
    const char* what;
    size_t size;
    uint64_t frames;  // 0: removed
  };
  const Cut cuts[] = {
      {"in the last mdat", whole->size() - 200, 50},
      {"in the last moof", lastMoof + 20, 50},
      {"after the last mdat, index missing", ends[ends.size() - 2], 60},
      {"in the first fragment", headerEnd + 30, 0},
      {"in the header", 10, 0},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    test::TempDir dir;
    const std::string part = dir.File("cam_20261208T021449.123Z.mp4.part");
    WriteBytes(part, std::vector<uint8_t>(whole->begin(),
                                          whole->begin() + static_cast<std::ptrdiff_t>(cut.size)));
    auto done = RecoverParts(dir.Path().string(), "cam");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].error, "");
    EXPECT_EQ(done[0].pictures, cut.frames);
    if (cut.frames == 0) {
      EXPECT_EQ(done[0].path, "");
      EXPECT_FALSE(std::filesystem::exists(part));
      continue;
    }
    EXPECT_EQ(done[0].path, dir.File("cam_20261208T021449.123Z.mp4"));
    EXPECT_EQ(done[0].bytes + done[0].droppedBytes, cut.size);
    const auto packets = Packets(done[0].path);
    EXPECT_EQ(packets.size(), cut.frames) << "ffprobe reads every kept frame";
  }
}

// A file-size limit for this process (writes past it fail with EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_;
};

TEST(RecorderMp4, AFailedWriteKeepsWholeFragmentsAndTheCountsMatchTheFiles) {
  const Encoded stream = Encode<sim::H264Encoder>(200, 10, 640, 360, 8000);
  Recording r;
  r.Send(kStreamDataFirstHeader, stream.header);
  size_t next = 0;
  {
    // Room for the buffered fragments, not for the one that overflows them.
    FileSizeLimit limit(SegmentFile::kBufferBytes + SegmentFile::kBufferBytes / 4);
    for (; next < 150 && r.segmenter->Counts().writeErrors == 0; ++next) {
      r.Send(kStreamDataVideo, stream.frames[next].data, stream.frames[next].key);
      r.now += kStep;
    }
  }
  ASSERT_EQ(r.segmenter->Counts().writeErrors, 1u) << "the frames overflow the limit";
  for (; next < stream.frames.size(); ++next) {
    r.Send(kStreamDataVideo, stream.frames[next].data, stream.frames[next].key);
    r.now += kStep;
  }
  auto files = r.Finish();
  ASSERT_EQ(files.size(), 2u);
  uint64_t samples = 0;
  for (const auto& f : files) samples += Packets(f).size();
  const SegmenterCounts c = r.segmenter->Counts();
  EXPECT_GT(c.framesLost, 0u);
  EXPECT_EQ(c.framesRecorded, samples) << "frames recorded are the samples in the files";
  EXPECT_EQ(c.framesRecorded + c.framesLost + c.framesSkipped, c.frames);
  EXPECT_EQ(r.Lines("write_error"), 1u);
}

}  // namespace
}  // namespace qrv::recorder
