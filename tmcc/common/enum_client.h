// Enumeration client: finds devices by broadcasting discovery probes over UDP
// and hands every device's answer to the enumeration callback. Each round
// also sends a WS-Discovery probe for standard cameras from a second socket;
// their answers are judged by the same rules (this round's probe, within the
// round's time, each device once) and reported through the same callback.
#pragma once

#include <array>
#include <asio.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "devicelib/tmcc_api.h"
#include "tmcc/common/callback_slot.h"
#include "tmcc/common/client.h"
#include "tmcc/common/probe_round.h"
#include "tmcc/onvif/codec/discovery.h"

namespace qrv::tmcc {

inline constexpr int kProbesPerRound = 3;
inline constexpr std::chrono::milliseconds kProbeSpacing{300};

class EnumClient : public Client {
 public:
  EnumClient();

  // Threading: any thread; takes the slot's mutex briefly.
  void SetCallback(TmccEnumServerCallback callback, void* context);
  // Opens the socket and starts a probe round. kErrBusy if already started,
  // kErrIo if no socket could be made. Threading: any thread but the callback.
  int32_t Start();
  // A new probe round; every device is reported again. kErrNotConnected
  // when not started. Threading: any thread.
  int32_t Refresh();
  // Threading: any thread; when it returns no callback of this client runs
  // (but the caller's own) and none starts.
  void Stop();
  void Shutdown() override {
    MarkShutdown();
    Stop();
  }

  // Where probes go (loopback broadcast by default). Set before Start.
  void SetTarget(asio::ip::udp::endpoint target) { target_ = target; }
  // Where WS-Discovery probes go (239.255.255.250:3702 by default). Set
  // before Start.
  void SetOnvifTarget(asio::ip::udp::endpoint target) { onvifTarget_ = target; }

  // Answers dropped because they named a probe we did not send, came after
  // their round's time, or did not parse (either protocol; a WS-Discovery
  // datagram counts once however many devices it names). Threading: any
  // thread.
  uint64_t refusedAnswers() const { return refusedAnswers_.load(std::memory_order_relaxed); }

 private:
  void NewRound();
  void SendProbe(int remaining);
  void Receive();
  void OnDatagram(size_t length);
  void ReceiveOnvif();
  void OnOnvifDatagram(size_t length);
  void StopOnStrand();

  CallbackSlot<TmccEnumServerCallback> callback_;  // one run per Start
  // strand only:
  std::unique_ptr<asio::ip::udp::socket> socket_;
  asio::steady_timer probeTimer_;
  asio::ip::udp::endpoint target_;
  asio::ip::udp::endpoint sender_;
  std::array<uint8_t, 2048> datagram_{};
  uint32_t round_ = 0;  // counts rounds, so a stale probe timer knows it is stale
  ProbeRound probeRound_;
  // WS-Discovery (null when its socket could not be made: native discovery
  // goes on without it).
  std::unique_ptr<asio::ip::udp::socket> onvifSocket_;
  asio::ip::udp::endpoint onvifTarget_;
  asio::ip::udp::endpoint onvifSender_;
  std::vector<char> onvifDatagram_;
  std::optional<onvif::ProbeMessage> onvifProbe_;  // this round's
  ProbeRound onvifRound_;
  std::atomic<uint64_t> refusedAnswers_{0};
};

}  // namespace qrv::tmcc
