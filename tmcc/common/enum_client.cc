#include "tmcc/common/enum_client.h"

#include <cstdlib>
#include <cstring>
#include <future>
#include <random>
#include <string_view>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "tmcc/common/record_fields.h"
#include "tmcc/native/codec/builders.h"
#include "tmcc/native/codec/frame.h"
#include "tmcc/native/codec/parsers.h"
#include "tmcc/onvif/onvif_discovery_record.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace pr = qrv::tmcc::protocol;

namespace {

// The interface WS-Discovery probes leave by. Loopback unless
// TMCC_DISCOVERY_INTERFACE names a local IPv4 address ("any": the system's
// choice), as our own probes stay on loopback: searching a site's network
// is the integrator's decision, not a side effect of starting discovery.
asio::ip::address_v4 DiscoveryInterface() {
  const char* chosen = std::getenv("TMCC_DISCOVERY_INTERFACE");
  if (chosen == nullptr || *chosen == 0) return asio::ip::address_v4::loopback();
  if (std::string_view(chosen) == "any") return asio::ip::address_v4::any();
  asio::error_code ec;
  auto address = asio::ip::make_address_v4(chosen, ec);
  return ec ? asio::ip::address_v4::loopback() : address;
}

}  // namespace

EnumClient::EnumClient()
    : Client(dl::kClientEnumeration),
      probeTimer_(strand_),
      target_(asio::ip::make_address_v4("127.255.255.255"), pr::kDiscoveryPort),
      onvifTarget_(asio::ip::make_address_v4(std::string(onvif::kDiscoveryAddress)),
                   onvif::kDiscoveryPort) {}

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
    // WS-Discovery's socket is a bonus: when it cannot be made, native
    // discovery still runs.
    auto onvifSocket = std::make_unique<asio::ip::udp::socket>(self->strand_);
    asio::error_code onvifEc;
    onvifSocket->open(asio::ip::udp::v4(), onvifEc);
    // One hop, as WS-Discovery asks: cameras on this segment only.
    if (!onvifEc) onvifSocket->set_option(asio::ip::multicast::hops(1), onvifEc);
    if (!onvifEc) {
      const auto interface = DiscoveryInterface();
      if (!interface.is_unspecified()) {
        onvifSocket->set_option(asio::ip::multicast::outbound_interface(interface), onvifEc);
      }
    }
    if (!onvifEc)
      onvifSocket->bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), 0), onvifEc);
    self->callback_.Open();
    self->socket_ = std::move(socket);
    if (!onvifEc) {
      self->onvifSocket_ = std::move(onvifSocket);
      self->onvifDatagram_.resize(onvif::kMaxDiscoveryBytes);
    }
    self->Receive();
    self->ReceiveOnvif();
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

// The WS-Discovery round's own trust is its MessageID (checked when the answer
// is parsed); its ProbeRound keeps only the round's time and devices.
constexpr uint32_t kOnvifRoundId = 1;

}  // namespace

// On the strand.
void EnumClient::NewRound() {
  ++round_;
  const auto now = ProbeRound::Clock::now();
  probeRound_.Start(NewProbeId(probeRound_.probeId()), now);
  // A fresh MessageID each round; answers must relate to it. Without one
  // (no random numbers) no WS-Discovery answer counts this round.
  onvifProbe_ = onvif::NewProbe();
  onvifRound_.Start(kOnvifRoundId, now);
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
  if (onvifSocket_ && onvifProbe_) {
    // No multicast route, say: the native probes go on regardless.
    onvifSocket_->send_to(asio::buffer(onvifProbe_->xml), onvifTarget_, 0, ignored);
  }
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

void EnumClient::ReceiveOnvif() {
  if (!onvifSocket_) return;
  auto self = std::static_pointer_cast<EnumClient>(shared_from_this());
  auto* socket = onvifSocket_.get();
  onvifSocket_->async_receive_from(asio::buffer(onvifDatagram_), onvifSender_,
                                   [self, socket](const asio::error_code& ec, size_t n) {
                                     if (self->onvifSocket_.get() != socket) return;  // stopped
                                     if (ec == asio::error::operation_aborted) return;
                                     if (!ec) self->OnOnvifDatagram(n);
                                     self->ReceiveOnvif();
                                   });
}

// On the strand: one datagram from anyone on the network. Only a
// ProbeMatches relating to this round's probe counts (a Hello, a Bye, an
// answer to another probe or a late one does not), and each camera is
// reported at the address the datagram came from.
void EnumClient::OnOnvifDatagram(size_t length) {
  if (!onvifProbe_) {
    refusedAnswers_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  auto matches = onvif::ParseProbeMatches(std::string_view(onvifDatagram_.data(), length),
                                          onvifProbe_->messageId);
  if (!matches || !onvifSender_.address().is_v4()) {
    refusedAnswers_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const std::string sender = onvifSender_.address().to_v4().to_string();
  const auto now = ProbeRound::Clock::now();
  for (const auto& device : *matches) {
    dl::ServerInfoRecord info = OnvifServerInfo(device, sender);
    const auto verdict =
        onvifRound_.Judge(kOnvifRoundId, kOnvifRoundId, info.identity, sender, now);
    if (verdict == ProbeRound::Verdict::kRepeat) continue;
    if (verdict != ProbeRound::Verdict::kReport) {
      refusedAnswers_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    callback_.Invoke(&info);
  }
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
  if (onvifSocket_) {
    asio::error_code ignored;
    onvifSocket_->close(ignored);
    onvifSocket_.reset();
  }
  onvifProbe_.reset();
}

}  // namespace qrv::tmcc
