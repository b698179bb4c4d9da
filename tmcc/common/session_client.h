// A client that keeps one session to a device up: the first connection is
// made synchronously for the caller; once it has succeeded, a lost session is
// restored in the background (when automatic reconnection is on) with
// exponential backoff. Login and stream clients build on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devicelib/tmcc_extensions.h"
#include "tmcc/common/backoff.h"
#include "tmcc/common/client.h"
#include "tmcc/native/session.h"

namespace qrv::tmcc {

// A session counts as healthy, and the reconnect backoff starts over, only
// after it has stayed up this long (or, for a stream, once it delivered a
// picture): a device that fails right after every login is retried at the
// growing interval, not at the first one.
inline constexpr std::chrono::milliseconds kHealthyAfter{30000};

// What a synchronous request brought back.
struct CallResult {
  int32_t result = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> data;
  std::string reason;  // why it failed, when the link said
};

class SessionClient : public Client, public SessionOwner {
 public:
  explicit SessionClient(int32_t kind);

  // Connects and logs in; returns kOk or the failure's result.
  // Threading: any thread except this client's own callbacks (kErrBusy there);
  // blocks for at most about the time-out; takes no lock while waiting.
  int32_t Open(SessionParams params);
  // Ends the session and any reconnection. Threading: any thread.
  void Stop();
  bool IsUp() const { return up_; }
  bool Wanted() const { return wanted_; }
  // Sends one request and waits for its answer (at most the time-out).
  // Threading: as Open.
  int32_t Call(const protocol::Request& request, CallResult* out);
  // Why the last request or open that failed failed (a reconnection attempt
  // too), as its link said; empty when it said nothing, or the last one
  // succeeded. Threading: any thread.
  std::string LastError() const;

  // Number of sessions started (first connection and every reconnection attempt).
  int attempts() const { return attempts_; }

  // Connection history since the client was made, and what its streams lost.
  // Threading: any thread; lock-free.
  devicelib::ConnectionStats Stats() const;

 protected:
  // On the strand, after every successful (re)connection.
  virtual void OnUp() {}
  // On the strand, when an established session ended (reason: result code;
  // kOk when stopped on request).
  virtual void OnDown(int32_t reason) { (void)reason; }

  void OnSessionStream(Link&, const protocol::StreamData&) override {}
  void OnSessionLost(Link& link, int32_t reason) override;
  void OnSessionLoss(Link& link, uint64_t picturesDropped, uint64_t packetsLost) override;

  // On the strand: the current session did useful work (a stream delivered a
  // picture), so the device is healthy now; the next loss is retried at the
  // first delay again.
  void MarkHealthy();

 private:
  // The history is counted before the session's state changes, so a caller
  // that sees the session up (or down) also sees the outage counted.
  void CountUp();
  void CountDown(int32_t reason);
  void StopOnStrand();
  void ScheduleReconnect();
  void Attempt();
  void WatchHealth(const std::shared_ptr<Link>& session);
  // The link for params_ (our protocol, RTSP or ONVIF), not started.
  std::shared_ptr<Link> MakeLink();

  std::shared_ptr<Link> session_;
  SessionParams params_;
  asio::steady_timer reconnectTimer_;
  asio::steady_timer healthyTimer_;
  Backoff backoff_;
  std::atomic<bool> up_{false};
  std::atomic<bool> wanted_{false};
  std::atomic<int> attempts_{0};

  // Connection history (written on the strand, read from any thread).
  std::atomic<uint32_t> disconnects_{0};
  std::atomic<uint32_t> reconnects_{0};
  std::atomic<uint32_t> lastOutageMs_{0};
  std::atomic<bool> lost_{false};                   // down by loss (not on request), not yet back
  std::chrono::steady_clock::time_point lostAt_{};  // strand only
  std::atomic<uint64_t> picturesDropped_{0};
  std::atomic<uint64_t> packetsLost_{0};

  void SetLastError(std::string text);  // any thread
  mutable std::mutex lastErrorMutex_;
  std::string lastError_;  // guarded by lastErrorMutex_
};

}  // namespace qrv::tmcc
