// The device library's ONVIF backend against simulated cameras with an
// ONVIF face, through the exported functions only: logins and their
// failures, snapshots, PTZ and presets, what has no ONVIF way, streams over
// TCP and UDP, streams that follow their login, and a camera whose clock is
// off by hours.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tests/tmcc/media_check.h"

namespace dl = qrv::devicelib;
using qrv::test::LoopbackAddress;
using qrv::test::TempDir;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

// Ports on this process's own loopback addresses (see LoopbackAddress), so
// no other test holds them.
constexpr uint16_t kOnvifPort = 18080;
constexpr uint16_t kRtspPort = 18554;

// "http://address:port", the form that picks the ONVIF backend at any port.
std::string OnvifUrl(const qrv::sim::DeviceConfig& c, uint16_t port = kOnvifPort) {
  return "http://" + c.address + ":" + std::to_string(port);
}

dl::LoginRecord LoginRecord(const std::string& ip, const qrv::sim::DeviceConfig& c,
                            const std::string& password, int32_t port = 0) {
  dl::LoginRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  r.devicePort = port == 0 ? c.controlPort : port;
  std::strncpy(r.user, c.user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, password.c_str(), sizeof(r.password) - 1);
  return r;
}

dl::StreamConnectRecord StreamRecord(const std::string& ip, const qrv::sim::DeviceConfig& c,
                                     int32_t port, uint8_t flag) {
  dl::StreamConnectRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  r.streamPort = port;
  std::strncpy(r.user, c.user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, c.password.c_str(), sizeof(r.password) - 1);
  r.flag = flag;
  return r;
}

struct Packet {
  int type;
  int key;
  std::vector<uint8_t> data;
};

struct Packets {
  std::mutex mutex;
  std::vector<Packet> got;
  std::vector<Packet> Copy() {
    std::lock_guard lock(mutex);
    return got;
  }
  size_t Pictures() {
    std::lock_guard lock(mutex);
    size_t n = 0;
    for (const auto& p : got) n += p.type == 0 ? 1 : 0;
    return n;
  }
};

int32_t QRV_CALLBACK OnPacket(int32_t, dl::StreamPacket* p, void* context) {
  auto* packets = static_cast<Packets*>(context);
  std::lock_guard lock(packets->mutex);
  packets->got.push_back(
      {p->frameType, p->keyFrame, std::vector<uint8_t>(p->data, p->data + p->length)});
  return 0;
}

class OnvifCameraTest : public ::testing::Test {
 protected:
  qrv::sim::DeviceConfig Config(int index) {
    qrv::sim::DeviceConfig c;
    c.address = LoopbackAddress(index);
    c.user = "operator";
    c.password = "pa%ss";
    c.media = qrv::sim::MediaSettings{320, 180, 25, 25};
    c.answerDiscovery = false;
    c.onvifPort = kOnvifPort;
    c.onvifDiscoveryPort = 0;
    c.rtspPort = kRtspPort;
    c.alarmPort = 1;  // nobody listens
    return c;
  }
  qrv::sim::Device& Add(const qrv::sim::DeviceConfig& c) {
    std::string error;
    auto* d = sim_.AddDevice(c, &error);
    if (d == nullptr) throw std::runtime_error(error);
    return *d;
  }
  int32_t Login(const std::string& ip, const qrv::sim::DeviceConfig& c, const std::string& password,
                int32_t* result, int32_t port = 0) {
    int32_t h = TMCC_Init(dl::kClientLogin);
    TMCC_SetTimeOut(h, 3000);
    auto record = LoginRecord(ip, c, password, port);
    *result = TMCC_Connect(h, &record, 0);
    return h;
  }
  // A stream opened with record, checked to begin with a header and go on with
  // pictures, key frames flagged; returns the stream handle (open).
  int32_t CheckStream(dl::StreamConnectRecord record, Packets& packets) {
    int32_t h = TMCC_Init(dl::kClientStream);
    TMCC_SetTimeOut(h, 3000);
    EXPECT_EQ(TMCC_RegisterStreamCallBack(h, OnPacket, &packets), dl::kOk);
    EXPECT_EQ(TMCC_ConnectStream(h, &record, 0), dl::kOk);
    EXPECT_TRUE(WaitUntil([&] { return packets.Pictures() >= 30; }, 10s));
    auto got = packets.Copy();
    if (got.empty()) {
      ADD_FAILURE() << "no packet";
      return h;
    }
    EXPECT_EQ(got.front().type, 2) << "a header first";
    size_t keys = 0;
    for (const auto& p : got) {
      if (p.type != 0) continue;
      // The key-frame flag is set exactly on pictures with an IDR slice.
      EXPECT_EQ(p.key != 0, qrv::test::FirstSliceType(p.data) == 5);
      keys += p.key != 0 ? 1 : 0;
    }
    EXPECT_GE(keys, 1u);
    return h;
  }

  qrv::sim::Simulator sim_;
};

}  // namespace

TEST_F(OnvifCameraTest, LoginAcceptsTheRightPasswordAndTellsRefusalFromNoCamera) {
  auto c = Config(1);
  Add(c);
  int32_t r = 0;
  int32_t h = Login(OnvifUrl(c), c, c.password, &r);
  EXPECT_EQ(r, dl::kOk);
  EXPECT_EQ(TMCC_IsConnect(h), 1);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);

  h = Login(OnvifUrl(c), c, "wrong", &r);
  EXPECT_EQ(r, dl::kErrAuthRefused);
  EXPECT_EQ(TMCC_IsConnect(h), 0);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);

  // Nothing listens on the next port: unreachable, not a refused login.
  h = Login(OnvifUrl(c, kOnvifPort + 1), c, c.password, &r);
  EXPECT_EQ(r, dl::kErrUnreachable);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);

  // A path with no device service behind it: the camera refused, not a
  // malformed answer and never a success.
  h = Login(OnvifUrl(c) + "/none", c, c.password, &r);
  EXPECT_EQ(r, dl::kErrDeviceRefused);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST_F(OnvifCameraTest, SnapshotPtzAndPresetsReachTheCameraAndTheRestIsUnsupported) {
  auto c = Config(2);
  auto& device = Add(c);
  int32_t r = 0;
  int32_t h = Login(OnvifUrl(c), c, c.password, &r);
  ASSERT_EQ(r, dl::kOk);

  TempDir dir;
  {
    // Side by side on a fresh login, before any challenge was seen: each
    // answers the camera's challenge alone.
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        const auto name = dir.File("snap" + std::to_string(i) + ".jpg");
        if (TMCC_CapturePictureToFile(h, name.c_str(), "JPEG") == dl::kOk) ++good;
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 4);
  }
  const auto file = dir.File("snap.jpg");
  ASSERT_EQ(TMCC_CapturePictureToFile(h, file.c_str(), "JPEG"), dl::kOk);
  int width = 0, height = 0;
  ASSERT_TRUE(qrv::test::JpegFileSize(file, width, height));
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 180);

  // Right at half speed, then stop: the model saw the same codes our
  // protocol would have sent it.
  ASSERT_EQ(TMCC_PtzControl(h, 24, 0, 40), dl::kOk);
  auto seen = device.Observe();
  EXPECT_EQ(seen.lastPtzCode, 24);
  EXPECT_EQ(seen.lastPtzParam1, 0);
  EXPECT_EQ(seen.lastPtzParam2, 40);
  ASSERT_TRUE(device.WaitFor([](const auto& o) { return o.ptz.pan > 0.1; }, 5s));
  ASSERT_EQ(TMCC_PtzControl(h, 24, 1, 0), dl::kOk);
  seen = device.Observe();
  EXPECT_EQ(seen.lastPtzCode, 21) << "a pan-tilt stop";
  EXPECT_EQ(seen.lastPtzParam1, 1);
  const double stoppedAt = seen.ptz.pan;
  ASSERT_EQ(TMCC_PtzControl(h, 12, 0, 80), dl::kOk);
  EXPECT_EQ(device.Observe().lastPtzCode, 12);
  ASSERT_EQ(TMCC_PtzControl(h, 12, 1, 0), dl::kOk);
  EXPECT_EQ(device.Observe().lastPtzCode, 11) << "a zoom stop";

  // Preset 5 here; move away; go back to it.
  ASSERT_EQ(TMCC_PtzControl(h, 100, 5, 5), dl::kOk);
  ASSERT_EQ(TMCC_PtzControl(h, 23, 0, 80), dl::kOk);
  ASSERT_TRUE(device.WaitFor([&](const auto& o) { return o.ptz.pan < stoppedAt - 0.1; }, 5s));
  ASSERT_EQ(TMCC_PtzControl(h, 23, 1, 0), dl::kOk);
  ASSERT_EQ(TMCC_PtzControl(h, 102, 5, 5), dl::kOk);
  seen = device.Observe();
  EXPECT_EQ(seen.lastPtzCode, 102);
  EXPECT_NEAR(seen.ptz.pan, stoppedAt, 1e-6);
  // Set again: the same preset, not a second one.
  ASSERT_EQ(TMCC_PtzControl(h, 100, 5, 5), dl::kOk);
  ASSERT_EQ(TMCC_PtzControl(h, 101, 5, 5), dl::kOk);
  EXPECT_EQ(TMCC_PtzControl(h, 102, 5, 5), dl::kErrDeviceRefused) << "cleared";
  EXPECT_EQ(TMCC_PtzControl(h, 102, 7, 7), dl::kErrDeviceRefused) << "never set";
  EXPECT_EQ(TMCC_PtzControl(h, 101, 7, 7), dl::kErrDeviceRefused) << "clearing one never set";
  EXPECT_EQ(TMCC_PtzControl(h, 102, 0, 0), dl::kErrInvalidArgument);

  // What has no ONVIF way says so; never a success that did nothing.
  const uint64_t ptzBefore = device.Observe().ptzRequests;
  for (int code : {13, 15, 3, 123}) EXPECT_EQ(TMCC_PtzControl(h, code, 0, 10), dl::kErrUnsupported);
  EXPECT_EQ(device.Observe().ptzRequests, ptzBefore);
  EXPECT_EQ(TMCC_MakeKeyFrame(h), dl::kErrUnsupported);
  dl::LoginRecord voice = LoginRecord(c.address, c, c.password);
  EXPECT_EQ(TMCC_StartVoiceCom(h, &voice), dl::kErrUnsupported);
  EXPECT_EQ(TMCC_StopVoiceCom(h), dl::kErrUnsupported);
  EXPECT_EQ(TMCC_SetMute(h, 0), dl::kErrUnsupported);
  EXPECT_EQ(TMCC_IsConnect(h), 1);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST_F(OnvifCameraTest, StreamsOverTcpAndUdpBeginWithAHeaderAndFlagKeyFrames) {
  auto c = Config(3);
  auto& device = Add(c);
  for (uint8_t flag : {0, 1}) {
    SCOPED_TRACE(flag == 0 ? "interleaved" : "UDP");
    Packets packets;
    int32_t h = CheckStream(StreamRecord(OnvifUrl(c), c, 0, flag), packets);
    EXPECT_EQ(device.Observe().rtspViewers, 1u);
    EXPECT_EQ(TMCC_CloseStream(h), dl::kOk);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
    EXPECT_TRUE(device.WaitFor([](const auto& o) { return o.rtspViewers == 0; }, 5s));
  }
  // A stream type the camera has no profile for.
  auto record = StreamRecord(OnvifUrl(c), c, 0, 0);
  record.streamType = 2;
  int32_t h = TMCC_Init(dl::kClientStream);
  Packets none;
  TMCC_RegisterStreamCallBack(h, OnPacket, &none);
  EXPECT_EQ(TMCC_ConnectStream(h, &record, 0), dl::kErrDeviceRefused);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST_F(OnvifCameraTest, AStreamToOurStreamPortFollowsItsDevicesLogin) {
  auto c = Config(4);
  auto& device = Add(c);
  int32_t r = 0;
  int32_t login = Login(OnvifUrl(c), c, c.password, &r);
  ASSERT_EQ(r, dl::kOk);
  for (int32_t port : {0, 6002}) {
    Packets packets;
    int32_t h = CheckStream(StreamRecord(c.address, c, port, 0), packets);
    EXPECT_EQ(device.Observe().rtspViewers, 1u) << port;
    EXPECT_TRUE(device.Observe().streams.empty()) << "not over our protocol";
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
    EXPECT_TRUE(device.WaitFor([](const auto& o) { return o.rtspViewers == 0; }, 5s));
  }
  // A login with our protocol to the same address: streams are ours again.
  int32_t native = Login(c.address, c, c.password, &r);
  ASSERT_EQ(r, dl::kOk);
  Packets packets;
  int32_t h = CheckStream(StreamRecord(c.address, c, 6002, 0), packets);
  EXPECT_EQ(device.Observe().streams.size(), 1u);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
  EXPECT_EQ(TMCC_Done(native), dl::kOk);
  EXPECT_EQ(TMCC_Done(login), dl::kOk);
}

TEST_F(OnvifCameraTest, ACameraWhoseClockIsOffByHoursStillAcceptsOurTokens) {
  for (int64_t offset : {3 * 3600, -26 * 3600}) {
    SCOPED_TRACE(offset);
    auto c = Config(offset > 0 ? 5 : 6);
    c.onvifClockOffsetSeconds = offset;
    Add(c);
    int32_t r = 0;
    int32_t h = Login(OnvifUrl(c), c, c.password, &r);
    EXPECT_EQ(r, dl::kOk);
    // Every later request carries a token on the camera's clock too.
    EXPECT_EQ(TMCC_PtzControl(h, 21, 0, 10), dl::kOk);
    EXPECT_EQ(TMCC_PtzControl(h, 21, 1, 0), dl::kOk);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
}
