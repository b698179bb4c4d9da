// Stream sessions of simulated devices through the device protocol: header
// first, IDR first, ordering, key-frame requests, auxiliary data, replay and
// flood modes, throttling and the injected stream faults. Recordings of what
// arrived are checked with ffprobe.
#include <tuple>

#include "simulator/media/annexb.h"
#include "support/temp_dir.h"
#include "tests/simulator/media_probe.h"
#include "tests/simulator/sim_fixture.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::sim::test {
namespace {

namespace proto = tmcc::protocol;

struct Packet {
  uint8_t type = 0;
  bool key = false;
  uint32_t sequence = 0;
  uint32_t width = 0;
  std::vector<uint8_t> data;
};

class StreamTest : public SimulatorTest {
 protected:
  std::unique_ptr<TestClient> OpenStream(const Device& device, uint8_t streamType = 0) {
    auto client = std::make_unique<TestClient>();
    const auto& c = device.Config();
    if (!client->Connect(c.address, c.streamPort)) return nullptr;
    if (client->Login(proto::Purpose::kStream, streamType, c.user, c.password) !=
        proto::LoginStatus::kAccepted)
      return nullptr;
    return client;
  }

  // Reads stream packets until `count` video frames have arrived.
  static std::vector<Packet> ReadVideo(TestClient& client, size_t count) {
    std::vector<Packet> packets;
    size_t frames = 0;
    Frame frame;
    while (frames < count && client.Read(frame) == ReadResult::kFrame) {
      if (frame.type != proto::MessageType::kStreamData) continue;
      auto data = proto::ParseStreamData(frame.payload);
      EXPECT_TRUE(data);
      if (!data) break;
      packets.push_back({data->frameType, data->keyFrame != 0, data->sequence, data->width,
                         std::vector<uint8_t>(data->data.begin(), data->data.end())});
      if (data->frameType == proto::kStreamVideo) ++frames;
    }
    return packets;
  }

  static bool HasNal(const std::vector<uint8_t>& bytes, int type) {
    for (const auto& nal : SplitAnnexB(bytes))
      if (nal.type == type) return true;
    return false;
  }
};

TEST_F(StreamTest, LiveStreamStartsWithHeaderThenIdrAndRecordsDecodably) {
  Device& device = Add(SmallDevice(1));
  auto stream = OpenStream(device, 1);
  ASSERT_NE(stream, nullptr);
  auto packets = ReadVideo(*stream, 30);
  ASSERT_GE(packets.size(), 31u);

  EXPECT_EQ(packets[0].type, proto::kStreamHeader);
  EXPECT_TRUE(HasNal(packets[0].data, 7));
  EXPECT_TRUE(HasNal(packets[0].data, 8));
  EXPECT_FALSE(HasNal(packets[0].data, 5));
  EXPECT_EQ(packets[1].type, proto::kStreamVideo);
  EXPECT_TRUE(packets[1].key);
  EXPECT_TRUE(HasNal(packets[1].data, 5));
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].sequence, packets[0].sequence + i) << "packet " << i;
    EXPECT_EQ(packets[i].width, 320u);
    if (i > 1) {
      EXPECT_FALSE(packets[i].key) << "GOP 1000: only the first frame is an IDR";
    }
  }

  // Header then every frame, as a recorder writes them: exactly 30 pictures.
  qrv::test::TempDir dir;
  std::vector<uint8_t> file;
  for (const auto& p : packets) file.insert(file.end(), p.data.begin(), p.data.end());
  ASSERT_TRUE(WriteFile(dir.File("live.264"), file));
  EXPECT_EQ(CountDecodedFrames(dir.File("live.264")), 30);

  auto obs = device.Observe();
  ASSERT_EQ(obs.streams.size(), 1u);
  EXPECT_EQ(obs.streams[0].streamType, 1);
  EXPECT_EQ(obs.streams[0].headers, 1u);
  EXPECT_GE(obs.streams[0].frames, 30u);
  EXPECT_GE(obs.streams[0].keyFrames, 1u);
}

TEST_F(StreamTest, KeyFrameRequestAndAudioAuxDataOnTheLiveStream) {
  Device& device = Add(SmallDevice(2));
  auto stream = OpenStream(device);
  auto control = LoggedIn(device);
  ASSERT_NE(stream, nullptr);
  ASSERT_NE(control, nullptr);
  auto first = ReadVideo(*stream, 5);

  // With a GOP of 1000 an IDR within the next frames can only come from the request.
  auto answer = control->Request(proto::RequestCode::kKeyFrame);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, proto::AnswerStatus::kOk);
  auto after = ReadVideo(*stream, 10);
  size_t keys = 0;
  for (const auto& p : after) keys += p.key && p.type == proto::kStreamVideo;
  EXPECT_EQ(keys, 1u);

  // Audio on: auxiliary SEI packets follow the frames; the whole recording
  // (header, video and auxiliary packets) stays decodable.
  answer = control->Request(proto::RequestCode::kSetMute, 0);
  ASSERT_TRUE(answer);
  auto withAux = ReadVideo(*stream, 20);
  size_t aux = 0, videos = 0;
  std::vector<uint8_t> file = first[0].data;
  bool started = false;
  for (const auto& p : withAux) {
    if (p.type == proto::kStreamAux) {
      ++aux;
      auto units = SplitAnnexB(p.data);
      ASSERT_EQ(units.size(), 1u);
      std::vector<uint8_t> payload;
      EXPECT_TRUE(
          ParseUserDataSei(std::span(p.data).subspan(units[0].offset, units[0].size), payload));
    }
    // Record from the first IDR on, as a recorder does.
    if (p.type == proto::kStreamVideo && p.key) started = true;
    if (started && p.type != proto::kStreamHeader) {
      file.insert(file.end(), p.data.begin(), p.data.end());
      videos += p.type == proto::kStreamVideo;
    }
  }
  EXPECT_GE(aux, 10u);
  // Mute again stops the auxiliary packets (the stream session may ask too).
  answer = stream->Request(proto::RequestCode::kSetMute, 1);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, proto::AnswerStatus::kOk);
  EXPECT_TRUE(device.Observe().muted);

  if (videos > 0) {
    qrv::test::TempDir dir;
    ASSERT_TRUE(WriteFile(dir.File("aux.264"), file));
    EXPECT_EQ(CountDecodedFrames(dir.File("aux.264")), static_cast<int>(videos));
  }
}

TEST_F(StreamTest, ReplayDevicesShareTheLoopAndLateViewersStartAtAnIdr) {
  DeviceConfig a = SmallDevice(3), b = SmallDevice(4);
  a.replay = b.replay = true;
  a.media = b.media = MediaSettings{320, 180, 25, 10};
  Device& first = Add(a);
  Device& second = Add(b);
  auto s1 = OpenStream(first);
  ASSERT_NE(s1, nullptr);
  auto p1 = ReadVideo(*s1, 13);  // mid-GOP now
  auto s2 = OpenStream(first);
  auto s3 = OpenStream(second);
  ASSERT_NE(s2, nullptr);
  ASSERT_NE(s3, nullptr);
  for (auto* s : {s2.get(), s3.get()}) {
    auto p = ReadVideo(*s, 12);
    ASSERT_GE(p.size(), 2u);
    EXPECT_EQ(p[0].type, proto::kStreamHeader);
    EXPECT_EQ(p[0].data, p1[0].data) << "same settings, same loop, same header";
    EXPECT_TRUE(p[1].key);
    qrv::test::TempDir dir;
    std::vector<uint8_t> file;
    for (const auto& x : p) file.insert(file.end(), x.data.begin(), x.data.end());
    ASSERT_TRUE(WriteFile(dir.File("late.264"), file));
    EXPECT_EQ(CountDecodedFrames(dir.File("late.264")), 12);
  }
  EXPECT_EQ(first.Observe().framesEncoded, 0u) << "replay sends from memory";
}

TEST_F(StreamTest, FloodModeSendsTheLoopBackToBackInOrder) {
  DeviceConfig c = SmallDevice(5);
  c.replay = c.flood = true;
  c.media = MediaSettings{320, 180, 5, 5};  // a 20-frame loop
  Device& device = Add(c);
  auto stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  auto packets = ReadVideo(*stream, 100);  // five times round the loop
  ASSERT_EQ(packets.size(), 101u);
  for (size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].key, (i - 1) % 5 == 0) << "frame " << i;
    EXPECT_EQ(packets[i].sequence, packets[i - 1].sequence + 1);
  }
  qrv::test::TempDir dir;
  std::vector<uint8_t> file;
  for (const auto& p : packets) file.insert(file.end(), p.data.begin(), p.data.end());
  ASSERT_TRUE(WriteFile(dir.File("flood.264"), file));
  EXPECT_EQ(CountDecodedFrames(dir.File("flood.264")), 100);
}

TEST_F(StreamTest, InjectedMalformedAndOversizedFramesThenTheDeviceCloses) {
  Device& device = Add(SmallDevice(6));
  {
    auto stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ReadVideo(*stream, 2);
    device.InjectMalformedFrame();
    Frame frame;
    bool sawBadPayload = false;
    ReadResult r;
    while ((r = stream->Read(frame)) == ReadResult::kFrame)
      if (frame.type == proto::MessageType::kStreamData && !proto::ParseStreamData(frame.payload))
        sawBadPayload = true;
    EXPECT_TRUE(sawBadPayload);
    EXPECT_EQ(r, ReadResult::kClosed) << "the device closes after the bad frame";
  }
  {
    auto stream = OpenStream(device);
    ASSERT_NE(stream, nullptr);
    ReadVideo(*stream, 2);
    device.InjectOversizedFrame();
    Frame frame;
    ReadResult r;
    while ((r = stream->Read(frame)) == ReadResult::kFrame) {
    }
    EXPECT_EQ(r, ReadResult::kMalformed);
    EXPECT_EQ(stream->LastDecodeError(), proto::DecodeError::kTooLong);
  }
  // New viewers get a proper stream again.
  auto stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  auto packets = ReadVideo(*stream, 3);
  ASSERT_GE(packets.size(), 2u);
  EXPECT_TRUE(packets[1].key);
}

TEST_F(StreamTest, RestartWithNewSettingsChangesTheStreamHeader) {
  Device& device = Add(SmallDevice(7));
  auto stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  auto before = ReadVideo(*stream, 1);
  ASSERT_FALSE(before.empty());
  const MediaSettings other{480, 272, 25, 1000};
  device.Restart(100ms, &other);
  EXPECT_TRUE(stream->WaitClosed());
  ASSERT_TRUE(
      device.WaitFor([](const Observations& o) { return o.running && o.restarts == 1; }, 5000ms));
  stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  auto after = ReadVideo(*stream, 1);
  ASSERT_GE(after.size(), 2u);
  EXPECT_NE(after[0].data, before[0].data);
  EXPECT_EQ(after[1].width, 480u);
  EXPECT_TRUE(after[1].key);
}

TEST_F(StreamTest, ThrottledAndStalledStreamsResumeAtAnIdr) {
  Device& device = Add(SmallDevice(8));
  device.SetThrottle(200 * 1024);
  auto stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  auto packets = ReadVideo(*stream, 5);
  ASSERT_GE(packets.size(), 6u);
  EXPECT_TRUE(packets[1].key);
  device.SetThrottle(0);

  device.SetStall(true);
  // Whatever was already queued may still arrive; then the stream is silent.
  Frame frame;
  std::vector<Packet> all = packets;
  while (stream->Read(frame, 300ms) == ReadResult::kFrame) {
    auto data = proto::ParseStreamData(frame.payload);
    ASSERT_TRUE(data);
    all.push_back({data->frameType, data->keyFrame != 0, data->sequence, data->width,
                   std::vector<uint8_t>(data->data.begin(), data->data.end())});
  }
  device.SetStall(false);
  auto resumed = ReadVideo(*stream, 10);
  ASSERT_FALSE(resumed.empty());
  EXPECT_GE(device.Observe().streams[0].keyFrames, 2u) << "the stream resumed with a new IDR";
  // Frames were left out during the stall, yet everything received decodes.
  size_t videos = 0;
  std::vector<uint8_t> file;
  all.insert(all.end(), resumed.begin(), resumed.end());
  for (const auto& p : all) {
    file.insert(file.end(), p.data.begin(), p.data.end());
    videos += p.type == proto::kStreamVideo;
  }
  qrv::test::TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("stall.264"), file));
  EXPECT_EQ(CountDecodedFrames(dir.File("stall.264")), static_cast<int>(videos));
}

// A viewer that stops reading: once the device's queue for it is full the
// device leaves frames out up to the next IDR and counts them apart from the
// frames it sent. The viewer sees consecutive packets, a gap in the frame
// times that ends at an IDR, and a stream that decodes throughout.
TEST_F(StreamTest, AViewerThatFallsBehindIsCountedAndResumesAtAnIdr) {
  DeviceConfig c = SmallDevice(9);
  c.replay = true;
  c.media = MediaSettings{640, 360, 50, 25, 40000};  // about 5 MB/s, 20 ms per frame
  Device& device = Add(c);
  auto stream = OpenStream(device);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(device.WaitFor(
      [](const Observations& o) { return !o.streams.empty() && o.streams[0].framesDropped > 0; },
      30s))
      << "the device never gave up on the viewer that does not read";
  Frame frame;
  std::vector<uint8_t> file;
  int videos = 0, afterGap = -1;
  uint64_t missing = 0, lastTime = 0;
  uint32_t lastSequence = 0;
  for (int packets = 0; packets < 5000 && afterGap < 5; ++packets) {
    ASSERT_EQ(stream->Read(frame), ReadResult::kFrame);
    auto data = proto::ParseStreamData(frame.payload);
    ASSERT_TRUE(data);
    if (packets > 0) {
      ASSERT_EQ(data->sequence, lastSequence + 1);
    }
    lastSequence = data->sequence;
    file.insert(file.end(), data->data.begin(), data->data.end());
    if (data->frameType != proto::kStreamVideo) continue;
    if (videos++ > 0 && data->timestampMs > lastTime + 20) {
      EXPECT_TRUE(data->keyFrame) << "after a gap the stream resumes at an IDR";
      missing += (data->timestampMs - lastTime) / 20 - 1;
      afterGap = 0;
    } else if (afterGap >= 0) {
      ++afterGap;
    }
    lastTime = data->timestampMs;
  }
  ASSERT_GE(afterGap, 5) << "no gap in the frame times";
  EXPECT_GE(device.Observe().streams[0].framesDropped, missing);
  qrv::test::TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("behind.264"), file));
  EXPECT_EQ(CountDecodedFrames(dir.File("behind.264")), videos);
}

// A run that stops its devices' media waits for what they already sent: the
// connections stay open, every frame counted as sent arrives, then nothing
// more, for a live viewer that had not read yet and for a flood viewer alike.
TEST_F(StreamTest, AfterStopMediaEveryFrameCountedAsSentStillArrivesAndNoMore) {
  DeviceConfig live = SmallDevice(10);
  live.replay = true;
  live.media = MediaSettings{640, 360, 50, 25, 40000};  // about 100 KB a frame
  DeviceConfig flood = SmallDevice(11);
  flood.replay = flood.flood = true;
  flood.media = MediaSettings{320, 180, 5, 5};
  Device& liveDevice = Add(live);
  Device& floodDevice = Add(flood);
  auto liveStream = OpenStream(liveDevice);
  auto floodStream = OpenStream(floodDevice);
  ASSERT_NE(liveStream, nullptr);
  ASSERT_NE(floodStream, nullptr);
  ASSERT_TRUE(liveDevice.WaitFor(
      [](const Observations& o) { return !o.streams.empty() && o.streams[0].frames >= 20; }, 10s));
  const size_t floodRead = ReadVideo(*floodStream, 50).size() - 1;  // less the header
  liveDevice.StopMedia();
  floodDevice.StopMedia();

  for (auto [device, stream, already] : {std::tuple{&liveDevice, liveStream.get(), size_t{0}},
                                         std::tuple{&floodDevice, floodStream.get(), floodRead}}) {
    const StreamObservation counted = device->Observe().streams.at(0);
    ASSERT_GT(counted.frames, already) << device->Config().address;
    uint64_t received = already;
    Frame frame;
    while (received < counted.frames && stream->Read(frame) == ReadResult::kFrame) {
      auto data = proto::ParseStreamData(frame.payload);
      if (data && data->frameType == proto::kStreamVideo) ++received;
    }
    EXPECT_EQ(received, counted.frames) << device->Config().address;
    EXPECT_EQ(stream->Read(frame, 300ms), ReadResult::kTimeout)
        << device->Config().address << ": still open, and nothing after the counted frames";
    EXPECT_EQ(device->Observe().streams.at(0).frames, counted.frames);
  }
}

}  // namespace
}  // namespace qrv::sim::test
