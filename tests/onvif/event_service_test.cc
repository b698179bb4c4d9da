// Event service: subscribing, pulling, renewing and unsubscribing both ways,
// the addressing headers pull-point requests carry, and notifications as
// cameras write them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmcc/onvif/codec/event_service.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/operations.h"
#include "tmcc/onvif/codec/soap.h"

namespace onvif = qrv::tmcc::onvif;
namespace ns = qrv::tmcc::onvif::ns;
using onvif::Operation;

namespace {

constexpr int64_t kNow = 1714979289;

struct Received {
  onvif::SoapMessage message;
  onvif::RequestHeader header;
};

Received Receive(const std::string& xml, Operation expected) {
  auto message = onvif::ParseSoapMessage(xml);
  EXPECT_TRUE(message) << xml;
  if (!message) message = onvif::ParseSoapMessage(onvif::BuildEnvelope("<x/>", {}));
  EXPECT_EQ(onvif::IdentifyOperation(message->body), expected) << xml;
  auto header = onvif::ReadRequestHeader(*message);
  return {std::move(*message), std::move(header)};
}

}  // namespace

TEST(EventService, SubscriptionRequestsCarryAddressingAndArguments) {
  auto token = onvif::NewUsernameToken("u", "p", kNow, 0);
  auto create = Receive(onvif::BuildCreatePullPointSubscriptionRequest(
                            token, "http://cam/onvif/events", 60000, "urn:uuid:m1"),
                        Operation::kCreatePullPointSubscription);
  EXPECT_TRUE(create.header.token);
  EXPECT_EQ(create.header.addressing.to, "http://cam/onvif/events");
  EXPECT_EQ(create.header.addressing.messageId, "urn:uuid:m1");
  EXPECT_EQ(create.header.addressing.action,
            "http://www.onvif.org/ver10/events/wsdl/EventPortType/"
            "CreatePullPointSubscriptionRequest");
  auto initial = onvif::ParseCreatePullPointSubscriptionRequest(create.message.body);
  ASSERT_TRUE(initial);
  EXPECT_EQ(initial->relativeMs, 60000);

  const onvif::SubscriptionReference sub{"http://cam/onvif/pull?sub=3&k=1", ""};
  auto pull =
      Receive(onvif::BuildPullMessagesRequest(token, sub, 10000, 50), Operation::kPullMessages);
  EXPECT_EQ(pull.header.addressing.to, sub.address);
  EXPECT_EQ(pull.header.addressing.action,
            "http://www.onvif.org/ver10/events/wsdl/PullPointSubscription/PullMessagesRequest");
  auto args = onvif::ParsePullMessagesRequest(pull.message.body);
  ASSERT_TRUE(args);
  EXPECT_EQ(args->timeoutMs, 10000);
  EXPECT_EQ(args->messageLimit, 50);

  auto renew = Receive(onvif::BuildRenewRequest(token, sub, 120000), Operation::kRenew);
  EXPECT_EQ(renew.header.addressing.to, sub.address);
  EXPECT_EQ(renew.header.addressing.action,
            "http://docs.oasis-open.org/wsn/bw-2/SubscriptionManager/RenewRequest");
  EXPECT_EQ(onvif::ParseRenewRequest(renew.message.body)->relativeMs, 120000);

  auto unsubscribe = Receive(onvif::BuildUnsubscribeRequest(token, sub), Operation::kUnsubscribe);
  EXPECT_EQ(unsubscribe.header.addressing.to, sub.address);
  EXPECT_TRUE(onvif::ParseUnsubscribeRequest(unsubscribe.message.body));
  EXPECT_FALSE(onvif::ParseUnsubscribeRequest(renew.message.body));
  EXPECT_FALSE(onvif::ParsePullMessagesRequest(renew.message.body));
}

TEST(EventService, ServerReadsAbsoluteTimesAndRefusesBadArguments) {
  auto envelope = [](const std::string& body) {
    return "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'"
           " xmlns:v='http://www.onvif.org/ver10/events/wsdl' "
           "xmlns:n='http://docs.oasis-open.org/wsn/b-2'>"
           "<e:Body>" +
           body + "</e:Body></e:Envelope>";
  };
  auto absolute = Receive(envelope("<n:Renew><n:TerminationTime>2024-05-06T07:09:09Z"
                                   "</n:TerminationTime></n:Renew>"),
                          Operation::kRenew);
  auto t = onvif::ParseRenewRequest(absolute.message.body);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->absoluteUnix, kNow + 60);
  EXPECT_FALSE(t->relativeMs);
  auto none = Receive(envelope("<v:CreatePullPointSubscription/>"),
                      Operation::kCreatePullPointSubscription);
  auto noTime = onvif::ParseCreatePullPointSubscriptionRequest(none.message.body);
  ASSERT_TRUE(noTime);
  EXPECT_FALSE(noTime->relativeMs || noTime->absoluteUnix);
  for (const char* bad :
       {"<n:Renew/>", "<n:Renew><n:TerminationTime>later</n:TerminationTime></n:Renew>"}) {
    EXPECT_FALSE(onvif::ParseRenewRequest(Receive(envelope(bad), Operation::kRenew).message.body))
        << bad;
  }
  for (const char* bad :
       {"<v:Timeout>PT5S</v:Timeout>",
        "<v:Timeout>PT5S</v:Timeout><v:MessageLimit>0</v:MessageLimit>",
        "<v:Timeout>5</v:Timeout><v:MessageLimit>5</v:MessageLimit>",
        "<v:Timeout>PT5S</v:Timeout><v:MessageLimit>99999999999</v:MessageLimit>"}) {
    auto r = Receive(envelope(std::string("<v:PullMessages>") + bad + "</v:PullMessages>"),
                     Operation::kPullMessages);
    EXPECT_FALSE(onvif::ParsePullMessagesRequest(r.message.body)) << bad;
  }
}

TEST(EventService, ResponsesReadBack) {
  auto s = onvif::ParseCreatePullPointSubscriptionResponse(
      onvif::BuildCreatePullPointSubscriptionResponse("http://sim/pull/1?a=b&c=d",
                                                      {kNow, kNow + 60}, "urn:uuid:req"));
  ASSERT_TRUE(s) << s.error().message;
  EXPECT_EQ(s->reference.address, "http://sim/pull/1?a=b&c=d");
  EXPECT_EQ(s->reference.referenceParameters, "");
  EXPECT_EQ(s->currentTime, kNow);
  EXPECT_EQ(s->terminationTime, kNow + 60);

  onvif::PullMessagesResult result;
  result.currentTime = kNow;
  result.terminationTime = kNow + 60;
  onvif::NotificationMessage motion;
  motion.topic = "tns1:VideoSource/MotionAlarm";
  motion.utcTime = kNow - 1;
  motion.propertyOperation = "Changed";
  motion.source = {{"Source", "VideoSource_1"}};
  motion.data = {{"State", "true"}};
  onvif::NotificationMessage input;
  input.topic = "tns1:Device/Trigger/DigitalInput";
  input.source = {{"InputToken", "in<1>"}};
  input.data = {{"LogicalState", "false"}};
  result.messages = {motion, input};
  auto pulled =
      onvif::ParsePullMessagesResponse(onvif::BuildPullMessagesResponse(result, "urn:uuid:req"));
  ASSERT_TRUE(pulled) << pulled.error().message;
  EXPECT_EQ(pulled->currentTime, kNow);
  EXPECT_EQ(pulled->terminationTime, kNow + 60);
  ASSERT_EQ(pulled->messages.size(), 2u);
  const auto& m = pulled->messages[0];
  EXPECT_EQ(m.topic, "tns1:VideoSource/MotionAlarm");
  EXPECT_EQ(m.topicNamespace, ns::kTopics);
  EXPECT_EQ(m.topicPath, "VideoSource/MotionAlarm");
  EXPECT_EQ(m.utcTime, kNow - 1);
  EXPECT_EQ(m.propertyOperation, "Changed");
  ASSERT_EQ(m.source.size(), 1u);
  EXPECT_EQ(m.source[0].value, "VideoSource_1");
  ASSERT_EQ(m.data.size(), 1u);
  EXPECT_EQ(m.data[0].name, "State");
  EXPECT_EQ(m.data[0].value, "true");
  EXPECT_FALSE(pulled->messages[1].utcTime);
  EXPECT_EQ(pulled->messages[1].source[0].value, "in<1>");
  EXPECT_EQ(pulled->messages[1].topicPath, "Device/Trigger/DigitalInput");

  auto renewed = onvif::ParseRenewResponse(onvif::BuildRenewResponse({kNow, kNow + 120}, ""));
  ASSERT_TRUE(renewed);
  EXPECT_EQ(renewed->terminationTime, kNow + 120);
  EXPECT_EQ(renewed->currentTime, kNow);
  EXPECT_TRUE(onvif::ParseUnsubscribeResponse(onvif::BuildUnsubscribeResponse("")));
  EXPECT_FALSE(onvif::ParseUnsubscribeResponse(onvif::BuildRenewResponse({}, "")));
}

TEST(EventService, CameraNotificationsWithTheirOwnPrefixesAndReferenceParameters) {
  // Subscription answered with reference parameters the camera wants back.
  const std::string created =
      "<env:Envelope xmlns:env='http://www.w3.org/2003/05/soap-envelope'"
      " xmlns:wsa5='http://www.w3.org/2005/08/addressing' xmlns:cam='urn:camera:events'"
      " xmlns:tev='http://www.onvif.org/ver10/events/wsdl'"
      " xmlns:b2='http://docs.oasis-open.org/wsn/b-2'><env:Body>"
      "<tev:CreatePullPointSubscriptionResponse><tev:SubscriptionReference>"
      "<wsa5:Address>http://192.0.2.9/onvif/services</wsa5:Address>"
      "<wsa5:ReferenceParameters><cam:Subscription>17</cam:Subscription>"
      "</wsa5:ReferenceParameters></tev:SubscriptionReference>"
      "<b2:CurrentTime>2024-05-06T07:08:09Z</b2:CurrentTime>"
      "<b2:TerminationTime>2024-05-06T07:09:09Z</b2:TerminationTime>"
      "</tev:CreatePullPointSubscriptionResponse></env:Body></env:Envelope>";
  auto s = onvif::ParseCreatePullPointSubscriptionResponse(created);
  ASSERT_TRUE(s) << s.error().message;
  EXPECT_EQ(s->reference.address, "http://192.0.2.9/onvif/services");
  EXPECT_EQ(s->terminationTime, kNow + 60);
  // Each later request carries the parameter as a header block.
  auto pull = Receive(onvif::BuildPullMessagesRequest(std::nullopt, s->reference, 5000, 10),
                      Operation::kPullMessages);
  EXPECT_EQ(pull.message.header.Child("urn:camera:events", "Subscription").Text(), "17");

  const std::string notification =
      "<wsnt:NotificationMessage><wsnt:Topic Dialect='http://www.onvif.org/ver10/tev/"
      "topicExpression/ConcreteSet'>t1:RuleEngine/CellMotionDetector/Motion</wsnt:Topic>"
      "<wsnt:Message><tt:Message UtcTime='2024-05-06T07:08:08.250Z' "
      "PropertyOperation='Initialized'>"
      "<tt:Source><tt:SimpleItem Name='VideoSourceConfigurationToken' Value='V1'/>"
      "<tt:SimpleItem Name='Rule' Value='MyMotionDetectorRule'/></tt:Source>"
      "<tt:Data><tt:SimpleItem Name='IsMotion' Value='true'/><tt:SimpleItem Value='nameless'/>"
      "</tt:Data></tt:Message></wsnt:Message></wsnt:NotificationMessage>";
  auto pulled = [&](const std::string& messages) {
    return onvif::ParsePullMessagesResponse(
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV='http://www.w3.org/2003/05/soap-envelope'"
        " xmlns:wsnt='http://docs.oasis-open.org/wsn/b-2' "
        "xmlns:tt='http://www.onvif.org/ver10/schema'"
        " xmlns:t1='http://www.onvif.org/ver10/topics' "
        "xmlns:tev='http://www.onvif.org/ver10/events/wsdl'>"
        "<SOAP-ENV:Body><tev:PullMessagesResponse><tev:CurrentTime>2024-05-06T07:08:09Z"
        "</tev:CurrentTime><tev:TerminationTime>2024-05-06T07:09:09Z</tev:TerminationTime>" +
        messages + "</tev:PullMessagesResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");
  };
  auto r = pulled(notification);
  ASSERT_TRUE(r) << r.error().message;
  ASSERT_EQ(r->messages.size(), 1u);
  const auto& m = r->messages[0];
  EXPECT_EQ(m.topicNamespace, ns::kTopics);
  EXPECT_EQ(m.topicPath, "RuleEngine/CellMotionDetector/Motion");
  EXPECT_EQ(m.utcTime, kNow - 1);
  EXPECT_EQ(m.propertyOperation, "Initialized");
  ASSERT_EQ(m.source.size(), 2u);
  EXPECT_EQ(m.source[1].value, "MyMotionDetectorRule");
  // An item without a name is no item.
  ASSERT_EQ(m.data.size(), 1u);
  EXPECT_EQ(m.data[0].name, "IsMotion");

  // An empty pull (the timeout passed) and a flood, bounded.
  auto empty = pulled("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->messages.empty());
  std::string flood;
  for (size_t i = 0; i < onvif::kMaxNotifications + 3; ++i) flood += notification;
  auto bounded = pulled(flood);
  ASSERT_TRUE(bounded);
  EXPECT_EQ(bounded->messages.size(), onvif::kMaxNotifications);
  std::string items = "<wsnt:NotificationMessage><wsnt:Message><tt:Message><tt:Data>";
  for (size_t i = 0; i < onvif::kMaxSimpleItems + 3; ++i) {
    items += "<tt:SimpleItem Name='n' Value='v'/>";
  }
  items += "</tt:Data></tt:Message></wsnt:Message></wsnt:NotificationMessage>";
  auto manyItems = pulled(items);
  ASSERT_TRUE(manyItems);
  EXPECT_EQ(manyItems->messages[0].data.size(), onvif::kMaxSimpleItems);
  EXPECT_EQ(manyItems->messages[0].topic, "");

  EXPECT_FALSE(onvif::ParseCreatePullPointSubscriptionResponse(
      "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'><e:Body>"
      "<v:CreatePullPointSubscriptionResponse xmlns:v='http://www.onvif.org/ver10/events/wsdl'/>"
      "</e:Body></e:Envelope>"));
}
