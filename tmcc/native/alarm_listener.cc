#include "tmcc/native/alarm_listener.h"

#include <algorithm>
#include <future>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/common/local_alarms.h"
#include "tmcc/common/record_fields.h"
#include "tmcc/native/alarm_record.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/connection/framed_connection.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

namespace {
// An alarm frame is tiny; anything larger is refused by its header.
constexpr uint32_t kMaxAlarmPayload = 64;
constexpr size_t kAlarmReadBuffer = 512;
// Pauses after a failed accept: long enough not to spin while descriptors
// are exhausted, short enough that devices get in soon after.
constexpr std::chrono::milliseconds kFirstAcceptPause{50};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};
}  // namespace

// One device's alarm connection. Lives on the listener's strand.
class AlarmConnection : public std::enable_shared_from_this<AlarmConnection>,
                        private connection::Handler {
 public:
  AlarmConnection(asio::ip::tcp::socket socket, AlarmListener* listener, Strand strand)
      : listener_(listener) {
    connection::Limits limits;
    limits.readBuffer = kAlarmReadBuffer;
    limits.maxPayload = kMaxAlarmPayload;
    limits.maxQueuedBytes = kAlarmQueueBound;
    limits.frameTime = kAlarmFrameTime;
    limits.idleTime = kAlarmIdleTime;
    connection_ = std::make_shared<connection::FramedConnection>(
        strand, std::move(socket), limits, static_cast<connection::Handler*>(this));
    peerAddress_ = connection_->peer().address().to_string();
    progress_ = listener_->Stamp();
  }
  ~AlarmConnection() { connection_->Close(); }

  void Start() { connection_->Start(); }
  void Close() { connection_->Close(); }
  // The listener's clock at this connection's last whole frame (or its accept).
  uint64_t progress() const { return progress_; }
  // Whether a device has delivered an alarm on this connection.
  bool delivered() const { return delivered_; }

 private:
  bool OnFrame(connection::FramedConnection& c, const pr::FrameView& frame) override {
    if (frame.type != pr::MessageType::kAlarm) {
      listener_->CountMalformed();
      return false;
    }
    auto judged = JudgeAlarm(frame.payload, peerAddress_);
    if (judged.verdict == AlarmVerdict::kMalformed) {
      listener_->CountMalformed();
      return false;
    }
    if (judged.verdict == AlarmVerdict::kForeignAddress) {
      // Not acknowledged either: the sender learns it was refused.
      listener_->CountForged();
      return false;
    }
    progress_ = listener_->Stamp();
    delivered_ = true;
    auto self = shared_from_this();
    listener_->Deliver(judged.alarm, 0);  // pushed: no login heard it
    if (c.closed()) return true;
    std::vector<uint8_t> ack;
    pr::BuildAlarmAck(ack, frame.requestId);
    c.Send(std::move(ack));  // a peer that does not read its acks is cut
    return true;
  }

  void OnClosed(connection::FramedConnection&, connection::CloseReason reason) override {
    if (reason == connection::CloseReason::kBadFrame) listener_->CountMalformed();
    auto self = shared_from_this();
    listener_->Forget(this);
  }

  AlarmListener* listener_;
  std::shared_ptr<connection::FramedConnection> connection_;
  std::string peerAddress_;
  uint64_t progress_ = 0;
  bool delivered_ = false;
};

AlarmListener::AlarmListener() : Client(dl::kClientAlarmListener), acceptPause_(strand_) {}

void AlarmListener::SetCallback(TmccDataReadCallback callback, void* context) {
  callback_.Set(callback, context);
}

AlarmListenerCounts AlarmListener::counts() const {
  AlarmListenerCounts c{accepted_, shed_, forged_, malformed_, acceptErrors_};
  c.acceptErrorSpells = acceptErrorSpells_;
  c.spellFirstPauseMs = spellFirstPauseMs_;
  c.acceptPauseMs = acceptPauseMs_;
  return c;
}

int32_t AlarmListener::Start(uint16_t port, asio::ip::address address) {
  if (strand_.running_in_this_thread()) return dl::kErrBusy;
  std::promise<int32_t> promise;
  auto future = promise.get_future();
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  asio::post(strand_, [self, port, address, &promise] {
    if (self->shuttingDown()) {
      promise.set_value(dl::kErrClosed);
      return;
    }
    if (self->acceptor_) {
      promise.set_value(dl::kErrBusy);
      return;
    }
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(self->strand_);
    asio::error_code ec;
    asio::ip::tcp::endpoint endpoint(address, port);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      promise.set_value(dl::kErrIo);
      return;
    }
    self->callback_.Open();
    self->port_ = acceptor->local_endpoint(ec).port();
    self->acceptor_ = std::move(acceptor);
    self->nextPause_ = std::chrono::milliseconds(0);
    self->Accept();
    JoinLocalAlarms(self);
    promise.set_value(dl::kOk);
  });
  return future.get();
}

void AlarmListener::Accept() {
  if (!acceptor_) return;
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  auto* acceptor = acceptor_.get();
  acceptor_->async_accept(
      [self, acceptor](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (self->acceptor_.get() != acceptor) return;  // stopped (and maybe started again)
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
          self->OnAcceptError(ec);
          return;
        }
        // Descriptors are back: a later shortage starts again at the shortest pause.
        self->nextPause_ = std::chrono::milliseconds(0);
        self->acceptedSinceError_ = true;
        ++self->accepted_;
        if (self->connections_.size() >= kAlarmConnectionsPerListener) self->ShedOne();
        auto connection =
            std::make_shared<AlarmConnection>(std::move(socket), self.get(), self->strand_);
        self->connections_.insert(connection);
        self->open_ = self->connections_.size();
        connection->Start();
        self->Accept();
      });
}

// On the strand: a failed accept (typically no descriptor left) is retried
// after a growing pause, and the stalest connection makes room, so a device
// still gets in while trickling peers hold descriptors.
void AlarmListener::OnAcceptError(const asio::error_code& ec) {
  ++acceptErrors_;
  if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
      ec == asio::error::no_memory || ec.value() == ENFILE) {
    if (!connections_.empty()) ShedOne();
  }
  nextPause_ = std::clamp(nextPause_ * 2, kFirstAcceptPause, kLongestAcceptPause);
  const auto pauseMs = static_cast<uint32_t>(nextPause_.count());
  acceptPauseMs_ = pauseMs;
  if (acceptedSinceError_) {
    acceptedSinceError_ = false;
    spellFirstPauseMs_ = pauseMs;
    ++acceptErrorSpells_;  // after the pause it reports, for readers of both
  }
  acceptPause_.expires_after(nextPause_);
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  auto* acceptor = acceptor_.get();
  acceptPause_.async_wait([self, acceptor](const asio::error_code& e) {
    if (e || self->acceptor_.get() != acceptor) return;
    self->Accept();
  });
}

// On the strand. A connection that never delivered an alarm goes before any
// device that has, however long ago that device last sent: a burst of idle
// peers accepted after a device's alarm must not push the device out.
void AlarmListener::ShedOne() {
  auto stalest =
      std::min_element(connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
        return std::pair(a->delivered(), a->progress()) < std::pair(b->delivered(), b->progress());
      });
  if (stalest == connections_.end()) return;
  auto victim = *stalest;
  connections_.erase(stalest);
  open_ = connections_.size();
  victim->Close();
  ++shed_;
}

void AlarmListener::Deliver(const pr::Alarm& alarm, int32_t loginHandle) {
  dl::AlarmRecord record{};
  record.size = sizeof(record);
  record.channel = alarm.channel;
  record.kind = alarm.kind;
  record.value = alarm.value;
  record.loginHandle = loginHandle;
  SetFieldText(record.address, alarm.address);
  dl::AlarmMessage message{};
  message.size = sizeof(message);
  message.code = dl::kAlarmMessageCode;
  message.type = dl::kAlarmMessageTypeAlarm;
  message.recordLength = sizeof(record);
  message.record = &record;
  // The callback may release this client's handle; stay alive until it returns.
  auto self = shared_from_this();
  callback_.Invoke(handle(), &message);
}

bool AlarmListener::Inject(const pr::Alarm& alarm, int32_t loginHandle) {
  if (port_ == 0) return false;
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  asio::post(strand_, [self, alarm, loginHandle] {
    if (self->acceptor_) self->Deliver(alarm, loginHandle);
  });
  return true;
}

void AlarmListener::Forget(AlarmConnection* connection) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      connections_.erase(it);
      open_ = connections_.size();
      return;
    }
  }
}

void AlarmListener::Stop() {
  callback_.Close();
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  RunOnStrand([self] { self->StopOnStrand(); });
}

void AlarmListener::StopOnStrand() {
  LeaveLocalAlarms(this);
  acceptPause_.cancel();
  if (acceptor_) {
    asio::error_code ignored;
    acceptor_->close(ignored);
    acceptor_.reset();
  }
  port_ = 0;
  auto connections = std::move(connections_);
  connections_.clear();
  open_ = 0;
  for (auto& c : connections) c->Close();
}

}  // namespace qrv::tmcc
