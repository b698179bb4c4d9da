// Simulated devices through the device protocol on loopback: logins,
// requests and the control-side faults.
#include <asio.hpp>

#include "tests/simulator/media_probe.h"
#include "tests/simulator/sim_fixture.h"
#include "tmcc/native/codec/builders.h"

namespace qrv::sim::test {
namespace {

namespace proto = tmcc::protocol;
using proto::AnswerStatus;
using proto::LoginStatus;
using proto::Purpose;
using proto::RequestCode;

class DeviceTest : public SimulatorTest {};

TEST_F(DeviceTest, LoginsAreJudgedByProofUserPurposeAndFaultSwitch) {
  Device& device = Add(SmallDevice(1));
  const auto& c = device.Config();
  auto attempt = [&](Purpose purpose, const std::string& user, const std::string& password,
                     bool* proofOk = nullptr, int flipProofByte = -1) {
    TestClient client;
    EXPECT_TRUE(client.Connect(c.address, c.controlPort));
    auto status = client.Login(purpose, 0, user, password, proofOk, flipProofByte);
    if (status && *status != LoginStatus::kAccepted) {
      EXPECT_TRUE(client.WaitClosed()) << "a refused login is closed by the device";
    }
    return status;
  };
  bool proofOk = false;
  EXPECT_EQ(attempt(Purpose::kControl, c.user, c.password, &proofOk), LoginStatus::kAccepted);
  EXPECT_TRUE(proofOk) << "the device proves it knows the password";
  EXPECT_EQ(attempt(Purpose::kControl, c.user, "wrong"), LoginStatus::kCredentialsRefused);
  EXPECT_EQ(attempt(Purpose::kControl, "intruder", c.password), LoginStatus::kCredentialsRefused);
  EXPECT_EQ(attempt(Purpose::kStream, c.user, c.password), LoginStatus::kPurposeUnsupported);
  // The right proof with any one byte inverted, the last one included.
  for (int i = 0; i < static_cast<int>(proto::kProofSize); ++i) {
    EXPECT_EQ(attempt(Purpose::kControl, c.user, c.password, nullptr, i),
              LoginStatus::kCredentialsRefused)
        << "proof byte " << i;
  }

  device.SetRefuseLogins(true);
  EXPECT_EQ(attempt(Purpose::kControl, c.user, c.password), LoginStatus::kCredentialsRefused);
  device.SetRefuseLogins(false);
  EXPECT_EQ(attempt(Purpose::kControl, c.user, c.password), LoginStatus::kAccepted);

  auto obs = device.Observe();
  EXPECT_EQ(obs.logins, 2u);
  EXPECT_EQ(obs.refusedLogins, 4u + proto::kProofSize);
  EXPECT_EQ(obs.lastUser, c.user);
  // Both accepted sessions have been closed by the client by now.
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return o.activeLogins == 0; }, 3000ms));
}

TEST_F(DeviceTest, GarbageAndRequestsBeforeLoginCloseTheConnection) {
  Device& device = Add(SmallDevice(2));
  const auto& c = device.Config();
  {
    TestClient client;
    ASSERT_TRUE(client.Connect(c.address, c.controlPort));
    Frame hello;
    ASSERT_EQ(client.Read(hello), ReadResult::kFrame);
    ASSERT_TRUE(client.Write({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1',
                              '\r', '\n', '\r', '\n'}));
    EXPECT_TRUE(client.WaitClosed());
  }
  {
    TestClient client;
    ASSERT_TRUE(client.Connect(c.address, c.controlPort));
    Frame hello;
    ASSERT_EQ(client.Read(hello), ReadResult::kFrame);
    std::vector<uint8_t> request;
    proto::BuildRequest(request, 9, proto::Request{RequestCode::kPtz, 21, 0, 40, ""});
    ASSERT_TRUE(client.Write(request));
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_EQ(device.Observe().ptzRequests, 0u);
  // The device still serves properly afterwards.
  EXPECT_NE(LoggedIn(device), nullptr);
}

TEST_F(DeviceTest, RequestsChangeTheDeviceAndAreObserved) {
  Device& device = Add(SmallDevice(3));
  auto client = LoggedIn(device);
  ASSERT_NE(client, nullptr);

  auto status = [&](RequestCode code, int32_t a0 = 0, int32_t a1 = 0, int32_t a2 = 0) {
    auto answer = client->Request(code, a0, a1, a2, code == RequestCode::kVoiceStart ? "op" : "");
    return answer ? answer->status : static_cast<AnswerStatus>(-1);
  };

  EXPECT_EQ(status(RequestCode::kKeyFrame), AnswerStatus::kOk);
  EXPECT_EQ(device.Observe().keyFrameRequests, 1u);

  // Mute: audio starts off, switches on and off; other values are refused.
  EXPECT_TRUE(device.Observe().muted);
  EXPECT_EQ(status(RequestCode::kSetMute, 0), AnswerStatus::kOk);
  EXPECT_FALSE(device.Observe().muted);
  EXPECT_EQ(status(RequestCode::kSetMute, 7), AnswerStatus::kRefused);
  EXPECT_FALSE(device.Observe().muted);
  EXPECT_EQ(status(RequestCode::kSetMute, 1), AnswerStatus::kOk);
  EXPECT_TRUE(device.Observe().muted);

  // Voice talk: one session at a time; stop also when none runs.
  EXPECT_EQ(status(RequestCode::kVoiceStart), AnswerStatus::kOk);
  EXPECT_EQ(status(RequestCode::kVoiceStart), AnswerStatus::kUnavailable);
  auto obs = device.Observe();
  EXPECT_TRUE(obs.voiceActive);
  EXPECT_EQ(obs.voiceStarted, 1u);
  EXPECT_EQ(status(RequestCode::kVoiceStop), AnswerStatus::kOk);
  EXPECT_EQ(status(RequestCode::kVoiceStop), AnswerStatus::kOk);
  obs = device.Observe();
  EXPECT_FALSE(obs.voiceActive);
  EXPECT_EQ(obs.voiceStopped, 1u);

  // PTZ: a known code moves the head and answers 0; an unknown one is refused
  // and moves nothing.
  EXPECT_EQ(status(RequestCode::kPtz, 24, 0, 40), AnswerStatus::kOk);  // start right
  EXPECT_EQ(status(RequestCode::kPtz, 24, 1, 40), AnswerStatus::kOk);  // stop
  obs = device.Observe();
  EXPECT_GT(obs.ptz.pan, 0.0);
  EXPECT_EQ(obs.lastPtzCode, 24);
  const double pan = obs.ptz.pan;
  EXPECT_EQ(status(RequestCode::kPtz, 99, 0, 40), AnswerStatus::kRefused);
  obs = device.Observe();
  EXPECT_EQ(obs.ptz.pan, pan);
  EXPECT_EQ(obs.lastPtzCode, 99);
  EXPECT_NE(obs.lastPtzResult, 0);

  EXPECT_EQ(status(static_cast<RequestCode>(77)), AnswerStatus::kUnknownRequest);

  // Snapshot: a JPEG of the device's resolution; other formats refused.
  auto snap = client->Request(RequestCode::kSnapshot, proto::kSnapshotJpeg);
  ASSERT_TRUE(snap);
  ASSERT_EQ(snap->status, AnswerStatus::kOk);
  EXPECT_EQ(snap->width, 320u);
  EXPECT_EQ(snap->height, 180u);
  int w = 0, h = 0;
  ASSERT_TRUE(JpegSize(std::vector<uint8_t>(snap->data.begin(), snap->data.end()), w, h));
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 180);
  EXPECT_EQ(status(RequestCode::kSnapshot, 2), AnswerStatus::kRefused);
  EXPECT_EQ(device.Observe().snapshots, 1u);

  // Heartbeat.
  std::vector<uint8_t> ping;
  proto::BuildPing(ping, 4242);
  ASSERT_TRUE(client->Write(ping));
  Frame pong;
  ASSERT_EQ(client->Read(pong), ReadResult::kFrame);
  EXPECT_EQ(pong.type, proto::MessageType::kPong);
  EXPECT_EQ(pong.requestId, 4242u);
}

TEST_F(DeviceTest, VoiceSessionEndsWhenItsConnectionCloses) {
  Device& device = Add(SmallDevice(4));
  auto client = LoggedIn(device);
  ASSERT_NE(client, nullptr);
  auto answer = client->Request(RequestCode::kVoiceStart, 0, 0, 0, "op");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, AnswerStatus::kOk);
  client->Close();
  EXPECT_TRUE(device.WaitFor([](const Observations& o) { return !o.voiceActive; }, 3000ms));
  // A new login can talk again.
  auto second = LoggedIn(device);
  ASSERT_NE(second, nullptr);
  answer = second->Request(RequestCode::kVoiceStart, 0, 0, 0, "op");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, AnswerStatus::kOk);
}

TEST_F(DeviceTest, StallAcceptsButSaysNothingUntilItEnds) {
  Device& device = Add(SmallDevice(5));
  auto before = LoggedIn(device);
  ASSERT_NE(before, nullptr);
  device.SetStall(true);
  const auto& c = device.Config();
  TestClient client;
  ASSERT_TRUE(client.Connect(c.address, c.controlPort)) << "a stalled device still accepts";
  Frame frame;
  EXPECT_EQ(client.Read(frame, 300ms), ReadResult::kTimeout);
  // The existing session goes silent too: no answer to a request.
  std::vector<uint8_t> ping;
  proto::BuildPing(ping, 1);
  ASSERT_TRUE(before->Write(ping));
  EXPECT_EQ(before->Read(frame, 300ms), ReadResult::kTimeout);

  device.SetStall(false);
  ASSERT_EQ(client.Read(frame), ReadResult::kFrame);
  EXPECT_EQ(frame.type, proto::MessageType::kServerHello);
  auto answer = before->Request(RequestCode::kKeyFrame);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, AnswerStatus::kOk);
}

TEST_F(DeviceTest, DropAndRestartCloseSessionsAndServeAgain) {
  Device& device = Add(SmallDevice(6));
  auto client = LoggedIn(device);
  ASSERT_NE(client, nullptr);
  device.DropAllConnections();
  EXPECT_TRUE(client->WaitClosed());
  client = LoggedIn(device);
  ASSERT_NE(client, nullptr);

  const MediaSettings bigger{480, 270, 25, 1000};
  device.Restart(200ms, &bigger);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_TRUE(
      device.WaitFor([](const Observations& o) { return o.running && o.restarts == 1; }, 5000ms));
  client = LoggedIn(device);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(device.CurrentMedia().width, 480);
  auto snap = client->Request(RequestCode::kSnapshot, proto::kSnapshotJpeg);
  ASSERT_TRUE(snap);
  EXPECT_EQ(snap->width, 480u);
  EXPECT_EQ(device.Observe().logins, 3u);

  // Invalid new settings keep the old ones.
  const MediaSettings invalid{7, 7, 0, 0};
  device.Restart(0ms, &invalid);
  EXPECT_TRUE(
      device.WaitFor([](const Observations& o) { return o.running && o.restarts == 2; }, 5000ms));
  EXPECT_EQ(device.CurrentMedia().width, 480);
}

TEST_F(DeviceTest, BadConfigurationsAndTakenPortsAreRefusedCleanly) {
  auto refused = [&](DeviceConfig c) {
    std::string error;
    EXPECT_EQ(sim_.AddDevice(c, &error), nullptr);
    EXPECT_FALSE(error.empty());
  };
  DeviceConfig c = SmallDevice(7);
  c.address = "10.1.2.3";
  refused(c);
  c = SmallDevice(7);
  c.media.width = 321;
  refused(c);
  c = SmallDevice(7);
  c.streamPort = c.controlPort;
  refused(c);
  c = SmallDevice(7);
  c.flood = true;
  refused(c);
  c = SmallDevice(7);
  c.user = std::string(40, 'u');
  refused(c);
  EXPECT_EQ(sim_.DeviceCount(), 0u);

  Device& first = Add(SmallDevice(7));
  refused(SmallDevice(7));  // same address and ports
  EXPECT_EQ(sim_.DeviceCount(), 1u);
  EXPECT_NE(LoggedIn(first), nullptr);
}

TEST_F(DeviceTest, ManyReplayDevicesShareOneProcess) {
  constexpr int kDevices = 64;
  for (int i = 0; i < kDevices; ++i) {
    DeviceConfig c = SmallDevice(20 + i);
    c.replay = true;
    Add(c);
  }
  ASSERT_EQ(sim_.DeviceCount(), static_cast<size_t>(kDevices));
  for (int i : {0, kDevices / 2, kDevices - 1}) {
    EXPECT_NE(LoggedIn(sim_.device(static_cast<size_t>(i))), nullptr) << "device " << i;
  }
  sim_.Stop();
  EXPECT_FALSE(sim_.device(0).Observe().running);
  std::string error;
  EXPECT_EQ(sim_.AddDevice(SmallDevice(100), &error), nullptr);
}

}  // namespace
}  // namespace qrv::sim::test
