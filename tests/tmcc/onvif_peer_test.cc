// The device library's ONVIF client against scripted cameras that mislead or
// misbehave: service addresses naming another host, a refused
// GetCapabilities, answers that do not fit or never come, and a camera that
// goes away after the login.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "support/wait.h"
#include "tests/tmcc/loopback.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/soap.h"

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using qrv::test::LoopbackAddress;
using qrv::test::WaitUntil;
using namespace std::chrono_literals;

namespace {

struct HttpRequest {
  std::string line;  // "POST /path HTTP/1.1"
  std::string host;
  std::string authorization;
  std::string body;
};

// An HTTP camera on a loopback address answering each request (one per
// connection) with what the script returns; an empty answer holds the
// connection open unanswered until the camera is closed. Every wait is
// bounded.
class FakeCamera {
 public:
  using Script = std::function<std::string(const HttpRequest& request)>;

  FakeCamera(const std::string& address, Script script) : script_(std::move(script)) {
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

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      timeval tv{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      auto request = Read(fd);
      if (request) {
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
        } else {
          qrv::test::ScriptedPeer::Send(fd, std::vector<uint8_t>(answer.begin(), answer.end()));
        }
      }
      close(fd);
    }
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
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<HttpRequest> requests_;
};

std::string Http(const std::string& body, const std::string& status = "200 OK") {
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: application/soap+xml\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool Asks(const HttpRequest& r, const char* operation) {
  return r.body.find(std::string(":") + operation) != std::string::npos;
}

std::string Clock() {
  ov::SystemDateAndTime t;
  t.utcUnix = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  return Http(ov::BuildGetSystemDateAndTimeResponse(t));
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
  // Port 80 from the address: a camera saying nothing of the port means 80,
  // where nobody listens here.
  EXPECT_EQ(Connect(LoopbackAddress(32), older.port(), &h), dl::kErrUnreachable);
  requests = older.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(Asks(requests[1], "GetCapabilities"));
  EXPECT_TRUE(Asks(requests[2], "GetServices"));
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
