// The event service's pull-point messages: subscribe, pull notifications
// (motion, digital inputs, tampering...), renew, unsubscribe. Requests to the
// pull point carry WS-Addressing headers (To = the subscription's address,
// and its reference parameters), as one service address may serve many
// subscriptions. Client and server sides. Pure; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tmcc/onvif/codec/result.h"
#include "tmcc/onvif/codec/soap.h"

namespace qrv::tmcc::onvif {

// Where a subscription lives, to address its requests to.
struct SubscriptionReference {
  std::string address;
  std::string referenceParameters;  // markup to echo in each request's header
};

struct Subscription {
  SubscriptionReference reference;
  int64_t currentTime = 0;  // the device's clock, seconds since the epoch (0: not given)
  int64_t terminationTime = 0;
};

struct SimpleItem {
  std::string name;
  std::string value;
};

struct NotificationMessage {
  std::string topic;           // as written, e.g. "tns1:VideoSource/MotionAlarm"
  std::string topicNamespace;  // the URI of its prefix (ns::kTopics for the standard topics)
  std::string topicPath;       // without prefixes, e.g. "VideoSource/MotionAlarm"
  std::optional<int64_t> utcTime;
  std::string propertyOperation;  // "Initialized", "Changed", "Deleted", or empty
  std::vector<SimpleItem> source;
  std::vector<SimpleItem> data;
};

inline constexpr size_t kMaxNotifications = 256;
inline constexpr size_t kMaxSimpleItems = 32;
inline constexpr size_t kMaxReferenceParameterBytes = 4096;

struct PullMessagesResult {
  int64_t currentTime = 0;
  int64_t terminationTime = 0;
  std::vector<NotificationMessage> messages;
};

// Times in seconds since the epoch on the device's clock.
struct TerminationTimes {
  int64_t currentTime = 0;
  int64_t terminationTime = 0;
};

// Client. messageId may be empty (see NewMessageId).
std::string BuildCreatePullPointSubscriptionRequest(const std::optional<UsernameToken>& security,
                                                    std::string_view eventServiceAddress,
                                                    int64_t initialTerminationMs,
                                                    std::string_view messageId = {});
Result<Subscription> ParseCreatePullPointSubscriptionResponse(std::string_view xml);
std::string BuildPullMessagesRequest(const std::optional<UsernameToken>& security,
                                     const SubscriptionReference& subscription, int64_t timeoutMs,
                                     int messageLimit, std::string_view messageId = {});
// At most kMaxNotifications messages with kMaxSimpleItems items each.
Result<PullMessagesResult> ParsePullMessagesResponse(std::string_view xml);
std::string BuildRenewRequest(const std::optional<UsernameToken>& security,
                              const SubscriptionReference& subscription, int64_t terminationMs,
                              std::string_view messageId = {});
Result<TerminationTimes> ParseRenewResponse(std::string_view xml);
std::string BuildUnsubscribeRequest(const std::optional<UsernameToken>& security,
                                    const SubscriptionReference& subscription,
                                    std::string_view messageId = {});
Result<Empty> ParseUnsubscribeResponse(std::string_view xml);

// Server. A termination time is relative (a duration) or absolute.
struct TerminationRequest {
  std::optional<int64_t> relativeMs;
  std::optional<int64_t> absoluteUnix;
};
struct PullMessagesRequest {
  int64_t timeoutMs = 0;
  int messageLimit = 0;
};
// An absent InitialTerminationTime gives an empty TerminationRequest.
Result<TerminationRequest> ParseCreatePullPointSubscriptionRequest(const XmlElement& body);
Result<PullMessagesRequest> ParsePullMessagesRequest(const XmlElement& body);
Result<TerminationRequest> ParseRenewRequest(const XmlElement& body);
Result<Empty> ParseUnsubscribeRequest(const XmlElement& body);

// relatesTo: the request's MessageID (may be empty). Notification topics are
// written as given, so they use the envelope's prefixes ("tns1:...").
std::string BuildCreatePullPointSubscriptionResponse(std::string_view subscriptionAddress,
                                                     const TerminationTimes& times,
                                                     std::string_view relatesTo);
std::string BuildPullMessagesResponse(const PullMessagesResult& result, std::string_view relatesTo);
std::string BuildRenewResponse(const TerminationTimes& times, std::string_view relatesTo);
std::string BuildUnsubscribeResponse(std::string_view relatesTo);

}  // namespace qrv::tmcc::onvif
