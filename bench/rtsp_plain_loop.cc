// The floor of receiving and recording standard cameras: N RTSP sessions (RTP
// interleaved on the RTSP connection) set up one after the other, then one
// thread and one epoll set: each readiness, one recv of up to 256 KiB into one
// buffer and one write of what came to the session's file. The RTP packets
// are written as they came (their headers and the interleaving included,
// about 1.5 % more bytes than the H.264 stream): nothing is parsed.
//
//   rtsp_plain_loop URL USER PASSWORD COUNT DIR SECONDS
//
// Loopback addresses only. Ends after SECONDS, or on SIGTERM/SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tmcc/rtsp/codec/auth.h"
#include "tmcc/rtsp/codec/message.h"
#include "tmcc/rtsp/codec/sdp.h"
#include "tmcc/rtsp/codec/transport.h"
#include "tmcc/rtsp/codec/url.h"

namespace rt = qrv::tmcc::rtsp;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "rtsp_plain_loop: %s\n", what.c_str());
  std::exit(1);
}

// One blocking request and its response, answering one challenge.
class Exchange {
 public:
  Exchange(int fd, std::string user, std::string password)
      : fd_(fd), auth_(user, password, false) {}

  rt::Response Ask(const std::string& method, const std::string& uri,
                   std::vector<rt::Header> headers) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      rt::OutgoingRequest request{method, uri, headers, {}};
      if (auto value = auth_.Authorization(method, uri))
        request.headers.push_back({"Authorization", *value});
      auto bytes = rt::BuildRtspRequest(request, ++cseq_);
      if (!bytes) Die("cannot build " + method);
      if (::send(fd_, bytes->data(), bytes->size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(bytes->size()))
        Die("send failed");
      rt::Response response = Receive();
      if (response.status == 401 && attempt == 0) {
        auto values = response.headers.FindAll("WWW-Authenticate");
        if (auth_.OnChallenge(values) != rt::Authenticator::Verdict::kRetry) Die("refused");
        continue;
      }
      if (response.status < 200 || response.status > 299)
        Die(method + " answered " + std::to_string(response.status));
      return response;
    }
    Die(method + ": refused");
  }

 private:
  rt::Response Receive() {
    for (;;) {
      auto r = rt::ParseRtspResponse(in_);
      if (r.status == rt::ParseStatus::kMessage) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(r.consumed));
        return std::move(r.response);
      }
      if (r.status != rt::ParseStatus::kNeedMore) Die("malformed response");
      uint8_t chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) Die("connection ended during set-up");
      in_.insert(in_.end(), chunk, chunk + n);
    }
  }

  int fd_;
  rt::Authenticator auth_;
  uint32_t cseq_ = 0;
  std::vector<uint8_t> in_;
};

int Connect(const rt::Url& url) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(url.port);
  if (::inet_pton(AF_INET, url.host.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127)
    Die("loopback IPv4 addresses only");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    Die("cannot connect");
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// OPTIONS, DESCRIBE, SETUP (interleaved), PLAY. The PLAY answer is the last
// message: what follows is the stream.
void SetUp(int fd, const std::string& urlText, const std::string& user,
           const std::string& password) {
  Exchange exchange(fd, user, password);
  exchange.Ask("OPTIONS", urlText, {});
  auto describe = exchange.Ask("DESCRIBE", urlText, {{"Accept", "application/sdp"}});
  auto sdp = rt::ParseSdp(describe.body, rt::DescribeBaseUrl(describe, urlText));
  if (!sdp.ok() || sdp.description.videoTracks.empty())
    Die("no usable video track" + (sdp.offered.empty() ? "" : " (offered: " + sdp.offered + ")"));
  auto setup = exchange.Ask("SETUP", sdp.description.videoTracks.front().control,
                            {{"Transport", "RTP/AVP/TCP;unicast;interleaved=0-1"}});
  auto sessionValue = setup.headers.Find("Session");
  auto session = sessionValue ? rt::ParseSessionHeader(*sessionValue) : std::nullopt;
  if (!session) Die("no session");
  const std::string control = sdp.description.control.empty() ? urlText : sdp.description.control;
  exchange.Ask("PLAY", control, {{"Session", session->id}, {"Range", "npt=0.000-"}});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: rtsp_plain_loop URL USER PASSWORD COUNT DIR SECONDS\n");
    return 2;
  }
  const std::string urlText = argv[1];
  const int count = std::atoi(argv[4]);
  const std::string dir = argv[5];
  const int seconds = std::atoi(argv[6]);
  if (count < 1 || count > 256 || seconds < 1 || seconds > 3600)
    Die("COUNT 1..256, SECONDS 1..3600");
  auto url = rt::ParseUrl(urlText);
  if (!url.ok()) Die("bad URL");
  std::signal(SIGTERM, [](int) { stopRequested = 1; });
  std::signal(SIGINT, [](int) { stopRequested = 1; });

  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> files(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int fd = Connect(url.url);
    SetUp(fd, urlText, argv[2], argv[3]);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string path = dir + "/plain-" + std::to_string(i) + ".h264";
    files[static_cast<size_t>(i)] =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (files[static_cast<size_t>(i)] < 0) Die("cannot create " + path);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = (static_cast<uint64_t>(i) << 32) | static_cast<uint32_t>(fd);
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  }
  std::printf("playing %d\n", count);
  std::fflush(stdout);

  std::vector<uint8_t> buffer(256 * 1024);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  epoll_event events[64];
  while (!stopRequested && std::chrono::steady_clock::now() < end) {
    const int ready = ::epoll_wait(epoll, events, 64, 200);
    for (int k = 0; k < ready; ++k) {
      const int fd = static_cast<int>(events[k].data.u64 & 0xffffffffu);
      const size_t index = static_cast<size_t>(events[k].data.u64 >> 32);
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n == 0) Die("a camera hung up");
      if (n < 0) continue;
      if (::write(files[index], buffer.data(), static_cast<size_t>(n)) != n) Die("write failed");
    }
  }
  return 0;
}
