#include "tmcc/alarm_listener.h"

#include <array>
#include <future>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/protocol/builders.h"
#include "tmcc/protocol/frame.h"
#include "tmcc/protocol/parsers.h"
#include "tmcc/record_fields.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

namespace {
constexpr size_t kMaxConnections = 64;
constexpr std::chrono::seconds kIdleLimit{10};
// An alarm frame is tiny; anything larger is refused by its header.
constexpr uint32_t kMaxAlarmPayload = 64;
}  // namespace

// One device's alarm connection. Lives on the listener's strand.
class AlarmConnection : public std::enable_shared_from_this<AlarmConnection> {
 public:
  AlarmConnection(asio::ip::tcp::socket socket, AlarmListener* listener,
                  std::shared_ptr<CallbackGate> gate, Strand strand)
      : socket_(std::move(socket)), idle_(strand), listener_(listener), gate_(std::move(gate)) {
    asio::error_code ec;
    auto peer = socket_.remote_endpoint(ec);
    if (!ec) peerAddress_ = peer.address().to_string();
  }

  void Start() {
    ArmIdle();
    Read();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    idle_.cancel();
  }

 private:
  void ArmIdle() {
    idle_.expires_after(kIdleLimit);
    idle_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (!ec) self->End();
    });
  }

  void Read() {
    if (closed_) return;
    socket_.async_read_some(
        asio::buffer(buffer_.data() + held_, buffer_.size() - held_),
        [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->OnRead(ec, n); });
  }

  void OnRead(const asio::error_code& ec, size_t n) {
    if (closed_) return;
    if (ec) {
      End();
      return;
    }
    held_ += n;
    ArmIdle();
    size_t begin = 0;
    while (!closed_) {
      auto r = pr::DecodeFrame(std::span<const uint8_t>(buffer_.data() + begin, held_ - begin),
                               kMaxAlarmPayload);
      if (r.status == pr::DecodeStatus::kError ||
          (r.status == pr::DecodeStatus::kFrame && r.frame.type != pr::MessageType::kAlarm)) {
        End();
        return;
      }
      if (r.status == pr::DecodeStatus::kNeedMore) break;
      begin += r.consumed;
      auto alarm = pr::ParseAlarm(r.frame.payload);
      if (!alarm) {
        End();
        return;
      }
      const std::string& address = alarm->address.empty() ? peerAddress_ : alarm->address;
      listener_->Deliver(gate_, alarm->channel, alarm->kind, alarm->value, address);
      if (closed_) return;
      std::vector<uint8_t> ack;
      pr::BuildAlarmAck(ack, r.frame.requestId);
      Write(std::move(ack));
    }
    std::memmove(buffer_.data(), buffer_.data() + begin, held_ - begin);
    held_ -= begin;
    Read();
  }

  void Write(std::vector<uint8_t> frame) {
    acks_.push_back(std::move(frame));
    if (acks_.size() == 1) WriteNext();
  }

  void WriteNext() {
    if (acks_.empty() || closed_) return;
    asio::async_write(socket_, asio::buffer(acks_.front()),
                      [self = shared_from_this()](const asio::error_code& ec, size_t) {
                        if (self->closed_) return;
                        if (ec) {
                          self->End();
                          return;
                        }
                        self->acks_.pop_front();
                        self->WriteNext();
                      });
  }

  void End() {
    Close();
    listener_->Forget(this);
  }

  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  AlarmListener* listener_;
  std::shared_ptr<CallbackGate> gate_;
  std::string peerAddress_;
  // Room for two whole frames: a header judged too big is refused before more is read.
  std::array<uint8_t, 2 * (pr::kFrameHeaderSize + kMaxAlarmPayload)> buffer_{};
  size_t held_ = 0;
  std::deque<std::vector<uint8_t>> acks_;
  bool closed_ = false;
};

AlarmListener::AlarmListener() : Client(dl::kClientAlarmListener) {}

void AlarmListener::SetCallback(TmccDataReadCallback callback, void* context) {
  std::lock_guard lock(callbackMutex_);
  callback_ = callback;
  context_ = context;
}

int32_t AlarmListener::Start(uint16_t port) {
  if (strand_.running_in_this_thread()) return dl::kErrBusy;
  auto gate = std::make_shared<CallbackGate>();
  std::promise<int32_t> promise;
  auto future = promise.get_future();
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  asio::post(strand_, [self, gate, port, &promise] {
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
    asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      promise.set_value(dl::kErrIo);
      return;
    }
    {
      std::lock_guard lock(self->callbackMutex_);
      self->gate_ = gate;
    }
    self->acceptor_ = std::move(acceptor);
    self->Accept();
    promise.set_value(dl::kOk);
  });
  return future.get();
}

void AlarmListener::Accept() {
  if (!acceptor_) return;
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  auto* acceptor = acceptor_.get();
  acceptor_->async_accept([self, acceptor](const asio::error_code& ec,
                                           asio::ip::tcp::socket socket) {
    if (self->acceptor_.get() != acceptor) return;  // stopped (and maybe started again)
    if (!ec) {
      if (self->connections_.size() >= kMaxConnections) {
        asio::error_code ignored;
        socket.close(ignored);
      } else {
        std::shared_ptr<CallbackGate> gate;
        {
          std::lock_guard lock(self->callbackMutex_);
          gate = self->gate_;
        }
        auto connection =
            std::make_shared<AlarmConnection>(std::move(socket), self.get(), gate, self->strand_);
        self->connections_.insert(connection);
        connection->Start();
      }
    } else if (ec == asio::error::operation_aborted) {
      return;
    }
    self->Accept();
  });
}

void AlarmListener::Deliver(const std::shared_ptr<CallbackGate>& gate, uint32_t channel,
                            uint16_t kind, int32_t value, const std::string& address) {
  TmccDataReadCallback callback;
  void* context;
  {
    std::lock_guard lock(callbackMutex_);
    callback = callback_;
    context = context_;
  }
  if (callback == nullptr || !gate) return;
  dl::AlarmRecord record{};
  record.size = sizeof(record);
  record.channel = channel;
  record.kind = kind;
  record.value = value;
  SetFieldText(record.address, address);
  dl::AlarmMessage message{};
  message.size = sizeof(message);
  message.code = dl::kAlarmMessageCode;
  message.type = dl::kAlarmMessageTypeAlarm;
  message.recordLength = sizeof(record);
  message.record = &record;
  // The callback may release this client's handle; stay alive until it returns.
  auto self = shared_from_this();
  gate->Invoke([&] { callback(handle(), &message, context); });
}

void AlarmListener::Forget(AlarmConnection* connection) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      connections_.erase(it);
      return;
    }
  }
}

void AlarmListener::Stop() {
  std::shared_ptr<CallbackGate> gate;
  {
    std::lock_guard lock(callbackMutex_);
    gate = gate_;
  }
  if (gate) gate->Close();
  auto self = std::static_pointer_cast<AlarmListener>(shared_from_this());
  RunOnStrand([self] { self->StopOnStrand(); });
}

void AlarmListener::StopOnStrand() {
  if (acceptor_) {
    asio::error_code ignored;
    acceptor_->close(ignored);
    acceptor_.reset();
  }
  auto connections = std::move(connections_);
  connections_.clear();
  for (auto& c : connections) c->Close();
}

}  // namespace qrv::tmcc
