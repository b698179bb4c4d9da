// A standard camera's events, pulled: one pull-point subscription on its
// event service, a PullMessages loop, renewal before the subscription ends
// and a new subscription (after a growing pause) when a pull or renewal
// fails. Notifications that map to alarms (onvif_alarm_mapping.h) go to
// every listening alarm listener of the process (local_alarms.h) with the
// camera's connection address and the handle of the login the watcher
// belongs to, as if the camera had pushed them.
//
// Pacing: a camera that answers a pull at once (it holds nothing back) is
// pulled again only after a pause, longer while its alarms go over the
// per-second cap, so a camera full of messages cannot make us spin.
//
// Only one exchange is out at a time (the poster carries one), so a renewal
// waits for the pull in progress, and Stop's Unsubscribe for it too.
// Addresses in the camera's answers are not followed: requests go to the
// camera through the poster, with only the path of the subscription's
// address; its reference parameters are echoed.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tmcc/common/backoff.h"
#include "tmcc/common/link.h"
#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/soap_poster.h"
#include "tmcc/onvif/subscription_timing.h"

namespace qrv::tmcc {

struct OnvifEventOptions {
  // The subscription's lifetime we ask for (and assume when the device gives
  // no times).
  std::chrono::milliseconds lifetime{60000};
  // How long the device may hold a PullMessages open, and its message limit.
  std::chrono::milliseconds pullWait{5000};
  int messageLimit = 64;
  // A device that answers pulls at once is pulled no more often than this:
  // idlePullSpacing when it had nothing, busyPullSpacing when it had
  // messages, overCapPullSpacing when its alarms went over the cap.
  std::chrono::milliseconds idlePullSpacing{1000};
  std::chrono::milliseconds busyPullSpacing{250};
  std::chrono::milliseconds overCapPullSpacing{1000};
  // Unsubscribe at Stop: best effort, this long at most.
  std::chrono::milliseconds unsubscribeTimeout{1000};
  uint32_t maxAlarmsPerSecond = 20;
  BackoffPolicy resubscribe{std::chrono::milliseconds(1000), std::chrono::milliseconds(30000),
                            0.25};
};

// Readable from any thread (relaxed: each exact on its own).
struct OnvifEventStats {
  std::atomic<uint64_t> subscriptions{0};      // subscriptions the device granted
  std::atomic<uint64_t> subscribeFailures{0};  // refused, unanswered or unreadable
  std::atomic<uint64_t> pulls{0};              // PullMessages sent
  std::atomic<uint64_t> pullFailures{0};
  std::atomic<uint64_t> renewals{0};
  std::atomic<uint64_t> renewFailures{0};
  std::atomic<uint64_t> notifications{0};    // every message pulled
  std::atomic<uint64_t> alarmsDelivered{0};  // handed to at least one listener
  std::atomic<uint64_t> alarmsUnheard{0};    // no listener was listening
  std::atomic<uint64_t> alarmsOverRate{0};   // dropped above the per-second cap
  std::atomic<uint64_t> cleared{0};          // known topics whose state was false
  std::atomic<uint64_t> unknownTopics{0};
  std::atomic<uint64_t> unreadableStates{0};  // known topics without a true/false state
  std::atomic<uint64_t> unsubscribeFailures{0};
};

class OnvifEventWatcher : public std::enable_shared_from_this<OnvifEventWatcher> {
 public:
  // poster must stay usable until the watcher is stopped and its last
  // exchange answered (its done runs, kErrClosed included). cameraAddress is
  // the address the connection knows the camera by (the alarms' address);
  // loginHandle the login client the watcher pulls for (every alarm names
  // it); eventServicePath the event service's absolute path on the camera;
  // timeout the deadline of every exchange (a pull gets pullWait on top).
  // Threading: any thread; starts nothing.
  static std::shared_ptr<OnvifEventWatcher> Create(Strand strand, SoapPoster& poster,
                                                   std::string eventServicePath,
                                                   std::string cameraAddress, int32_t loginHandle,
                                                   std::chrono::milliseconds timeout,
                                                   OnvifEventOptions options = {});

  // Subscribes and starts pulling; a second call does nothing.
  // Threading: the strand only.
  void Start();
  // Unsubscribes (best effort, after the exchange in progress, with a short
  // deadline); from its return no alarm is delivered and, once that last
  // exchange is answered, nothing more is posted. A poster that answers
  // kErrClosed stops the watcher too, without an Unsubscribe.
  // Threading: the strand only.
  void Stop();

  const OnvifEventStats& stats() const { return stats_; }

 private:
  enum class Step { kSubscribe, kPull, kRenew };

  OnvifEventWatcher(Strand strand, SoapPoster& poster, std::string eventServicePath,
                    std::string cameraAddress, int32_t loginHandle,
                    std::chrono::milliseconds timeout, OnvifEventOptions options);

  void Subscribe();
  void OnSubscribed(const SoapAnswer& answer);
  void PullOrRenew();
  void OnPulled(const SoapAnswer& answer);
  void OnRenewed(const SoapAnswer& answer);
  // Whether an alarm went over the per-second cap.
  bool Deliver(const onvif::PullMessagesResult& result);
  void Fail(Step step);
  void Unsubscribe();
  void OnUnsubscribed(const SoapAnswer& answer);
  // Posts one exchange; its answer goes to then, on the strand.
  void Post(const std::string& path, std::string envelope, std::chrono::milliseconds timeout,
            void (OnvifEventWatcher::*then)(const SoapAnswer&));
  // Whether an answer arrived after Stop (then the Unsubscribe goes out, and
  // nothing else) or the poster was closed: true when the caller must not go
  // on.
  bool Stopping();
  std::string ToAddress(const std::string& path, std::optional<uint16_t> port) const;
  void ScheduleNext(std::chrono::milliseconds delay, void (OnvifEventWatcher::*then)());

  // Everything below: the strand only.
  Strand strand_;
  SoapPoster& poster_;
  const std::string eventServicePath_;
  const std::string cameraAddress_;
  const int32_t loginHandle_;
  const std::chrono::milliseconds timeout_;
  const OnvifEventOptions options_;
  asio::steady_timer timer_;
  Backoff backoff_;
  AlarmRateLimit rateLimit_;
  bool started_ = false;
  bool stopped_ = false;
  bool closed_ = false;    // the poster answered kErrClosed: post nothing more
  bool inFlight_ = false;  // one exchange is out
  bool subscribed_ = false;
  std::string subscriptionPath_;
  onvif::SubscriptionReference subscription_;
  std::chrono::steady_clock::time_point renewAt_{};
  std::chrono::steady_clock::time_point pullStarted_{};

  OnvifEventStats stats_;
};

}  // namespace qrv::tmcc
