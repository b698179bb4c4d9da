// A standard camera's pulled events: which notifications become which alarms,
// renewal on the device's clock, the addresses taken from its answers, and
// the watcher's exchanges against a fake poster serving canned answers.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <deque>
#include <mutex>
#include <vector>

#include "devicelib/tmcc_errors.h"
#include "devicelib/tmcc_records.h"
#include "support/wait.h"
#include "tmcc/common/service_uri.h"
#include "tmcc/native/alarm_listener.h"
#include "tmcc/onvif/codec/namespaces.h"
#include "tmcc/onvif/codec/xs_datetime.h"
#include "tmcc/onvif/onvif_alarm_mapping.h"
#include "tmcc/onvif/onvif_event_watcher.h"
#include "tmcc/onvif/subscription_timing.h"

namespace qrv::tmcc {
namespace {

namespace dl = qrv::devicelib;
namespace ov = qrv::tmcc::onvif;
using std::chrono::milliseconds;

// The login client the watcher pulls for.
constexpr int32_t kLogin = 41;

ov::NotificationMessage Note(std::string path, std::vector<ov::SimpleItem> source,
                             std::vector<ov::SimpleItem> data, std::string operation = "Changed",
                             std::string_view ns = ov::ns::kTopics) {
  ov::NotificationMessage m;
  m.topic = "tns1:" + path;
  m.topicPath = std::move(path);
  m.topicNamespace = std::string(ns);
  m.propertyOperation = std::move(operation);
  m.source = std::move(source);
  m.data = std::move(data);
  return m;
}

TEST(OnvifAlarmMapping, KnownTopicsBecomeAlarmsThePluginTakesWithTheConnectionsAddress) {
  struct Case {
    ov::NotificationMessage message;
    int32_t value;
    uint32_t channel;
  };
  const std::vector<Case> cases = {
      {Note("VideoSource/MotionAlarm", {{"Source", "VideoSource_1"}}, {{"State", "true"}}), 1, 1},
      // A rule's name is no channel.
      {Note("RuleEngine/CellMotionDetector/Motion",
            {{"Rule", "MyMotion5"}, {"VideoSourceConfigurationToken", "VideoSourceConfig_2"}},
            {{"IsMotion", "1"}}),
       1, 2},
      {Note("VideoSource/GlobalSceneChange/ImagingService", {{"Source", "cam"}},
            {{"State", "true"}}),
       2, 0},
      {Note("VideoSource/ImageTooBlurry/AnalyticsService", {}, {{"State", "true"}}), 2, 0},
      {Note("Device/Trigger/DigitalInput", {{"InputToken", "DigitalInput_3"}},
            {{"LogicalState", "true"}}),
       -3, 3},
      {Note("Device/IO/VirtualPort", {{"Index", "0"}}, {{"State", "1"}}), -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.topicPath);
    // An address written in the payload is never the alarm's.
    auto message = c.message;
    message.source.push_back({"Address", "10.66.66.66"});
    const MappedNotification mapped = MapNotification(message, "127.0.0.5");
    ASSERT_EQ(mapped.verdict, NotificationVerdict::kAlarm);
    EXPECT_EQ(mapped.alarm.kind, dl::kAlarmKindAlarm);
    EXPECT_EQ(mapped.alarm.value, c.value);
    EXPECT_EQ(mapped.alarm.channel, c.channel);
    EXPECT_EQ(mapped.alarm.address, "127.0.0.5");
  }
}

TEST(OnvifAlarmMapping, OnlyAStateTurningTrueIsAnAlarmAndTheRestIsSortedForCounting) {
  auto motion = [](std::string state, std::string operation) {
    return MapNotification(Note("VideoSource/MotionAlarm", {}, {{"State", state}}, operation),
                           "127.0.0.5")
        .verdict;
  };
  EXPECT_EQ(motion("false", "Changed"), NotificationVerdict::kCleared);
  EXPECT_EQ(motion("0", "Changed"), NotificationVerdict::kCleared);
  // The state at subscription time: an alarm already on is one the host has
  // not heard of; one that is off tells nothing.
  EXPECT_EQ(motion("true", "Initialized"), NotificationVerdict::kAlarm);
  EXPECT_EQ(motion("false", "Initialized"), NotificationVerdict::kCleared);
  EXPECT_EQ(motion("true", "Deleted"), NotificationVerdict::kCleared);
  EXPECT_EQ(motion("maybe", "Changed"), NotificationVerdict::kNoState);
  EXPECT_EQ(motion("TRUE ", "Changed"), NotificationVerdict::kNoState);
  // Two unknown data items: which one is the state cannot be told.
  EXPECT_EQ(MapNotification(Note("VideoSource/MotionAlarm", {}, {{"A", "true"}, {"B", "false"}}),
                            "127.0.0.5")
                .verdict,
            NotificationVerdict::kNoState);
  // The same path in another namespace, and topics we do not map.
  EXPECT_EQ(MapNotification(Note("VideoSource/MotionAlarm", {}, {{"State", "true"}}, "Changed",
                                 "urn:other:topics"),
                            "127.0.0.5")
                .verdict,
            NotificationVerdict::kUnknownTopic);
  EXPECT_EQ(MapNotification(Note("Device/HardwareFailure/FanFailure", {}, {{"State", "true"}}),
                            "127.0.0.5")
                .verdict,
            NotificationVerdict::kUnknownTopic);
  EXPECT_EQ(MapNotification(Note("VideoSource/MotionAlarmX", {}, {{"State", "true"}}), "127.0.0.5")
                .verdict,
            NotificationVerdict::kUnknownTopic);
}

TEST(SubscriptionTiming, RenewalCountsOnlyTheDevicesOwnDifferenceAndIsBounded) {
  const milliseconds asked{60000};
  // A device whose clock is 25 years behind ours still gets renewed 10 s
  // before its own end, not at once.
  const int64_t old = *ov::UnixFromCivil({2001, 5, 1, 12, 0, 0});
  EXPECT_EQ(RenewDelay(old, old + 60, asked), milliseconds(50000));
  // Short lifetimes are renewed halfway; no times given: the lifetime asked.
  EXPECT_EQ(RenewDelay(old, old + 8, asked), milliseconds(4000));
  EXPECT_EQ(RenewDelay(0, 0, asked), milliseconds(50000));
  EXPECT_EQ(RenewDelay(old, 0, milliseconds(8000)), milliseconds(4000));
  // A termination already past, or absurd: no tight loop, no overflow.
  EXPECT_EQ(RenewDelay(old, old - 100, asked), milliseconds(1000));
  EXPECT_EQ(RenewDelay(old, old + 1, asked), milliseconds(1000));
  EXPECT_EQ(RenewDelay(1, INT64_MAX / 2, asked), milliseconds(3590000));

  AlarmRateLimit limit(2);
  const auto t = AlarmRateLimit::Clock::now();
  EXPECT_TRUE(limit.Allow(t));
  EXPECT_TRUE(limit.Allow(t + milliseconds(10)));
  EXPECT_FALSE(limit.Allow(t + milliseconds(999)));
  EXPECT_TRUE(limit.Allow(t + milliseconds(1000)));
}

TEST(ServiceUrl, KeepsPathAndPortAndRefusesWhatCouldBendARequest) {
  auto url = ParseServiceUrl("http://10.1.2.3:8080/onvif/Subscription?Idx=3#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host, "10.1.2.3");
  EXPECT_EQ(url->port, 8080);
  EXPECT_EQ(url->path, "/onvif/Subscription?Idx=3");
  url = ParseServiceUrl("HTTP://Cam.Example");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->host, "cam.example");
  EXPECT_FALSE(url->port);
  EXPECT_EQ(url->path, "/");
  EXPECT_EQ(ParseServiceUrl("http://[fe80::1]:80/x")->host, "[fe80::1]");
  EXPECT_EQ(ParseServiceUrl("/events/sub1")->path, "/events/sub1");
  for (const char* bad :
       {"", "http://10.1.2.3/a\r\nHost: evil", "http://10.1.2.3/a b", "http://u:p@10.1.2.3/",
        "http://10.1.2.3:0/", "http://10.1.2.3:65536/", "http://10.1.2.3:8o/", "http:///x",
        "ftp://10.1.2.3/", "//10.1.2.3/x", "onvif/sub", "http://10.1.2.3/\xc3\xa9"}) {
    EXPECT_FALSE(ParseServiceUrl(bad)) << bad;
  }
}

// Alarms every listener of the process hears, as the plug-in would.
struct HeardAlarms {
  std::mutex mutex;
  std::vector<dl::AlarmRecord> records;

  static int32_t QRV_CALLBACK Callback(int32_t, dl::AlarmMessage* message, void* context) {
    auto* self = static_cast<HeardAlarms*>(context);
    std::lock_guard lock(self->mutex);
    self->records.push_back(*message->record);
    return 0;
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return records.size();
  }
};

// Serves the watcher by hand: every Post waits here until the test answers.
class FakePoster : public SoapPoster {
 public:
  struct Posted {
    std::string path;
    std::string envelope;
    milliseconds timeout{0};
    Done done;
  };
  explicit FakePoster(Strand strand) : strand_(std::move(strand)) {}
  void Post(std::string path, std::string envelope, milliseconds timeout, Done done) override {
    posted.push_back({std::move(path), std::move(envelope), timeout, std::move(done)});
  }
  std::optional<ov::UsernameToken> Token() override { return std::nullopt; }
  void Answer(SoapAnswer answer) {
    auto done = std::move(posted.front().done);
    posted.pop_front();
    asio::post(strand_, [done = std::move(done), answer = std::move(answer)] { done(answer); });
  }
  void AnswerBody(std::string body, int status = 200) {
    Answer({dl::kOk, status, std::move(body)});
  }

  std::deque<Posted> posted;

 private:
  Strand strand_;
};

// The request's header and body, as the camera reads them.
struct Request {
  ov::RequestHeader header;
  std::string bodyName;
};
Request Read(const std::string& envelope) {
  auto message = ov::ParseSoapMessage(envelope);
  EXPECT_TRUE(message);
  if (!message) return {};
  return {ov::ReadRequestHeader(*message), std::string(message->body.Name())};
}

class OnvifEventWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = std::make_shared<AlarmListener>();
    listener_->SetCallback(&HeardAlarms::Callback, &heard_);
    ASSERT_EQ(listener_->Start(0, asio::ip::make_address("127.0.0.1")), dl::kOk);
  }
  void TearDown() override {
    if (watcher_) OnStrand([&] { watcher_->Stop(); });
    listener_->Stop();
  }

  void Create(OnvifEventOptions options = {},
              BackoffPolicy resubscribe = {milliseconds(5), milliseconds(20), 0.0}) {
    options.resubscribe = resubscribe;
    watcher_ = OnvifEventWatcher::Create(strand_, poster_, "/onvif/event_service", "127.0.0.5",
                                         kLogin, milliseconds(2000), options);
  }
  void OnStrand(std::function<void()> work) {
    bool ran = false;
    asio::post(strand_, [&] {
      work();
      ran = true;
    });
    RunUntil([&] { return ran; });
  }
  // Runs the watcher's handlers on this thread until pred holds (bounded).
  bool RunUntil(const std::function<bool()>& pred, milliseconds limit = milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io_.restart();
      io_.run_one_for(milliseconds(5));
    }
    return true;
  }
  bool WaitPosted(size_t n = 1) {
    return RunUntil([&] { return poster_.posted.size() >= n; });
  }

  // Subscribes; the camera grants a subscription at address with reference
  // parameters, on a clock 25 years behind ours.
  void Subscribe(const std::string& address, int64_t lifetime = 60) {
    OnStrand([&] { watcher_->Start(); });
    ASSERT_TRUE(WaitPosted());
    EXPECT_EQ(poster_.posted.front().path, "/onvif/event_service");
    EXPECT_EQ(poster_.posted.front().timeout, milliseconds(2000));
    const Request r = Read(poster_.posted.front().envelope);
    EXPECT_EQ(r.bodyName, "CreatePullPointSubscription");
    EXPECT_EQ(r.header.addressing.to, "http://127.0.0.5/onvif/event_service");
    std::string answer = ov::BuildCreatePullPointSubscriptionResponse(
        address, {deviceNow_, deviceNow_ + lifetime}, "");
    const std::string close = "</wsa:Address>";
    answer.insert(answer.find(close) + close.size(),
                  "<wsa:ReferenceParameters><s:Sub xmlns:s=\"urn:test:sub\">77</s:Sub>"
                  "</wsa:ReferenceParameters>");
    poster_.AnswerBody(answer);
    ASSERT_TRUE(RunUntil([&] { return watcher_->stats().subscriptions.load() == 1; }));
  }
  void AnswerPull(std::vector<ov::NotificationMessage> messages) {
    ov::PullMessagesResult result;
    result.currentTime = deviceNow_;
    result.terminationTime = deviceNow_ + 60;
    result.messages = std::move(messages);
    poster_.AnswerBody(ov::BuildPullMessagesResponse(result, ""));
  }

  asio::io_context io_;
  Strand strand_{asio::make_strand(io_)};
  FakePoster poster_{strand_};
  HeardAlarms heard_;
  std::shared_ptr<AlarmListener> listener_;
  std::shared_ptr<OnvifEventWatcher> watcher_;
  const int64_t deviceNow_ = *ov::UnixFromCivil({2001, 5, 1, 12, 0, 0});
};

TEST_F(OnvifEventWatcherTest, PullsFromTheSubscriptionsPathOnlyAndDeliversMappedAlarms) {
  Create();
  // The camera names another host: only its path and port are used.
  Subscribe("http://10.66.66.66:8080/onvif/subscription/7?x=1");
  ASSERT_TRUE(WaitPosted());
  {
    const auto& pull = poster_.posted.front();
    EXPECT_EQ(pull.path, "/onvif/subscription/7?x=1");
    EXPECT_EQ(pull.timeout, milliseconds(5000 + 2000));
    const Request r = Read(pull.envelope);
    EXPECT_EQ(r.bodyName, "PullMessages");
    EXPECT_EQ(r.header.addressing.to, "http://127.0.0.5:8080/onvif/subscription/7?x=1");
    EXPECT_NE(pull.envelope.find("urn:test:sub"), std::string::npos);
    EXPECT_NE(pull.envelope.find(">77</"), std::string::npos);
  }
  AnswerPull({
      Note("VideoSource/MotionAlarm", {{"Source", "VideoSource_1"}}, {{"State", "true"}}),
      Note("Device/Trigger/DigitalInput", {{"InputToken", "DigitalInput_3"}},
           {{"LogicalState", "false"}}),
      Note("Device/Trigger/DigitalInput", {{"InputToken", "DigitalInput_3"}},
           {{"LogicalState", "true"}}),
      Note("Device/HardwareFailure/FanFailure", {}, {{"State", "true"}}),
      Note("VideoSource/GlobalSceneChange/ImagingService", {}, {{"State", "1"}}),
  });
  ASSERT_TRUE(RunUntil([&] { return heard_.size() == 3; }));
  {
    std::lock_guard lock(heard_.mutex);
    const std::vector<std::pair<int32_t, uint32_t>> expected = {{1, 1}, {-3, 3}, {2, 0}};
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(heard_.records[i].kind, dl::kAlarmKindAlarm);
      EXPECT_EQ(heard_.records[i].value, expected[i].first) << i;
      EXPECT_EQ(heard_.records[i].channel, expected[i].second) << i;
      EXPECT_STREQ(heard_.records[i].address, "127.0.0.5");
      EXPECT_EQ(heard_.records[i].loginHandle, kLogin) << i;
    }
  }
  const auto& s = watcher_->stats();
  EXPECT_EQ(s.notifications.load(), 5u);
  EXPECT_EQ(s.alarmsDelivered.load(), 3u);
  EXPECT_EQ(s.cleared.load(), 1u);
  EXPECT_EQ(s.unknownTopics.load(), 1u);
  // The loop goes on with the next pull.
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "PullMessages");
}

TEST_F(OnvifEventWatcherTest, RenewsByTheDevicesClockAndResubscribesAfterEachFailure) {
  Create();
  // Two seconds to live on a clock 25 years behind: renewed after 1 s,
  // not at once (our clock would call it long expired).
  Subscribe("http://10.0.0.1/sub", 2);
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "PullMessages");
  const auto subscribed = std::chrono::steady_clock::now();
  // A camera that answers pulls at once with nothing: the pulls are spaced,
  // and the renewal comes when due. The pull answers carry no times, so the
  // subscription's own decide.
  std::string last;
  while (std::chrono::steady_clock::now() - subscribed < milliseconds(4000)) {
    ASSERT_TRUE(WaitPosted());
    last = Read(poster_.posted.front().envelope).bodyName;
    if (last != "PullMessages") break;
    poster_.AnswerBody(ov::BuildPullMessagesResponse({}, ""));
  }
  ASSERT_EQ(last, "Renew");
  EXPECT_GE(std::chrono::steady_clock::now() - subscribed, milliseconds(900));
  EXPECT_EQ(poster_.posted.front().path, "/sub");
  EXPECT_NE(poster_.posted.front().envelope.find(">77</"), std::string::npos);

  // A refused renewal: counted, and after the pause a new subscription.
  poster_.AnswerBody(ov::BuildFault("Sender", "", "no such subscription"), 400);
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "CreatePullPointSubscription");
  EXPECT_EQ(watcher_->stats().renewFailures.load(), 1u);

  // A subscription address that would bend the request line is refused.
  poster_.AnswerBody(ov::BuildCreatePullPointSubscriptionResponse(
      "http://10.0.0.1/sub HTTP/1.1\r\nX: y", {deviceNow_, deviceNow_ + 60}, ""));
  ASSERT_TRUE(RunUntil([&] { return watcher_->stats().subscribeFailures.load() == 1; }));
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "CreatePullPointSubscription");
  poster_.AnswerBody(ov::BuildCreatePullPointSubscriptionResponse(
      "http://10.0.0.1/sub2", {deviceNow_, deviceNow_ + 60}, ""));
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(poster_.posted.front().path, "/sub2");

  // A pull that times out, then one that is not a pull answer.
  poster_.Answer({dl::kErrTimeout, 0, ""});
  ASSERT_TRUE(WaitPosted());
  EXPECT_EQ(watcher_->stats().pullFailures.load(), 1u);
  poster_.AnswerBody(ov::BuildCreatePullPointSubscriptionResponse(
      "http://10.0.0.1/sub3", {deviceNow_, deviceNow_ + 60}, ""));
  ASSERT_TRUE(WaitPosted());
  poster_.AnswerBody(ov::BuildRenewResponse({deviceNow_, deviceNow_ + 60}, ""));
  ASSERT_TRUE(RunUntil([&] { return watcher_->stats().pullFailures.load() == 2; }));
  EXPECT_EQ(watcher_->stats().subscriptions.load(), 3u);
}

TEST_F(OnvifEventWatcherTest, AGrantedSubscriptionStartsTheBackOffOver) {
  // Delays far enough apart to tell the first (100 ms) from a grown one.
  Create({}, {milliseconds(100), milliseconds(3000), 0.0});
  OnStrand([&] { watcher_->Start(); });
  // Four refusals: the pause grows to 800 ms (1600 ms would come next).
  milliseconds lastPause{0};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(WaitPosted());
    ASSERT_EQ(Read(poster_.posted.front().envelope).bodyName, "CreatePullPointSubscription");
    const auto refused = std::chrono::steady_clock::now();
    poster_.AnswerBody(ov::BuildFault("Receiver", "", "busy"), 500);
    ASSERT_TRUE(WaitPosted());
    lastPause =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - refused);
  }
  EXPECT_GE(lastPause, milliseconds(800));
  poster_.AnswerBody(ov::BuildCreatePullPointSubscriptionResponse(
      "http://10.0.0.1/sub", {deviceNow_, deviceNow_ + 60}, ""));
  ASSERT_TRUE(WaitPosted());
  ASSERT_EQ(Read(poster_.posted.front().envelope).bodyName, "PullMessages");
  // The pull fails: the new subscription comes after the first delay again.
  const auto failed = std::chrono::steady_clock::now();
  poster_.Answer({dl::kErrTimeout, 0, ""});
  ASSERT_TRUE(RunUntil([&] { return !poster_.posted.empty(); }, milliseconds(5000)));
  const auto pause = std::chrono::steady_clock::now() - failed;
  EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "CreatePullPointSubscription");
  EXPECT_GE(pause, milliseconds(100));
  EXPECT_LT(pause, milliseconds(800)) << "the grown pause was kept";
}

TEST_F(OnvifEventWatcherTest, StopUnsubscribesAfterTheExchangeOutAndDeliversNothingMore) {
  Create();
  Subscribe("http://10.0.0.1/sub");
  ASSERT_TRUE(WaitPosted());
  OnStrand([&] { watcher_->Stop(); });
  EXPECT_EQ(poster_.posted.size(), 1u);  // nothing overlaps the pull out
  AnswerPull({Note("VideoSource/MotionAlarm", {}, {{"State", "true"}})});
  ASSERT_TRUE(WaitPosted());
  const auto& unsubscribe = poster_.posted.front();
  EXPECT_EQ(Read(unsubscribe.envelope).bodyName, "Unsubscribe");
  EXPECT_EQ(unsubscribe.path, "/sub");
  EXPECT_EQ(unsubscribe.timeout, milliseconds(1000));
  poster_.AnswerBody(ov::BuildUnsubscribeResponse(""));
  io_.restart();
  io_.poll();
  EXPECT_TRUE(poster_.posted.empty());
  EXPECT_EQ(watcher_->stats().alarmsDelivered.load() + watcher_->stats().alarmsUnheard.load(), 0u);
  EXPECT_EQ(watcher_->stats().unsubscribeFailures.load(), 0u);
  EXPECT_EQ(heard_.size(), 0u);
}

TEST_F(OnvifEventWatcherTest, AClosedPosterEndsTheWatcherWithoutAnotherRequest) {
  Create();
  Subscribe("http://10.0.0.1/sub");
  ASSERT_TRUE(WaitPosted());
  poster_.Answer({dl::kErrClosed, 0, ""});
  io_.restart();
  io_.poll();
  OnStrand([&] { watcher_->Stop(); });
  io_.restart();
  io_.poll();
  EXPECT_TRUE(poster_.posted.empty());
  EXPECT_EQ(watcher_->stats().pullFailures.load(), 0u);
}

TEST_F(OnvifEventWatcherTest, AlarmsAboveThePerSecondCapAreCountedNotDelivered) {
  OnvifEventOptions options;
  options.maxAlarmsPerSecond = 3;
  Create(options);
  Subscribe("http://10.0.0.1/sub");
  ASSERT_TRUE(WaitPosted());
  AnswerPull(std::vector<ov::NotificationMessage>(
      10, Note("VideoSource/MotionAlarm", {}, {{"State", "true"}})));
  ASSERT_TRUE(RunUntil([&] { return watcher_->stats().alarmsOverRate.load() == 7; }));
  EXPECT_EQ(watcher_->stats().alarmsDelivered.load(), 3u);
  ASSERT_TRUE(test::WaitUntil([&] { return heard_.size() == 3; }, milliseconds(3000)));
}

// A camera that answers every pull at once is pulled again only after the
// pause its answer calls for: each case makes that pause an hour (the next
// pull must not come) or nothing (it comes at once), the others the other way.
TEST_F(OnvifEventWatcherTest, APullAnsweredAtOnceWaitsThePauseItsAnswerCallsFor) {
  const auto motion = Note("VideoSource/MotionAlarm", {}, {{"State", "true"}});
  const auto unknown = Note("Device/HardwareFailure/FanFailure", {}, {{"State", "true"}});
  enum Pause { kIdle, kBusy, kOverCap };
  struct Case {
    const char* what;
    std::vector<ov::NotificationMessage> messages;
    Pause pause;  // the one this answer calls for
  };
  const Case cases[] = {
      {"nothing", {}, kIdle},
      {"messages that are no alarms", {unknown, unknown}, kBusy},
      {"alarms within the cap", {motion, motion}, kBusy},
      {"alarms over the cap", {motion, motion, motion, motion}, kOverCap},
  };
  const milliseconds hour(3600 * 1000);
  for (const Case& c : cases) {
    for (const bool held : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (held ? ", held" : ", not held"));
      OnvifEventOptions options;
      options.maxAlarmsPerSecond = 3;
      options.idlePullSpacing = (c.pause == kIdle) == held ? hour : milliseconds(0);
      options.busyPullSpacing = (c.pause == kBusy) == held ? hour : milliseconds(0);
      options.overCapPullSpacing = (c.pause == kOverCap) == held ? hour : milliseconds(0);
      Create(options);
      Subscribe("http://10.0.0.1/sub");
      ASSERT_TRUE(WaitPosted());
      AnswerPull(c.messages);
      io_.restart();
      while (io_.poll() > 0) {
      }
      if (held) {
        EXPECT_TRUE(poster_.posted.empty());
        EXPECT_EQ(watcher_->stats().pulls.load(), 1u);
      } else {
        ASSERT_TRUE(WaitPosted());
        EXPECT_EQ(Read(poster_.posted.front().envelope).bodyName, "PullMessages");
        EXPECT_EQ(watcher_->stats().pulls.load(), 2u);
      }
      OnStrand([&] { watcher_->Stop(); });
      watcher_.reset();
      poster_.posted.clear();
    }
  }
}

}  // namespace
}  // namespace qrv::tmcc
