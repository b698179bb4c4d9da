// Which protocol a device is reached with, from the address and port a host
// gives: the rule hosts rely on, with no probing.
#include <gtest/gtest.h>

#include <string>

#include "tmcc/common/device_target.h"
#include "tmcc/common/long_address.h"

namespace qt = qrv::tmcc;

TEST(DeviceTarget, AnRtspUrlOrPort554MeansRtspAnythingElseOurProtocol) {
  auto t = qt::ChooseDeviceTarget("rtsp://u%40x:p@127.0.0.5:8554/cam?s=1", 6001);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->backend, qt::Backend::kRtsp);
  EXPECT_EQ(t->address.to_string(), "127.0.0.5");
  EXPECT_EQ(t->port, 8554) << "the URL's port, not the record's";
  EXPECT_EQ(t->rtspUrl, "rtsp://127.0.0.5:8554/cam?s=1") << "no credentials on request lines";
  EXPECT_EQ(t->urlUser, "u@x");
  EXPECT_EQ(t->urlPassword, "p");

  t = qt::ChooseDeviceTarget("RTSP://localhost/live", 0);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->backend, qt::Backend::kRtsp);
  EXPECT_EQ(t->address.to_string(), "127.0.0.1");
  EXPECT_EQ(t->port, 554);

  t = qt::ChooseDeviceTarget("127.0.0.5", 554);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->backend, qt::Backend::kRtsp);
  EXPECT_EQ(t->rtspUrl, "rtsp://127.0.0.5/");

  // Our protocol's ports, and every port but the RTSP and ONVIF ones.
  for (int port : {6001, 6002, 79, 81, 8001, 8081, 553, 555}) {
    t = qt::ChooseDeviceTarget("127.0.0.5", port);
    ASSERT_TRUE(t) << port;
    EXPECT_EQ(t->backend, qt::Backend::kNative) << port;
    EXPECT_EQ(t->port, port);
    EXPECT_TRUE(t->rtspUrl.empty());
  }
}

TEST(DeviceTarget, AnHttpUrlOrAnOnvifPortMeansOnvifAtTheDeviceService) {
  for (int port : {80, 8080, 8000}) {
    auto t = qt::ChooseDeviceTarget("127.0.0.5", port);
    ASSERT_TRUE(t) << port;
    EXPECT_EQ(t->backend, qt::Backend::kOnvif) << port;
    EXPECT_EQ(t->port, port);
    EXPECT_EQ(t->onvifPath, "/onvif/device_service");
  }
  // The URL's port and path win over the record's port, which may be any.
  auto t = qt::ChooseDeviceTarget("http://127.0.0.6:18080/dev?x=1", 554);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->backend, qt::Backend::kOnvif);
  EXPECT_EQ(t->address.to_string(), "127.0.0.6");
  EXPECT_EQ(t->port, 18080);
  EXPECT_EQ(t->onvifPath, "/dev?x=1");
  t = qt::ChooseDeviceTarget("HTTP://localhost", 6001);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->backend, qt::Backend::kOnvif);
  EXPECT_EQ(t->address.to_string(), "127.0.0.1");
  EXPECT_EQ(t->port, 80);
  EXPECT_EQ(t->onvifPath, "/onvif/device_service");
}

TEST(DeviceTarget, RefusesWhatWouldNeedResolvingOrCannotBeAddressed) {
  for (const char* bad :
       {"rtsp://camera.example.test/x", "rtsp://127.0.0.1:0/x", "rtsp://127.0.0.1/a b",
        "http://camera.example.test/", "http://127.0.0.1:0/", "http://127.0.0.1:65536/",
        "http://u:p@127.0.0.1/", "http://[::1]/", "http://01.2.3.4/", "http://127.0.0.1/a b",
        "https://127.0.0.1/", "rtsp://[::1]/x", "rtsp://01.2.3.4/x"}) {
    EXPECT_FALSE(qt::ChooseDeviceTarget(bad, 554)) << bad;
  }
  EXPECT_FALSE(qt::ChooseDeviceTarget("127.0.0.1", 0));
  EXPECT_FALSE(qt::ChooseDeviceTarget("127.0.0.1", 65536));
  EXPECT_FALSE(qt::ChooseDeviceTarget("not-an-address", 6001));
  EXPECT_FALSE(qt::ChooseDeviceTarget("::1", 554)) << "no RTSP URL for an IPv6 literal here";
}

TEST(DeviceTarget, BasicIsAllowedOnlyForTheDevicesTheListNames) {
  struct Case {
    const char* list;
    const char* address;
    int32_t port;
    bool allowed;
  };
  const Case cases[] = {
      {"", "127.0.0.5", 554, false},
      {"127.0.0.9 127.0.0.5", "127.0.0.5", 554, true},
      {"127.0.0.5:554", "127.0.0.5", 554, true},
      {"127.0.0.5:554", "127.0.0.5", 80, false},
      {"127.0.0.9, rtsp://127.0.0.5:8554/a", "rtsp://127.0.0.5:8554/a", 8554, true},
      {"rtsp://127.0.0.5:8554/a", "rtsp://127.0.0.5:8554/b", 8554, false},
      {",,  ,", "127.0.0.5", 554, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qrv::tmcc::BasicAllowedFor(c.list, c.address, c.port), c.allowed)
        << "'" << c.list << "' " << c.address << ":" << c.port;
  }
}

TEST(LongAddresses, RegistersUrlsUpToTheirBoundsAndRefusesTheRest) {
  const std::string base = "rtsp://127.0.0.10:8554/Streaming/Channels/101";
  const std::string longest =
      base + "?" + std::string(qt::kMaxLongAddressBytes - base.size() - 1, 'x');
  using Refusal = qt::LongAddresses::Refusal;
  struct Case {
    std::string address;
    Refusal refusal;
  };
  const Case cases[] = {
      {base, Refusal::kNone},
      {"HTTP://127.0.0.11:18080/onvif/device_service?profile=main", Refusal::kNone},
      {longest, Refusal::kNone},
      {longest + "y", Refusal::kTooLong},
      {"ftp://127.0.0.10/Streaming/Channels/101/and/more/path", Refusal::kMalformed},
      {"rtsp://127.0.0.10/with space/Streaming/Channels/101", Refusal::kMalformed},
      {"rtsp://127.0.0.10/\x01/Streaming/Channels/101/path", Refusal::kMalformed},
      {"@1", Refusal::kMalformed},
      {"", Refusal::kMalformed},
  };
  qt::LongAddresses book(8);
  for (const Case& c : cases) {
    auto registered = book.Register(c.address);
    EXPECT_EQ(registered.refusal, c.refusal) << c.address;
    if (c.refusal != Refusal::kNone) continue;
    EXPECT_TRUE(qt::LongAddresses::IsToken(registered.token)) << registered.token;
    EXPECT_LE(registered.token.size(), 8u);
    EXPECT_EQ(book.Resolve(registered.token), c.address);
    EXPECT_EQ(book.Register(c.address).token, registered.token) << "the same token again";
  }
  for (const char* stranger : {"@0", "@4", "@99999999", "@", "@1x", "1", "rtsp://127.0.0.1/"})
    EXPECT_FALSE(book.Resolve(stranger)) << stranger;
}

TEST(LongAddresses, AFullBookRefusesNewAddressesButKeepsItsTokens) {
  qt::LongAddresses book(2);
  const auto a = book.Register("rtsp://127.0.0.10:8554/first/long/path/for/a/camera");
  const auto b = book.Register("rtsp://127.0.0.10:8554/second/long/path/for/a/camera");
  ASSERT_EQ(b.refusal, qt::LongAddresses::Refusal::kNone);
  EXPECT_EQ(book.Register("rtsp://127.0.0.10:8554/third/long/path/for/a/camera").refusal,
            qt::LongAddresses::Refusal::kFull);
  EXPECT_EQ(book.Register("rtsp://127.0.0.10:8554/first/long/path/for/a/camera").token, a.token);
  EXPECT_NE(a.token, b.token);
}

TEST(DeviceTarget, ATokenIsReadAsTheLongAddressItStandsFor) {
  const std::string rtspUrl = "rtsp://127.0.0.10:8554/Streaming/Channels/101?transport=tcp";
  const std::string onvifUrl = "http://127.0.0.11:18080/onvif/device_service/long/path";
  const auto rtspToken = qt::LongAddresses::Instance().Register(rtspUrl).token;
  const auto onvifToken = qt::LongAddresses::Instance().Register(onvifUrl).token;
  auto t = qt::ChooseDeviceTarget(rtspToken, 6002);
  ASSERT_TRUE(t) << rtspToken;
  EXPECT_EQ(t->backend, qt::Backend::kRtsp);
  EXPECT_EQ(t->port, 8554);
  EXPECT_EQ(t->rtspUrl, rtspUrl);
  t = qt::ChooseDeviceTarget(onvifToken, 554);
  ASSERT_TRUE(t) << onvifToken;
  EXPECT_EQ(t->backend, qt::Backend::kOnvif);
  EXPECT_EQ(t->port, 18080);
  EXPECT_EQ(t->onvifPath, "/onvif/device_service/long/path");
  EXPECT_FALSE(qt::ChooseDeviceTarget("@250", 554)) << "a token never given";
}
