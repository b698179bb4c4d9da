#include "simulator/device/session.h"

#include "tmcc/protocol/auth.h"
#include "tmcc/protocol/builders.h"
#include "tmcc/protocol/frame.h"
#include "tmcc/protocol/parsers.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

namespace {
// A client that sends nothing (not even heartbeats) for this long is dropped.
constexpr std::chrono::seconds kIdleLimit{10};
}  // namespace

Session::Session(Strand strand, asio::ip::tcp::socket socket, Kind kind,
                 std::weak_ptr<SessionHost> host)
    : strand_(strand),
      socket_(std::move(socket)),
      kind_(kind),
      host_(std::move(host)),
      idleTimer_(strand),
      throttleTimer_(strand) {}

void Session::Start() {
  asio::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  if (!proto::MakeNonce(serverNonce_)) {
    Close();
    return;
  }
  auto host = host_.lock();
  if (host && !host->Stalled()) SendHello();
  ArmIdleTimer();
  ReadMore();
}

void Session::Resume() {
  if (!closed_ && !helloSent_) SendHello();
  if (!closed_) WriteNext();
}

void Session::SendHello() {
  helloSent_ = true;
  std::vector<uint8_t> frame;
  proto::BuildServerHello(frame, 0, proto::ServerHello{serverNonce_});
  Send(std::move(frame));
}

void Session::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  idleTimer_.cancel();
  throttleTimer_.cancel();
  outbox_.clear();
  queuedBytes_ = 0;
  if (auto host = host_.lock()) host->OnClosed(*this);
}

void Session::CloseAfterFlush() {
  closeAfterFlush_ = true;
  if (!writing_ && outbox_.empty()) Close();
}

bool Session::Send(std::vector<uint8_t> frame, size_t maxQueued) {
  if (closed_ || closeAfterFlush_) return false;
  if (queuedBytes_ > maxQueued) return false;
  queuedBytes_ += frame.size();
  outbox_.push_back(std::move(frame));
  WriteNext();
  return true;
}

void Session::WriteNext() {
  if (writing_ || closed_) return;
  auto host = host_.lock();
  if (!host) return;
  // A stalled device says nothing at all until the stall ends.
  if (host->Stalled()) return;
  if (outbox_.empty()) {
    std::vector<uint8_t> frame;
    if (closeAfterFlush_) {
      Close();
      return;
    }
    if (!loggedIn_ || !host->NextFloodFrame(*this, frame)) return;
    queuedBytes_ += frame.size();
    outbox_.push_back(std::move(frame));
  }
  writing_ = true;
  auto self = shared_from_this();
  asio::async_write(
      socket_, asio::buffer(outbox_.front()),
      asio::bind_executor(strand_, [this, self](const asio::error_code& error, size_t written) {
        writing_ = false;
        if (closed_) return;
        if (error) {
          Close();
          return;
        }
        queuedBytes_ -= outbox_.front().size();
        outbox_.pop_front();
        auto host = host_.lock();
        const uint64_t rate = host ? host->ThrottleBytesPerSecond() : 0;
        if (rate == 0) {
          WriteNext();
          return;
        }
        // Throttled: wait as long as these bytes take at the allowed rate.
        writing_ = true;
        throttleTimer_.expires_after(std::chrono::microseconds(written * 1000000 / rate));
        throttleTimer_.async_wait(
            asio::bind_executor(strand_, [this, self](const asio::error_code&) {
              writing_ = false;
              if (!closed_) WriteNext();
            }));
      }));
}

void Session::ArmIdleTimer() {
  idleTimer_.expires_after(kIdleLimit);
  auto self = shared_from_this();
  idleTimer_.async_wait(asio::bind_executor(strand_, [this, self](const asio::error_code& error) {
    if (!error && !closed_) Close();
  }));
}

void Session::ReadMore() {
  auto self = shared_from_this();
  socket_.async_read_some(
      asio::buffer(readBuffer_),
      asio::bind_executor(strand_, [this, self](const asio::error_code& error, size_t n) {
        if (closed_) return;
        if (error) {
          Close();
          return;
        }
        inbox_.insert(inbox_.end(), readBuffer_.begin(), readBuffer_.begin() + n);
        ArmIdleTimer();
        OnBytes();
        if (!closed_) ReadMore();
      }));
}

void Session::OnBytes() {
  size_t used = 0;
  while (!closed_) {
    auto result = proto::DecodeFrame(std::span<const uint8_t>(inbox_).subspan(used));
    if (result.status == proto::DecodeStatus::kNeedMore) break;
    if (result.status == proto::DecodeStatus::kError) {
      Close();
      return;
    }
    // The frame's payload span points into inbox_, which stays untouched
    // until the loop ends.
    if (!HandleFrame(result.frame.type, result.frame.requestId, result.frame.payload)) {
      Close();
      return;
    }
    used += result.consumed;
  }
  if (!closed_) inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<ptrdiff_t>(used));
}

bool Session::HandleFrame(proto::MessageType type, uint32_t requestId,
                          std::span<const uint8_t> payload) {
  auto host = host_.lock();
  if (!host) return false;
  // While stalled the device reads but never answers.
  if (host->Stalled()) return true;
  if (!helloSent_) return true;
  if (type == proto::MessageType::kPing) {
    host->OnHeartbeat();
    std::vector<uint8_t> pong;
    proto::BuildPong(pong, requestId);
    Send(std::move(pong));
    return true;
  }
  if (type == proto::MessageType::kPong) return true;
  if (!loggedIn_) {
    if (type != proto::MessageType::kLogin || closeAfterFlush_) return false;
    auto login = proto::ParseLogin(payload);
    if (!login) return false;
    streamType_ = login->streamType;
    proto::LoginResult answer;
    answer.status = host->CheckLogin(*this, *login, serverNonce_, answer.serverProof);
    std::vector<uint8_t> frame;
    proto::BuildLoginResult(frame, requestId, answer);
    Send(std::move(frame));
    if (answer.status != proto::LoginStatus::kAccepted) {
      CloseAfterFlush();
      return true;
    }
    loggedIn_ = true;
    host->OnLoggedIn(shared_from_this());
    return true;
  }
  if (type != proto::MessageType::kRequest) return false;
  auto request = proto::ParseRequest(payload);
  if (!request) return false;
  host->OnRequest(shared_from_this(), requestId, *request);
  return true;
}

}  // namespace qrv::sim
