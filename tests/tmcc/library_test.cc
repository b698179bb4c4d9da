// The device library's surface without a simulator: handles, argument checks,
// connection results against scripted raw peers, malformed device data.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_extensions.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"

// An optional function of the library: declared here as a host that links
// against it directly would.
extern "C" int32_t TMCC_SetStreamBatchEndCallback(qrv::devicelib::StreamBatchEndCallback callback,
                                                  void* context);
extern "C" int32_t TMCC_AlarmRecordLengthGiven();

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;
using qrv::test::LoopbackAddress;
using qrv::test::ScriptedPeer;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

dl::LoginRecord MakeLogin(const std::string& ip, int port, const std::string& user,
                          const std::string& password) {
  dl::LoginRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  r.devicePort = port;
  std::strncpy(r.user, user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, password.c_str(), sizeof(r.password) - 1);
  return r;
}

dl::StreamConnectRecord MakeStream(const std::string& ip, int port, const std::string& user,
                                   const std::string& password, uint8_t type) {
  dl::StreamConnectRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  r.streamPort = port;
  std::strncpy(r.user, user.c_str(), sizeof(r.user) - 1);
  std::strncpy(r.password, password.c_str(), sizeof(r.password) - 1);
  r.streamType = type;
  return r;
}

struct Packets {
  std::mutex mutex;
  std::vector<std::pair<int, std::vector<uint8_t>>> got;  // frame type, data
  size_t size() {
    std::lock_guard lock(mutex);
    return got.size();
  }
};

int32_t QRV_CALLBACK CollectPacket(int32_t, dl::StreamPacket* p, void* context) {
  auto* packets = static_cast<Packets*>(context);
  std::lock_guard lock(packets->mutex);
  packets->got.emplace_back(p->frameType, std::vector<uint8_t>(p->data, p->data + p->length));
  return 0;
}

std::vector<uint8_t> StreamFrame(uint8_t type, uint8_t key, std::vector<uint8_t> data) {
  std::vector<uint8_t> out;
  pr::BuildStreamData(out, 0, {type, key, 0, 64, 64, 0, 0, data});
  return out;
}

}  // namespace

TEST(Handles, UnknownReleasedAndWrongKindHandlesAreRefusedByEveryCall) {
  EXPECT_EQ(TMCC_Init(2), 0);
  EXPECT_EQ(TMCC_Init(-1), 0);
  int32_t login = TMCC_Init(dl::kClientLogin);
  int32_t stream = TMCC_Init(dl::kClientStream);
  int32_t listener = TMCC_Init(dl::kClientAlarmListener);
  int32_t enumeration = TMCC_Init(dl::kClientEnumeration);
  for (int32_t h : {login, stream, listener, enumeration}) EXPECT_GT(h, 0);
  EXPECT_NE(login, stream);

  auto record = MakeLogin("127.0.0.1", 1, "u", "p");
  auto streamRecord = MakeStream("127.0.0.1", 1, "u", "p", 0);
  ASSERT_EQ(TMCC_Done(stream), dl::kOk);
  for (int32_t bad : {0, -1, 999999, stream}) {
    EXPECT_EQ(TMCC_Done(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_IsConnect(bad), 0);  // never mistaken for "connected"
    EXPECT_EQ(TMCC_Connect(bad, &record, 0), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_DisConnect(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_SetTimeOut(bad, 100), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_SetAutoReConnect(bad, 1), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_ConnectStream(bad, &streamRecord, 0), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_CloseStream(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_MakeKeyFrame(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_CapturePictureToFile(bad, "/tmp/x.jpg", "JPEG"), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_SetMute(bad, 1), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StartVoiceCom(bad, &record), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StopVoiceCom(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_PtzControl(bad, 21, 0, 40), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StartListen(bad, 5005), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StopListen(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StartEnum(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_RefreshEnum(bad), dl::kErrInvalidHandle);
    EXPECT_EQ(TMCC_StopEnum(bad), dl::kErrInvalidHandle);
  }
  // A released number is not handed out again at once.
  int32_t next = TMCC_Init(dl::kClientStream);
  EXPECT_NE(next, stream);

  EXPECT_EQ(TMCC_Connect(listener, &record, 0), dl::kErrWrongClientKind);
  EXPECT_EQ(TMCC_StartListen(login, 5005), dl::kErrWrongClientKind);
  EXPECT_EQ(TMCC_StartEnum(next), dl::kErrWrongClientKind);
  EXPECT_EQ(TMCC_ConnectStream(login, &streamRecord, 0), dl::kErrWrongClientKind);
  EXPECT_EQ(TMCC_PtzControl(next, 21, 0, 40), dl::kErrWrongClientKind);
  for (int32_t h : {login, listener, enumeration, next}) EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST(Arguments, MalformedRecordsAndFormatsAreRefusedWithoutNetworkTraffic) {
  int32_t login = TMCC_Init(dl::kClientLogin);
  EXPECT_EQ(TMCC_Connect(login, nullptr, 0), dl::kErrInvalidArgument);
  auto record = MakeLogin("127.0.0.1", 6001, "admin", "admin");
  record.size = 200;
  EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrInvalidArgument);
  record = MakeLogin("127.0.0.1", 0, "admin", "admin");
  EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrInvalidArgument);
  record = MakeLogin("not-an-address", 6001, "admin", "admin");
  EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrInvalidArgument);
  record = MakeLogin("127.0.0.1", 6001, "admin", "admin");
  std::memset(record.password, 'p', sizeof(record.password));  // no NUL in the field
  EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_SetTimeOut(login, 0), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_SetTimeOut(login, -5), dl::kErrInvalidArgument);

  // Requests without a connection fail cleanly; formats are checked first.
  EXPECT_EQ(TMCC_CapturePictureToFile(login, "/tmp/x.bmp", "BMP"), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_CapturePictureToFile(login, nullptr, "JPEG"), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_CapturePictureToFile(login, "/tmp/x.jpg", nullptr), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_MakeKeyFrame(login), dl::kErrNotConnected);
  EXPECT_EQ(TMCC_PtzControl(login, 21, 0, 40), dl::kErrNotConnected);
  EXPECT_EQ(TMCC_StartVoiceCom(login, nullptr), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_IsConnect(login), 0);
  EXPECT_EQ(TMCC_Done(login), dl::kOk);

  int32_t stream = TMCC_Init(dl::kClientStream);
  EXPECT_EQ(TMCC_ConnectStream(stream, nullptr, 0), dl::kErrInvalidArgument);
  auto s = MakeStream("127.0.0.1", 70000, "a", "b", 0);
  EXPECT_EQ(TMCC_ConnectStream(stream, &s, 0), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_SetMute(stream, 1), dl::kErrNotConnected);
  EXPECT_EQ(TMCC_Done(stream), dl::kOk);
}

TEST(ConnectResults, UnreachableStalledRefusedAndImpostorDevicesAreTold) {
  const std::string ip = LoopbackAddress(1);
  int32_t h = TMCC_Init(dl::kClientLogin);
  ASSERT_EQ(TMCC_SetTimeOut(h, 500), dl::kOk);

  {  // Nobody listens: refused connection.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    const int port = ntohs(sa.sin_port);
    close(fd);  // bound once, never listened on: nobody answers there
    auto record = MakeLogin(ip, port, "admin", "pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrUnreachable);
  }
  {  // Accepts and never says a word: time-out.
    std::atomic<bool> done{false};
    ScriptedPeer stalled(ip, [&](int) { WaitUntil([&] { return done.load(); }, 5s); });
    auto record = MakeLogin(ip, stalled.port(), "admin", "pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrTimeout);
    EXPECT_EQ(TMCC_IsConnect(h), 0);
    done = true;
  }
  {  // Wrong password: the device refuses.
    ScriptedPeer device(ip, [](int fd) { ScriptedPeer::AcceptLogin(fd, "right"); });
    auto record = MakeLogin(ip, device.port(), "admin", "wrong");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrAuthRefused);
  }
  {  // A peer that accepts anything but cannot prove it knows the password.
    ScriptedPeer impostor(ip, [](int fd) { ScriptedPeer::AcceptLogin(fd, "pw", false); });
    auto record = MakeLogin(ip, impostor.port(), "admin", "pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrPeerUnproven);
  }
  // A device proof that is right but for one byte, the last one included.
  for (int flipped : {0, 15, static_cast<int>(pr::kProofSize) - 1}) {
    ScriptedPeer nearly(ip, [=](int fd) { ScriptedPeer::AcceptLogin(fd, "pw", true, flipped); });
    auto record = MakeLogin(ip, nearly.port(), "admin", "pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrPeerUnproven) << "proof byte " << flipped;
    EXPECT_EQ(TMCC_IsConnect(h), 0);
  }
  {  // Garbage instead of a greeting.
    ScriptedPeer garbage(ip, [](int fd) { ScriptedPeer::Send(fd, {'H', 'T', 'T', 'P', '/'}); });
    auto record = MakeLogin(ip, garbage.port(), "admin", "pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kErrProtocol);
  }
  {  // The right password connects (the peer checked the proof, not the password).
    std::atomic<bool> release{false};
    ScriptedPeer device(ip, [&](int fd) {
      ScriptedPeer::AcceptLogin(fd, "s3cr3t-pw");
      WaitUntil([&] { return release.load(); }, 5s);
    });
    auto record = MakeLogin(ip, device.port(), "admin", "s3cr3t-pw");
    EXPECT_EQ(TMCC_Connect(h, &record, 0), dl::kOk);
    EXPECT_EQ(TMCC_IsConnect(h), 1);
    EXPECT_EQ(TMCC_DisConnect(h), dl::kOk);
    EXPECT_EQ(TMCC_IsConnect(h), 0);
    release = true;
  }
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST(StreamData, MalformedAndOversizedFramesDropTheConnectionAfterGoodPackets) {
  const std::string ip = LoopbackAddress(2);
  for (bool oversized : {false, true}) {
    Packets packets;
    ScriptedPeer device(ip, [&](int fd) {
      auto login = ScriptedPeer::AcceptLogin(fd, "pw");
      if (!login || login->purpose != pr::Purpose::kStream || login->streamType != 3) return;
      // A frame before the header is not handed on; then header, key frame, frame.
      ScriptedPeer::Send(fd, StreamFrame(pr::kStreamVideo, 0, {9, 9}));
      ScriptedPeer::Send(fd, StreamFrame(pr::kStreamHeader, 0, {0, 0, 0, 1, 0x67}));
      ScriptedPeer::Send(fd, StreamFrame(pr::kStreamVideo, 1, {0, 0, 0, 1, 0x65}));
      ScriptedPeer::Send(fd, StreamFrame(pr::kStreamAux, 0, {0, 0, 0, 1, 0x06}));
      std::vector<uint8_t> bad;
      if (oversized) {
        pr::AppendFrameHeader(bad, pr::MessageType::kStreamData, 0, 0x7FFFFFFF);
      } else {
        bad = StreamFrame(pr::kStreamVideo, 0, {1});
        bad[0] = 'X';
      }
      ScriptedPeer::Send(fd, bad);
      ScriptedPeer::Send(fd, StreamFrame(pr::kStreamVideo, 0, {7}));  // never delivered
      // Wait for the client to hang up, reading its pings: closing with unread
      // bytes would reset the connection and discard what is still in flight.
      char sink[256];
      while (recv(fd, sink, sizeof(sink), 0) > 0) {
      }
    });
    int32_t h = TMCC_Init(dl::kClientStream);
    TMCC_RegisterStreamCallBack(h, CollectPacket, &packets);
    auto record = MakeStream(ip, device.port(), "admin", "pw", 3);
    ASSERT_EQ(TMCC_ConnectStream(h, &record, 0), dl::kOk);
    EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(h) == 0; }, 5s));
    {
      std::lock_guard lock(packets.mutex);
      ASSERT_EQ(packets.got.size(), 3u);
      EXPECT_EQ(packets.got[0].first, dl::kFrameHeader);
      EXPECT_EQ(packets.got[0].second, (std::vector<uint8_t>{0, 0, 0, 1, 0x67}));
      EXPECT_EQ(packets.got[1].first, dl::kFrameVideo);
      EXPECT_EQ(packets.got[2].first, dl::kFrameAuxData);
    }
    EXPECT_EQ(TMCC_CloseStream(h), dl::kOk);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
}

namespace {

// What the host side of a batched stream sees: the packets of the open batch
// (with a copy to check their data against at the batch end), and faults.
struct BatchWatch {
  std::mutex mutex;
  std::vector<std::pair<dl::StreamPacket, std::vector<uint8_t>>> open;
  std::thread::id thread;
  size_t packets = 0, batches = 0, faults = 0, afterClose = 0;
  std::atomic<bool> block{false}, blocked{false}, release{false}, closeReturned{false};
  std::atomic<bool> endedBeforeCloseReturned{false};
};

int32_t QRV_CALLBACK BatchPacket(int32_t, dl::StreamPacket* p, void* context) {
  auto* w = static_cast<BatchWatch*>(context);
  {
    std::lock_guard lock(w->mutex);
    if (w->closeReturned.load()) ++w->afterClose;
    if ((p->flags & dl::kPacketBatched) == 0) ++w->faults;
    if (!w->open.empty() && w->thread != std::this_thread::get_id()) ++w->faults;
    w->thread = std::this_thread::get_id();
    w->open.emplace_back(*p, std::vector<uint8_t>(p->data, p->data + p->length));
    ++w->packets;
  }
  if (w->block.exchange(false)) {
    w->blocked = true;
    WaitUntil([&] { return w->release.load(); }, 10s);
  }
  return 0;
}

void QRV_CALLBACK BatchEnd(void* context) {
  auto* w = static_cast<BatchWatch*>(context);
  std::lock_guard lock(w->mutex);
  for (auto& [packet, copy] : w->open) {
    if (w->thread != std::this_thread::get_id() ||
        std::memcmp(packet.data, copy.data(), copy.size()) != 0) {
      ++w->faults;
    }
  }
  if (w->release.load() && !w->open.empty()) {
    // The batch of the blocked packet: its stream is being closed, and the
    // close must still be waiting for this end (a bounded look).
    if (!WaitUntil([&] { return w->closeReturned.load(); }, 300ms)) {
      w->endedBeforeCloseReturned = true;
    }
  }
  w->open.clear();
  ++w->batches;
}

}  // namespace

// With a batch-end callback set, each read's packets are marked batched,
// their data stays as it was until the batch end on the same thread, and a
// close waits for the batch end of packets already handed on.
TEST(StreamData, BatchedPacketsStayValidUntilTheirBatchEndWhichCloseWaitsFor) {
  const std::string ip = LoopbackAddress(2);
  BatchWatch watch;
  ASSERT_EQ(TMCC_SetStreamBatchEndCallback(&BatchEnd, &watch), dl::kOk);
  std::atomic<bool> more{false};
  ScriptedPeer device(ip, [&](int fd) {
    auto login = ScriptedPeer::AcceptLogin(fd, "pw");
    if (!login) return;
    std::vector<uint8_t> burst = StreamFrame(pr::kStreamHeader, 0, {0, 0, 0, 1, 0x67});
    for (uint8_t i = 0; i < 40; ++i) {
      auto frame = StreamFrame(pr::kStreamVideo, i == 0, std::vector<uint8_t>(3000 + i, i));
      burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ScriptedPeer::Send(fd, burst);
    WaitUntil([&] { return more.load(); }, 10s);
    watch.block = true;  // the next packet's callback blocks until released
    ScriptedPeer::Send(fd, burst);
    char sink[256];
    while (recv(fd, sink, sizeof(sink), 0) > 0) {
    }
  });
  int32_t h = TMCC_Init(dl::kClientStream);
  TMCC_RegisterStreamCallBack(h, BatchPacket, &watch);
  auto record = MakeStream(ip, device.port(), "admin", "pw", 3);
  ASSERT_EQ(TMCC_ConnectStream(h, &record, 0), dl::kOk);
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard l(watch.mutex);
        return watch.packets == 41;
      },
      10s));
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard l(watch.mutex);
        return watch.open.empty();
      },
      5s))
      << "a batch that never ended";
  more = true;
  ASSERT_TRUE(WaitUntil([&] { return watch.blocked.load(); }, 10s));
  std::thread closer([&] {
    TMCC_CloseStream(h);
    watch.closeReturned = true;
  });
  watch.release = true;
  closer.join();
  {
    std::lock_guard lock(watch.mutex);
    EXPECT_TRUE(watch.open.empty()) << "close returned before the batch end";
    EXPECT_TRUE(watch.endedBeforeCloseReturned.load());
    EXPECT_EQ(watch.faults, 0u);
    EXPECT_EQ(watch.afterClose, 0u);
    EXPECT_GE(watch.batches, 2u);
  }
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
  TMCC_SetStreamBatchEndCallback(nullptr, nullptr);
}

namespace {

struct Alarms {
  std::mutex mutex;
  std::vector<dl::AlarmRecord> records;
  size_t size() {
    std::lock_guard lock(mutex);
    return records.size();
  }
};

// The library says it gives every message its record's length: a host that
// takes it at its word reads only records whose length it is given.
int32_t QRV_CALLBACK CollectAlarm(int32_t, dl::AlarmMessage* m, void* context) {
  auto* alarms = static_cast<Alarms*>(context);
  if (m->recordLength < sizeof(dl::AlarmRecord)) return 0;
  std::lock_guard lock(alarms->mutex);
  alarms->records.push_back(*m->record);
  return 0;
}

// A raw connection from a given loopback address to the listener.
int ConnectFrom(const std::string& from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return fd;
}

}  // namespace

TEST(AlarmListener, DropsGarbageAndOversizedSendersAndKeepsServingOthers) {
  ASSERT_EQ(TMCC_AlarmRecordLengthGiven(), 1);
  Alarms alarms;
  int32_t listener = TMCC_Init(dl::kClientAlarmListener);
  TMCC_RegisterDataReadCallBack(listener, CollectAlarm, &alarms);
  int port = 20000 + (getpid() + 7919) % 20000;
  while (TMCC_StartListen(listener, port) != dl::kOk) ++port;
  const std::string from = LoopbackAddress(3);

  std::vector<uint8_t> oversized;
  pr::AppendFrameHeader(oversized, pr::MessageType::kStreamData, 0, 1000000);
  for (const auto& bad : {std::vector<uint8_t>{'G', 'E', 'T', ' ', '/'}, oversized}) {
    int fd = ConnectFrom(from, port);
    ASSERT_GE(fd, 0);
    ScriptedPeer::Send(fd, bad);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // the listener hung up
    close(fd);
  }

  // An alarm without an address text is attributed to the sender's address,
  // and acknowledged with its own request id.
  int fd = ConnectFrom(from, port);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> alarm;
  pr::BuildAlarm(alarm, 77, {1, 3, 12345, ""});
  ScriptedPeer::Send(fd, alarm);
  std::vector<uint8_t> ack;
  uint8_t byte;
  while (ack.size() < pr::kFrameHeaderSize && recv(fd, &byte, 1, 0) == 1) ack.push_back(byte);
  auto r = pr::DecodeFrame(ack);
  ASSERT_EQ(r.status, pr::DecodeStatus::kFrame);
  EXPECT_EQ(r.frame.type, pr::MessageType::kAlarmAck);
  EXPECT_EQ(r.frame.requestId, 77u);
  close(fd);
  ASSERT_EQ(alarms.size(), 1u);
  {
    std::lock_guard lock(alarms.mutex);
    EXPECT_EQ(alarms.records[0].value, 12345);
    EXPECT_EQ(alarms.records[0].channel, 1u);
    EXPECT_STREQ(alarms.records[0].address, from.c_str());
  }
  EXPECT_EQ(TMCC_StopListen(listener), dl::kOk);
  EXPECT_EQ(TMCC_Done(listener), dl::kOk);
}
