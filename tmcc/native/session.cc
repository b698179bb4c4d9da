#include "tmcc/native/session.h"

#include <cstring>

#include "devicelib/tmcc_errors.h"
#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

namespace {
// A connection's own receive buffer, for frames split across reads (whole
// frames are decoded from the thread's shared buffer); grown to one frame.
constexpr size_t kOwnReadBuffer = 16 * 1024;
}  // namespace

int32_t ResultForAnswer(pr::AnswerStatus status) {
  switch (status) {
    case pr::AnswerStatus::kOk:
      return dl::kOk;
    case pr::AnswerStatus::kUnknownRequest:
    case pr::AnswerStatus::kRefused:
      return dl::kErrDeviceRefused;
    case pr::AnswerStatus::kUnavailable:
      return dl::kErrBusy;
  }
  return dl::kErrProtocol;
}

Session::Session(Strand strand, SessionParams params, SessionOwner* owner)
    : strand_(strand),
      params_(std::move(params)),
      owner_(owner),
      socket_(strand_),
      deadline_(strand_),
      heartbeat_(strand_) {}

Session::~Session() {
  if (connection_) connection_->Close();
}

void Session::Start(EstablishedHandler done) {
  established_ = std::move(done);
  if (!pr::MakeNonce(clientNonce_)) {
    Finish(dl::kErrIo, false);
    return;
  }
  deadline_.expires_after(params_.timeout);
  deadline_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (!ec && self->phase_ != Phase::kEstablished) self->Fail(dl::kErrTimeout);
  });
  asio::ip::tcp::endpoint endpoint(params_.address, params_.port);
  socket_.async_connect(
      endpoint, [self = shared_from_this()](const asio::error_code& ec) { self->OnConnected(ec); });
}

void Session::OnConnected(const asio::error_code& ec) {
  if (phase_ == Phase::kClosed) return;
  if (ec) {
    Fail(dl::kErrUnreachable);
    return;
  }
  asio::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  phase_ = Phase::kAwaitHello;
  connection::Limits limits;
  limits.readBuffer = kOwnReadBuffer;
  limits.maxQueuedBytes = kSessionQueueBound;
  limits.frameTime = kSessionFrameTime;
  connection_ = std::make_shared<connection::FramedConnection>(
      strand_, std::move(socket_), limits, static_cast<connection::Handler*>(this));
  connection_->Start();
}

bool Session::OnFrame(connection::FramedConnection&, const pr::FrameView& frame) {
  if (phase_ == Phase::kClosed) return true;
  // Handling may end the session, and its owner may drop it meanwhile.
  auto self = shared_from_this();
  HandleFrame(frame.type, frame.requestId, frame.payload);
  return true;  // HandleFrame ends the session itself on a fault
}

void Session::OnClosed(connection::FramedConnection&, connection::CloseReason reason) {
  using connection::CloseReason;
  auto self = shared_from_this();
  switch (reason) {
    case CloseReason::kSlowFrame:
    case CloseReason::kIdle:
      Fail(dl::kErrTimeout);
      return;
    case CloseReason::kBadFrame:
    case CloseReason::kHandler:
    case CloseReason::kQueueFull:
      Fail(dl::kErrProtocol);
      return;
    case CloseReason::kPeerClosed:
    case CloseReason::kIoError:
    case CloseReason::kFlushed:
      // A device that hangs up during the greeting was reached: it broke the
      // exchange, which is not the same as being unreachable.
      Fail(phase_ == Phase::kEstablished ? dl::kErrNotConnected : dl::kErrProtocol);
      return;
  }
}

bool Session::HandleFrame(pr::MessageType type, uint32_t requestId,
                          std::span<const uint8_t> payload) {
  switch (phase_) {
    case Phase::kAwaitHello:
      if (type != pr::MessageType::kServerHello) break;
      return HandleHello(payload);
    case Phase::kAwaitResult:
      if (type != pr::MessageType::kLoginResult) break;
      return HandleResult(payload);
    case Phase::kEstablished:
      switch (type) {
        case pr::MessageType::kPing: {
          std::vector<uint8_t> pong;
          pr::BuildPong(pong, requestId);
          Write(std::move(pong));
          return true;
        }
        case pr::MessageType::kPong:
          return true;
        case pr::MessageType::kAnswer:
          HandleAnswer(requestId, payload);
          return true;
        case pr::MessageType::kStreamData: {
          if (params_.purpose != pr::Purpose::kStream) break;
          auto data = pr::ParseStreamData(payload);
          if (!data) break;
          owner_->OnSessionStream(*this, *data);
          return phase_ != Phase::kClosed;
        }
        default:
          break;
      }
      break;
    default:
      break;
  }
  Fail(dl::kErrProtocol);
  return false;
}

bool Session::HandleHello(std::span<const uint8_t> payload) {
  auto hello = pr::ParseServerHello(payload);
  if (!hello) {
    Fail(dl::kErrProtocol);
    return false;
  }
  serverNonce_ = hello->serverNonce;
  pr::Login login;
  login.purpose = params_.purpose;
  login.streamType = params_.streamType;
  login.clientNonce = clientNonce_;
  login.user = params_.user;
  login.proof = pr::ComputeClientProof(params_.password, serverNonce_, clientNonce_,
                                       params_.purpose, params_.streamType, params_.user);
  std::vector<uint8_t> frame;
  if (!pr::BuildLogin(frame, 0, login)) {
    Fail(dl::kErrInvalidArgument);
    return false;
  }
  phase_ = Phase::kAwaitResult;
  Write(std::move(frame));
  return true;
}

bool Session::HandleResult(std::span<const uint8_t> payload) {
  auto result = pr::ParseLoginResult(payload);
  if (!result) {
    Fail(dl::kErrProtocol);
    return false;
  }
  switch (result->status) {
    case pr::LoginStatus::kAccepted:
      break;
    case pr::LoginStatus::kCredentialsRefused:
      Fail(dl::kErrAuthRefused);
      return false;
    case pr::LoginStatus::kBusy:
      Fail(dl::kErrBusy);
      return false;
    default:
      Fail(dl::kErrDeviceRefused);
      return false;
  }
  // A peer that cannot prove it knows the password is not our device; told
  // apart from a refused password, which the user can mend.
  if (!pr::ProofsEqual(result->serverProof,
                       pr::ComputeServerProof(params_.password, clientNonce_, serverNonce_))) {
    Fail(dl::kErrPeerUnproven);
    return false;
  }
  phase_ = Phase::kEstablished;
  deadline_.cancel();
  Heartbeat();
  if (auto done = std::move(established_)) {
    established_ = nullptr;
    done(dl::kOk);
  }
  return phase_ != Phase::kClosed;
}

void Session::HandleAnswer(uint32_t requestId, std::span<const uint8_t> payload) {
  auto it = pending_.find(requestId);
  if (it == pending_.end()) return;  // answered after its time-out: dropped
  auto done = std::move(it->second.done);
  pending_.erase(it);
  auto answer = pr::ParseAnswer(payload);
  if (!answer) {
    done(dl::kErrProtocol, nullptr);
    return;
  }
  done(ResultForAnswer(answer->status), &*answer);
}

void Session::Send(const pr::Request& request, AnswerHandler done) {
  if (phase_ != Phase::kEstablished) {
    done(dl::kErrNotConnected, nullptr);
    return;
  }
  uint32_t id = nextRequestId_++;
  if (nextRequestId_ == 0) nextRequestId_ = 1;
  std::vector<uint8_t> frame;
  if (!pr::BuildRequest(frame, id, request)) {
    done(dl::kErrInvalidArgument, nullptr);
    return;
  }
  auto timer = std::make_unique<asio::steady_timer>(strand_, params_.timeout);
  timer->async_wait([self = shared_from_this(), id](const asio::error_code& ec) {
    if (ec) return;
    auto it = self->pending_.find(id);
    if (it == self->pending_.end()) return;
    auto late = std::move(it->second.done);
    self->pending_.erase(it);
    late(dl::kErrTimeout, nullptr);
  });
  pending_.emplace(id, Pending{std::move(done), std::move(timer)});
  Write(std::move(frame));
}

void Session::Write(std::vector<uint8_t> frame) {
  // Past its bound the connection is cut, and OnClosed ends the session.
  if (connection_) connection_->Send(std::move(frame));
}

void Session::Heartbeat() {
  if (phase_ != Phase::kEstablished) return;
  // Counting bytes per beat keeps clock calls off the receive path.
  const uint64_t received = connection_ ? connection_->bytesReceived() : 0;
  silentBeats_ = received == bytesAtBeat_ ? silentBeats_ + 1 : 0;
  bytesAtBeat_ = received;
  if (silentBeats_ >= kSilentBeatsLimit) {
    Fail(dl::kErrTimeout);
    return;
  }
  std::vector<uint8_t> ping;
  pr::BuildPing(ping, 0);
  Write(std::move(ping));
  // On the shared grid: the beats of every session go out in one wake-up.
  heartbeat_.expires_at(connection::AlignedAfter(kHeartbeatInterval));
  heartbeat_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
    if (!ec) self->Heartbeat();
  });
}

void Session::Fail(int32_t reason) {
  Finish(reason, true);
}

void Session::Close() {
  Finish(dl::kErrClosed, false);
}

void Session::Finish(int32_t reason, bool tellOwner) {
  if (phase_ == Phase::kClosed) return;
  const bool wasEstablished = phase_ == Phase::kEstablished;
  phase_ = Phase::kClosed;
  asio::error_code ignored;
  socket_.close(ignored);
  if (connection_) connection_->Close();
  deadline_.cancel();
  heartbeat_.cancel();
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, p] : pending) {
    p.timer->cancel();
    p.done(tellOwner ? dl::kErrNotConnected : dl::kErrClosed, nullptr);
  }
  if (auto done = std::move(established_)) {
    established_ = nullptr;
    done(reason);
    return;
  }
  if (wasEstablished && tellOwner) owner_->OnSessionLost(*this, reason);
}

}  // namespace qrv::tmcc
