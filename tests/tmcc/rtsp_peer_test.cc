// The device library's RTSP client against scripted cameras that misbehave:
// endless challenges, answers that never end or never fit, a transport other
// than the one asked for, a packet begun and never finished, a stream that
// talks but never shows a picture; and the
// TEARDOWN a well-behaved one gets when the stream closes; and what the
// library says about each failure (TMCC_GetLastErrorText).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "support/wait.h"
#include "tests/tmcc/rtsp_peer.h"

extern "C" int32_t TMCC_GetLastErrorText(TmccHandle handle, char* text, uint32_t size);

namespace dl = qrv::devicelib;
using qrv::test::Answer;
using qrv::test::DrainUntilClosed;
using qrv::test::KeyPicture;
using qrv::test::kSdp;
using qrv::test::LoopbackAddress;
using qrv::test::ReadRequest;
using qrv::test::RtspRequest;
using qrv::test::ScriptedPeer;
using qrv::test::SendText;
using qrv::test::UpToPlay;
using qrv::test::UpToSetup;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

std::string Url(uint16_t port) {
  return "rtsp://" + LoopbackAddress(21) + ":" + std::to_string(port) + "/c";
}

dl::LoginRecord MakeLogin(const std::string& url) {
  dl::LoginRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, url.c_str(), sizeof(r.deviceIp) - 1);
  std::strncpy(r.user, "user", sizeof(r.user) - 1);
  std::strncpy(r.password, "password", sizeof(r.password) - 1);
  return r;
}

dl::StreamConnectRecord MakeStream(const std::string& url) {
  dl::StreamConnectRecord r{};
  r.size = sizeof(r);
  std::strncpy(r.deviceIp, url.c_str(), sizeof(r.deviceIp) - 1);
  std::strncpy(r.user, "user", sizeof(r.user) - 1);
  std::strncpy(r.password, "password", sizeof(r.password) - 1);
  return r;
}

int32_t QRV_CALLBACK Ignore(int32_t, dl::StreamPacket*, void*) {
  return 0;
}

struct Pictures {
  std::mutex mutex;
  std::vector<std::pair<int, std::vector<uint8_t>>> got;  // frame type, data
  size_t size() {
    std::lock_guard lock(mutex);
    return got.size();
  }
};

int32_t QRV_CALLBACK Collect(int32_t, dl::StreamPacket* p, void* context) {
  auto* pictures = static_cast<Pictures*>(context);
  std::lock_guard lock(pictures->mutex);
  pictures->got.emplace_back(p->frameType, std::vector<uint8_t>(p->data, p->data + p->length));
  return 0;
}

void SendDatagrams(const std::string& from, const std::string& to, uint16_t port,
                   const std::vector<std::vector<uint8_t>>& datagrams) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  inet_pton(AF_INET, to.c_str(), &remote.sin_addr);
  for (const auto& d : datagrams) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&remote), sizeof(remote));
  }
  close(fd);
}

}  // namespace

TEST(RtspLogin, AChallengeIsAnsweredOnceThenTheLoginIsRefused) {
  std::atomic<int> describes{0};
  std::atomic<bool> answeredWithDigest{false};
  ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
    auto options = ReadRequest(fd);
    if (!options) return;
    Answer(fd, *options, "200 OK");
    // A fresh nonce with every 401: reads as a new challenge each time.
    for (int i = 0; i < 4; ++i) {
      auto describe = ReadRequest(fd);
      if (!describe) return;
      ++describes;
      if (describe->text.find("Authorization: Digest ") != std::string::npos) {
        answeredWithDigest = true;
      }
      Answer(fd, *describe, "401 Unauthorized",
             "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n" + std::to_string(i) + "\"\r\n");
    }
  });
  int32_t login = TMCC_Init(dl::kClientLogin);
  auto record = MakeLogin(Url(peer.port()));
  EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrAuthRefused);
  EXPECT_EQ(TMCC_IsConnect(login), 0);
  EXPECT_EQ(TMCC_Done(login), dl::kOk);
  EXPECT_EQ(describes.load(), 2);
  EXPECT_TRUE(answeredWithDigest.load());
}

TEST(RtspLogin, AnAnswerThatNeverEndsOrNeverFitsIsCut) {
  {
    // Half a header block, then silence: the set-up's time-out.
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      auto options = ReadRequest(fd);
      if (!options) return;
      SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: OPT");
      DrainUntilClosed(fd);
    });
    int32_t login = TMCC_Init(dl::kClientLogin);
    ASSERT_EQ(TMCC_SetTimeOut(login, 500), dl::kOk);
    auto record = MakeLogin(Url(peer.port()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(TMCC_Done(login), dl::kOk);
  }
  {
    // A header block past the bound: refused as soon as it is over.
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      auto options = ReadRequest(fd);
      if (!options) return;
      std::string text = "RTSP/1.0 200 OK\r\nCSeq: 1\r\n";
      while (text.size() < 40000) text += "X-Filler: " + std::string(100, 'a') + "\r\n";
      SendText(fd, text);
      DrainUntilClosed(fd);
    });
    int32_t login = TMCC_Init(dl::kClientLogin);
    auto record = MakeLogin(Url(peer.port()));
    EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrProtocol);
    EXPECT_EQ(TMCC_Done(login), dl::kOk);
  }
}

// GStreamer's server answers 503 to a DESCRIBE that comes while it tears
// down the shared stream our own login just left: the stream opened right
// after a login failed more often than not.
TEST(RtspStream, ABusyCameraIsAskedAgainAFewTimesWithinTheTimeOut) {
  {
    std::atomic<int> describes{0};
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      auto options = ReadRequest(fd);
      if (!options) return;
      Answer(fd, *options, "200 OK", "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n");
      for (int i = 0; i < 2; ++i) {
        auto busy = ReadRequest(fd);
        if (!busy || busy->method != "DESCRIBE") return;
        ++describes;
        Answer(fd, *busy, "503 Service Unavailable", i == 0 ? "Retry-After: 1\r\n" : "");
      }
      auto describe = ReadRequest(fd);
      if (!describe || describe->method != "DESCRIBE") return;
      ++describes;
      Answer(fd, *describe, "200 OK", "Content-Type: application/sdp\r\n", kSdp);
      auto setup = ReadRequest(fd);
      if (!setup) return;
      Answer(fd, *setup, "200 OK",
             "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: c0ffee\r\n");
      auto play = ReadRequest(fd);
      if (!play) return;
      Answer(fd, *play, "200 OK", "Session: c0ffee\r\n");
      DrainUntilClosed(fd);
    });
    int32_t stream = TMCC_Init(dl::kClientStream);
    ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
    auto record = MakeStream(Url(peer.port()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s) << "Retry-After is kept";
    EXPECT_EQ(describes.load(), 3);
    EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  }
  {
    // Busy for good: refused after the last retry, not held to the time-out.
    std::atomic<int> describes{0};
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      auto options = ReadRequest(fd);
      if (!options) return;
      Answer(fd, *options, "200 OK");
      while (auto describe = ReadRequest(fd)) {
        ++describes;
        Answer(fd, *describe, "503 Service Unavailable");
      }
    });
    int32_t login = TMCC_Init(dl::kClientLogin);
    ASSERT_EQ(TMCC_SetTimeOut(login, 5000), dl::kOk);
    auto record = MakeLogin(Url(peer.port()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrDeviceRefused);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(describes.load(), 4) << "three times again at most";
    EXPECT_EQ(TMCC_Done(login), dl::kOk);
  }
  {
    // A Retry-After beyond the time-out: refused at once.
    std::atomic<int> describes{0};
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      auto options = ReadRequest(fd);
      if (!options) return;
      Answer(fd, *options, "200 OK");
      while (auto describe = ReadRequest(fd)) {
        ++describes;
        Answer(fd, *describe, "503 Service Unavailable", "Retry-After: 120\r\n");
      }
    });
    int32_t login = TMCC_Init(dl::kClientLogin);
    ASSERT_EQ(TMCC_SetTimeOut(login, 3000), dl::kOk);
    auto record = MakeLogin(Url(peer.port()));
    EXPECT_EQ(TMCC_Connect(login, &record, 0), dl::kErrDeviceRefused);
    EXPECT_EQ(describes.load(), 1);
    EXPECT_EQ(TMCC_Done(login), dl::kOk);
  }
}

TEST(RtspStream, ATransportOtherThanTheOneAskedForIsRefused) {
  ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
    auto setup = UpToSetup(fd);
    if (!setup) return;
    // UDP to a port of the server's choosing: nobody would read it.
    Answer(fd, *setup, "200 OK",
           "Transport: RTP/AVP;unicast;client_port=5000-5001\r\nSession: c0ffee\r\n");
    DrainUntilClosed(fd);
  });
  int32_t stream = TMCC_Init(dl::kClientStream);
  ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
  auto record = MakeStream(Url(peer.port()));
  EXPECT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kErrProtocol);
  EXPECT_EQ(TMCC_Done(stream), dl::kOk);
}

TEST(RtspStream, KeepAliveAndTeardownGoOutAndAStalledPacketEndsTheStream) {
  {
    std::atomic<bool> keptAlive{false};
    std::atomic<bool> teardown{false};
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      // A 2 s session: the keep-alive comes after about 1 s.
      if (!UpToPlay(fd, 2)) return;
      auto keepAlive = ReadRequest(fd);
      if (!keepAlive || keepAlive->method != "GET_PARAMETER" ||
          keepAlive->text.find("Session: c0ffee") == std::string::npos) {
        return;
      }
      Answer(fd, *keepAlive, "200 OK", "Session: c0ffee\r\n");
      keptAlive = true;
      auto next = ReadRequest(fd);
      teardown = next && next->method == "TEARDOWN" &&
                 next->text.find("Session: c0ffee") != std::string::npos &&
                 next->text.find("rtsp://" + LoopbackAddress(21)) != std::string::npos;
      DrainUntilClosed(fd);
    });
    int32_t stream = TMCC_Init(dl::kClientStream);
    ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
    auto record = MakeStream(Url(peer.port()));
    ASSERT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
    EXPECT_EQ(TMCC_IsConnect(stream), 1);
    EXPECT_TRUE(WaitUntil([&] { return keptAlive.load(); }, 5s));
    EXPECT_EQ(TMCC_CloseStream(stream), dl::kOk);
    EXPECT_TRUE(WaitUntil([&] { return teardown.load(); }, 5s));
    EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  }
  {
    // The first four bytes of an interleaved packet, then nothing.
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      if (!UpToPlay(fd)) return;
      SendText(fd, std::string("$\0\x01\x00", 4) + "abc");
      DrainUntilClosed(fd);
    });
    int32_t stream = TMCC_Init(dl::kClientStream);
    ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
    auto record = MakeStream(Url(peer.port()));
    ASSERT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(stream) == 0; }, 20s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LT(took, 15s);
    EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  }
  {
    // Never a picture, but never silent either: keep-alives are answered and
    // RTCP keeps coming. The stream is dead all the same.
    ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
      if (!UpToPlay(fd, 2)) return;
      const std::string rtcp = std::string("$\x01\x00\x08", 4) + std::string(8, '\x81');
      for (int i = 0; i < 100; ++i) {  // 20 s at most
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
          auto request = ReadRequest(fd);
          if (!request) return;  // the client gave up
          Answer(fd, *request, "200 OK", "Session: c0ffee\r\n");
        }
        SendText(fd, rtcp);
      }
    });
    int32_t stream = TMCC_Init(dl::kClientStream);
    ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
    auto record = MakeStream(Url(peer.port()));
    ASSERT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
    EXPECT_TRUE(WaitUntil([&] { return TMCC_IsConnect(stream) == 0; }, 18s))
        << "a stream without pictures is kept";
    EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  }
}

TEST(RtspStream, OverUdpOnlyTheCamerasOwnAddressIsHeard) {
  std::atomic<bool> sent{false};
  ScriptedPeer peer(LoopbackAddress(21), [&](int fd) {
    auto setup = UpToSetup(fd);
    if (!setup) return;
    auto at = setup->text.find("client_port=");
    if (at == std::string::npos) return;
    const auto port = static_cast<uint16_t>(std::atoi(setup->text.c_str() + at + 12));
    Answer(fd, *setup, "200 OK",
           "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" +
               std::to_string(port + 1) + ";server_port=7000-7001\r\nSession: c0ffee\r\n");
    auto play = ReadRequest(fd);
    if (!play || play->method != "PLAY") return;
    Answer(fd, *play, "200 OK", "Session: c0ffee\r\n");
    // Another host's packets first (whatever the server_port said), then the
    // camera's, to the address the client reached the camera from.
    sockaddr_in client{};
    socklen_t length = sizeof(client);
    getpeername(fd, reinterpret_cast<sockaddr*>(&client), &length);
    char to[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &client.sin_addr, to, sizeof(to));
    SendDatagrams(LoopbackAddress(22), to, port, KeyPicture(1, 0xAA));
    SendDatagrams(LoopbackAddress(21), to, port, KeyPicture(100, 0xBB));
    sent = true;
    DrainUntilClosed(fd);
  });
  int32_t stream = TMCC_Init(dl::kClientStream);
  Pictures pictures;
  ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Collect, &pictures), dl::kOk);
  auto record = MakeStream(Url(peer.port()));
  record.flag = 1;  // RTP over UDP
  ASSERT_EQ(TMCC_ConnectStream(stream, &record, 0), dl::kOk);
  EXPECT_TRUE(WaitUntil([&] { return pictures.size() >= 2; }, 5s));
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(TMCC_CloseStream(stream), dl::kOk);
  EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  std::lock_guard lock(pictures.mutex);
  ASSERT_EQ(pictures.got.size(), 2u);
  EXPECT_EQ(pictures.got[0].first, 2);
  EXPECT_EQ(pictures.got[1].first, 0);
  EXPECT_EQ(pictures.got[1].second.back(), 0xBB) << "the stranger's picture was taken";
}

namespace {

std::string LastErrorText(int32_t handle) {
  char text[512] = {};
  if (TMCC_GetLastErrorText(handle, text, sizeof(text)) != dl::kOk) return "(refused)";
  return text;
}

// A port on the test address where nothing listens: bound, never listening.
struct DeadPort {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  uint16_t port = 0;
  DeadPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, LoopbackAddress(21).c_str(), &a.sin_addr);
    socklen_t n = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
      port = ntohs(a.sin_port);
    }
  }
  ~DeadPort() { close(fd); }
};

}  // namespace

TEST(RtspStream, EveryFailedOpenSaysWhatFailed) {
  using Script = std::function<void(int fd)>;
  const Script answerDescribe = [](int fd) {
    auto options = ReadRequest(fd);
    if (!options) return;
    Answer(fd, *options, "200 OK");
  };
  struct Case {
    const char* name;
    Script script;  // null: nothing listens
    int32_t result;
    std::string text;  // contained in the library's text
  };
  const Case cases[] = {
      {"not found",
       [&](int fd) {
         answerDescribe(fd);
         if (auto d = ReadRequest(fd)) Answer(fd, *d, "404 Not Found");
         DrainUntilClosed(fd);
       },
       dl::kErrDeviceRefused, "DESCRIBE: RTSP 404 Not Found"},
      {"busy for longer than the time-out",
       [&](int fd) {
         answerDescribe(fd);
         if (auto d = ReadRequest(fd)) {
           Answer(fd, *d, "503 Service Unavailable", "Retry-After: 120\r\n");
         }
         DrainUntilClosed(fd);
       },
       dl::kErrDeviceRefused, "DESCRIBE: RTSP 503 Service Unavailable"},
      {"hung at PLAY",
       [&](int fd) {
         auto setup = UpToSetup(fd);
         if (!setup) return;
         Answer(fd, *setup, "200 OK",
                "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: c0ffee\r\n");
         DrainUntilClosed(fd);
       },
       dl::kErrTimeout, "PLAY: no answer within 0.5 s"},
      {"no codec we play",
       [&](int fd) {
         answerDescribe(fd);
         if (auto d = ReadRequest(fd)) {
           Answer(fd, *d, "200 OK", "Content-Type: application/sdp\r\n",
                  "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=cam\r\nt=0 0\r\n"
                  "m=video 0 RTP/AVP 97\r\na=rtpmap:97 MP4V-ES/90000\r\n");
         }
         DrainUntilClosed(fd);
       },
       dl::kErrProtocol, "DESCRIBE: no H.264 or H.265 video track (offered: MP4V-ES"},
      {"hangs up",
       [&](int fd) {
         answerDescribe(fd);
         ReadRequest(fd);
       },
       dl::kErrProtocol, "DESCRIBE: the camera closed the connection"},
      {"answers garbage",
       [&](int fd) {
         auto options = ReadRequest(fd);
         if (!options) return;
         SendText(fd, "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: many\r\n\r\n");
         DrainUntilClosed(fd);
       },
       dl::kErrProtocol, "OPTIONS: malformed answer: bad Content-Length"},
      {"nothing listens", nullptr, dl::kErrUnreachable, "no connection to "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<ScriptedPeer> peer;
    DeadPort dead;
    std::string expected = c.text;
    if (c.script) {
      peer.emplace(LoopbackAddress(21), c.script);
    } else {
      ASSERT_NE(dead.port, 0);
      expected += LoopbackAddress(21) + ":" + std::to_string(dead.port);
    }
    int32_t stream = TMCC_Init(dl::kClientStream);
    ASSERT_EQ(TMCC_SetTimeOut(stream, 500), dl::kOk);
    ASSERT_EQ(TMCC_RegisterStreamCallBack(stream, &Ignore, nullptr), dl::kOk);
    auto record = MakeStream(Url(peer ? peer->port() : dead.port));
    EXPECT_EQ(TMCC_ConnectStream(stream, &record, 0), c.result);
    EXPECT_NE(LastErrorText(stream).find(expected), std::string::npos) << LastErrorText(stream);
    EXPECT_EQ(TMCC_Done(stream), dl::kOk);
  }
}
