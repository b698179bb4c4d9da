// The inside of one simulated device. Everything that touches sockets, the
// media source or the sessions runs on the device's strand; observations and
// the PTZ model sit behind obsMutex_ so any thread can read them. Public
// functions are called from any thread except the simulator's own network
// threads (they wait for the strand).
#pragma once

#include <asio.hpp>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/device/media_source.h"
#include "simulator/device/ptz_model.h"
#include "simulator/device/session.h"
#include "simulator/onvif/onvif_face.h"
#include "simulator/rtsp/rtsp_face.h"
#include "simulator/simulator.h"
#include "tmcc/common/codec/messages.h"

namespace qrv::sim {

class Device::Impl : public SessionHost,
                     public RtspHost,
                     public OnvifDevice,
                     public std::enable_shared_from_this<Device::Impl> {
 public:
  using Strand = asio::strand<asio::io_context::executor_type>;

  Impl(asio::io_context& io, DeviceConfig config);
  ~Impl() override;

  // Checks the configuration, prepares the media and binds the ports.
  // Caller's thread, once, before the device serves anything.
  bool Start(std::string* error);
  // Closes everything; nothing runs for this device afterwards. Idempotent.
  void Stop();

  const DeviceConfig& Config() const { return config_; }
  MediaSettings CurrentMedia() const;
  Observations Observe() const;
  bool WaitFor(const std::function<bool(const Observations&)>& pred,
               std::chrono::milliseconds timeout) const;

  bool RaiseAlarm(int32_t value);
  int32_t Ptz(int32_t code, int32_t param1, int32_t param2);
  std::vector<uint8_t> Snapshot();

  void SetRefuseLogins(bool on) { refuseLogins_ = on; }
  void SetStall(bool on);
  void DropAllConnections();
  void Restart(std::chrono::milliseconds delay, const MediaSettings* newMedia);
  void InjectStreamFault(int fault);
  void SetThrottle(uint64_t bytesPerSecond) { throttle_ = bytesPerSecond; }
  void StopMedia();

  // Discovery (called by the simulator's responder, on its own strand).
  bool AnswersDiscovery(uint16_t port) const;
  tmcc::protocol::ProbeAnswer MakeProbeAnswer(uint32_t probeId) const;
  void NoteDiscoveryAnswer();

  // SessionHost (strand).
  tmcc::protocol::LoginStatus CheckLogin(Session& session, const tmcc::protocol::Login& login,
                                         const tmcc::protocol::Nonce& serverNonce,
                                         tmcc::protocol::Proof& serverProof) override;
  void OnLoggedIn(const std::shared_ptr<Session>& session) override;
  void OnRequest(const std::shared_ptr<Session>& session, uint32_t requestId,
                 const tmcc::protocol::Request& request) override;
  void OnClosed(Session& session) override;
  void OnHeartbeat() override;
  bool Stalled() const override { return stalled_; }
  uint64_t ThrottleBytesPerSecond() const override { return throttle_; }
  bool NextFloodFrame(Session& session, std::vector<uint8_t>& frame) override;

  // RtspHost (strand).
  MediaSource& RtspSource() override { return *source_; }
  bool RtspRefusesLogins() const override { return refuseLogins_; }
  bool RtspMediaStopped() const override { return mediaStopped_; }
  void RecordRtsp(const std::function<void(Observations&)>& change) override { Record(change); }
  // OnvifDevice (the face's strand).
  MediaSettings OnvifMedia() const override { return CurrentMedia(); }
  PtzPosition OnvifPtzPosition() const override;
  int32_t OnvifPtz(int32_t code, int32_t param1, int32_t param2) override {
    return Ptz(code, param1, param2);
  }
  void OnvifSnapshot(std::function<void(std::vector<uint8_t>)> done) override;

  // Stream faults a session can be marked with.
  static constexpr int kFaultMalformed = 1;
  static constexpr int kFaultOversized = 2;

 private:
  // Runs f on the strand and returns its result (inline when already there).
  template <class F>
  auto OnStrand(F f) -> decltype(f());

  bool Listen(std::string* error);  // binds both acceptors
  OnvifFaceOptions OnvifOptions() const;
  void BeginServing();  // strand: accept loops, ticker, alarm schedule
  void Accept(asio::ip::tcp::acceptor& acceptor, Session::Kind kind, uint64_t generation);
  void CloseSessions();
  void StopServing();  // strand: listeners, sessions, timers
  void RetryListen(uint64_t generation);

  // Streaming (device_stream.cc).
  void ScheduleTick(uint64_t generation);
  void Tick();
  void DeliverVideo(Session& session, const SourceFrame& frame);
  void DeliverAux(Session& session, uint64_t frameNumber,
                  const std::shared_ptr<const std::vector<uint8_t>>& aux);
  bool BuildStreamFrame(Session& session, uint8_t frameType, bool key, uint64_t frameNumber,
                        std::span<const uint8_t> data, std::vector<uint8_t>& out);
  bool SendFault(Session& session);
  void CountSent(const Session& session, uint8_t frameType, bool key, size_t bytes);
  void CountDropped(const Session& session);
  void StartStream(const std::shared_ptr<Session>& session);

  // Requests (device_requests.cc).
  tmcc::protocol::Answer Handle(Session& session, const tmcc::protocol::Request& request,
                                std::vector<uint8_t>& jpeg);
  void EndVoice();

  // Alarms (device_alarms.cc).
  void PushAlarm(int32_t value, std::function<void(bool)> done);
  void ScheduleAlarm(uint64_t generation);

  template <class F>
  void Record(F change);  // changes obs_ under the lock and wakes waiters
  // The observation of a stream session, or null once it was forgotten
  // (obsMutex_ held).
  StreamObservation* StreamObs(const Session& session);

  asio::io_context& io_;
  Strand strand_;
  const DeviceConfig config_;
  asio::ip::tcp::acceptor controlAcceptor_;
  asio::ip::tcp::acceptor streamAcceptor_;
  asio::steady_timer tickTimer_;
  asio::steady_timer alarmTimer_;
  asio::steady_timer restartTimer_;
  std::chrono::steady_clock::time_point nextTick_;
  std::vector<std::shared_ptr<Session>> sessions_;  // strand
  std::unique_ptr<MediaSource> source_;             // strand
  std::unique_ptr<RtspFace> rtsp_;                  // strand; made by Start
  MediaSettings media_;                             // guarded by obsMutex_
  uint64_t generation_ = 0;                         // strand; bumps on stop and restart
  bool stopped_ = false;                            // strand
  bool mediaStopped_ = false;                       // strand; no media frames after StopMedia
  bool voiceOwned_ = false;                         // strand
  uint32_t alarmSequence_ = 0;                      // strand

  std::atomic<bool> refuseLogins_{false};
  std::atomic<bool> stalled_{false};
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> throttle_{0};

  mutable std::mutex obsMutex_;
  mutable std::condition_variable obsChanged_;
  Observations obs_;
  uint64_t obsVersion_ = 0;  // bumps with every recorded change
  PtzModel ptz_;
  std::shared_ptr<OnvifFace> onvif_;  // set in Start, before any alarm; null when off
};

template <class F>
void Device::Impl::Record(F change) {
  {
    std::lock_guard<std::mutex> lock(obsMutex_);
    change(obs_);
    ++obsVersion_;
  }
  obsChanged_.notify_all();
}

}  // namespace qrv::sim
