// What a hostile standard camera costs its login: the camera answers every
// event pull at once with MESSAGES motion notifications. The camera runs in
// a child process on 127.0.0.1 (an ephemeral port); the library, logged in
// to it through its public functions, runs here, so the CPU figure is the
// library's alone. Prints one line: pulls a second, CPU seconds of the
// library and of the camera over the window, connections the camera
// accepted, and the sockets to the camera's port (ESTABLISHED, TIME_WAIT)
// at the window's end.
//
//   onvif_pull_bench [MESSAGES [SECONDS [close]]]   (defaults 1 and 10)
//
// With "close" the camera closes every connection after its answer (it
// allows no keep-alive); else it keeps a connection the client keeps.
//
// Loopback only; ends after SECONDS (at most 120).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/onvif/codec/device_service.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/media_service.h"
#include "tmcc/onvif/codec/namespaces.h"

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;

namespace {

// Shared with the camera process.
struct Counters {
  std::atomic<uint64_t> pulls{0};
  std::atomic<uint64_t> connections{0};
};

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Http(const std::string& body, bool keepOpen) {
  return std::string("HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n") +
         (keepOpen ? "" : "Connection: close\r\n") +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool Has(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}

// The answer to one request, and whether the connection stays open (the
// camera honours the client's "Connection: close").
std::string Answer(const std::string& head, const std::string& body, uint16_t port,
                   const std::string& pullAnswer, Counters& counters, bool closes, bool* keepOpen) {
  *keepOpen = !closes && !Has(head, "\r\nConnection: close");
  const std::string here = "http://127.0.0.1:" + std::to_string(port);
  const int64_t now = UnixNow();
  if (Has(body, ":GetSystemDateAndTime")) {
    ov::SystemDateAndTime t;
    t.utcUnix = now;
    return Http(ov::BuildGetSystemDateAndTimeResponse(t), *keepOpen);
  }
  if (Has(body, ":GetCapabilities")) {
    ov::Capabilities c;
    c.media = here + "/media";
    c.events = here + "/events";
    return Http(ov::BuildGetCapabilitiesResponse(c), *keepOpen);
  }
  if (Has(body, ":GetProfiles")) {
    ov::MediaProfile p;
    p.token = "main";
    p.videoEncoding = "H264";
    return Http(ov::BuildGetProfilesResponse({p}), *keepOpen);
  }
  if (Has(body, ":CreatePullPointSubscription")) {
    return Http(ov::BuildCreatePullPointSubscriptionResponse(here + "/sub", {now, now + 60}, ""),
                *keepOpen);
  }
  if (Has(body, ":PullMessages")) {
    counters.pulls.fetch_add(1, std::memory_order_relaxed);
    return Http(pullAnswer, *keepOpen);
  }
  if (Has(body, ":Renew")) return Http(ov::BuildRenewResponse({now, now + 60}, ""), *keepOpen);
  return Http(ov::BuildUnsubscribeResponse(""), *keepOpen);
}

struct Connection {
  int fd;
  std::string in;
};

// The camera: one thread, poll over the listener and its connections.
[[noreturn]] void RunCamera(int listener, uint16_t port, int messages, bool closes,
                            Counters& counters) {
  ov::NotificationMessage motion;
  motion.topic = "tns1:VideoSource/MotionAlarm";
  motion.topicPath = "VideoSource/MotionAlarm";
  motion.topicNamespace = std::string(ov::ns::kTopics);
  motion.propertyOperation = "Changed";
  motion.source = {{"Source", "VideoSource_1"}};
  motion.data = {{"State", "true"}};
  std::vector<Connection> open;
  std::string pullAnswer;
  int64_t pullAnswerTime = 0;
  for (;;) {
    std::vector<pollfd> polled{{listener, POLLIN, 0}};
    for (const auto& c : open) polled.push_back({c.fd, POLLIN, 0});
    if (poll(polled.data(), polled.size(), 1000) <= 0) continue;
    if (polled[0].revents != 0) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) {
        counters.connections.fetch_add(1, std::memory_order_relaxed);
        open.push_back({fd, {}});
      }
    }
    std::vector<int> closed;
    for (size_t i = 1; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      Connection& c = open[i - 1];
      char buffer[16384];
      const ssize_t n = recv(c.fd, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        closed.push_back(c.fd);
        continue;
      }
      c.in.append(buffer, static_cast<size_t>(n));
      for (;;) {
        const size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) break;
        const std::string head = c.in.substr(0, end + 4);
        const char* length = std::strstr(head.c_str(), "Content-Length: ");
        const size_t bodyLength = length != nullptr ? std::strtoul(length + 16, nullptr, 10) : 0;
        if (c.in.size() < end + 4 + bodyLength) break;
        const std::string body = c.in.substr(end + 4, bodyLength);
        c.in.erase(0, end + 4 + bodyLength);
        const int64_t now = UnixNow();
        if (now != pullAnswerTime) {
          pullAnswerTime = now;
          pullAnswer = ov::BuildPullMessagesResponse(
              {now, now + 60, std::vector<ov::NotificationMessage>(messages, motion)}, "");
        }
        bool keepOpen = false;
        const std::string answer =
            Answer(head, body, port, pullAnswer, counters, closes, &keepOpen);
        size_t sent = 0;
        while (sent < answer.size()) {
          const ssize_t w = send(c.fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
          if (w <= 0) break;
          sent += static_cast<size_t>(w);
        }
        if (!keepOpen) {
          closed.push_back(c.fd);
          break;
        }
      }
    }
    for (int fd : closed) {
      close(fd);
      std::erase_if(open, [fd](const Connection& c) { return c.fd == fd; });
    }
  }
}

// Sockets to or from port, by state, from the kernel's table.
std::map<std::string, int> Sockets(uint16_t port) {
  std::map<std::string, int> states;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    char local[64], remote[64], state[8];
    if (std::sscanf(line.c_str(), "%*d: %63s %63s %7s", local, remote, state) != 3) continue;
    const auto portOf = [](const char* address) {
      const char* colon = std::strchr(address, ':');
      return colon != nullptr ? std::strtoul(colon + 1, nullptr, 16) : 0;
    };
    if (portOf(local) != port && portOf(remote) != port) continue;
    const std::string s = state;
    ++states[s == "01" ? "ESTABLISHED" : s == "06" ? "TIME_WAIT" : "other"];
  }
  return states;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::clamp(std::atoi(argv[1]), 0, 1000) : 1;
  const int seconds = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 120) : 10;
  const bool closes = argc > 3 && std::strcmp(argv[3], "close") == 0;

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
      listen(listener, 64) != 0) {
    std::perror("listen");
    return 1;
  }
  socklen_t length = sizeof(sa);
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &length);
  const uint16_t port = ntohs(sa.sin_port);
  auto* counters = new (mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE,
                             MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Counters;
  const pid_t camera = fork();
  if (camera == 0) RunCamera(listener, port, messages, closes, *counters);
  close(listener);

  dl::LoginRecord login{};
  login.size = sizeof(login);
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  std::strncpy(login.deviceIp, url.c_str(), sizeof(login.deviceIp) - 1);
  std::strncpy(login.user, "admin", sizeof(login.user) - 1);
  const int32_t handle = TMCC_Init(dl::kClientLogin);
  const int32_t result = TMCC_Connect(handle, &login, 0);
  if (result != dl::kOk) {
    std::fprintf(stderr, "login: %d\n", result);
    kill(camera, SIGKILL);
    return 1;
  }
  // The window starts with the first pull.
  for (int i = 0; i < 500 && counters->pulls.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const uint64_t pulls0 = counters->pulls.load();
  const uint64_t connections0 = counters->connections.load();
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
  const uint64_t pulls = counters->pulls.load() - pulls0;
  const uint64_t connections = counters->connections.load() - connections0;
  auto sockets = Sockets(port);
  TMCC_Done(handle);
  kill(camera, SIGKILL);
  waitpid(camera, nullptr, 0);
  const double cameraCpu = CpuSeconds(RUSAGE_CHILDREN);
  std::printf(
      "messages/answer %d%s  window %d s  pulls/s %.1f  library CPU %.2f s  camera CPU (whole run) "
      "%.2f s  "
      "connections %llu  ESTABLISHED %d  TIME_WAIT %d\n",
      messages, closes ? " (camera closes)" : "", seconds, static_cast<double>(pulls) / seconds,
      cpu, cameraCpu, static_cast<unsigned long long>(connections), sockets["ESTABLISHED"],
      sockets["TIME_WAIT"]);
  return 0;
}
