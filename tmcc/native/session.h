// One TCP session to a device: connect, challenge-response login, heartbeats,
// requests with answers, and (for stream sessions) stream frames handed to
// the owner straight from the receive buffer.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tmcc/common/codec/messages.h"
#include "tmcc/common/link.h"
#include "tmcc/native/connection/framed_connection.h"

namespace qrv::tmcc {

inline constexpr std::chrono::milliseconds kHeartbeatInterval{1000};
// Heartbeats without a byte from the device before the session is given up.
inline constexpr int kSilentBeatsLimit = 3;
// A device's frame must arrive whole within this: generous for a 4 MiB key
// frame on a slow link, short enough that a trickling peer is cut.
inline constexpr std::chrono::milliseconds kSessionFrameTime{10000};
// Bytes we may have queued for a device that does not read (pongs, pings,
// requests are tiny): past this the device is cut.
inline constexpr size_t kSessionQueueBound = 64 * 1024;

class Session : public Link,
                public std::enable_shared_from_this<Session>,
                private connection::Handler {
 public:
  Session(Strand strand, SessionParams params, SessionOwner* owner);
  ~Session() override;

  // Everything below runs on the strand.
  void Start(EstablishedHandler done) override;
  void Send(const protocol::Request& request, AnswerHandler done) override;
  void Close() override;

  bool established() const { return phase_ == Phase::kEstablished; }

 private:
  enum class Phase { kConnecting, kAwaitHello, kAwaitResult, kEstablished, kClosed };

  struct Pending {
    AnswerHandler done;
    std::unique_ptr<asio::steady_timer> timer;
  };

  void OnConnected(const asio::error_code& ec);
  bool OnFrame(connection::FramedConnection& c, const protocol::FrameView& frame) override;
  void OnClosed(connection::FramedConnection& c, connection::CloseReason reason) override;
  // false when the session ended while handling the frame
  bool HandleFrame(protocol::MessageType type, uint32_t requestId,
                   std::span<const uint8_t> payload);
  bool HandleHello(std::span<const uint8_t> payload);
  bool HandleResult(std::span<const uint8_t> payload);
  void HandleAnswer(uint32_t requestId, std::span<const uint8_t> payload);
  void Write(std::vector<uint8_t> frame);
  void Heartbeat();
  void Fail(int32_t reason);
  void Finish(int32_t reason, bool tellOwner);

  Strand strand_;
  SessionParams params_;
  SessionOwner* owner_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  asio::steady_timer heartbeat_;
  Phase phase_ = Phase::kConnecting;
  EstablishedHandler established_;

  std::shared_ptr<connection::FramedConnection> connection_;
  uint64_t bytesAtBeat_ = 0;
  int silentBeats_ = 0;

  protocol::Nonce serverNonce_{};
  protocol::Nonce clientNonce_{};
  uint32_t nextRequestId_ = 1;
  std::map<uint32_t, Pending> pending_;
};

// The library result for a device's answer status.
int32_t ResultForAnswer(protocol::AnswerStatus status);

}  // namespace qrv::tmcc
