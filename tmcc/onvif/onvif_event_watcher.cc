#include "tmcc/onvif/onvif_event_watcher.h"

#include <utility>

#include "devicelib/tmcc_errors.h"
#include "tmcc/common/local_alarms.h"
#include "tmcc/common/service_uri.h"
#include "tmcc/onvif/onvif_alarm_mapping.h"

namespace qrv::tmcc {

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using Clock = std::chrono::steady_clock;

namespace {

void Count(std::atomic<uint64_t>& counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

std::string MessageId() {
  return ov::NewMessageId().value_or(std::string());
}

}  // namespace

std::shared_ptr<OnvifEventWatcher> OnvifEventWatcher::Create(
    Strand strand, SoapPoster& poster, std::string eventServicePath, std::string cameraAddress,
    int32_t loginHandle, std::chrono::milliseconds timeout, OnvifEventOptions options) {
  return std::shared_ptr<OnvifEventWatcher>(
      new OnvifEventWatcher(std::move(strand), poster, std::move(eventServicePath),
                            std::move(cameraAddress), loginHandle, timeout, std::move(options)));
}

OnvifEventWatcher::OnvifEventWatcher(Strand strand, SoapPoster& poster,
                                     std::string eventServicePath, std::string cameraAddress,
                                     int32_t loginHandle, std::chrono::milliseconds timeout,
                                     OnvifEventOptions options)
    : strand_(std::move(strand)),
      poster_(poster),
      eventServicePath_(std::move(eventServicePath)),
      cameraAddress_(std::move(cameraAddress)),
      loginHandle_(loginHandle),
      timeout_(timeout),
      options_(std::move(options)),
      timer_(strand_),
      backoff_(options_.resubscribe),
      rateLimit_(options_.maxAlarmsPerSecond) {}

void OnvifEventWatcher::Start() {
  if (started_ || stopped_) return;
  started_ = true;
  Subscribe();
}

void OnvifEventWatcher::Stop() {
  if (stopped_) return;
  stopped_ = true;
  timer_.cancel();
  // With an exchange out, the Unsubscribe follows its answer (Stopping).
  if (!inFlight_) Unsubscribe();
}

// The To header names the camera by its connection address: a host the
// camera wrote into an answer is not repeated back as if it were ours.
std::string OnvifEventWatcher::ToAddress(const std::string& path,
                                         std::optional<uint16_t> port) const {
  std::string to = "http://" + cameraAddress_;
  if (port) to += ":" + std::to_string(*port);
  return to + path;
}

void OnvifEventWatcher::Post(const std::string& path, std::string envelope,
                             std::chrono::milliseconds timeout,
                             void (OnvifEventWatcher::*then)(const SoapAnswer&)) {
  inFlight_ = true;
  poster_.Post(path, std::move(envelope), timeout,
               [self = shared_from_this(), then](const SoapAnswer& answer) {
                 self->inFlight_ = false;
                 if (answer.result == dl::kErrClosed) self->closed_ = true;
                 ((*self).*then)(answer);
               });
}

void OnvifEventWatcher::ScheduleNext(std::chrono::milliseconds delay,
                                     void (OnvifEventWatcher::*then)()) {
  timer_.expires_after(delay);
  timer_.async_wait(
      asio::bind_executor(strand_, [self = shared_from_this(), then](const asio::error_code& ec) {
        if (ec || self->stopped_ || self->closed_) return;
        ((*self).*then)();
      }));
}

bool OnvifEventWatcher::Stopping() {
  if (closed_) {
    stopped_ = true;
    return true;
  }
  if (!stopped_) return false;
  Unsubscribe();
  return true;
}

void OnvifEventWatcher::Subscribe() {
  subscribed_ = false;
  Post(eventServicePath_,
       ov::BuildCreatePullPointSubscriptionRequest(poster_.Token(),
                                                   ToAddress(eventServicePath_, std::nullopt),
                                                   options_.lifetime.count(), MessageId()),
       timeout_, &OnvifEventWatcher::OnSubscribed);
}

void OnvifEventWatcher::OnSubscribed(const SoapAnswer& answer) {
  std::optional<ov::Subscription> granted;
  std::optional<ServiceUrl> url;
  if (answer.result == dl::kOk) {
    if (auto parsed = ov::ParseCreatePullPointSubscriptionResponse(answer.body)) {
      url = ParseServiceUrl(parsed->reference.address);
      if (url) granted = std::move(*parsed);
    }
  }
  if (granted) {
    // Even when stopping: a subscription the device granted is given back.
    subscribed_ = true;
    subscriptionPath_ = url->path;
    subscription_.address = ToAddress(url->path, url->port);
    subscription_.referenceParameters = std::move(granted->reference.referenceParameters);
  }
  if (Stopping()) return;
  if (!granted) return Fail(Step::kSubscribe);
  Count(stats_.subscriptions);
  backoff_.Reset();
  renewAt_ =
      Clock::now() + RenewDelay(granted->currentTime, granted->terminationTime, options_.lifetime);
  PullOrRenew();
}

void OnvifEventWatcher::PullOrRenew() {
  const auto now = Clock::now();
  if (now >= renewAt_) {
    Post(subscriptionPath_,
         ov::BuildRenewRequest(poster_.Token(), subscription_, options_.lifetime.count(),
                               MessageId()),
         timeout_, &OnvifEventWatcher::OnRenewed);
    return;
  }
  pullStarted_ = now;
  Count(stats_.pulls);
  Post(subscriptionPath_,
       ov::BuildPullMessagesRequest(poster_.Token(), subscription_, options_.pullWait.count(),
                                    options_.messageLimit, MessageId()),
       options_.pullWait + timeout_, &OnvifEventWatcher::OnPulled);
}

void OnvifEventWatcher::OnPulled(const SoapAnswer& answer) {
  if (Stopping()) return;
  if (answer.result != dl::kOk) return Fail(Step::kPull);
  auto result = ov::ParsePullMessagesResponse(answer.body);
  if (!result) return Fail(Step::kPull);
  if (result->currentTime > 0 && result->terminationTime > 0) {
    renewAt_ =
        Clock::now() + RenewDelay(result->currentTime, result->terminationTime, options_.lifetime);
  }
  const bool overCap = Deliver(*result);
  // An answer that came at once, with or without messages, is followed by a
  // pause: a camera answering every pull at once would otherwise be pulled
  // as fast as the loop runs.
  const auto spacing = result->messages.empty() ? options_.idlePullSpacing
                       : overCap                ? options_.overCapPullSpacing
                                                : options_.busyPullSpacing;
  const auto elapsed = Clock::now() - pullStarted_;
  if (elapsed < spacing) {
    return ScheduleNext(std::chrono::duration_cast<std::chrono::milliseconds>(spacing - elapsed),
                        &OnvifEventWatcher::PullOrRenew);
  }
  PullOrRenew();
}

void OnvifEventWatcher::OnRenewed(const SoapAnswer& answer) {
  if (Stopping()) return;
  if (answer.result != dl::kOk) return Fail(Step::kRenew);
  auto times = ov::ParseRenewResponse(answer.body);
  if (!times) return Fail(Step::kRenew);
  Count(stats_.renewals);
  renewAt_ =
      Clock::now() + RenewDelay(times->currentTime, times->terminationTime, options_.lifetime);
  PullOrRenew();
}

bool OnvifEventWatcher::Deliver(const ov::PullMessagesResult& result) {
  bool overCap = false;
  for (const auto& message : result.messages) {
    Count(stats_.notifications);
    const MappedNotification mapped = MapNotification(message, cameraAddress_);
    switch (mapped.verdict) {
      case NotificationVerdict::kUnknownTopic:
        Count(stats_.unknownTopics);
        continue;
      case NotificationVerdict::kNoState:
        Count(stats_.unreadableStates);
        continue;
      case NotificationVerdict::kCleared:
        Count(stats_.cleared);
        continue;
      case NotificationVerdict::kAlarm:
        break;
    }
    if (!rateLimit_.Allow(Clock::now())) {
      Count(stats_.alarmsOverRate);
      overCap = true;
      continue;
    }
    Count(DeliverLocalAlarm(mapped.alarm, loginHandle_) > 0 ? stats_.alarmsDelivered
                                                            : stats_.alarmsUnheard);
  }
  return overCap;
}

// The subscription is given up (it ends on the device at its termination
// time) and a new one is asked for after the backoff.
void OnvifEventWatcher::Fail(Step step) {
  switch (step) {
    case Step::kSubscribe:
      Count(stats_.subscribeFailures);
      break;
    case Step::kPull:
      Count(stats_.pullFailures);
      break;
    case Step::kRenew:
      Count(stats_.renewFailures);
      break;
  }
  subscribed_ = false;
  ScheduleNext(backoff_.Next(), &OnvifEventWatcher::Subscribe);
}

void OnvifEventWatcher::Unsubscribe() {
  if (!subscribed_ || closed_) return;
  subscribed_ = false;
  Post(subscriptionPath_, ov::BuildUnsubscribeRequest(poster_.Token(), subscription_, MessageId()),
       options_.unsubscribeTimeout, &OnvifEventWatcher::OnUnsubscribed);
}

void OnvifEventWatcher::OnUnsubscribed(const SoapAnswer& answer) {
  if (answer.result != dl::kOk || !ov::ParseUnsubscribeResponse(answer.body)) {
    Count(stats_.unsubscribeFailures);
  }
}

}  // namespace qrv::tmcc
