#include "tests/hostile/hostile_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::hostile {

namespace pr = qrv::tmcc::protocol;

namespace {

sockaddr_in Address(const std::string& ip, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
  return sa;
}

// Reads one whole frame within timeout (byte by byte: peers here are tiny).
std::optional<std::pair<pr::MessageType, std::vector<uint8_t>>> ReadFrame(
    int fd, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto r = pr::DecodeFrame(bytes);
    if (r.status == pr::DecodeStatus::kError) return std::nullopt;
    if (r.status == pr::DecodeStatus::kFrame) {
      return std::make_pair(r.frame.type,
                            std::vector<uint8_t>(r.frame.payload.begin(), r.frame.payload.end()));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
    uint8_t byte;
    if (recv(fd, &byte, 1, 0) != 1) return std::nullopt;
    bytes.push_back(byte);
  }
}

}  // namespace

int64_t RssBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  long pages = 0, resident = 0;
  const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
  std::fclose(f);
  return n == 2 ? static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE) : 0;
}

int Connect(const std::string& ip, uint16_t port, const std::string& from) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!from.empty()) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    auto local = Address(from, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      close(fd);
      return -1;
    }
  }
  auto sa = Address(ip, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes, std::chrono::milliseconds stall) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(stall.count())) != 1) return false;
    if ((p.revents & (POLLERR | POLLHUP)) != 0) return false;
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> AlarmFrames(size_t bytes, const std::string& address) {
  std::vector<uint8_t> out;
  uint32_t id = 1;
  while (out.size() < bytes) pr::BuildAlarm(out, id++, {0, 3, 1, address});
  return out;
}

uint64_t FloodAlarms(const std::string& ip, uint16_t port, uint64_t bytes,
                     std::chrono::milliseconds stall) {
  int fd = Connect(ip, port);
  if (fd < 0) return 0;
  const auto chunk = AlarmFrames(64 * 1024, "");
  uint64_t sent = 0;
  while (sent < bytes && SendAll(fd, chunk, stall)) sent += chunk.size();
  close(fd);
  return sent;
}

bool SendAlarm(const std::string& ip, uint16_t port, const std::string& from,
               const pr::Alarm& alarm, std::chrono::milliseconds timeout) {
  int fd = Connect(ip, port, from);
  if (fd < 0) return false;
  const bool acked = SendAlarmOn(fd, alarm, timeout);
  close(fd);
  return acked;
}

bool SendAlarmOn(int fd, const pr::Alarm& alarm, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> frame;
  pr::BuildAlarm(frame, 77, alarm);
  if (!SendAll(fd, frame, timeout)) return false;
  auto answer = ReadFrame(fd, timeout);
  return answer && answer->first == pr::MessageType::kAlarmAck;
}

Device::Device(const std::string& address, std::string password, int maxConnections, Script script)
    : password_(std::move(password)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  auto sa = Address(address, 0);
  bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  listen(listener_, 16);
  socklen_t len = sizeof(sa);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this, maxConnections, script = std::move(script)] {
    for (int i = 0; i < maxConnections && !stop_; ++i) {
      pollfd p{listener_, POLLIN, 0};
      int ready = 0;
      // Bounded: at most 20 s without a connection.
      for (int waited = 0; waited < 200 && !stop_ && ready != 1; ++waited) ready = poll(&p, 1, 100);
      if (ready != 1) return;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      {
        std::lock_guard lock(mutex_);
        accepts_.push_back(std::chrono::steady_clock::now());
      }
      pr::Nonce serverNonce;
      pr::MakeNonce(serverNonce);
      std::vector<uint8_t> out;
      pr::BuildServerHello(out, 0, {serverNonce});
      SendAll(fd, out, 2s);
      auto frame = ReadFrame(fd, 5s);
      std::optional<pr::Login> login;
      if (frame && frame->first == pr::MessageType::kLogin) login = pr::ParseLogin(frame->second);
      if (login) {
        pr::LoginResult result;
        auto expected = pr::ComputeClientProof(password_, serverNonce, login->clientNonce,
                                               login->purpose, login->streamType, login->user);
        if (!pr::ProofsEqual(expected, login->proof)) {
          result.status = pr::LoginStatus::kCredentialsRefused;
        } else {
          result.serverProof = pr::ComputeServerProof(password_, login->clientNonce, serverNonce);
        }
        out.clear();
        pr::BuildLoginResult(out, 0, result);
        SendAll(fd, out, 2s);
        if (result.status == pr::LoginStatus::kAccepted) {
          ++logins_;
          script(fd);
        }
      }
      close(fd);
    }
  });
}

Device::~Device() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

std::vector<std::chrono::steady_clock::time_point> Device::accepts() const {
  std::lock_guard lock(mutex_);
  return accepts_;
}

uint64_t Device::PingWithoutReading(int fd, uint64_t bytes, std::chrono::milliseconds stall) {
  std::vector<uint8_t> pings;
  while (pings.size() < 64 * 1024) pr::BuildPing(pings, 1);
  uint64_t sent = 0;
  while (sent < bytes && SendAll(fd, pings, stall)) sent += pings.size();
  return sent;
}

void Device::SendGarbage(int fd) {
  SendAll(fd, {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'},
          1s);
}

void Device::StreamPictures(int fd, int pictures) {
  static const uint8_t kPayload[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
  std::vector<uint8_t> out;
  pr::StreamData data;
  data.frameType = pr::kStreamHeader;
  data.data = kPayload;
  pr::BuildStreamData(out, 0, data);
  for (int i = 0; i < pictures; ++i) {
    data.frameType = pr::kStreamVideo;
    data.keyFrame = i == 0 ? 1 : 0;
    data.sequence = static_cast<uint32_t>(i);
    pr::BuildStreamData(out, 0, data);
  }
  SendAll(fd, out, 1s);
  // Let the client read it all before the close (a reset would discard it).
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, 200);
}

Tricklers::Tricklers(const std::string& ip, uint16_t port, int count,
                     std::chrono::milliseconds interval, bool idle,
                     std::chrono::milliseconds duration) {
  thread_ = std::thread([=, this] {
    const auto frame = AlarmFrames(1, "");
    struct Peer {
      int fd;
      size_t next;  // next byte of the frame to send
    };
    std::vector<Peer> peers;
    const auto end = std::chrono::steady_clock::now() + duration;
    for (int i = 0; i < count && !stop_; ++i) {
      int fd = Connect(ip, port);
      if (fd < 0) {
        ++failed_;
        continue;
      }
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      peers.push_back({fd, 0});
      ++open_;
    }
    auto nextSend = std::chrono::steady_clock::now();
    while (!stop_ && std::chrono::steady_clock::now() < end && open_ > 0) {
      std::vector<pollfd> polls;
      for (auto& p : peers)
        if (p.fd >= 0) polls.push_back({p.fd, POLLIN, 0});
      poll(polls.data(), polls.size(), 50);
      for (auto& pf : polls) {
        if ((pf.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char sink[64];
        if (recv(pf.fd, sink, sizeof(sink), 0) <= 0) {
          for (auto& p : peers)
            if (p.fd == pf.fd) p.fd = -1;
          close(pf.fd);
          --open_;
          ++cut_;
        }
      }
      if (!idle && std::chrono::steady_clock::now() >= nextSend) {
        nextSend += interval;
        for (auto& p : peers) {
          if (p.fd < 0) continue;
          send(p.fd, frame.data() + p.next, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
          // Never the last byte: the frame must stay incomplete.
          p.next = (p.next + 1) % (frame.size() - 1);
        }
      }
    }
    for (auto& p : peers)
      if (p.fd >= 0) close(p.fd);
    open_ = 0;
  });
}

Tricklers::~Tricklers() {
  stop_ = true;
  thread_.join();
}

}  // namespace qrv::hostile
