// Alarm listener: accepts devices' alarm connections on a TCP port and hands
// every alarm to the data-read callback as an alarm message.
//
// Every peer is untrusted: connections per listener are capped (a full
// listener sheds a connection that never delivered an alarm, else the one
// that has gone longest without a whole frame, so trickling and idle peers
// cannot lock devices out), each connection's memory is
// bounded, an alarm is attributed to the connection's real peer address, and
// accept failures (descriptors exhausted) back off instead of spinning.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>

#include "devicelib/tmcc_api.h"
#include "tmcc/common/callback_slot.h"
#include "tmcc/common/client.h"

namespace qrv::tmcc {

class AlarmConnection;

inline constexpr size_t kAlarmConnectionsPerListener = 128;
// A device sends an alarm frame (at most 60 bytes) in one segment.
inline constexpr std::chrono::milliseconds kAlarmFrameTime{2000};
// A device connects, sends its alarms and leaves; a quiet connection is dropped.
inline constexpr std::chrono::milliseconds kAlarmIdleTime{10000};
// 256 unread acknowledgements: far more than a device has alarms in flight.
inline constexpr size_t kAlarmQueueBound = 4096;

struct AlarmListenerCounts {
  uint64_t accepted = 0;
  uint64_t shed = 0;          // connections dropped to make room for a newcomer
  uint64_t forged = 0;        // alarms naming another address than the peer's
  uint64_t malformed = 0;     // connections cut for a bad frame or alarm
  uint64_t acceptErrors = 0;  // failed accepts (each followed by a pause)
  // Runs of failed accepts with no accept between them, and the pause after
  // the first failure of the latest run.
  uint64_t acceptErrorSpells = 0;
  uint32_t spellFirstPauseMs = 0;
  uint32_t acceptPauseMs = 0;  // the pause after the latest failure
};

class AlarmListener : public Client {
 public:
  AlarmListener();

  // Threading: any thread; takes the slot's mutex briefly.
  void SetCallback(TmccDataReadCallback callback, void* context);
  // Threading: any thread but this client's callback; returns once the port
  // is bound (kOk) or could not be (kErrIo), kErrBusy if already listening.
  // Port 0 binds any free port (see port()). address: where to listen.
  int32_t Start(uint16_t port, asio::ip::address address = asio::ip::address_v4::any());
  // Threading: any thread; when it returns no callback of this listener runs
  // (but the caller's own) and none starts.
  void Stop();
  void Shutdown() override {
    MarkShutdown();
    Stop();
  }

  // The bound port while listening, else 0. Threading: any thread.
  uint16_t port() const { return port_; }
  // Threading: any thread.
  AlarmListenerCounts counts() const;
  size_t connections() const { return open_; }

  // An alarm from elsewhere in the library (see local_alarms.h), heard by
  // the login client loginHandle, delivered on the strand if the listener is
  // still listening then. false when it is not listening now.
  // Threading: any thread; posts, calls nothing out.
  bool Inject(const protocol::Alarm& alarm, int32_t loginHandle);

  // For the connections, on the strand. loginHandle goes into the record:
  // 0 for an alarm a device pushed here.
  void Deliver(const protocol::Alarm& alarm, int32_t loginHandle);
  void Forget(AlarmConnection* connection);
  uint64_t Stamp() { return ++clock_; }
  void CountForged() { ++forged_; }
  void CountMalformed() { ++malformed_; }

 private:
  void Accept();
  void OnAcceptError(const asio::error_code& ec);
  void ShedOne();
  void StopOnStrand();

  CallbackSlot<TmccDataReadCallback> callback_;  // one run per Start
  std::atomic<uint16_t> port_{0};
  std::atomic<size_t> open_{0};
  std::atomic<uint64_t> accepted_{0}, shed_{0}, forged_{0}, malformed_{0}, acceptErrors_{0};
  std::atomic<uint64_t> acceptErrorSpells_{0};
  std::atomic<uint32_t> spellFirstPauseMs_{0}, acceptPauseMs_{0};
  // strand only:
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer acceptPause_;
  std::chrono::milliseconds nextPause_{0};
  bool acceptedSinceError_ = true;
  std::set<std::shared_ptr<AlarmConnection>> connections_;
  uint64_t clock_ = 0;  // orders connections by their last whole frame
};

}  // namespace qrv::tmcc
