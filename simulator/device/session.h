// One TCP connection to a simulated device (a control or a stream session):
// the login handshake and requests over the library's framed connection (a
// bounded, optionally throttled write queue, frame and idle deadlines). Runs entirely on its
// device's strand; the device decides what logins and requests mean through SessionHost.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "tmcc/common/codec/messages.h"
#include "tmcc/native/connection/framed_connection.h"

namespace qrv::sim {

class Session;

// Implemented by the device; called on the device's strand only.
class SessionHost {
 public:
  virtual ~SessionHost() = default;
  // Judges a login; on acceptance fills serverProof.
  virtual tmcc::protocol::LoginStatus CheckLogin(Session& session,
                                                 const tmcc::protocol::Login& login,
                                                 const tmcc::protocol::Nonce& serverNonce,
                                                 tmcc::protocol::Proof& serverProof) = 0;
  virtual void OnLoggedIn(const std::shared_ptr<Session>& session) = 0;
  virtual void OnRequest(const std::shared_ptr<Session>& session, uint32_t requestId,
                         const tmcc::protocol::Request& request) = 0;
  virtual void OnClosed(Session& session) = 0;
  virtual void OnHeartbeat() = 0;
  virtual bool Stalled() const = 0;
  virtual uint64_t ThrottleBytesPerSecond() const = 0;
  // Flood mode: the next stream frame for this session, or false when the
  // session is not flooding. Called when its write queue runs empty.
  virtual bool NextFloodFrame(Session& session, std::vector<uint8_t>& frame) = 0;
};

class Session : public std::enable_shared_from_this<Session>, private tmcc::connection::Handler {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;
  enum class Kind { kControl, kStream };

  Session(Strand strand, asio::ip::tcp::socket socket, Kind kind, std::weak_ptr<SessionHost> host);
  ~Session();

  // Sends the greeting (or holds it back while the device stalls) and starts
  // reading. Strand only, as is everything below.
  void Start();
  // Sends the greeting now if it was held back by a stall.
  void Resume();
  void Close();
  // Queues one whole frame. Returns false (and queues nothing) when more than
  // maxQueued bytes wait already; past the connection's own bound (a client
  // that does not read) the session is closed.
  bool Send(std::vector<uint8_t> frame, size_t maxQueued = SIZE_MAX);
  // Closes the connection once everything queued so far has been written.
  void CloseAfterFlush();

  Kind kind() const { return kind_; }
  bool LoggedIn() const { return loggedIn_; }
  bool Closed() const { return closed_; }
  size_t QueuedBytes() const { return connection_ ? connection_->queuedBytes() : 0; }
  uint8_t StreamType() const { return streamType_; }

  // Per-session state the device keeps for stream sessions.
  uint32_t nextSequence = 0;
  uint64_t observationId = 0;  // position among all stream observations ever made
  bool needKey = true;         // skip video until the next IDR
  bool fellBehind = false;     // needKey because the send queue was full
  size_t floodCursor = 0;      // flood mode: next loop frame
  bool flooding = false;
  bool holdsVoice = false;  // control session that started voice talk
  int pendingFault = 0;     // stream fault to inject instead of the next frame

 private:
  void SendHello();
  bool HandleFrame(tmcc::protocol::MessageType type, uint32_t requestId,
                   std::span<const uint8_t> payload);
  bool OnFrame(tmcc::connection::FramedConnection& c,
               const tmcc::protocol::FrameView& frame) override;
  void OnClosed(tmcc::connection::FramedConnection& c,
                tmcc::connection::CloseReason reason) override;
  void OnDrained(tmcc::connection::FramedConnection& c) override;
  std::chrono::microseconds PauseAfterWrite(size_t bytes) override;
  bool HoldWrites() override;

  Strand strand_;
  Kind kind_;
  std::weak_ptr<SessionHost> host_;
  std::shared_ptr<tmcc::connection::FramedConnection> connection_;
  bool closeAfterFlush_ = false;
  bool closed_ = false;
  bool helloSent_ = false;
  bool loggedIn_ = false;
  uint8_t streamType_ = 0;
  tmcc::protocol::Nonce serverNonce_{};
};

}  // namespace qrv::sim
