// End to end through the real network: host -> plug-in (dlopen) -> our device
// library -> TCP -> simulated devices, and back through the host callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "devicelib/tmcc_errors.h"
#include "e2e/checks.h"
#include "e2e/e2e_world.h"
#include "host/kit/annexb_scan.h"
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

// Devices of this program, one per concern so a restart does not disturb others.
enum DeviceIndex : size_t {
  kGeneral = 0,
  kRestart = 1,
  kRestartNewMedia = 2,
  kOffOnLine = 3,
  kLogout = 4,
  kShortOutage = 5
};
constexpr int kDeviceCount = 6;

host::FleetOptions FleetForThisProgram() {
  host::FleetOptions options;
  options.baseAddress = host::ProcessLoopbackBase(1);
  options.count = kDeviceCount;
  options.identityPrefix = "E2E-SESSION-";
  options.media.gop = 25;
  return options;
}

World& world() {
  return World::Get();
}

// A login for the length of a test, to one of this program's devices.
struct Login : ScopedLogin {
  explicit Login(size_t device) : ScopedLogin(world().fleet().credentials(device)) {}
};

int32_t LogIn(size_t device) {
  Reply reply = world().requests().Login(world().fleet().credentials(device));
  EXPECT_EQ(reply.code, 0) << host::DescribeExecuteResult(reply.code);
  return reply.ok() ? reply.OutputInt("LOGINID") : -1;
}

TEST(Discovery, EveryDeviceIsReportedWithItsRecordAndAgainAfterRefresh) {
  EventHub& hub = EventHub::Instance();
  Reply refresh = world().requests().RefreshDiscovery();
  EXPECT_EQ(refresh.code, 0);
  auto allFound = [&](const std::vector<HostEvent>& events, int times) {
    for (int i = 0; i < kDeviceCount; ++i) {
      int n = static_cast<int>(std::count_if(events.begin(), events.end(), [&](const HostEvent& e) {
        return e.kind == HostEvent::kDiscovery && e.address() == world().fleet().address(i);
      }));
      if (n < times) return false;
    }
    return true;
  };
  ASSERT_TRUE(
      hub.WaitUntil([&](const auto& events) { return allFound(events, 1); }, milliseconds(10000)));
  for (const HostEvent& e : hub.Events()) {
    if (e.kind != HostEvent::kDiscovery ||
        e.address().rfind(world().fleet().address(0).substr(0, 8), 0) != 0) {
      continue;
    }
    bool ours = false;
    for (int i = 0; i < kDeviceCount; ++i) ours = ours || e.address() == world().fleet().address(i);
    if (!ours) continue;
    EXPECT_EQ(e.deviceType, kQrvDeviceTypeCode);
    EXPECT_EQ(e.port, 6001);
    EXPECT_EQ(e.mask(), "255.0.0.0");
    EXPECT_EQ(e.mask2(), e.mask());
    EXPECT_EQ(e.defaultUser(), "tundra");
    EXPECT_EQ(e.defaultPassword(), "tundra");
    EXPECT_NE(e.mac(), "00:00:00:00:00:00");
  }
  // A refresh forgets what was reported, so every device is reported again.
  EXPECT_EQ(world().requests().RefreshDiscovery().code, 0);
  EXPECT_TRUE(
      hub.WaitUntil([&](const auto& events) { return allFound(events, 2); }, milliseconds(10000)));
}

TEST(Login, WrongPasswordIsRefusedWithTheLibraryResultAndLeavesNoSlotTaken) {
  int32_t first = LogIn(kGeneral);
  ASSERT_GE(first, 0);
  EXPECT_EQ(world().requests().Logout(first).code, 0);

  host::Credentials wrong = world().fleet().credentials(kGeneral);
  wrong.password = "not-the-password";
  Reply refused = world().requests().Login(wrong);
  EXPECT_EQ(refused.code, devicelib::kErrAuthRefused) << host::DescribeExecuteResult(refused.code);
  EXPECT_EQ(refused.output.count("LOGINID"), 0u);
  EXPECT_GE(world().fleet().device(kGeneral).Observe().refusedLogins, 1u);

  // The refused login's slot is free again: the next login gets it.
  int32_t again = LogIn(kGeneral);
  EXPECT_EQ(again, first);
  EXPECT_EQ(world().requests().Logout(again).code, 0);
}

TEST(Login, DeviceThatIsNotThereIsRefusedAsUnreachable) {
  host::Credentials nobody = world().fleet().credentials(kGeneral);
  nobody.address = host::LoopbackAddress(world().fleet().address(0), 200);
  Reply refused = world().requests().Login(nobody);
  EXPECT_TRUE(refused.code == devicelib::kErrUnreachable || refused.code == devicelib::kErrTimeout)
      << refused.code << " " << host::DescribeExecuteResult(refused.code);
}

TEST(Objects, TwoObjectsFromTheFactoryShareOneTable) {
  IAccess* second = world().plugin().factory()();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetAccessType(), 11);
  Login login(kGeneral);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  sim::Device& device = world().fleet().device(kGeneral);
  ASSERT_TRUE(device.WaitFor([](const sim::Observations& o) { return o.activeLogins == 1; },
                             milliseconds(5000)));

  // The slot the first object reported works through the second.
  test::TempDir dir;
  host::Requests other(*second);
  EXPECT_EQ(other.Snapshot(slot, dir.File("shared.jpg")).code, 0);
  std::string error;
  auto picture = host::DecodeJpegFile(dir.File("shared.jpg"), &error);
  ASSERT_TRUE(picture) << error;
  EXPECT_EQ(picture->width, 640);
  EXPECT_EQ(other.Logout(slot).code, 0);
  login.slot = -1;
  EXPECT_TRUE(device.WaitFor([](const sim::Observations& o) { return o.activeLogins == 0; },
                             milliseconds(5000)));
  delete second;  // its own data only; the first object goes on working
  int32_t next = LogIn(kGeneral);
  EXPECT_EQ(next, slot);
  EXPECT_EQ(world().requests().Logout(next).code, 0);
}

TEST(Recording, FileHoldsExactlyTheFramesDeliveredFromTheFirstKeyFrame) {
  test::TempDir dir;
  Login login(kGeneral);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  StreamTap& tap = login.tap;
  ASSERT_EQ(tap.Attach(world().access(), slot), 0);
  tap.KeepRecordedBytes(true);
  tap.Arm();
  // Recording first, then the stream: the file must start at its first IDR.
  Reply start = world().requests().StartRecording(slot, dir.File("whole"));
  EXPECT_EQ(start.code, 0);
  EXPECT_EQ(start.input["FileName"], dir.File("whole") + ".264");
  Reply open = world().requests().OpenStream(slot, world().fleet().credentials(kGeneral), 0);
  ASSERT_EQ(open.code, 0);
  EXPECT_EQ(open.OutputInt("Handle"), slot);
  ASSERT_TRUE(WaitForTap(tap, [](const TapCounts& c) { return c.recordedFrames >= 60; }));
  EXPECT_EQ(world().requests().CloseStream(slot).code, 0);
  EXPECT_EQ(world().requests().StopRecording(slot).code, 0);
  tap.Disarm();
  TapCounts counts = tap.Read();
  EXPECT_EQ(counts.firstHeaders, 1u);
  EXPECT_EQ(counts.badKeyField, 0u);
  EXPECT_GE(counts.keyFrames, 2u);

  FileCheck file = Inspect(dir.File("whole.264"));
  ExpectSoundRecording(file, counts.recordedFrames);
  EXPECT_EQ(file.bytes, static_cast<int64_t>(counts.recordedBytes));
  auto bytes = host::ReadFileBytes(dir.File("whole.264"));
  std::vector<uint8_t> expected = tap.RecordedBytes();
  ASSERT_TRUE(bytes);
  auto mismatch = std::mismatch(bytes->begin(), bytes->end(), expected.begin(), expected.end());
  EXPECT_TRUE(mismatch.first == bytes->end() && mismatch.second == expected.end())
      << "the file differs from the delivered bytes at offset " << (mismatch.first - bytes->begin())
      << " (file " << bytes->size() << " bytes, delivered " << expected.size() << ")";
  EXPECT_EQ(file.probe.width, 640);
  EXPECT_EQ(file.probe.height, 360);
  EXPECT_EQ(login.Release(), 0);
}

TEST(Recording, LogoutWhileStreamingAndRecordingLeavesACompleteFile) {
  test::TempDir dir;
  Login login(kLogout);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  StreamTap& tap = login.tap;
  tap.Attach(world().access(), slot);
  ASSERT_EQ(world().requests().OpenStream(slot, world().fleet().credentials(kLogout), 0).code, 0);
  ASSERT_TRUE(WaitForTap(tap, [](const TapCounts& c) { return c.frames >= 5; }));
  tap.Arm();
  ASSERT_EQ(world().requests().StartRecording(slot, dir.File("cut")).code, 0);
  ASSERT_TRUE(WaitForTap(tap, [](const TapCounts& c) { return c.recordedFrames >= 40; }));
  uint64_t before = tap.Read().recordedFrames;
  // No stop and no close: logout alone must finish the file.
  EXPECT_EQ(login.Release(), 0);
  uint64_t after = tap.Read().recordedFrames;
  FileCheck file = Inspect(dir.File("cut.264"));
  ASSERT_TRUE(file.probe.ran) << file.probe.error;
  EXPECT_EQ(file.scan.firstVclType, 5);
  EXPECT_TRUE(file.scan.parameterSetsFirst);
  EXPECT_EQ(file.probe.decodedFrames, static_cast<int64_t>(file.scan.pictures));
  // Every frame delivered before the logout is on disk; nothing after it.
  EXPECT_GE(file.scan.pictures + 1, before);  // a frame may straddle the recording's start
  EXPECT_LE(file.scan.pictures, after + 1);
  sim::Device& device = world().fleet().device(kLogout);
  EXPECT_TRUE(device.WaitFor(
      [](const sim::Observations& o) {
        return o.activeLogins == 0 && std::none_of(o.streams.begin(), o.streams.end(),
                                                   [](const auto& s) { return s.active; });
      },
      milliseconds(5000)))
      << "logout must close the login and the stream";
}

// A device restart in the middle of a recording: the library reconnects, the
// stream resumes with a header, and the recording goes on in the same file.
void RecordAcrossRestart(size_t index, const sim::MediaSettings* newMedia,
                         const std::string& name) {
  test::TempDir dir;
  Login login(index);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  StreamTap& tap = login.tap;
  tap.Attach(world().access(), slot);
  tap.Arm();
  ASSERT_EQ(world().requests().StartRecording(slot, dir.File(name)).code, 0);
  ASSERT_EQ(world().requests().OpenStream(slot, world().fleet().credentials(index), 0).code, 0);
  ASSERT_TRUE(WaitForTap(tap, [](const TapCounts& c) { return c.recordedFrames >= 30; }));
  uint64_t beforeRestart = tap.Read().recordedFrames;
  world().fleet().device(index).Restart(milliseconds(500), newMedia);
  ASSERT_TRUE(WaitForTap(
      tap,
      [&](const TapCounts& c) {
        return c.laterHeaders >= 1 && c.recordedFrames >= beforeRestart + 40;
      },
      20000))
      << "the stream did not resume after the restart";
  EXPECT_EQ(world().requests().CloseStream(slot).code, 0);
  EXPECT_EQ(world().requests().StopRecording(slot).code, 0);
  tap.Disarm();
  TapCounts counts = tap.Read();
  FileCheck file = Inspect(dir.File(name + ".264"));
  ExpectSoundRecording(file, counts.recordedFrames);
  if (newMedia != nullptr) {
    // The new stream's parameter sets are in the file before its pictures.
    EXPECT_GE(std::count(file.scan.nalTypes.begin(), file.scan.nalTypes.end(), 7), 2);
  } else {
    EXPECT_EQ(file.bytes, static_cast<int64_t>(counts.recordedBytes));
  }
  EXPECT_EQ(login.Release(), 0);
}

TEST(Recording, GoesOnAcrossADeviceRestart) {
  RecordAcrossRestart(kRestart, nullptr, "restart");
}

TEST(Recording, GoesOnAcrossADeviceRestartWithNewEncoderSettings) {
  sim::MediaSettings smaller;
  smaller.width = 320;
  smaller.height = 240;
  smaller.gop = 25;
  RecordAcrossRestart(kRestartNewMedia, &smaller, "resized");
}

TEST(DeviceRequests, SnapshotPtzAudioTalkAndKeyFrameReachTheDevice) {
  sim::Device& device = world().fleet().device(kGeneral);
  Login login(kGeneral);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  host::Requests& requests = world().requests();
  test::TempDir dir;

  // Snapshot: a real JPEG of the device's picture.
  EXPECT_EQ(requests.Snapshot(slot, dir.File("shot.jpg")).code, 0);
  std::string error;
  auto picture = host::DecodeJpegFile(dir.File("shot.jpg"), &error);
  ASSERT_TRUE(picture) << error;
  EXPECT_EQ(picture->width, 640);
  EXPECT_EQ(picture->height, 360);

  // PTZ: host command 4 (right) is library code 24; INValue 1 starts at the
  // scaled speed, INValue 0 stops.
  double panBefore = device.Observe().ptz.pan;
  EXPECT_EQ(requests.Ptz(slot, 4, 1, 9).code, 0);
  sim::Observations seen = device.Observe();
  EXPECT_EQ(seen.lastPtzCode, 24);
  EXPECT_EQ(seen.lastPtzParam1, 0);
  EXPECT_EQ(seen.lastPtzParam2, 80);
  EXPECT_TRUE(
      device.WaitFor([&](const sim::Observations& o) { return o.ptz.pan > panBefore + 0.02; },
                     milliseconds(5000)));
  EXPECT_EQ(requests.Ptz(slot, 4, 0, 9).code, 0);
  EXPECT_EQ(device.Observe().lastPtzParam1, 1);
  // The snapshot shows it: the scene moved left in the picture.
  EXPECT_EQ(requests.Snapshot(slot, dir.File("panned.jpg")).code, 0);
  auto panned = host::DecodeJpegFile(dir.File("panned.jpg"), &error);
  ASSERT_TRUE(panned) << error;
  auto shift = host::ComparePictures(*picture, *panned, 160);
  ASSERT_TRUE(shift);
  EXPECT_LT(shift->bestShiftX, -4);
  EXPECT_LT(shift->residualAtBestShift * 2, shift->meanAbsDifference);
  // Presets: store here, move away, go back.
  EXPECT_EQ(requests.Ptz(slot, 9, 7, 1).code, 0);
  double stored = device.Observe().ptz.pan;
  EXPECT_EQ(requests.Ptz(slot, 3, 1, 9).code, 0);
  EXPECT_TRUE(device.WaitFor([&](const sim::Observations& o) { return o.ptz.pan < stored - 0.02; },
                             milliseconds(5000)));
  EXPECT_EQ(requests.Ptz(slot, 3, 0, 9).code, 0);
  EXPECT_EQ(requests.Ptz(slot, 11, 7, 1).code, 0);
  EXPECT_NEAR(device.Observe().ptz.pan, stored, 1e-6);
  // A command the plug-in does not translate never reaches the device; one the
  // device refuses comes back as the library's result.
  uint64_t ptzRequests = device.Observe().ptzRequests;
  EXPECT_EQ(requests.Ptz(slot, 18, 1, 5).code, -1);
  EXPECT_EQ(device.Observe().ptzRequests, ptzRequests);
  Reply unknownPreset = requests.Ptz(slot, 11, 99, 1);
  EXPECT_NE(unknownPreset.code, 0);
  EXPECT_NE(unknownPreset.code, -1) << "the library's own result is passed through";

  // Audio on and off.
  EXPECT_EQ(requests.AudioOn(slot).code, 0);
  EXPECT_TRUE(
      device.WaitFor([](const sim::Observations& o) { return !o.muted; }, milliseconds(5000)));
  EXPECT_EQ(requests.AudioOff(slot).code, 0);
  EXPECT_TRUE(
      device.WaitFor([](const sim::Observations& o) { return o.muted; }, milliseconds(5000)));

  // Voice talk: the device sees the session begin and end.
  uint64_t started = device.Observe().voiceStarted;
  Reply talk = requests.TalkStart(slot);
  EXPECT_EQ(talk.code, 0);
  EXPECT_EQ(talk.OutputInt("Handle"), slot);
  EXPECT_TRUE(device.WaitFor(
      [&](const sim::Observations& o) { return o.voiceActive && o.voiceStarted == started + 1; },
      milliseconds(5000)));
  EXPECT_EQ(requests.TalkStop(slot).code, 0);
  EXPECT_TRUE(device.WaitFor([](const sim::Observations& o) { return !o.voiceActive; },
                             milliseconds(5000)));

  // Key frame: the device is asked, and the stream's next frame is an IDR
  // well before the natural one.
  StreamTap& tap = login.tap;
  tap.Attach(world().access(), slot);
  ASSERT_EQ(requests.OpenStream(slot, world().fleet().credentials(kGeneral), 0).code, 0);
  ASSERT_TRUE(
      WaitForTap(tap, [](const TapCounts& c) { return c.keyFrames >= 1 && c.frames >= 3; }));
  uint64_t requestsBefore = device.Observe().keyFrameRequests;
  TapCounts beforeKey = tap.Read();
  EXPECT_EQ(requests.KeyFrame(slot).code, 0);
  EXPECT_EQ(device.Observe().keyFrameRequests, requestsBefore + 1);
  EXPECT_TRUE(
      WaitForTap(tap, [&](const TapCounts& c) { return c.keyFrames > beforeKey.keyFrames; }));
  EXPECT_EQ(requests.CloseStream(slot).code, 0);
  EXPECT_EQ(login.Release(), 0);
}

TEST(Events, AlarmReachesTheHostWithTheDevicesSlot) {
  Login login(kGeneral);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  ASSERT_TRUE(world().fleet().device(kGeneral).RaiseAlarm(-7));
  EXPECT_TRUE(EventHub::Instance().WaitUntil(
      [&](const std::vector<HostEvent>& events) { return host::HasAlarm(events, slot, -7); },
      milliseconds(5000)));
  for (const HostEvent& e : EventHub::Instance().Events()) {
    if (e.kind != HostEvent::kAlarm) continue;
    EXPECT_EQ(e.alarmKind, 3);
    EXPECT_EQ(e.deviceType, kQrvDeviceTypeCode);
  }
  EXPECT_EQ(login.Release(), 0);
}

// Connection reports of one state for the slot among the events from mark on.
long ConnectionReportsSince(const std::vector<HostEvent>& events, size_t mark, int32_t slot,
                            int state) {
  return std::count_if(events.begin() + static_cast<long>(std::min(mark, events.size())),
                       events.end(), [&](const HostEvent& e) {
                         return e.kind == HostEvent::kConnection && e.slot == slot &&
                                e.state == state;
                       });
}

TEST(Events, DeviceGoingDownAndComingBackIsReportedOffAndOnLine) {
  EventHub& hub = EventHub::Instance();
  Login login(kOffOnLine);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  size_t mark = hub.Count();
  auto since = [&](const std::vector<HostEvent>& events, int state) {
    return ConnectionReportsSince(events, mark, slot, state);
  };
  ASSERT_TRUE(hub.WaitUntil([&](const auto& events) { return since(events, 0) == 1; },
                            milliseconds(12000)));
  // Down for longer than a monitor period, so a pass must see it.
  world().fleet().device(kOffOnLine).Restart(milliseconds(6000));
  ASSERT_TRUE(hub.WaitUntil([&](const auto& events) { return since(events, 1) == 1; },
                            milliseconds(15000)));
  ASSERT_TRUE(hub.WaitUntil([&](const auto& events) { return since(events, 0) == 2; },
                            milliseconds(25000)));
  for (const HostEvent& e : hub.Events()) {
    if (e.kind != HostEvent::kConnection || e.slot != slot) continue;
    EXPECT_EQ(e.port, 6001);
    EXPECT_EQ(e.text, "");
    EXPECT_EQ(e.deviceType, kQrvDeviceTypeCode);
  }
  EXPECT_EQ(since(hub.Events(), 1), 1) << "one off-line report for one outage";
  EXPECT_EQ(login.Release(), 0);
}

// Holds the connection monitor inside the first on-line report it makes after
// being armed, so a test decides where the next pass falls: the monitor
// passes again only one period after it is let go. Lets go at the latest when
// destroyed.
class MonitorHold {
 public:
  MonitorHold() {
    EventHub::Instance().SetListener([this](const HostEvent& e) {
      if (e.kind != HostEvent::kConnection || e.state != 0) return;
      std::unique_lock lock(mutex_);
      if (held_) return;
      held_ = true;
      changed_.notify_all();
      changed_.wait_for(lock, std::chrono::seconds(60), [&] { return released_; });
    });
  }
  ~MonitorHold() {
    Release();
    EventHub::Instance().SetListener(nullptr);
  }
  bool WaitHeld(milliseconds bound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

TEST(Events, OutageShorterThanTheMonitorPeriodIsStillReportedAndCounted) {
  EventHub& hub = EventHub::Instance();
  MonitorHold hold;
  size_t mark = hub.Count();
  Login login(kShortOutage);
  int32_t slot = login.slot;
  ASSERT_GE(slot, 0);
  auto since = [&](const std::vector<HostEvent>& events, int state) {
    return ConnectionReportsSince(events, mark, slot, state);
  };
  ASSERT_TRUE(hold.WaitHeld(milliseconds(12000)));
  ASSERT_EQ(since(hub.Events(), 0), 1);
  // Count from this login's first report on: a pass that was still busy with
  // an earlier test's login of the same slot number may have reported it
  // off line just before.
  {
    const std::vector<HostEvent> events = hub.Events();
    for (size_t i = mark; i < events.size(); ++i) {
      if (events[i].kind == HostEvent::kConnection && events[i].slot == slot &&
          events[i].state == 0) {
        mark = i;
        break;
      }
    }
  }
  auto status = [&] {
    return world().requests().Execute(
        {{"Operation", std::to_string(kQrvOpDeviceStatus)}, {"Handle", std::to_string(slot)}});
  };
  EXPECT_EQ(status().output["Reconnects"], "0");
  // The whole outage, the library's reconnection included, falls while the
  // monitor is held inside its pass: no pass sees the device down, only the
  // library's history tells of the outage.
  world().fleet().device(kShortOutage).Restart(milliseconds(1500));
  ASSERT_TRUE(
      test::WaitUntil([&] { return status().output["Reconnects"] == "1"; }, milliseconds(20000)));
  hold.Release();
  ASSERT_TRUE(hub.WaitUntil(
      [&](const auto& events) { return since(events, 1) == 1 && since(events, 0) == 2; },
      milliseconds(15000)))
      << "off-line " << since(hub.Events(), 1) << ", on-line " << since(hub.Events(), 0)
      << ", reconnects '" << status().output["Reconnects"] << "'";
  // The flag follows the report's return.
  EXPECT_TRUE(
      test::WaitUntil([&] { return status().output["Online"] == "1"; }, milliseconds(5000)));
  Reply after = status();
  ASSERT_EQ(after.code, 0);
  EXPECT_EQ(after.output["Reconnects"], "1");
  EXPECT_GE(after.OutputInt("LastOutageMs"), 1000);
  EXPECT_EQ(since(hub.Events(), 1), 1);
  EXPECT_EQ(login.Release(), 0);
}

}  // namespace
}  // namespace qrv::e2e

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new qrv::e2e::World(qrv::e2e::FleetForThisProgram()));
  return RUN_ALL_TESTS();
}
