// A standard camera end to end: host -> plug-in -> our device library's ONVIF
// and RTSP client -> the simulated device's ONVIF and RTSP faces. The device
// pushes no alarms of its own here, and answers no native discovery: what
// reaches the host came through the standard protocols.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "devicelib/tmcc_errors.h"
#include "e2e/checks.h"
#include "e2e/e2e_world.h"
#include "host/kit/media_probe.h"
#include "host/kit/stream_tap.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace qrv::e2e {
namespace {

using host::EventHub;
using host::HostEvent;
using host::Reply;
using host::StreamTap;
using host::TapCounts;
using std::chrono::milliseconds;

constexpr uint16_t kOnvifPort = 80;

host::FleetOptions FleetForThisProgram() {
  host::FleetOptions options;
  options.baseAddress = host::ProcessLoopbackBase(3);
  options.count = 1;
  options.identityPrefix = "E2E-ONVIF-";
  options.media.gop = 25;
  options.answerDiscovery = false;
  options.rtspPort = 554;
  options.onvifPort = kOnvifPort;
  options.onvifMulticast = true;
  options.alarmPort = 9;  // discard: nobody listens, so no alarm is pushed
  return options;
}

World& world() {
  return World::Get();
}

host::Credentials Camera() {
  return world().fleet().onvifCredentials(0);
}

// A login to the camera for the length of a test.
struct Login : ScopedLogin {
  Login() : ScopedLogin(Camera()) {}
};

Reply Status(int32_t slot) {
  return world().requests().Execute(
      {{"Operation", std::to_string(kQrvOpDeviceStatus)}, {"Handle", std::to_string(slot)}});
}

TEST(StandardCamera, DiscoveryReportsTheCameraAtTheAddressItAnsweredFrom) {
  EventHub& hub = EventHub::Instance();
  const std::string address = world().fleet().address(0);
  EXPECT_EQ(world().requests().RefreshDiscovery().code, 0);
  ASSERT_TRUE(hub.WaitUntil(
      [&](const auto& events) {
        return std::any_of(events.begin(), events.end(), [&](const HostEvent& e) {
          return e.kind == HostEvent::kDiscovery && e.address() == address;
        });
      },
      milliseconds(10000)));
  for (const HostEvent& e : hub.Events()) {
    if (e.kind == HostEvent::kDiscovery && e.address() == address) {
      EXPECT_EQ(e.port, kOnvifPort);
    }
  }
}

TEST(StandardCamera, WrongPasswordAndAbsentCameraGetTheLibrarysResults) {
  host::Credentials wrong = Camera();
  wrong.password = "not-the-password";
  Reply refused = world().requests().Login(wrong);
  EXPECT_EQ(refused.code, devicelib::kErrAuthRefused) << host::DescribeExecuteResult(refused.code);
  host::Credentials absent = Camera();
  absent.address = host::LoopbackAddress(world().fleet().address(0), 100);
  Reply unreachable = world().requests().Login(absent);
  EXPECT_EQ(unreachable.code, devicelib::kErrUnreachable)
      << host::DescribeExecuteResult(unreachable.code);
}

TEST(StandardCamera, StreamsAndRecordsThroughTheStreamUriItAnnounces) {
  test::TempDir dir;
  Login login;
  ASSERT_GE(login.slot, 0);
  StreamTap& tap = login.tap;
  ASSERT_EQ(tap.Attach(world().access(), login.slot), 0);
  tap.KeepRecordedBytes(true);
  tap.Arm();
  ASSERT_EQ(world().requests().StartRecording(login.slot, dir.File("camera")).code, 0);
  // The host opens the stream as for any device: address and stream type.
  ASSERT_EQ(world().requests().OpenStream(login.slot, Camera(), 0).code, 0);
  ASSERT_TRUE(WaitForTap(
      tap, [](const TapCounts& c) { return c.recordedFrames >= 60; }, 20000));
  EXPECT_EQ(world().requests().CloseStream(login.slot).code, 0);
  EXPECT_EQ(world().requests().StopRecording(login.slot).code, 0);
  tap.Disarm();
  TapCounts counts = tap.Read();
  EXPECT_GE(counts.firstHeaders, 1u);
  EXPECT_EQ(counts.badKeyField, 0u);
  EXPECT_GE(counts.keyFrames, 2u);
  // Every picture came through the camera's RTSP face.
  EXPECT_GE(world().fleet().device(0).Observe().rtspFramesSent, counts.frames);

  FileCheck file = Inspect(dir.File("camera.264"));
  ExpectSoundRecording(file, counts.recordedFrames);
  EXPECT_EQ(file.bytes, static_cast<int64_t>(counts.recordedBytes));
  EXPECT_EQ(file.probe.width, 640);
  EXPECT_EQ(file.probe.height, 360);
  EXPECT_EQ(login.Release(), 0);
}

TEST(StandardCamera, SnapshotAndPtzWorkWhatTheCameraCannotDoFailsWithAReason) {
  sim::Device& device = world().fleet().device(0);
  Login login;
  ASSERT_GE(login.slot, 0);
  host::Requests& requests = world().requests();
  test::TempDir dir;

  EXPECT_EQ(requests.Snapshot(login.slot, dir.File("shot.jpg")).code, 0);
  std::string error;
  auto picture = host::DecodeJpegFile(dir.File("shot.jpg"), &error);
  ASSERT_TRUE(picture) << error;
  EXPECT_EQ(picture->width, 640);
  EXPECT_EQ(picture->height, 360);

  // Right at a speed, then stop: the camera's position follows.
  const double panBefore = device.Observe().ptz.pan;
  EXPECT_EQ(requests.Ptz(login.slot, 4, 1, 9).code, 0);
  EXPECT_TRUE(
      device.WaitFor([&](const sim::Observations& o) { return o.ptz.pan > panBefore + 0.02; },
                     milliseconds(5000)));
  EXPECT_EQ(requests.Ptz(login.slot, 4, 0, 9).code, 0);
  // Presets: store here, move away, go back.
  EXPECT_EQ(requests.Ptz(login.slot, 9, 7, 1).code, 0);
  const double stored = device.Observe().ptz.pan;
  EXPECT_EQ(requests.Ptz(login.slot, 3, 1, 9).code, 0);
  EXPECT_TRUE(device.WaitFor([&](const sim::Observations& o) { return o.ptz.pan < stored - 0.02; },
                             milliseconds(5000)));
  EXPECT_EQ(requests.Ptz(login.slot, 3, 0, 9).code, 0);
  EXPECT_EQ(requests.Ptz(login.slot, 11, 7, 1).code, 0);
  EXPECT_TRUE(device.WaitFor(
      [&](const sim::Observations& o) { return std::abs(o.ptz.pan - stored) < 1e-3; },
      milliseconds(5000)));
  // A preset the camera has not got: clearing or going to it is the
  // library's refusal, never a success that did nothing.
  EXPECT_EQ(requests.Ptz(login.slot, 10, 8, 1).code, devicelib::kErrDeviceRefused);
  EXPECT_EQ(requests.Ptz(login.slot, 11, 8, 1).code, devicelib::kErrDeviceRefused);

  // Voice talk and a forced key frame have no standard request: they fail,
  // never answer success, and the device status says why.
  EXPECT_NE(requests.TalkStart(login.slot).code, 0);
  EXPECT_NE(Status(login.slot).output["LastError"].find("does not offer"), std::string::npos)
      << Status(login.slot).output["LastError"];
  EXPECT_NE(requests.KeyFrame(login.slot).code, 0);
  EXPECT_EQ(login.Release(), 0);
}

// Whatever form the camera's address was given in: the alarm belongs to the
// login whose event pulls heard it, not to whichever slot's address text
// happens to equal the camera's.
TEST(StandardCamera, AnEventOfTheCameraReachesTheHostAsAnAlarmOfItsSlot) {
  EventHub& hub = EventHub::Instance();
  const host::Credentials camera = Camera();
  struct Form {
    std::string address;
    int32_t port;
  };
  const Form forms[] = {
      {camera.address, camera.port},
      {"http://" + camera.address, camera.port},
      {"http://" + camera.address + ":" + std::to_string(kOnvifPort), camera.port},
  };
  int32_t value = -7;
  for (const Form& form : forms) {
    SCOPED_TRACE(form.address);
    host::Credentials given = camera;
    given.address = form.address;
    given.port = form.port;
    ScopedLogin login(given);
    ASSERT_GE(login.slot, 0);
    const size_t mark = hub.Count();
    // The device raises a digital input; it pushes nothing (no alarm target),
    // so only its pull point can carry it to us. The subscription is taken
    // after the login returns, and an event before it is nobody's: raised
    // again until one arrives, a bounded number of times.
    auto heard = [&](const std::vector<HostEvent>& events) {
      return std::any_of(events.begin() + static_cast<long>(std::min(mark, events.size())),
                         events.end(), [&](const HostEvent& e) {
                           return e.kind == HostEvent::kAlarm && e.slot == login.slot &&
                                  e.alarmValue == value;
                         });
    };
    bool arrived = false;
    for (int i = 0; i < 15 && !arrived; ++i) {
      world().fleet().device(0).RaiseAlarm(value);
      arrived = hub.WaitUntil(heard, milliseconds(1000));
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(world().fleet().device(0).Observe().alarmsPushed, 0u);
    EXPECT_EQ(login.Release(), 0);
    --value;
  }
}

}  // namespace
}  // namespace qrv::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new qrv::e2e::World(qrv::e2e::FleetForThisProgram()));
  return RUN_ALL_TESTS();
}
