// The device library against simulated devices on loopback: logins, requests,
// streams, recordings, reconnection, heartbeats and alarms.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_extensions.h"
#include "simulator/simulator.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tests/tmcc/media_check.h"

// The optional extension, called directly here: this test links the library.
extern "C" int32_t TMCC_GetConnectionStats(TmccHandle handle,
                                           qrv::devicelib::ConnectionStats* stats);

namespace dl = qrv::devicelib;
using qrv::test::LoopbackAddress;
using qrv::test::TempDir;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

dl::LoginRecord LoginFor(const qrv::sim::DeviceConfig& c, const std::string& password) {
  dl::LoginRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, c.address.c_str(), sizeof(r.deviceIp) - 1);
  r.devicePort = c.controlPort;
  std::strncpy(r.user, c.user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, password.c_str(), sizeof(r.password) - 1);
  std::strncpy(r.userLevel, "user level test!", sizeof(r.userLevel) - 1);
  return r;
}

dl::StreamConnectRecord StreamFor(const qrv::sim::DeviceConfig& c, uint8_t type,
                                  const std::string& password) {
  dl::StreamConnectRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, c.address.c_str(), sizeof(r.deviceIp) - 1);
  r.streamPort = c.streamPort;
  std::strncpy(r.user, c.user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, password.c_str(), sizeof(r.password) - 1);
  r.streamType = type;
  return r;
}

struct ConnectEvents {
  std::mutex mutex;
  std::vector<std::pair<int, int>> events;  // connected, reason
  std::vector<std::pair<int, int>> Copy() {
    std::lock_guard lock(mutex);
    return events;
  }
};

int32_t QRV_CALLBACK OnConnect(int32_t, int32_t connected, int32_t reason, void* context) {
  auto* e = static_cast<ConnectEvents*>(context);
  std::lock_guard lock(e->mutex);
  e->events.emplace_back(connected, reason);
  return 1;
}

struct Packet {
  int type;
  int key;
  uint32_t sequence;
  uint32_t width;
  std::vector<uint8_t> data;
};

struct Packets {
  std::mutex mutex;
  std::vector<Packet> got;
  size_t size() {
    std::lock_guard lock(mutex);
    return got.size();
  }
  std::vector<Packet> Copy() {
    std::lock_guard lock(mutex);
    return got;
  }
};

int32_t QRV_CALLBACK OnPacket(int32_t, dl::StreamPacket* p, void* context) {
  auto* packets = static_cast<Packets*>(context);
  std::lock_guard lock(packets->mutex);
  packets->got.push_back({p->frameType, p->keyFrame, p->sequence, p->width,
                          std::vector<uint8_t>(p->data, p->data + p->length)});
  return 0;
}

class DeviceTest : public ::testing::Test {
 protected:
  qrv::sim::DeviceConfig Config(int index) {
    qrv::sim::DeviceConfig c;
    c.address = LoopbackAddress(index);
    c.user = "operator";
    c.password = "pa%ss";
    c.media = qrv::sim::MediaSettings{320, 180, 25, 25};
    c.answerDiscovery = false;
    return c;
  }
  qrv::sim::Device& Add(const qrv::sim::DeviceConfig& c) {
    std::string error;
    auto* d = sim_.AddDevice(c, &error);
    if (d == nullptr) throw std::runtime_error(error);
    return *d;
  }
  // A connected login client with automatic reconnection.
  int32_t Login(const qrv::sim::DeviceConfig& c, ConnectEvents* events = nullptr) {
    int32_t h = TMCC_Init(dl::kClientLogin);
    if (events) TMCC_RegisterConnectCallBack(h, OnConnect, events);
    TMCC_SetTimeOut(h, 3000);
    TMCC_SetAutoReConnect(h, 1);
    auto r = LoginFor(c, c.password);
    EXPECT_EQ(TMCC_Connect(h, &r, 0), dl::kOk);
    return h;
  }

  qrv::sim::Simulator sim_;
};

}  // namespace

TEST_F(DeviceTest, LoginsGoodBadAndStalledGiveDistinctResults) {
  auto c = Config(1);
  auto& device = Add(c);
  ConnectEvents events;
  int32_t h = TMCC_Init(dl::kClientLogin);
  TMCC_RegisterConnectCallBack(h, OnConnect, &events);
  TMCC_SetTimeOut(h, 600);

  auto bad = LoginFor(c, "wrong");
  EXPECT_EQ(TMCC_Connect(h, &bad, 0), dl::kErrAuthRefused);
  EXPECT_EQ(TMCC_IsConnect(h), 0);
  EXPECT_EQ(device.Observe().refusedLogins, 1u);

  auto good = LoginFor(c, c.password);  // '%' travels unchanged
  ASSERT_EQ(TMCC_Connect(h, &good, 0), dl::kOk);
  EXPECT_EQ(TMCC_IsConnect(h), 1);
  EXPECT_TRUE(device.WaitFor([](auto& o) { return o.activeLogins == 1; }, 5s));
  EXPECT_EQ(device.Observe().lastUser, "operator");

  // Connecting again replaces the session rather than adding one.
  ASSERT_EQ(TMCC_Connect(h, &good, 0), dl::kOk);
  EXPECT_TRUE(device.WaitFor([](auto& o) { return o.activeLogins == 1 && o.logins == 2; }, 5s));

  EXPECT_EQ(TMCC_DisConnect(h), dl::kOk);
  EXPECT_EQ(TMCC_IsConnect(h), 0);
  EXPECT_TRUE(device.WaitFor([](auto& o) { return o.activeLogins == 0; }, 5s));

  device.SetStall(true);
  EXPECT_EQ(TMCC_Connect(h, &good, 0), dl::kErrTimeout);
  device.SetStall(false);

  // The callback heard each change: up, down (replaced), up, down (disconnect).
  auto seen = events.Copy();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].first, 1);
  EXPECT_EQ(seen[1].first, 0);
  EXPECT_EQ(seen[2].first, 1);
  EXPECT_EQ(seen[3].first, 0);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST_F(DeviceTest, RequestsReachTheDeviceAndItsAnswersComeBack) {
  auto c = Config(2);
  auto& device = Add(c);
  int32_t h = Login(c);
  TempDir dir;

  EXPECT_EQ(TMCC_MakeKeyFrame(h), dl::kOk);
  EXPECT_EQ(device.Observe().keyFrameRequests, 1u);

  EXPECT_EQ(TMCC_SetMute(h, 0), dl::kOk);
  EXPECT_FALSE(device.Observe().muted);
  EXPECT_EQ(TMCC_SetMute(h, 1), dl::kOk);
  EXPECT_TRUE(device.Observe().muted);

  auto voice = LoginFor(c, c.password);
  std::memset(voice.userLevel, 0, sizeof(voice.userLevel));
  EXPECT_EQ(TMCC_StartVoiceCom(h, &voice), dl::kOk);
  EXPECT_TRUE(device.Observe().voiceActive);
  EXPECT_EQ(TMCC_StopVoiceCom(h), dl::kOk);
  EXPECT_FALSE(device.Observe().voiceActive);
  EXPECT_EQ(device.Observe().voiceStopped, 1u);

  // PTZ: a known code moves the picture, an unknown one is refused.
  auto before = device.Observe().ptz;
  EXPECT_EQ(TMCC_PtzControl(h, 11, 0, 80), dl::kOk);  // zoom in
  EXPECT_TRUE(device.WaitFor([&](auto& o) { return o.ptz.zoom > before.zoom; }, 5s));
  EXPECT_EQ(TMCC_PtzControl(h, 11, 1, 0), dl::kOk);  // stop
  auto zoomed = device.Observe().ptz;
  EXPECT_NE(TMCC_PtzControl(h, 999, 0, 0), dl::kOk);
  EXPECT_EQ(device.Observe().lastPtzCode, 999);
  EXPECT_EQ(device.Observe().ptz.zoom, zoomed.zoom);

  // Snapshot: a whole JPEG of the device's picture at the given path.
  std::string path = dir.File("snap.jpg");
  ASSERT_EQ(TMCC_CapturePictureToFile(h, path.c_str(), "JPEG"), dl::kOk);
  int width = 0, height = 0;
  ASSERT_TRUE(qrv::test::JpegFileSize(path, width, height));
  EXPECT_EQ(width, 320);
  EXPECT_EQ(height, 180);
  EXPECT_EQ(device.Observe().snapshots, 1u);
  // A folder that does not exist: an error and no stray file anywhere.
  std::string missing = dir.File("nowhere/snap.jpg");
  EXPECT_EQ(TMCC_CapturePictureToFile(h, missing.c_str(), "JPEG"), dl::kErrIo);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);

  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST_F(DeviceTest, StreamStartsWithHeaderAndRecordsToADecodableFile) {
  auto c = Config(3);
  auto& device = Add(c);
  Packets packets;
  int32_t h = TMCC_Init(dl::kClientStream);
  TMCC_SetAutoReConnect(h, 1);
  EXPECT_EQ(TMCC_SetDisplayShow(h, 1), dl::kOk);
  EXPECT_EQ(TMCC_SetStreamBufferTime(h, 0), dl::kOk);
  TMCC_RegisterStreamCallBack(h, OnPacket, &packets);

  auto wrong = StreamFor(c, 1, "nope");
  EXPECT_EQ(TMCC_ConnectStream(h, &wrong, 0x1234), dl::kErrAuthRefused);
  auto record = StreamFor(c, 1, c.password);
  ASSERT_EQ(TMCC_ConnectStream(h, &record, 0x1234), dl::kOk);
  EXPECT_EQ(TMCC_ConnectStream(h, &record, 0x1234), dl::kErrBusy);
  EXPECT_TRUE(device.WaitFor(
      [](auto& o) { return !o.streams.empty() && o.streams.back().streamType == 1; }, 5s));
  // Mute arrives over the stream session too.
  EXPECT_EQ(TMCC_SetMute(h, 1), dl::kOk);

  // Enough video for two key frames.
  ASSERT_TRUE(WaitUntil(
      [&] {
        int video = 0;
        for (auto& p : packets.Copy()) video += p.type == dl::kFrameVideo;
        return video >= 60;
      },
      20s));
  EXPECT_EQ(TMCC_CloseStream(h), dl::kOk);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
  auto got = packets.Copy();

  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].type, dl::kFrameHeader);
  for (size_t i = 1; i < got.size(); ++i) {
    EXPECT_EQ(got[i].sequence, got[i - 1].sequence + 1) << i;  // nothing lost or reordered
  }
  EXPECT_EQ(got[1].width, 320u);

  // Record the way a host does: the header, then every frame from the first key frame.
  TempDir dir;
  std::string path = dir.File("rec.264");
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(got[0].data.data()), got[0].data.size());
  size_t i = 1;
  while (i < got.size() && !(got[i].type == dl::kFrameVideo && got[i].key)) ++i;
  ASSERT_LT(i, got.size());
  std::vector<uint8_t> firstFrame = got[i].data;
  int written = 0;
  for (; i < got.size(); ++i) {
    if (got[i].type != dl::kFrameVideo && got[i].type != dl::kFrameAuxData) continue;
    out.write(reinterpret_cast<const char*>(got[i].data.data()), got[i].data.size());
    written += got[i].type == dl::kFrameVideo;
  }
  out.close();
  EXPECT_EQ(qrv::test::FirstSliceType(firstFrame), 5);  // an IDR
  EXPECT_EQ(qrv::test::DecodedFrameCount(path), written);
}

TEST_F(DeviceTest, ReconnectsAfterRestartWithHeaderFirstAndNoticesSilentDevices) {
  auto c = Config(4);
  auto& device = Add(c);
  ConnectEvents events;
  int32_t login = Login(c, &events);
  Packets packets;
  int32_t stream = TMCC_Init(dl::kClientStream);
  TMCC_SetAutoReConnect(stream, 1);
  TMCC_RegisterStreamCallBack(stream, OnPacket, &packets);
  auto record = StreamFor(c, 0, c.password);
  ASSERT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
  ASSERT_TRUE(WaitUntil([&] { return packets.size() >= 5; }, 10s));

  dl::ConnectionStats history;
  ASSERT_EQ(TMCC_GetConnectionStats(login, &history), dl::kOk);
  EXPECT_EQ(history.connected, 1u);
  EXPECT_EQ(history.reconnects, 0u);
  // A stream client keeps its own history; other kinds have none.
  dl::ConnectionStats streamHistory;
  ASSERT_EQ(TMCC_GetConnectionStats(stream, &streamHistory), dl::kOk);
  EXPECT_EQ(streamHistory.connected, 1u);
  EXPECT_EQ(streamHistory.picturesDropped, 0u);
  int32_t enumeration = TMCC_Init(dl::kClientEnumeration);
  EXPECT_EQ(TMCC_GetConnectionStats(enumeration, &history), dl::kErrWrongClientKind);
  EXPECT_EQ(TMCC_Done(enumeration), dl::kOk);

  // The device goes away for a second, comes back with another picture size.
  qrv::sim::MediaSettings bigger{352, 288, 25, 25};
  size_t before = packets.size();
  device.Restart(1000ms, &bigger);
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(login) == 0; }, 10s));
  // Back within the first delays of the backoff (the ceiling is a few seconds).
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(login) == 1; }, 15s));
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(stream) == 1; }, 15s));
  ASSERT_TRUE(WaitUntil([&] { return packets.size() > before + 5; }, 10s));
  auto got = packets.Copy();
  size_t firstNew = before;
  while (firstNew < got.size() && got[firstNew].width != 352) ++firstNew;
  ASSERT_LT(firstNew, got.size());
  EXPECT_EQ(got[firstNew].type, dl::kFrameHeader);
  EXPECT_EQ(TMCC_MakeKeyFrame(login), dl::kOk);  // the restored session works
  // The history tells of the outage, about as long as the device was away.
  ASSERT_EQ(TMCC_GetConnectionStats(login, &history), dl::kOk);
  EXPECT_EQ(history.connected, 1u);
  EXPECT_EQ(history.disconnects, 1u);
  EXPECT_EQ(history.reconnects, 1u);
  EXPECT_GE(history.lastOutageMs, 500u);
  EXPECT_LT(history.lastOutageMs, 20000u);
  // A caller built against a shorter record gets no more than it asked for.
  dl::ConnectionStats shorter;
  shorter.size = 8;
  ASSERT_EQ(TMCC_GetConnectionStats(login, &shorter), dl::kOk);
  EXPECT_EQ(shorter.connected, 1u);
  EXPECT_EQ(shorter.disconnects, 0u);

  auto seen = events.Copy();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(1, 0));
  EXPECT_EQ(seen[1].first, 0);
  EXPECT_NE(seen[1].second, 0);  // a lost connection carries its reason
  EXPECT_EQ(seen.back().first, 1);

  // A device that stops answering altogether is noticed by the heartbeat.
  device.SetStall(true);
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(login) == 0; }, 10s));
  device.SetStall(false);
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(login) == 1; }, 15s));

  // Without automatic reconnection a dropped session stays down.
  TMCC_SetAutoReConnect(login, 0);
  device.DropAllConnections();
  EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(login) == 0; }, 10s));
  EXPECT_EQ(TMCC_MakeKeyFrame(login), dl::kErrNotConnected);
  ASSERT_EQ(TMCC_GetConnectionStats(login, &history), dl::kOk);
  EXPECT_EQ(history.connected, 0u);
  EXPECT_EQ(history.disconnects, 3u);
  EXPECT_EQ(history.reconnects, 2u);  // the stall's outage was repaired; this one is not

  EXPECT_EQ(TMCC_CloseStream(stream), dl::kOk);
  EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  EXPECT_EQ(TMCC_Done(login), dl::kOk);
}

namespace {

struct AlarmSeen {
  std::mutex mutex;
  std::vector<dl::AlarmRecord> records;
  std::vector<std::pair<int32_t, int32_t>> codes;  // code, type
  size_t size() {
    std::lock_guard lock(mutex);
    return records.size();
  }
};

int32_t QRV_CALLBACK OnAlarm(int32_t, dl::AlarmMessage* m, void* context) {
  auto* seen = static_cast<AlarmSeen*>(context);
  std::lock_guard lock(seen->mutex);
  seen->codes.emplace_back(m->code, m->type);
  seen->records.push_back(*m->record);
  return 0;
}

}  // namespace

TEST_F(DeviceTest, AlarmsReachTheListenerWithTheDevicesAddress) {
  AlarmSeen seen;
  int32_t listener = TMCC_Init(dl::kClientAlarmListener);
  TMCC_RegisterDataReadCallBack(listener, OnAlarm, &seen);
  // A port of this process's own, so parallel runs need no lock.
  int port = 20000 + getpid() % 20000;
  while (TMCC_StartListen(listener, port) != dl::kOk) ++port;
  EXPECT_EQ(TMCC_StartListen(listener, port), dl::kErrBusy);

  auto c = Config(5);
  c.alarmHost = "127.0.0.1";
  c.alarmPort = static_cast<uint16_t>(port);
  auto& device = Add(c);
  ASSERT_TRUE(device.RaiseAlarm(-42));
  ASSERT_TRUE(device.RaiseAlarm(7));
  ASSERT_TRUE(WaitUntil([&] { return seen.size() == 2; }, 5s));
  {
    std::lock_guard lock(seen.mutex);
    for (auto& [code, type] : seen.codes) {
      EXPECT_EQ(code, 271);
      EXPECT_EQ(type, 4);
    }
    EXPECT_EQ(seen.records[0].size, 296u);
    EXPECT_EQ(seen.records[0].kind, 3);
    EXPECT_EQ(seen.records[0].value, -42);
    EXPECT_EQ(seen.records[1].value, 7);
    EXPECT_STREQ(seen.records[0].address, c.address.c_str());
    // Pushed: no login heard them, so the plug-in goes by the address.
    for (const auto& r : seen.records) EXPECT_EQ(r.loginHandle, 0);
  }
  EXPECT_EQ(TMCC_StopListen(listener), dl::kOk);
  EXPECT_FALSE(device.RaiseAlarm(8));
  EXPECT_EQ(seen.size(), 2u);
  // The port is free again at once.
  EXPECT_EQ(TMCC_StartListen(listener, port), dl::kOk);
  ASSERT_TRUE(device.RaiseAlarm(9));
  EXPECT_TRUE(WaitUntil([&] { return seen.size() == 3; }, 5s));
  EXPECT_EQ(TMCC_StopListen(listener), dl::kOk);
  EXPECT_EQ(TMCC_Done(listener), dl::kOk);
}

namespace {
// A stream whose host callback blocks at its fifth packet until let go, and
// records every sequence number it is handed.
struct Blocking {
  std::mutex mutex;
  std::condition_variable changed;
  bool blocked = false;
  bool letGo = false;
  std::vector<uint32_t> sequences;
  uint64_t bytes = 0;

  void LetGo() {
    std::lock_guard lock(mutex);
    letGo = true;
    changed.notify_all();
  }
  bool Blocked() {
    std::lock_guard lock(mutex);
    return blocked;
  }
  std::pair<size_t, uint64_t> Seen() {
    std::lock_guard lock(mutex);
    return {sequences.size(), bytes};
  }
};

int32_t QRV_CALLBACK OnPacketBlocking(int32_t, dl::StreamPacket* p, void* context) {
  auto* b = static_cast<Blocking*>(context);
  std::unique_lock lock(b->mutex);
  b->sequences.push_back(p->sequence);
  b->bytes += p->length;
  if (b->sequences.size() == 5) {
    b->blocked = true;
    b->changed.notify_all();
    // Bounded, so a broken library fails the test instead of hanging it.
    b->changed.wait_for(lock, 60s, [&] { return b->letGo; });
  }
  return 0;
}
}  // namespace

// As many blocked host callbacks as the library has I/O threads must not
// hold up another stream; the blocked streams keep their connection, their
// devices are held back (they flood as fast as they may send), and once let
// go they go on without a lost packet.
TEST_F(DeviceTest, StreamsWhoseCallbacksBlockHoldUpOnlyThemselvesAndLoseNothing) {
  constexpr int kBlocked = 2;
  std::vector<qrv::sim::Device*> floods;
  std::vector<int32_t> handles;
  Blocking blocking[kBlocked];
  for (int i = 0; i < kBlocked; ++i) {
    auto c = Config(10 + i);
    c.replay = true;
    c.flood = true;
    floods.push_back(&Add(c));
    int32_t h = TMCC_Init(dl::kClientStream);
    TMCC_RegisterStreamCallBack(h, OnPacketBlocking, &blocking[i]);
    auto record = StreamFor(c, 0, c.password);
    ASSERT_EQ(TMCC_ConnectStream(h, &record, 0), dl::kOk);
    handles.push_back(h);
  }
  for (auto& b : blocking) ASSERT_TRUE(WaitUntil([&] { return b.Blocked(); }, 20s));

  auto c = Config(12);
  Add(c);
  Packets packets;
  int32_t other = TMCC_Init(dl::kClientStream);
  TMCC_RegisterStreamCallBack(other, OnPacket, &packets);
  auto record = StreamFor(c, 0, c.password);
  ASSERT_EQ(TMCC_ConnectStream(other, &record, 0), dl::kOk);
  EXPECT_TRUE(WaitUntil([&] { return packets.size() >= 30; }, 20s));
  // The flooding devices are held back by TCP well before a second's worth.
  const uint64_t sentWhileBlocked = floods[0]->Observe().streams.back().bytes;
  EXPECT_TRUE(WaitUntil([&] { return packets.size() >= 60; }, 20s));
  EXPECT_LT(floods[0]->Observe().streams.back().bytes - sentWhileBlocked, 1u << 20);
  EXPECT_EQ(blocking[0].Seen().first, 5u);

  for (auto& b : blocking) b.LetGo();
  // Well past what the kernel and the library hold for a stream: reading
  // stopped and resumed.
  for (auto& b : blocking) EXPECT_TRUE(WaitUntil([&] { return b.Seen().second > 16u << 20; }, 30s));
  for (int32_t h : handles) {
    EXPECT_EQ(TMCC_CloseStream(h), dl::kOk);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
  EXPECT_EQ(TMCC_CloseStream(other), dl::kOk);
  EXPECT_EQ(TMCC_Done(other), dl::kOk);
  for (int i = 0; i < kBlocked; ++i) {
    EXPECT_EQ(floods[i]->Observe().streams.size(), 1u) << "the connection was kept";
    std::lock_guard lock(blocking[i].mutex);
    const auto& s = blocking[i].sequences;
    for (size_t k = 1; k < s.size(); ++k) ASSERT_EQ(s[k], s[k - 1] + 1) << i << " at " << k;
  }
}
