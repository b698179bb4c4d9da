#include "simulator/device/alarm_push.h"

#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"

namespace qrv::sim {

namespace proto = tmcc::protocol;

AlarmPush::AlarmPush(Strand strand, Done done)
    : strand_(strand), socket_(strand), timer_(strand), done_(std::move(done)) {}

// The connection must never call a handler that is gone.
AlarmPush::~AlarmPush() {
  if (connection_) connection_->Close();
}

void AlarmPush::Start(Strand strand, const std::string& localAddress, const std::string& host,
                      uint16_t port, const proto::Alarm& alarm, uint32_t requestId,
                      std::chrono::milliseconds timeout, Done done) {
  std::shared_ptr<AlarmPush> self(new AlarmPush(strand, std::move(done)));
  self->requestId_ = requestId;
  asio::error_code localError, remoteError, error;
  const auto local = asio::ip::make_address_v4(localAddress, localError);
  const auto remote = asio::ip::make_address_v4(host, remoteError);
  if (localError || remoteError || !proto::BuildAlarm(self->frame_, requestId, alarm)) {
    asio::post(strand, [self] { self->Finish(false); });
    return;
  }
  // Bind before connecting, so the listener sees the device's own address.
  self->socket_.open(asio::ip::tcp::v4(), error);
  if (!error) self->socket_.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) self->socket_.bind({local, 0}, error);
  if (error) {
    asio::post(strand, [self] { self->Finish(false); });
    return;
  }
  self->timer_.expires_after(timeout);
  self->timer_.async_wait([self](const asio::error_code& e) {
    if (!e) self->Finish(false);
  });
  self->socket_.async_connect({remote, port}, [self](const asio::error_code& e) {
    if (e || self->finished_) return self->Finish(false);
    tmcc::connection::Limits limits;
    limits.readBuffer = 512;
    limits.maxPayload = 64;  // only an acknowledgement is expected
    limits.maxQueuedBytes = 4096;
    self->connection_ = std::make_shared<tmcc::connection::FramedConnection>(
        self->strand_, std::move(self->socket_), limits,
        static_cast<tmcc::connection::Handler*>(self.get()));
    self->connection_->Start();
    self->connection_->Send(std::move(self->frame_));
  });
}

bool AlarmPush::OnFrame(tmcc::connection::FramedConnection&, const proto::FrameView& frame) {
  auto self = shared_from_this();
  Finish(frame.type == proto::MessageType::kAlarmAck && frame.requestId == requestId_);
  return true;
}

void AlarmPush::OnClosed(tmcc::connection::FramedConnection&, tmcc::connection::CloseReason) {
  auto self = shared_from_this();
  Finish(false);
}

void AlarmPush::Finish(bool ok) {
  if (finished_) return;
  finished_ = true;
  asio::error_code ignored;
  timer_.cancel();
  socket_.close(ignored);
  if (connection_) connection_->Close();
  auto done = std::move(done_);
  if (done) done(ok);
}

}  // namespace qrv::sim
