#include "tmcc/onvif/codec/event_service.h"

#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xml_writer.h"
#include "tmcc/onvif/codec/xs_datetime.h"
#include "tmcc/onvif/codec/xs_duration.h"

namespace qrv::tmcc::onvif {

namespace {

constexpr std::string_view kCreateAction =
    "http://www.onvif.org/ver10/events/wsdl/EventPortType/CreatePullPointSubscriptionRequest";
constexpr std::string_view kCreateResponseAction =
    "http://www.onvif.org/ver10/events/wsdl/EventPortType/CreatePullPointSubscriptionResponse";
constexpr std::string_view kPullAction =
    "http://www.onvif.org/ver10/events/wsdl/PullPointSubscription/PullMessagesRequest";
constexpr std::string_view kPullResponseAction =
    "http://www.onvif.org/ver10/events/wsdl/PullPointSubscription/PullMessagesResponse";
constexpr std::string_view kRenewAction =
    "http://docs.oasis-open.org/wsn/bw-2/SubscriptionManager/RenewRequest";
constexpr std::string_view kRenewResponseAction =
    "http://docs.oasis-open.org/wsn/bw-2/SubscriptionManager/RenewResponse";
constexpr std::string_view kUnsubscribeAction =
    "http://docs.oasis-open.org/wsn/bw-2/SubscriptionManager/UnsubscribeRequest";
constexpr std::string_view kUnsubscribeResponseAction =
    "http://docs.oasis-open.org/wsn/bw-2/SubscriptionManager/UnsubscribeResponse";
constexpr std::string_view kConcreteSet =
    "http://www.onvif.org/ver10/tev/topicExpression/ConcreteSet";

std::string Request(std::string_view body, const std::optional<UsernameToken>& security,
                    std::string_view to, std::string_view referenceParameters,
                    std::string_view action, std::string_view messageId) {
  Addressing a;
  a.messageId = messageId;
  a.to = to;
  a.action = action;
  a.referenceParameters = referenceParameters;
  return BuildEnvelope(body, security, &a);
}

std::string Response(std::string_view body, std::string_view action, std::string_view relatesTo) {
  Addressing a;
  a.action = action;
  a.relatesTo = relatesTo;
  return BuildEnvelope(body, std::nullopt, &a);
}

int64_t TimeOr0(const XmlElement& e) {
  return ParseDateTime(e.TrimmedText()).value_or(0);
}

void ReadItems(const XmlElement& group, std::vector<SimpleItem>& items) {
  for (XmlElement i = group.Child(ns::kSchema, "SimpleItem"); i && items.size() < kMaxSimpleItems;
       i = i.NextNamed(ns::kSchema, "SimpleItem")) {
    SimpleItem item{FieldText(i.Attribute("", "Name").value_or("")),
                    FieldText(i.Attribute("", "Value").value_or(""))};
    if (!item.name.empty()) items.push_back(std::move(item));
  }
}

NotificationMessage ReadNotification(const XmlElement& n) {
  NotificationMessage m;
  const XmlElement topic = n.Child(ns::kNotification, "Topic");
  m.topic = FieldText(topic);
  // Each path step may carry a prefix; the first one names the topic set.
  std::string_view rest = m.topic;
  bool first = true;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    std::string_view step = rest.substr(0, slash);
    if (const size_t colon = step.find(':'); colon != std::string_view::npos) {
      if (first) {
        if (auto ns = topic.LookupPrefix(step.substr(0, colon))) m.topicNamespace = *ns;
      }
      step.remove_prefix(colon + 1);
    }
    if (!first) m.topicPath += '/';
    m.topicPath += step;
    first = false;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  const XmlElement message = n.Child(ns::kNotification, "Message").Child(ns::kSchema, "Message");
  if (auto t = message.Attribute("", "UtcTime")) m.utcTime = ParseDateTime(*t);
  m.propertyOperation = FieldText(message.Attribute("", "PropertyOperation").value_or(""));
  ReadItems(message.Child(ns::kSchema, "Source"), m.source);
  ReadItems(message.Child(ns::kSchema, "Data"), m.data);
  return m;
}

Result<TerminationRequest> ReadTermination(const XmlElement& e) {
  TerminationRequest r;
  if (!e) return r;
  const std::string_view text = e.TrimmedText();
  if (!text.empty() && text[0] == 'P') {
    r.relativeMs = ParseDuration(text);
  } else {
    r.absoluteUnix = ParseDateTime(text);
  }
  if (!r.relativeMs && !r.absoluteUnix) return Unexpected("termination time unreadable");
  return r;
}

void WriteItems(XmlWriter& w, std::string_view group, const std::vector<SimpleItem>& items) {
  w.Start(group);
  for (const auto& i : items) {
    w.Start("tt:SimpleItem").Attr("Name", i.name).Attr("Value", i.value).End("tt:SimpleItem");
  }
  w.End(group);
}

}  // namespace

std::string BuildCreatePullPointSubscriptionRequest(const std::optional<UsernameToken>& security,
                                                    std::string_view eventServiceAddress,
                                                    int64_t initialTerminationMs,
                                                    std::string_view messageId) {
  std::string body;
  XmlWriter(body)
      .Start("tev:CreatePullPointSubscription")
      .Leaf("tev:InitialTerminationTime", FormatDuration(initialTerminationMs))
      .End("tev:CreatePullPointSubscription");
  return Request(body, security, eventServiceAddress, "", kCreateAction, messageId);
}

Result<Subscription> ParseCreatePullPointSubscriptionResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kEvents, "CreatePullPointSubscriptionResponse");
  if (!message) return message.error();
  const XmlElement b = message->body;
  const XmlElement reference = b.Child(ns::kEvents, "SubscriptionReference");
  Subscription s;
  s.reference.address = FieldText(reference.Child(ns::kAddressing, "Address"));
  if (s.reference.address.empty()) return Unexpected("no SubscriptionReference/Address");
  if (const XmlElement parameters = reference.Child(ns::kAddressing, "ReferenceParameters")) {
    auto markup = ReferenceParametersMarkup(parameters, kMaxReferenceParameterBytes);
    if (!markup) return Unexpected("reference parameters too large");
    s.reference.referenceParameters = std::move(*markup);
  }
  s.currentTime = TimeOr0(b.Child(ns::kNotification, "CurrentTime"));
  s.terminationTime = TimeOr0(b.Child(ns::kNotification, "TerminationTime"));
  return s;
}

std::string BuildPullMessagesRequest(const std::optional<UsernameToken>& security,
                                     const SubscriptionReference& subscription, int64_t timeoutMs,
                                     int messageLimit, std::string_view messageId) {
  std::string body;
  XmlWriter(body)
      .Start("tev:PullMessages")
      .Leaf("tev:Timeout", FormatDuration(timeoutMs))
      .Leaf("tev:MessageLimit", std::to_string(messageLimit < 1 ? 1 : messageLimit))
      .End("tev:PullMessages");
  return Request(body, security, subscription.address, subscription.referenceParameters,
                 kPullAction, messageId);
}

Result<PullMessagesResult> ParsePullMessagesResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kEvents, "PullMessagesResponse");
  if (!message) return message.error();
  const XmlElement b = message->body;
  PullMessagesResult r;
  r.currentTime = TimeOr0(b.Child(ns::kEvents, "CurrentTime"));
  r.terminationTime = TimeOr0(b.Child(ns::kEvents, "TerminationTime"));
  for (XmlElement n = b.Child(ns::kNotification, "NotificationMessage");
       n && r.messages.size() < kMaxNotifications;
       n = n.NextNamed(ns::kNotification, "NotificationMessage")) {
    r.messages.push_back(ReadNotification(n));
  }
  return r;
}

std::string BuildRenewRequest(const std::optional<UsernameToken>& security,
                              const SubscriptionReference& subscription, int64_t terminationMs,
                              std::string_view messageId) {
  std::string body;
  XmlWriter(body)
      .Start("wsnt:Renew")
      .Leaf("wsnt:TerminationTime", FormatDuration(terminationMs))
      .End("wsnt:Renew");
  return Request(body, security, subscription.address, subscription.referenceParameters,
                 kRenewAction, messageId);
}

Result<TerminationTimes> ParseRenewResponse(std::string_view xml) {
  auto message = ParseResponse(xml, ns::kNotification, "RenewResponse");
  if (!message) return message.error();
  TerminationTimes t;
  t.terminationTime = TimeOr0(message->body.Child(ns::kNotification, "TerminationTime"));
  t.currentTime = TimeOr0(message->body.Child(ns::kNotification, "CurrentTime"));
  return t;
}

std::string BuildUnsubscribeRequest(const std::optional<UsernameToken>& security,
                                    const SubscriptionReference& subscription,
                                    std::string_view messageId) {
  std::string body;
  XmlWriter(body).Start("wsnt:Unsubscribe").End("wsnt:Unsubscribe");
  return Request(body, security, subscription.address, subscription.referenceParameters,
                 kUnsubscribeAction, messageId);
}

Result<Empty> ParseUnsubscribeResponse(std::string_view xml) {
  return ParseEmptyResponse(xml, ns::kNotification, "UnsubscribeResponse");
}

Result<TerminationRequest> ParseCreatePullPointSubscriptionRequest(const XmlElement& body) {
  if (!body.Is(ns::kEvents, "CreatePullPointSubscription")) {
    return Unexpected("not CreatePullPointSubscription");
  }
  return ReadTermination(body.Child(ns::kEvents, "InitialTerminationTime"));
}

Result<PullMessagesRequest> ParsePullMessagesRequest(const XmlElement& body) {
  if (!body.Is(ns::kEvents, "PullMessages")) return Unexpected("not PullMessages");
  auto timeout = ParseDuration(body.Child(ns::kEvents, "Timeout").TrimmedText());
  auto limit = ParseInteger(body.Child(ns::kEvents, "MessageLimit").Text(), 1, INT32_MAX);
  if (!timeout || !limit) return Unexpected("Timeout or MessageLimit missing or unreadable");
  return PullMessagesRequest{*timeout, static_cast<int>(*limit)};
}

Result<TerminationRequest> ParseRenewRequest(const XmlElement& body) {
  if (!body.Is(ns::kNotification, "Renew")) return Unexpected("not Renew");
  const XmlElement time = body.Child(ns::kNotification, "TerminationTime");
  if (!time) return Unexpected("no TerminationTime");
  return ReadTermination(time);
}

Result<Empty> ParseUnsubscribeRequest(const XmlElement& body) {
  if (!body.Is(ns::kNotification, "Unsubscribe")) return Unexpected("not Unsubscribe");
  return Empty{};
}

std::string BuildCreatePullPointSubscriptionResponse(std::string_view subscriptionAddress,
                                                     const TerminationTimes& times,
                                                     std::string_view relatesTo) {
  std::string body;
  XmlWriter w(body);
  w.Start("tev:CreatePullPointSubscriptionResponse");
  w.Start("tev:SubscriptionReference")
      .Leaf("wsa:Address", subscriptionAddress)
      .End("tev:SubscriptionReference");
  w.Leaf("wsnt:CurrentTime", FormatDateTime(times.currentTime));
  w.Leaf("wsnt:TerminationTime", FormatDateTime(times.terminationTime));
  w.End("tev:CreatePullPointSubscriptionResponse");
  return Response(body, kCreateResponseAction, relatesTo);
}

std::string BuildPullMessagesResponse(const PullMessagesResult& result,
                                      std::string_view relatesTo) {
  std::string body;
  XmlWriter w(body);
  w.Start("tev:PullMessagesResponse");
  w.Leaf("tev:CurrentTime", FormatDateTime(result.currentTime));
  w.Leaf("tev:TerminationTime", FormatDateTime(result.terminationTime));
  for (const auto& m : result.messages) {
    w.Start("wsnt:NotificationMessage");
    w.Start("wsnt:Topic").Attr("Dialect", kConcreteSet).Text(m.topic).End("wsnt:Topic");
    w.Start("wsnt:Message").Start("tt:Message");
    if (m.utcTime) w.Attr("UtcTime", FormatDateTime(*m.utcTime));
    if (!m.propertyOperation.empty()) w.Attr("PropertyOperation", m.propertyOperation);
    WriteItems(w, "tt:Source", m.source);
    WriteItems(w, "tt:Data", m.data);
    w.End("tt:Message").End("wsnt:Message");
    w.End("wsnt:NotificationMessage");
  }
  w.End("tev:PullMessagesResponse");
  return Response(body, kPullResponseAction, relatesTo);
}

std::string BuildRenewResponse(const TerminationTimes& times, std::string_view relatesTo) {
  std::string body;
  XmlWriter(body)
      .Start("wsnt:RenewResponse")
      .Leaf("wsnt:TerminationTime", FormatDateTime(times.terminationTime))
      .Leaf("wsnt:CurrentTime", FormatDateTime(times.currentTime))
      .End("wsnt:RenewResponse");
  return Response(body, kRenewResponseAction, relatesTo);
}

std::string BuildUnsubscribeResponse(std::string_view relatesTo) {
  std::string body;
  XmlWriter(body).Start("wsnt:UnsubscribeResponse").End("wsnt:UnsubscribeResponse");
  return Response(body, kUnsubscribeResponseAction, relatesTo);
}

}  // namespace qrv::tmcc::onvif
