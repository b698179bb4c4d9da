#include "tmcc/enum_client.h"

#include <cstring>
#include <future>
#include <random>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/protocol/builders.h"
#include "tmcc/protocol/frame.h"
#include "tmcc/protocol/parsers.h"
#include "tmcc/record_fields.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

EnumClient::EnumClient()
    : Client(dl::kClientEnumeration),
      probeTimer_(strand_),
      target_(asio::ip::make_address_v4("127.255.255.255"), pr::kDiscoveryPort) {}

void EnumClient::SetCallback(TmccEnumServerCallback callback, void* context) {
  callback_.Set(callback, context);
}

int32_t EnumClient::Start() {
  if (strand_.running_in_this_thread()) return dl::kErrBusy;
  std::promise<int32_t> promise;
  auto future = promise.get_future();
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  asio::post(strand_, [self, &promise] {
    if (self->shuttingDown()) {
      promise.set_value(dl::kErrClosed);
      return;
    }
    if (self->socket_) {
      promise.set_value(dl::kErrBusy);
      return;
    }
    auto socket = std::make_unique<asio::ip::udp::socket>(self->strand_);
    asio::error_code ec;
    socket->open(asio::ip::udp::v4(), ec);
    if (!ec) socket->set_option(asio::socket_base::broadcast(true), ec);
    if (!ec) socket->bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), ec);
    if (ec) {
      promise.set_value(dl::kErrIo);
      return;
    }
    self->callback_.Open();
    self->socket_ = std::move(socket);
    self->Receive();
    self->NewRound();
    promise.set_value(dl::kOk);
  });
  return future.get();
}

int32_t EnumClient::Refresh() {
  auto promise = std::make_shared<std::promise<int32_t>>();
  auto future = promise->get_future();
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  RunOnStrand([self, promise] {
    if (!self->socket_) {
      promise->set_value(dl::kErrNotConnected);
      return;
    }
    self->NewRound();
    promise->set_value(dl::kOk);
  });
  // Called from another library thread the work is only queued: report success.
  if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return dl::kOk;
  return future.get();
}

namespace {

// A fresh random probe id, never 0 and never the last one: answers to an
// earlier round, or guessed by a peer that did not see the probe, miss it.
uint32_t NewProbeId(uint32_t last) {
  std::random_device random;
  for (;;) {
    const uint32_t id = static_cast<uint32_t>(random());
    if (id != 0 && id != last) return id;
  }
}

}  // namespace

// On the strand.
void EnumClient::NewRound() {
  ++round_;
  probeRound_.Start(NewProbeId(probeRound_.probeId()), ProbeRound::Clock::now());
  probeTimer_.cancel();
  SendProbe(kProbesPerRound);
}

// On the strand: one probe now, the rest spaced by the timer.
void EnumClient::SendProbe(int remaining) {
  if (!socket_ || remaining <= 0) return;
  std::vector<uint8_t> frame;
  const uint32_t probeId = probeRound_.probeId();
  pr::BuildProbe(frame, probeId, pr::Probe{probeId});
  asio::error_code ignored;
  socket_->send_to(asio::buffer(frame), target_, 0, ignored);  // loss is what rounds are for
  if (remaining == 1) return;
  probeTimer_.expires_after(kProbeSpacing);
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  uint32_t round = round_;
  probeTimer_.async_wait([self, remaining, round](const asio::error_code& ec) {
    if (ec || round != self->round_) return;
    self->SendProbe(remaining - 1);
  });
}

void EnumClient::Receive() {
  if (!socket_) return;
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  auto* socket = socket_.get();
  socket_->async_receive_from(asio::buffer(datagram_), sender_,
                              [self, socket](const asio::error_code& ec, size_t n) {
                                if (self->socket_.get() != socket) return;  // stopped
                                if (ec == asio::error::operation_aborted) return;
                                if (!ec) self->OnDatagram(n);
                                self->Receive();
                              });
}

// On the strand: one datagram from anyone on the network.
void EnumClient::OnDatagram(size_t length) {
  std::span<const uint8_t> bytes(datagram_.data(), length);
  auto r = pr::DecodeFrame(bytes);
  std::optional<pr::ProbeAnswer> answer;
  if (r.status == pr::DecodeStatus::kFrame && r.consumed == length &&
      r.frame.type == pr::MessageType::kProbeAnswer) {
    answer = pr::ParseProbeAnswer(r.frame.payload);
  }
  if (!answer || answer->identity.empty()) {
    refusedAnswers_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const auto verdict = probeRound_.Judge(r.frame.requestId, answer->probeId, answer->identity,
                                         answer->address, ProbeRound::Clock::now());
  if (verdict == ProbeRound::Verdict::kRepeat) return;
  if (verdict != ProbeRound::Verdict::kReport) {
    refusedAnswers_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  dl::ServerInfoRecord info{};
  info.size = sizeof(info);
  SetFieldText(info.model, answer->model);
  SetFieldText(info.identity, answer->identity);
  std::memcpy(info.mac, answer->mac.data(), sizeof(info.mac));
  SetFieldText(info.address, answer->address);
  SetFieldText(info.mask, answer->mask);
  SetFieldText(info.gateway, answer->gateway);
  info.controlPort = answer->controlPort;
  info.streamPort = answer->streamPort;
  callback_.Invoke(&info);
}

void EnumClient::Stop() {
  callback_.Close();
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  RunOnStrand([self] { self->StopOnStrand(); });
}

void EnumClient::StopOnStrand() {
  probeTimer_.cancel();
  if (socket_) {
    asio::error_code ignored;
    socket_->close(ignored);
    socket_.reset();
  }
}

}  // namespace qrv::tmcc
