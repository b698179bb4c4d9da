#include "simulator/device/session.h"

#include "tmcc/native/codec/auth.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;
namespace conn = tmcc::connection;

namespace {
// Flood mode refills the write queue with about this much at a time.
constexpr size_t kFloodBatchBytes = 256 * 1024;
conn::Limits SessionLimits() {
  conn::Limits limits;
  limits.readBuffer = 4096;
  // Media frames may wait up to 4 MiB (then they are dropped) plus one
  // largest frame; past this a client that does not read is cut.
  limits.maxQueuedBytes = 16u * 1024 * 1024;
  // A client's frames are small: a begun one must be whole within this.
  limits.frameTime = std::chrono::seconds(10);
  // A client that sends nothing (not even heartbeats) for this long is dropped.
  limits.idleTime = std::chrono::seconds(10);
  return limits;
}
}  // namespace

Session::Session(Strand strand, asio::ip::tcp::socket socket, Kind kind,
                 std::weak_ptr<SessionHost> host)
    : strand_(strand), kind_(kind), host_(std::move(host)) {
  connection_ = std::make_shared<conn::FramedConnection>(strand, std::move(socket), SessionLimits(),
                                                         static_cast<conn::Handler*>(this));
}

// The connection must never call a handler that is gone.
Session::~Session() {
  connection_->Close();
}

void Session::Start() {
  asio::error_code ignored;
  connection_->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
  if (!proto::MakeNonce(serverNonce_)) {
    Close();
    return;
  }
  auto host = host_.lock();
  if (host && !host->Stalled()) SendHello();
  connection_->Start();
}

void Session::Resume() {
  if (!closed_ && !helloSent_) SendHello();
  if (!closed_) connection_->Resume();
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
  connection_->Close();
  if (auto host = host_.lock()) host->OnClosed(*this);
}

void Session::CloseAfterFlush() {
  closeAfterFlush_ = true;
  connection_->CloseAfterFlush();
}

bool Session::Send(std::vector<uint8_t> frame, size_t maxQueued) {
  if (closed_ || closeAfterFlush_) return false;
  return connection_->TrySend(std::move(frame), maxQueued);
}

void Session::OnClosed(conn::FramedConnection&, conn::CloseReason) {
  auto self = shared_from_this();
  Close();
}

void Session::OnDrained(conn::FramedConnection& c) {
  if (closed_ || !loggedIn_) return;
  auto host = host_.lock();
  // A few frames at a time, so they go out in one write.
  size_t queued = 0;
  std::vector<uint8_t> frame;
  while (host && queued < kFloodBatchBytes && !c.closed() && host->NextFloodFrame(*this, frame)) {
    queued += frame.size();
    if (!c.Send(std::move(frame))) break;
    frame = {};
  }
}

std::chrono::microseconds Session::PauseAfterWrite(size_t bytes) {
  auto host = host_.lock();
  const uint64_t rate = host ? host->ThrottleBytesPerSecond() : 0;
  if (rate == 0) return {};
  // Throttled: wait as long as these bytes take at the allowed rate.
  return std::chrono::microseconds(bytes * 1000000 / rate);
}

bool Session::HoldWrites() {
  // A stalled device says nothing at all until the stall ends.
  auto host = host_.lock();
  return !host || host->Stalled();
}

bool Session::OnFrame(conn::FramedConnection&, const proto::FrameView& frame) {
  auto self = shared_from_this();
  if (!HandleFrame(frame.type, frame.requestId, frame.payload)) return false;
  return true;
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
