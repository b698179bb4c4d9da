// The device library's ONVIF client against scripted cameras that mislead or
// misbehave: service addresses naming another host, a refused
// GetCapabilities, answers that do not fit or never come, and a camera that
// goes away after the login.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/ptz_service.h"
#include "tmcc/onvif/codec/soap.h"

// The optional extension, called directly here: this test links the library.
extern "C" int32_t TMCC_GetLastErrorText(TmccHandle handle, char* text, uint32_t size);

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using qrv::test::LoopbackAddress;
using qrv::test::TempDir;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

struct HttpRequest {
  std::string line;  // "POST /path HTTP/1.1"
  std::string host;
  std::string authorization;
  std::string body;
};

// An HTTP camera on a loopback address answering each request with what the
// script returns; an empty answer holds the connection open unanswered until
// the camera is closed. A connection whose answer did not say
// "Connection: close" is kept for the next request, unless the camera keeps
// none (then it closes whatever it said). Every wait is bounded.
class FakeCamera {
 public:
  using Script = std::function<std::string(const HttpRequest& request)>;

  FakeCamera(const std::string& address, Script script, bool keeps = true)
      : script_(std::move(script)), keeps_(keeps) {
    listener_ = qrv::test::ListenOn(address, 16, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeCamera() { Close(); }

  // Stops answering and listening: later connections are refused.
  void Close() {
    if (stop_.exchange(true)) return;
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  std::vector<HttpRequest> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Connections accepted so far.
  size_t Connections() const { return connections_; }

 private:
  void Serve() {
    std::vector<int> kept;
    while (!stop_) {
      std::vector<pollfd> polled{{listener_, POLLIN, 0}};
      for (int fd : kept) polled.push_back({fd, POLLIN, 0});
      if (poll(polled.data(), polled.size(), 20) <= 0) continue;
      std::vector<int> ready;
      for (size_t i = 1; i < polled.size(); ++i) {
        if (polled[i].revents != 0) ready.push_back(polled[i].fd);
      }
      std::erase_if(kept, [&](int fd) { return std::ranges::find(ready, fd) != ready.end(); });
      if (polled[0].revents != 0) {
        int fd = accept(listener_, nullptr, nullptr);
        if (fd >= 0) {
          ++connections_;
          timeval tv{2, 0};
          setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
          ready.push_back(fd);
        }
      }
      for (int fd : ready) {
        if (ServeOne(fd)) {
          kept.push_back(fd);
        } else {
          close(fd);
        }
      }
    }
    for (int fd : kept) close(fd);
  }
  // One request on fd; true when the connection stays open for another.
  bool ServeOne(int fd) {
    auto request = Read(fd);
    if (!request) return false;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(*request);
    }
    std::string answer = script_(*request);
    if (answer.empty()) {
      while (!stop_) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 20) == 1) {
          char c;
          if (recv(fd, &c, 1, 0) <= 0) break;  // the client gave up
        }
      }
      return false;
    }
    qrv::test::ScriptedPeer::Send(fd, std::vector<uint8_t>(answer.begin(), answer.end()));
    return keeps_ && answer.find("\r\nConnection: close\r\n") == std::string::npos;
  }
  static std::optional<HttpRequest> Read(int fd) {
    std::string text;
    while (text.size() < 65536 && text.find("\r\n\r\n") == std::string::npos) {
      char c;
      if (recv(fd, &c, 1, 0) != 1) return std::nullopt;
      text += c;
    }
    HttpRequest r;
    r.line = text.substr(0, text.find("\r\n"));
    auto field = [&](const char* name) -> std::string {
      auto at = text.find(name);
      if (at == std::string::npos) return {};
      at += std::strlen(name);
      return text.substr(at, text.find("\r\n", at) - at);
    };
    r.host = field("\r\nHost: ");
    r.authorization = field("\r\nAuthorization: ");
    const size_t length = std::strtoul(field("\r\nContent-Length: ").c_str(), nullptr, 10);
    r.body.resize(std::min<size_t>(length, 1 << 20));
    size_t got = 0;
    while (got < r.body.size()) {
      ssize_t n = recv(fd, r.body.data() + got, r.body.size() - got, 0);
      if (n <= 0) return std::nullopt;
      got += static_cast<size_t>(n);
    }
    return r;
  }

  Script script_;
  bool keeps_ = true;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> connections_{0};
  std::mutex mutex_;
  std::vector<HttpRequest> requests_;
};

std::string Http(const std::string& body, const std::string& status = "200 OK",
                 bool keepOpen = false) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/soap+xml\r\n" +
         (keepOpen ? "" : "Connection: close\r\n") +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool Asks(const HttpRequest& r, const char* operation) {
  return r.body.find(std::string(":") + operation) != std::string::npos;
}

std::string ClockXml() {
  ov::SystemDateAndTime t;
  t.utcUnix = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  return ov::BuildGetSystemDateAndTimeResponse(t);
}

std::string Clock() {
  return Http(ClockXml());
}

std::string Profiles() {
  ov::MediaProfile p;
  p.token = "main";
  p.videoEncoding = "H264";
  return Http(ov::BuildGetProfilesResponse({p}));
}

int32_t Connect(const std::string& address, uint16_t port, int32_t* handle,
                int32_t timeoutMs = 3000) {
  dl::LoginRecord r{};
  r.size = sizeof(r);
  const std::string ip = "http://" + address + ":" + std::to_string(port);
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  std::strncpy(r.user, "user", sizeof(r.user) - 1);
  std::strncpy(r.password, "password", sizeof(r.password) - 1);
  *handle = TMCC_Init(dl::kClientLogin);
  TMCC_SetTimeOut(*handle, timeoutMs);
  return TMCC_Connect(*handle, &r, 0);
}

}  // namespace

TEST(OnvifPeer, ServiceAddressesGiveOnlyAPortAndPathAndARefusedCapabilitiesFallsBack) {
  const auto address = LoopbackAddress(31);
  std::atomic<uint16_t> port{0};
  // The media service "elsewhere": a host we must not go to, on our port.
  FakeCamera camera(address, [&](const HttpRequest& r) -> std::string {
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    if (Asks(r, "GetCapabilities")) {
      ov::Capabilities c;
      c.media = "http://203.0.113.9:" + std::to_string(port.load()) + "/elsewhere/media";
      return Http(ov::BuildGetCapabilitiesResponse(c));
    }
    if (Asks(r, "GetProfiles")) return Profiles();
    return Http(ov::BuildFault("Receiver", "ter:ActionNotSupported", "no"), "500 Error");
  });
  port = camera.port();
  int32_t h = 0;
  ASSERT_EQ(Connect(address, camera.port(), &h), dl::kOk);
  auto requests = camera.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].line, "POST /onvif/device_service HTTP/1.1");
  EXPECT_EQ(requests[2].line, "POST /elsewhere/media HTTP/1.1");
  EXPECT_EQ(requests[2].host, address + ":" + std::to_string(camera.port()));
  EXPECT_NE(requests[2].body.find("UsernameToken"), std::string::npos);
  // No PTZ service named: nothing to move, and no request goes out for it.
  EXPECT_EQ(TMCC_PtzControl(h, 21, 0, 10), dl::kErrUnsupported);
  EXPECT_EQ(camera.Requests().size(), 3u);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);

  // A camera that refuses GetCapabilities is asked GetServices instead.
  FakeCamera older(LoopbackAddress(32), [&](const HttpRequest& r) -> std::string {
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    if (Asks(r, "GetServices")) {
      return Http(ov::BuildGetServicesResponse(
          {{std::string(ov::ns::kMedia), "http://camera.invalid/media", 2, 0}}));
    }
    if (Asks(r, "GetProfiles")) return Profiles();
    return Http(ov::BuildFault("Receiver", "ter:ActionNotSupported", "no"), "500 Error");
  });
  // An address naming no port keeps the port the device service answered on
  // (a forwarded port), not the camera's own 80.
  EXPECT_EQ(Connect(LoopbackAddress(32), older.port(), &h), dl::kOk);
  requests = older.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(Asks(requests[1], "GetCapabilities"));
  EXPECT_TRUE(Asks(requests[2], "GetServices"));
  EXPECT_EQ(requests[3].line, "POST /media HTTP/1.1");
  EXPECT_EQ(requests[3].host, LoopbackAddress(32) + ":" + std::to_string(older.port()));
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST(OnvifPeer, AnHttp500ToGetCapabilitiesFallsBackToGetServicesWhateverItsBody) {
  struct Case {
    const char* what;
    std::string answer;
  };
  const Case cases[] = {
      {"empty body", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"},
      {"no SOAP", Http("<html>error</html>", "500 Internal Server Error")},
      {"a fault", Http(ov::BuildFault("Receiver", "ter:ActionNotSupported", "no"), "500 Error")},
  };
  for (const Case& c : cases) {
    FakeCamera camera(LoopbackAddress(37), [&](const HttpRequest& r) -> std::string {
      if (Asks(r, "GetSystemDateAndTime")) return Clock();
      if (Asks(r, "GetCapabilities")) return c.answer;
      if (Asks(r, "GetServices")) {
        return Http(ov::BuildGetServicesResponse(
            {{std::string(ov::ns::kMedia), "http://192.0.2.1/media", 2, 0}}));
      }
      return Profiles();
    });
    int32_t h = 0;
    EXPECT_EQ(Connect(LoopbackAddress(37), camera.port(), &h), dl::kOk) << c.what;
    const auto requests = camera.Requests();
    ASSERT_EQ(requests.size(), 4u) << c.what;
    EXPECT_TRUE(Asks(requests[2], "GetServices")) << c.what;
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
  // A refused login stays refused, whatever the status: no second question.
  FakeCamera refusing(LoopbackAddress(37), [&](const HttpRequest& r) -> std::string {
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    return Http(ov::BuildFault("Sender", "ter:NotAuthorized", "no"), "500 Error");
  });
  int32_t h = 0;
  EXPECT_EQ(Connect(LoopbackAddress(37), refusing.port(), &h), dl::kErrAuthRefused);
  EXPECT_EQ(refusing.Requests().size(), 2u);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

namespace {

// An answer as an encoder writes it: UTF-16 declared over ASCII bytes, and
// the envelope's prefix SOAP-ENV used without a declaration.
std::string EncoderShape(std::string xml) {
  const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  const std::string binding = " xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\"";
  EXPECT_EQ(xml.find(declaration), 0u);
  xml.replace(0, declaration.size(), "<?xml version=\"1.0\" encoding=\"utf-16\"?>");
  const size_t at = xml.find(binding);
  EXPECT_NE(at, std::string::npos);
  xml.erase(at, binding.size());
  for (size_t p = xml.find("env:"); p != std::string::npos; p = xml.find("env:", p + 9)) {
    xml.replace(p, 4, "SOAP-ENV:");
  }
  return Http(xml);
}

}  // namespace

TEST(OnvifPeer, AnEncodersAnswersLogInTakeSnapshotsAndNameTheirPresetsByToken) {
  const auto address = LoopbackAddress(38);
  const std::string jpeg = "\xFF\xD8\xFF\xE0 picture \xFF\xD9";
  FakeCamera camera(address, [&](const HttpRequest& r) -> std::string {
    if (r.line.starts_with("GET /snapshot.jpg ")) {
      return "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
             std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg;
    }
    if (Asks(r, "GetSystemDateAndTime")) return EncoderShape(ClockXml());
    if (Asks(r, "GetCapabilities")) {
      ov::Capabilities c;
      c.media = "http://192.168.0.20/onvif/media";
      c.ptz = "http://192.168.0.20/onvif/ptz";
      return EncoderShape(ov::BuildGetCapabilitiesResponse(c));
    }
    if (Asks(r, "GetProfiles")) {
      ov::MediaProfile p;
      p.token = "main";
      p.videoEncoding = "H264";
      p.hasPtz = true;
      return EncoderShape(ov::BuildGetProfilesResponse({p}));
    }
    if (Asks(r, "GetSnapshotUri")) {
      return EncoderShape(ov::BuildGetSnapshotUriResponse({"http://192.168.0.20/snapshot.jpg"}));
    }
    if (Asks(r, "GetPresets")) {
      std::vector<ov::Preset> presets;
      for (int i = 1; i <= 46; ++i) {
        char token[8];
        std::snprintf(token, sizeof(token), "P%03d", i);
        presets.push_back({token, i == 3 ? "Stairs" : ""});
      }
      return EncoderShape(ov::BuildGetPresetsResponse(presets));
    }
    if (Asks(r, "GotoPreset")) return EncoderShape(ov::BuildGotoPresetResponse());
    if (Asks(r, "SetPreset")) return EncoderShape(ov::BuildSetPresetResponse("P003"));
    if (Asks(r, "RemovePreset")) return EncoderShape(ov::BuildRemovePresetResponse());
    return Http(ov::BuildFault("Receiver", "ter:ActionNotSupported", "no"), "500 Error");
  });
  int32_t h = 0;
  ASSERT_EQ(Connect(address, camera.port(), &h), dl::kOk);
  TempDir dir;
  const auto file = dir.File("snap.jpg");
  EXPECT_EQ(TMCC_CapturePictureToFile(h, file.c_str(), "JPEG"), dl::kOk);

  // Preset numbers find the tokens ending in them; one the camera has not
  // got is refused and nothing is sent for it.
  struct Step {
    int command, number;
    int32_t result;
    const char* operation;  // sent after GetPresets, or nullptr
    const char* token;
  };
  const Step steps[] = {
      {102, 1, dl::kOk, "GotoPreset", "P001"},
      {102, 46, dl::kOk, "GotoPreset", "P046"},
      {100, 3, dl::kOk, "SetPreset", "P003"},
      {101, 2, dl::kOk, "RemovePreset", "P002"},
      {102, 47, dl::kErrDeviceRefused, nullptr, nullptr},
      {101, 47, dl::kErrDeviceRefused, nullptr, nullptr},
  };
  for (const Step& s : steps) {
    const size_t before = camera.Requests().size();
    EXPECT_EQ(TMCC_PtzControl(h, s.command, s.number, s.number), s.result)
        << s.command << " " << s.number;
    const auto requests = camera.Requests();
    if (s.operation == nullptr) {
      EXPECT_EQ(requests.size(), before + 1) << "GetPresets only, for " << s.number;
      continue;
    }
    ASSERT_EQ(requests.size(), before + 2);
    const std::string& body = requests.back().body;
    const std::string operation = s.operation;
    EXPECT_TRUE(Asks(requests.back(), s.operation)) << body;
    EXPECT_NE(body.find(":PresetToken>" + std::string(s.token) + "<"), std::string::npos) << body;
    // A preset found keeps its name.
    EXPECT_EQ(body.find("PresetName") != std::string::npos, operation == "SetPreset") << body;
    if (operation == "SetPreset") {
      EXPECT_NE(body.find(">Stairs<"), std::string::npos) << body;
    }
  }
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

// The web services' challenges as the RTSP ones: Basic only where allowed,
// nothing sent to an algorithm the library does not speak.
TEST(OnvifPeer, ThePasswordGoesOutInBasicOnlyWhereAllowed) {
  struct Case {
    const char* challenge;
    const char* allowBasic;  // TMCC_ALLOW_BASIC, or nullptr
    int32_t result;
    const char* sent;  // how the answer to the challenge begins; "" for none
  };
  const Case cases[] = {
      {"Basic realm=\"cam\"", nullptr, dl::kErrBasicRefused, ""},
      {"Basic realm=\"cam\"", "*", dl::kErrAuthRefused, "Basic "},
      {"Digest realm=\"cam\", nonce=\"n\", algorithm=SHA-512-256", "*", dl::kErrAuthUnsupported,
       ""},
      {"Digest realm=\"cam\", nonce=\"n\", algorithm=SHA-256-sess, qop=\"auth\"", nullptr,
       dl::kErrAuthRefused, "Digest username=\"user\""},
  };
  for (const Case& c : cases) {
    FakeCamera camera(LoopbackAddress(37), [&](const HttpRequest&) {
      return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: " + std::string(c.challenge) +
             "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    });
    if (c.allowBasic != nullptr) setenv("TMCC_ALLOW_BASIC", c.allowBasic, 1);
    int32_t h = 0;
    EXPECT_EQ(Connect(LoopbackAddress(37), camera.port(), &h), c.result) << c.challenge;
    unsetenv("TMCC_ALLOW_BASIC");
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
    camera.Close();
    std::string sent;
    for (const HttpRequest& r : camera.Requests()) {
      if (!r.authorization.empty()) sent = r.authorization;
    }
    if (*c.sent == '\0') {
      EXPECT_EQ(sent, "") << c.challenge;
    } else {
      EXPECT_TRUE(sent.starts_with(c.sent)) << c.challenge << ": " << sent;
    }
  }
}

TEST(OnvifPeer, AnswersThatDoNotFitOrNeverComeEndTheLoginInTime) {
  {
    // Profiles past the bound.
    std::atomic<uint16_t> port{0};
    FakeCamera camera(LoopbackAddress(33), [&](const HttpRequest& r) -> std::string {
      if (Asks(r, "GetSystemDateAndTime")) return Clock();
      if (Asks(r, "GetCapabilities")) {
        ov::Capabilities c;
        c.media = "http://x:" + std::to_string(port.load()) + "/media";
        return Http(ov::BuildGetCapabilitiesResponse(c));
      }
      return Http(std::string(2 << 20, ' '));
    });
    port = camera.port();
    int32_t h = 0;
    EXPECT_EQ(Connect(LoopbackAddress(33), camera.port(), &h), dl::kErrProtocol);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
  {
    // A slow second answer, and the third never comes: the whole login, not
    // each step, keeps to the time-out.
    std::atomic<uint16_t> port{0};
    FakeCamera camera(LoopbackAddress(35), [&](const HttpRequest& r) -> std::string {
      if (Asks(r, "GetSystemDateAndTime")) return Clock();
      if (Asks(r, "GetCapabilities")) {
        std::this_thread::sleep_for(500ms);  // a slow camera, not a wait of ours
        ov::Capabilities c;
        c.media = "http://x:" + std::to_string(port.load()) + "/media";
        return Http(ov::BuildGetCapabilitiesResponse(c));
      }
      return std::string();
    });
    port = camera.port();
    int32_t h = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Connect(LoopbackAddress(35), camera.port(), &h, 1000), dl::kErrTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 1400ms);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
}

namespace {
std::atomic<int> g_connected{-1};
std::atomic<int> g_reason{0};
int32_t QRV_CALLBACK OnConnect(int32_t, int32_t connected, int32_t reason, void*) {
  g_reason = reason;
  g_connected = connected;
  return 1;
}
}  // namespace

TEST(OnvifPeer, ACameraThatGoesAwayAfterTheLoginIsNoticedByTheKeepAlive) {
  const auto address = LoopbackAddress(36);
  std::atomic<uint16_t> port{0};
  FakeCamera camera(address, [&](const HttpRequest& r) -> std::string {
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    if (Asks(r, "GetCapabilities")) {
      ov::Capabilities c;
      c.media = "http://x:" + std::to_string(port.load()) + "/media";
      return Http(ov::BuildGetCapabilitiesResponse(c));
    }
    return Profiles();
  });
  port = camera.port();
  int32_t h = TMCC_Init(dl::kClientLogin);
  TMCC_RegisterConnectCallBack(h, OnConnect, nullptr);
  TMCC_SetAutoReConnect(h, 0);
  dl::LoginRecord r{};
  r.size = sizeof(r);
  const std::string ip = "http://" + address + ":" + std::to_string(camera.port());
  std::strncpy(r.deviceIp, ip.c_str(), sizeof(r.deviceIp) - 1);
  std::strncpy(r.user, "user", sizeof(r.user) - 1);
  ASSERT_EQ(TMCC_Connect(h, &r, 0), dl::kOk);
  ASSERT_TRUE(WaitUntil([] { return g_connected == 1; }, 2s));
  camera.Close();
  ASSERT_TRUE(WaitUntil([] { return g_connected == 0; }, 15s));
  EXPECT_EQ(g_reason.load(), dl::kErrUnreachable);
  EXPECT_EQ(TMCC_IsConnect(h), 0);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

TEST(OnvifPeer, AFailedSnapshotOrPresetSaysWhyInTheLastErrorText) {
  const auto address = LoopbackAddress(39);
  std::atomic<int> shape{0};
  std::atomic<uint16_t> port{0};
  const std::string headers = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  FakeCamera camera(address, [&](const HttpRequest& r) -> std::string {
    if (r.line.starts_with("GET ")) {
      std::string body;
      switch (shape.load()) {
        case 1:
          body = "<html>no</html>";
          break;
        case 2:
          break;
        case 3:
          return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        case 4:
          body.assign(4 * 1024 * 1024 + 1, '\xFF');
          break;
        default:
          body = "\xFF\xD8\xFF\xD9";
      }
      return headers + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    if (Asks(r, "GetCapabilities")) {
      ov::Capabilities c;
      c.media = "http://192.0.2.1/media";
      c.ptz = "http://192.0.2.1:" + std::to_string(port.load()) + "/ptz";
      return Http(ov::BuildGetCapabilitiesResponse(c));
    }
    if (Asks(r, "GetProfiles")) return Profiles();
    if (Asks(r, "GetSnapshotUri")) {
      if (shape == 5) return Http("<e:Envelope><e:Body/></e:Envelope>");
      return Http(ov::BuildGetSnapshotUriResponse({"http://192.0.2.1/snap.jpg"}));
    }
    if (Asks(r, "GetPresets")) return Http(ov::BuildGetPresetsResponse({{"P001", ""}}));
    return Http(ov::BuildFault("Receiver", "ter:ActionNotSupported", "no"), "500 Error");
  });
  port = camera.port();
  int32_t h = 0;
  ASSERT_EQ(Connect(address, camera.port(), &h), dl::kOk);
  auto lastError = [h] {
    char text[256];
    EXPECT_EQ(TMCC_GetLastErrorText(h, text, sizeof(text)), dl::kOk);
    return std::string(text);
  };
  TempDir dir;
  const auto file = dir.File("snap.jpg");
  struct Case {
    int shape;
    int32_t result;
    const char* reason;
  };
  const Case cases[] = {
      {1, dl::kErrProtocol, "snapshot: not a JPEG"},
      {2, dl::kErrProtocol, "snapshot: an empty picture"},
      {3, dl::kErrDeviceRefused, "snapshot: HTTP status 404"},
      {4, dl::kErrProtocol, "snapshot: no whole HTTP answer within 4 MiB"},
      {5, dl::kErrProtocol,
       "snapshot: GetSnapshotUri: not well-formed XML: offset 0: undeclared namespace prefix 'e'"},
      {0, dl::kOk, ""},
  };
  for (const Case& c : cases) {
    shape = c.shape;
    EXPECT_EQ(TMCC_CapturePictureToFile(h, file.c_str(), "JPEG"), c.result) << c.reason;
    EXPECT_EQ(lastError(), c.reason);
  }
  EXPECT_EQ(TMCC_PtzControl(h, 101, 2, 2), dl::kErrDeviceRefused);
  EXPECT_EQ(lastError(), "preset 2: the camera has no such preset");

  // Nothing at the address a service names: the message names that address.
  camera.Close();
  EXPECT_EQ(TMCC_PtzControl(h, 102, 1, 1), dl::kErrUnreachable);
  EXPECT_EQ(lastError(),
            "GetPresets: device unreachable at " + address + ":" + std::to_string(port.load()));
  char small[4];
  EXPECT_EQ(TMCC_GetLastErrorText(h, small, sizeof(small)), dl::kOk);
  EXPECT_EQ(std::string(small), "Get");
  EXPECT_EQ(TMCC_GetLastErrorText(h, nullptr, 8), dl::kErrInvalidArgument);
  EXPECT_EQ(TMCC_Done(h), dl::kOk);
}

namespace {

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A camera with an event service that answers every pull at once with
// message (as a camera full of events would), leaving its connections open
// when keepOpen says so.
FakeCamera::Script EventCamera(std::atomic<uint16_t>& port, ov::NotificationMessage message,
                               bool keepOpen) {
  return [&port, message, keepOpen](const HttpRequest& r) -> std::string {
    const std::string here = "http://x:" + std::to_string(port.load());
    if (Asks(r, "GetSystemDateAndTime")) return Clock();
    if (Asks(r, "GetCapabilities")) {
      ov::Capabilities c;
      c.media = here + "/media";
      c.events = here + "/events";
      return Http(ov::BuildGetCapabilitiesResponse(c));
    }
    if (Asks(r, "GetProfiles")) return Profiles();
    const int64_t now = UnixNow();
    if (Asks(r, "CreatePullPointSubscription")) {
      return Http(ov::BuildCreatePullPointSubscriptionResponse(here + "/sub", {now, now + 60}, ""),
                  "200 OK", keepOpen);
    }
    if (Asks(r, "PullMessages")) {
      return Http(ov::BuildPullMessagesResponse({now, now + 60, {message}}, ""), "200 OK",
                  keepOpen);
    }
    if (Asks(r, "Renew")) {
      return Http(ov::BuildRenewResponse({now, now + 60}, ""), "200 OK", keepOpen);
    }
    return Http(ov::BuildUnsubscribeResponse(""), "200 OK", keepOpen);
  };
}

ov::NotificationMessage Event(std::string topic, std::string sourceItem, std::string stateItem) {
  ov::NotificationMessage m;
  m.topic = "tns1:" + topic;
  m.topicPath = std::move(topic);
  m.topicNamespace = std::string(ov::ns::kTopics);
  m.propertyOperation = "Changed";
  m.source = {{std::move(sourceItem), "1"}};
  m.data = {{std::move(stateItem), "true"}};
  return m;
}

size_t Count(const std::vector<HttpRequest>& requests, const char* operation) {
  return static_cast<size_t>(
      std::ranges::count_if(requests, [&](const auto& r) { return Asks(r, operation); }));
}

struct HeardAlarm {
  int32_t loginHandle;
  int32_t value;
  std::string address;
};
std::mutex g_heardMutex;
std::vector<HeardAlarm> g_heard;
int32_t QRV_CALLBACK OnAlarm(int32_t, dl::AlarmMessage* m, void*) {
  std::lock_guard lock(g_heardMutex);
  g_heard.push_back({m->record->loginHandle, m->record->value, m->record->address});
  return 0;
}
std::vector<HeardAlarm> Heard() {
  std::lock_guard lock(g_heardMutex);
  return g_heard;
}

}  // namespace

TEST(OnvifPeer, TwoCamerasOnOneAddressEachRaiseAlarmsOnlyForTheirOwnLogin) {
  const int32_t listener = TMCC_Init(dl::kClientAlarmListener);
  TMCC_RegisterDataReadCallBack(listener, OnAlarm, nullptr);
  // Nothing connects to it (the alarms are pulled); a port of this process's
  // own, so parallel runs need no lock.
  int port = 20000 + getpid() % 20000;
  for (int tries = 0; tries < 100 && TMCC_StartListen(listener, port) != dl::kOk; ++tries) ++port;

  const auto address = LoopbackAddress(40);
  std::atomic<uint16_t> quietPort{0}, busyPort{0};
  FakeCamera quiet(
      address,
      EventCamera(quietPort, Event("Device/Trigger/DigitalInput", "InputToken", "LogicalState"),
                  true));
  FakeCamera busy(address,
                  EventCamera(busyPort, Event("VideoSource/MotionAlarm", "Source", "State"), true));
  quietPort = quiet.port();
  busyPort = busy.port();
  int32_t quietLogin = 0, busyLogin = 0;
  ASSERT_EQ(Connect(address, quiet.port(), &quietLogin), dl::kOk);
  ASSERT_EQ(Connect(address, busy.port(), &busyLogin), dl::kOk);

  // value 1: motion (only the busy camera has it), -1: digital input 1.
  const std::map<int32_t, int32_t> loginOf = {{1, busyLogin}, {-1, quietLogin}};
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::map<int32_t, int> seen;
        for (const auto& a : Heard()) ++seen[a.value];
        return seen[1] >= 2 && seen[-1] >= 2;
      },
      10s));
  for (const auto& a : Heard()) {
    ASSERT_TRUE(loginOf.contains(a.value)) << a.value;
    EXPECT_EQ(a.loginHandle, loginOf.at(a.value)) << a.value;
    EXPECT_EQ(a.address, address);
  }
  EXPECT_EQ(TMCC_Done(quietLogin), dl::kOk);
  EXPECT_EQ(TMCC_Done(busyLogin), dl::kOk);
  EXPECT_EQ(TMCC_Done(listener), dl::kOk);
}

// Pacing seen from the camera's side: over a window of two seconds, a camera
// that answers every pull at once is pulled a few times a second, not as fast
// as the loop runs; on one connection when it keeps connections open, and
// still without a failure when it closes a connection it said it would keep.
TEST(OnvifPeer, ACameraAnsweringEveryPullAtOnceIsPulledAFewTimesASecond) {
  struct Case {
    const char* what;
    bool keepOpen;          // the camera's answers say the connection stays open
    bool closesAnyway;      // and it closes it all the same
    size_t maxConnections;  // in the window
  };
  const Case cases[] = {
      {"kept open", true, false, 2},
      {"closed every time", false, false, 100},
      {"closed though said open", true, true, 100},
  };
  int index = 41;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto address = LoopbackAddress(index++);
    std::atomic<uint16_t> port{0};
    auto script =
        EventCamera(port, Event("VideoSource/MotionAlarm", "Source", "State"), c.keepOpen);
    FakeCamera camera(address, script, !c.closesAnyway);
    port = camera.port();
    int32_t h = 0;
    ASSERT_EQ(Connect(address, camera.port(), &h), dl::kOk);
    ASSERT_TRUE(WaitUntil([&] { return Count(camera.Requests(), "PullMessages") >= 2; }, 5s));
    const size_t pulls = Count(camera.Requests(), "PullMessages");
    const size_t connections = camera.Connections();
    // Unpaced, this camera was pulled hundreds of times a second.
    EXPECT_FALSE(
        WaitUntil([&] { return Count(camera.Requests(), "PullMessages") >= pulls + 40; }, 2s));
    const size_t pulled = Count(camera.Requests(), "PullMessages") - pulls;
    EXPECT_GE(pulled, 2u);
    EXPECT_LE(pulled, 20u);
    EXPECT_LE(camera.Connections() - connections, c.maxConnections);
    // Every pull was answered: the subscription was never given up.
    EXPECT_EQ(Count(camera.Requests(), "CreatePullPointSubscription"), 1u);
    EXPECT_EQ(TMCC_Done(h), dl::kOk);
  }
}
