// Loopback addresses and a scripted raw peer for the device-library tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::test {

namespace protocol = qrv::tmcc::protocol;

// 127.A.B.index, with A.B derived from the process id so that test programs
// running side by side never share an address (and so never a port 6002).
inline std::string LoopbackAddress(int index) {
  unsigned pid = static_cast<unsigned>(getpid());
  return "127." + std::to_string(64 + pid % 128) + "." + std::to_string(1 + (pid / 128) % 250) +
         "." + std::to_string(2 + index % 250);
}

// A TCP listener on address, on *port (any free port when 0); the port in
// *port. -1 when that port cannot be had.
inline int ListenOn(const std::string& address, int backlog, uint16_t* port) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(*port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
      listen(listener, backlog) != 0) {
    close(listener);
    return -1;
  }
  socklen_t len = sizeof(sa);
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return listener;
}

// A TCP peer on a loopback address that runs a script on the first
// connection it accepts. Every wait is bounded (5 s), so a script never hangs.
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd)>;

  ScriptedPeer(const std::string& address, Script script) {
    listener_ = ListenOn(address, 8, &port_);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      timeval tv{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      script(fd);
      close(fd);
    });
  }
  ~ScriptedPeer() {
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

  static void Send(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  // Reads one whole frame (type and payload), or nothing on error or time-out.
  static std::optional<std::pair<protocol::MessageType, std::vector<uint8_t>>> Read(int fd) {
    std::vector<uint8_t> bytes;
    while (true) {
      auto r = protocol::DecodeFrame(bytes);
      if (r.status == protocol::DecodeStatus::kError) return std::nullopt;
      if (r.status == protocol::DecodeStatus::kFrame) {
        return std::make_pair(r.frame.type,
                              std::vector<uint8_t>(r.frame.payload.begin(), r.frame.payload.end()));
      }
      uint8_t byte;
      if (recv(fd, &byte, 1, 0) != 1) return std::nullopt;
      bytes.push_back(byte);
    }
  }

  // Plays the device's side of the login; returns the client's Login, or
  // nothing when the client did not log in properly. flipProofByte >= 0
  // answers with the right device proof but that one byte inverted.
  static std::optional<protocol::Login> AcceptLogin(int fd, const std::string& password,
                                                    bool answerWithGoodProof = true,
                                                    int flipProofByte = -1) {
    protocol::Nonce serverNonce;
    protocol::MakeNonce(serverNonce);
    std::vector<uint8_t> out;
    protocol::BuildServerHello(out, 0, {serverNonce});
    Send(fd, out);
    auto frame = Read(fd);
    if (!frame || frame->first != protocol::MessageType::kLogin) return std::nullopt;
    auto login = protocol::ParseLogin(frame->second);
    if (!login) return std::nullopt;
    auto expected = protocol::ComputeClientProof(password, serverNonce, login->clientNonce,
                                                 login->purpose, login->streamType, login->user);
    protocol::LoginResult result;
    if (!protocol::ProofsEqual(expected, login->proof)) {
      result.status = protocol::LoginStatus::kCredentialsRefused;
    } else if (answerWithGoodProof) {
      result.serverProof = protocol::ComputeServerProof(password, login->clientNonce, serverNonce);
      if (flipProofByte >= 0 && static_cast<size_t>(flipProofByte) < result.serverProof.size())
        result.serverProof[static_cast<size_t>(flipProofByte)] ^= 0xFF;
    }
    out.clear();
    protocol::BuildLoginResult(out, 0, result);
    Send(fd, out);
    if (result.status != protocol::LoginStatus::kAccepted) return std::nullopt;
    return login;
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace qrv::test
